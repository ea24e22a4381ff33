#include "write/Archive.h"

#include "names/Collect.h"
#include "messages/Messenger.h"
#include "names/Names.h"
#include "write/Output.h"
#include "compress/Pipeline.h"
#include "platform/Platform.h"
#include "write/Replace.h"
#include "write/SourceCommands.h"
#include "compress/Reuse.h"
#include "compress/ReuseIndex.h"
#include "compress/Threads.h"
#include "write/ZipStream.h"
#include "zip32.h"

#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <optional>

namespace zip32 {

namespace {

// DOS times cover 1980-01-01 to 2107-12-31 in local time; anything outside is
// clamped to the nearest end. The extended timestamp keeps the exact time.
struct DosRange {
    time_t low, high;
    DosRange()
    {
        std::tm lo{};
        lo.tm_year = 80;
        lo.tm_mday = 1;
        lo.tm_isdst = -1;
        low = std::mktime(&lo);
        std::tm hi{};
        hi.tm_year = 207;
        hi.tm_mon = 11;
        hi.tm_mday = 31;
        hi.tm_hour = 23;
        hi.tm_min = 59;
        hi.tm_sec = 58;
        hi.tm_isdst = -1;
        high = std::mktime(&hi);
    }
    time_t clamp(int64_t t) const
    {
        if (t < static_cast<int64_t>(low))
            return low;
        if (t > static_cast<int64_t>(high))
            return high;
        return static_cast<time_t>(t);
    }
};

// The libzip source of one regular file: hands over what the workers made,
// in order, and tells libzip whether the entry is stored or deflated.
struct FileSource {
    Pipeline *pipeline;
    Messenger *messages;
    size_t file;
    zip_t *za = nullptr;
    zip_uint64_t index = 0;
    zip_error_t error;

    bool known = false; // first STAT answered
    bool stored = false;
    bool storeSet = false;
    uint64_t size = 0;
    uint32_t crc = 0;
    uint64_t compSize = 0;
    bool finished = false; // every byte handed to libzip
    bool copying = false; // a big file's data read from the earlier archive
    bool copyBroken = false; // and reading it there failed
    uint64_t copied = 0; // bytes of it handed over
    size_t task = 0;
    size_t pos = 0;
    bool opened = false;

    FileSource(Pipeline *p, Messenger *m, size_t f) : pipeline(p), messages(m), file(f)
    {
        zip_error_init(&error);
    }
    ~FileSource() { zip_error_fini(&error); }

    zip_int64_t fail()
    {
        // The reason is in the pipeline's failures; libzip only needs to stop.
        zip_error_set(&error, ZIP_ER_READ, EIO);
        return -1;
    }

    bool learn()
    {
        if (known)
            return true;
        const size_t first = pipeline->firstTask(file);
        TaskResult *r = pipeline->wait(first, *messages);
        if (!r)
            return false;
        stored = r->stored;
        if (r->copied) {
            const CopySource &copy = pipeline->file(file).copy;
            copying = true;
            size = pipeline->file(file).size();
            compSize = copy.compSize;
            crc = copy.crc;
        } else if (pipeline->chunked(file)) {
            size = pipeline->file(file).size();
            if (stored)
                compSize = size;
        } else {
            size = r->rawLength;
            crc = r->crc;
            compSize = r->data.size();
        }
        known = true;
        return true;
    }

    // What the libzip source does for each command (see SourceCommands.h).
    zip_int64_t supports() const
    {
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                              ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
    }
    zip_error_t *sourceError() { return &error; }
    zip_int64_t otherCommand(void *, zip_uint64_t, zip_source_cmd_t) { return refuseCommand(&error); }

    bool mayStat()
    {
        messages->heartbeat();
        if (g_processEnding.load() || messages->stopped() || !learn()) {
            fail();
            return false;
        }
        return true;
    }

    bool stat(zip_stat_t &st)
    {
        st.size = size;
        st.comp_method = stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE;
        st.valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_METHOD;
        const bool whole = !pipeline->chunked(file);
        if (stored || whole || finished || copying) {
            st.comp_size = compSize;
            st.valid |= ZIP_STAT_COMP_SIZE;
        }
        if (whole || finished || copying) {
            st.crc = crc;
            st.valid |= ZIP_STAT_CRC;
        }
        // libzip copies data of the entry's own method verbatim, and the
        // entry's method was left to the data: a stored entry must say so
        // before libzip looks at it, or libzip would deflate it again.
        if (stored && !storeSet) {
            if (zip_set_file_compression(za, index, ZIP_CM_STORE, 0) != 0) {
                fail();
                return false;
            }
            storeSet = true;
        }
        return true;
    }

    zip_int64_t open()
    {
        if (opened || !learn())
            return fail(); // the data is handed over once only
        opened = true;
        task = pipeline->firstTask(file);
        pos = 0;
        copied = 0;
        if (pipeline->chunked(file) && !copying) {
            crc = 0;
            compSize = 0;
        }
        return 0;
    }

    // The workers' data in order, each task released once handed over.
    zip_int64_t read(void *data, zip_uint64_t length)
    {
        messages->heartbeat();
        if (copying)
            return readCopy(data, length);
        const size_t end = pipeline->firstTask(file) + pipeline->taskCount(file);
        while (task < end) {
            if (g_processEnding.load() || messages->stopped())
                return fail();
            TaskResult *r = pipeline->wait(task, *messages);
            if (!r)
                return fail();
            const size_t avail = r->data.size() - pos;
            if (avail == 0) {
                if (pipeline->chunked(file)) {
                    crc =
                        static_cast<uint32_t>(crc32_combine(crc, r->crc, static_cast<z_off_t>(r->rawLength)));
                    compSize += r->data.size();
                }
                messages->advance(r->rawLength);
                pipeline->release(task);
                ++task;
                pos = 0;
                continue;
            }
            const size_t n = static_cast<size_t>(std::min<zip_uint64_t>(avail, length));
            std::memcpy(data, r->data.data() + pos, n);
            pos += n;
            return static_cast<zip_int64_t>(n);
        }
        finished = true;
        return 0;
    }

    // A big file whose data was checked in the earlier archive: its tasks
    // hold nothing, the data is read from there in the reader's portions.
    zip_int64_t readCopy(void *data, zip_uint64_t length)
    {
        const size_t end = pipeline->firstTask(file) + pipeline->taskCount(file);
        for (; task < end; ++task) {
            if (g_processEnding.load() || messages->stopped() || !pipeline->wait(task, *messages))
                return fail();
            pipeline->release(task);
        }
        if (g_processEnding.load() || messages->stopped())
            return fail();
        const uint64_t want = std::min<uint64_t>(length, compSize - copied);
        if (want == 0) {
            finished = true;
            return 0;
        }
        const int64_t n = readFileAt(pipeline->earlier(), data, static_cast<size_t>(want),
                                     pipeline->file(file).copy.offset + copied);
        if (n <= 0) {
            copyBroken = true;
            return fail();
        }
        // Progress by the file's bytes, in proportion.
        auto rawDone = [&](uint64_t c) {
            return c == compSize ? size
                                 : static_cast<uint64_t>(static_cast<long double>(size) * c / compSize);
        };
        const uint64_t before = rawDone(copied);
        copied += static_cast<uint64_t>(n);
        messages->advance(rawDone(copied) - before);
        return n;
    }
};

zip_uint32_t externalAttributes(const Entry &e)
{
    zip_uint32_t attr = (static_cast<zip_uint32_t>(e.mode) & 0xFFFFu) << 16;
    if (e.isDir)
        attr |= 0x10; // MS-DOS directory bit, for readers that look only there
    if (!(e.mode & S_IWUSR))
        attr |= 0x01; // MS-DOS read-only bit
    return attr;
}

// Extended timestamp (0x5455): flags (modification time present), then the
// time as unsigned 32-bit little-endian seconds, as Info-ZIP and libarchive
// write it past 2038; only when it fits (1970 to 2106).
bool timestampField(int64_t mtime, zip_uint8_t out[5])
{
    if (mtime < 0 || mtime > INT64_C(0xFFFFFFFF))
        return false;
    out[0] = 1;
    for (int i = 0; i < 4; ++i)
        out[1 + i] = static_cast<zip_uint8_t>((static_cast<uint64_t>(mtime) >> (8 * i)) & 0xFF);
    return true;
}

// Whether the entry's file can be opened now, as the workers open it.
bool readable(const Entry &e, std::string &reason)
{
    FileInfo st;
    const FileHandle fd = openEntry(e, st, reason);
    if (fd == kNoFile)
        return false;
    closeFile(fd);
    return true;
}

// Retry: data copied from the earlier archive could not be read there after
// all; built again with those files compressed afresh.
enum class Attempt { Written, FilesFailed, CannotWrite, Internal, Stopped, Retry };

zip_uint32_t externalAttributes(const Entry &e);

// A file to read, with where its data lies in the earlier archive when that
// can be trusted.
FileWork fileWork(const Entry &e, const EarlierArchive *earlier)
{
    FileWork w{&e, {}};
    if (earlier)
        w.copy = earlier->find(e, externalAttributes(e));
    return w;
}

// libzip takes a name as UTF-8, and sets the UTF-8 flag, only where its own
// guess agrees, and the guess refuses control characters other than tab,
// CR and LF. Such names, like names that are not UTF-8, go in as their raw
// bytes without the flag, as Info-ZIP zip stores them: libzip would not
// even open an archive again (to update it) whose flagged name held one.
zip_flags_t nameEncoding(std::string_view name)
{
    if (!isValidUtf8(name))
        return ZIP_FL_ENC_RAW;
    for (char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 && b != '\t' && b != '\r' && b != '\n')
            return ZIP_FL_ENC_RAW;
    }
    return ZIP_FL_ENC_UTF_8;
}

// The MS-DOS date and time of a moment, in local time, as the headers hold
// them; the last answer is kept, as the files of one folder share times.
struct DosTimes {
    time_t last = -1;
    uint16_t time = 0, date = 0;
    void of(time_t t)
    {
        if (t == last)
            return;
        std::tm tm{};
        localTimeOf(t, tm);
        date = static_cast<uint16_t>(((tm.tm_year - 80) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
        time = static_cast<uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec >> 1));
        last = t;
    }
};

enum class Added { Yes, AlreadyThere, NameRefused, Failed };

// The archive of one attempt as it is being filled.
struct Filling {
    zip_t *za;
    Pipeline &pipeline;
    bool existing;
    std::vector<std::unique_ptr<FileSource>> sources;
    size_t nextFile = 0;
};

// The new archive of one attempt as it is being written straight to its file.
struct Direct {
    OutputFile &out;
    Pipeline &pipeline;
    const std::vector<size_t> &fileEntry; // the entry of each of the pipeline's files
    std::vector<std::string> &fileFailures;
    std::vector<size_t> &failedEntries;
    ZipStream zs;
    DosTimes times;
    size_t nextFile = 0;

    // Ends the attempt with `result`; the temporary file goes.
    Attempt abandon(Attempt result)
    {
        out.discard();
        return result;
    }
};

// A pipeline of `request`'s compression, reading from the earlier archive
// where there is one.
std::unique_ptr<Pipeline> newPipeline(const ArchiveRequest &request, EarlierArchive *earlier)
{
    auto pipeline = std::make_unique<Pipeline>(request.level, request.workers);
    if (earlier)
        pipeline->setEarlier(earlier->handle());
    return pipeline;
}

// The workers' failures, as the files' messages and their entries.
void takeFailures(Pipeline &pipeline, const std::vector<size_t> &fileEntry,
                  std::vector<std::string> &fileFailures, std::vector<size_t> &failedEntries)
{
    for (auto &f : pipeline.failures()) {
        fileFailures.push_back(f.message);
        failedEntries.push_back(fileEntry[f.file]);
    }
}

struct Builder {
    const ArchiveRequest &request;
    Messenger &messages;
    const std::string finalPath;
    std::deque<Entry> &entries;
    std::vector<bool> &excluded;
    DosRange dos{};
    std::string failure{}; // message for CannotWrite / Internal
    EarlierArchive *earlier = nullptr; // the archive being replaced, to copy from
    std::vector<bool> noCopy; // entries compressed afresh whatever
    // Where the first round found each entry's data in the earlier archive,
    // for the rounds after it: the directory it was found in is gone by then.
    std::vector<CopySource> copies{};
    bool stamp = false; // the archive's time: when this run began
    int64_t began = 0, beganNs = 0;
    size_t copied = 0;
    std::vector<unsigned char> copyBuffer{}; // a piece of copied data on its way
    OutputFile::Written written{}; // the archive as it took its name
    Replacement *replacing = nullptr; // the file it replaces, and what it keeps of it

    // The data of an entry: the pipeline's for a file, the target's text,
    // stored, for a link kept as a link.
    zip_source_t *dataOf(Filling &f, const Entry &e)
    {
        if (e.isLink)
            return zip_source_buffer(f.za, e.linkTarget().data(), e.linkTarget().size(), 0);
        f.sources.push_back(std::make_unique<FileSource>(&f.pipeline, &messages, f.nextFile++));
        FileSource *fs = f.sources.back().get();
        fs->za = f.za;
        return zip_source_function(f.za, &sourceCallback<FileSource>, fs);
    }

    zip_int64_t addData(Filling &f, const Entry &e, zip_flags_t encoding)
    {
        zip_source_t *zs = dataOf(f, e);
        if (!zs)
            return -1;
        const zip_int64_t index = zip_file_add(f.za, e.stored.data(), zs, encoding | ZIP_FL_OVERWRITE);
        if (index < 0) {
            zip_source_free(zs);
            return -1;
        }
        const auto idx = static_cast<zip_uint64_t>(index);
        if (e.isFile())
            f.sources.back()->index = idx;
        else if (zip_set_file_compression(f.za, idx, ZIP_CM_STORE, 0) != 0)
            return -1;
        return index;
    }

    // Folders and links have little or no data: stored, so that libzip does
    // not set up a deflate stream for nothing.
    zip_int64_t addFolder(Filling &f, const Entry &e, zip_flags_t encoding)
    {
        const zip_int64_t index = zip_dir_add(f.za, e.stored.data(), encoding);
        if (index >= 0
            && zip_set_file_compression(f.za, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0) != 0)
            return -1;
        return index;
    }

    bool setAttributes(zip_t *za, zip_uint64_t idx, const Entry &e, bool existing)
    {
        if (existing) {
            // An entry replaced in an archive being updated would keep its
            // old fields beside the new ones.
            zip_file_extra_field_delete_by_id(za, idx, kFingerprintId, ZIP_EXTRA_FIELD_ALL, ZIP_FL_CENTRAL);
            zip_file_extra_field_delete_by_id(za, idx, 0x5455, ZIP_EXTRA_FIELD_ALL,
                                              ZIP_FL_LOCAL | ZIP_FL_CENTRAL);
        }
        zip_uint8_t ut[5];
        zip_uint8_t made[kFingerprintSize];
        fingerprint(request.level, e.mtimeNs, made);
        return zip_file_set_mtime(za, idx, dos.clamp(e.mtime), 0) == 0
               && (!e.isFile()
                   || zip_file_extra_field_set(za, idx, kFingerprintId, ZIP_EXTRA_FIELD_NEW, made,
                                               sizeof made, ZIP_FL_CENTRAL)
                          == 0)
               && zip_file_set_external_attributes(za, idx, 0, ZIP_OPSYS_UNIX, externalAttributes(e)) == 0
               && (!timestampField(e.mtime, ut)
                   || zip_file_extra_field_set(za, idx, 0x5455, ZIP_EXTRA_FIELD_NEW, ut, sizeof ut,
                                               ZIP_FL_LOCAL | ZIP_FL_CENTRAL)
                          == 0);
    }

    Added add(Filling &f, const Entry &e)
    {
        if (e.isDir && f.existing && zip_name_locate(f.za, e.stored.data(), ZIP_FL_ENC_RAW) >= 0)
            return Added::AlreadyThere;
        const zip_flags_t encoding = nameEncoding(e.stored);
        const zip_int64_t index = e.isDir ? addFolder(f, e, encoding) : addData(f, e, encoding);
        if (index >= 0 && setAttributes(f.za, static_cast<zip_uint64_t>(index), e, f.existing))
            return Added::Yes;
        const int code = zip_error_code_zip(zip_get_error(f.za));
        return index < 0 && (code == ZIP_ER_INVAL || code == ZIP_ER_EXISTS) ? Added::NameRefused
                                                                            : Added::Failed;
    }

    // dataCrc: of the entry's data as written, for the fingerprint.
    EntryHead headOf(const Entry &e, DosTimes &times, uint32_t dataCrc = 0)
    {
        EntryHead head;
        head.name = e.stored;
        head.deflated = false;
        head.utf8 = nameEncoding(e.stored) == ZIP_FL_ENC_UTF_8 && !isAscii(e.stored);
        times.of(dos.clamp(e.mtime));
        head.dosTime = times.time;
        head.dosDate = times.date;
        head.external = externalAttributes(e);
        zip_uint8_t ut[5];
        head.hasUnixTime = timestampField(e.mtime, ut);
        head.unixTime = static_cast<uint32_t>(e.mtime);
        if (e.isFile()) {
            // The field an update's entries get through libzip, and the
            // data's CRC, which only a new archive knows in time.
            static_assert(kFingerprintWithDataSize <= sizeof head.central);
            head.centralId = kFingerprintId;
            head.centralLength = kFingerprintWithDataSize;
            fingerprint(request.level, e.mtimeNs, dataCrc, head.central);
        }
        return head;
    }

    // Goes through the entries not excluded, in order, hearing a stop
    // between any two; `each` (given an entry's index) returns the result
    // to end the attempt with, or none to go on.
    template <typename Abandon, typename Each> std::optional<Attempt> eachEntry(Abandon &abandon, Each &&each)
    {
        for (size_t i = 0; i < entries.size(); ++i) {
            if (excluded[i])
                continue;
            messages.heartbeat();
            if (messages.stopped())
                return abandon(Attempt::Stopped);
            if (const std::optional<Attempt> ended = each(i))
                return ended;
        }
        return std::nullopt;
    }

    // A new archive (no update) is written straight to the file, entry by
    // entry as the workers finish them: nothing of an entry is kept but what
    // the central directory needs.
    Attempt writeDirect(OutputFile &out, Pipeline &pipeline, const std::vector<size_t> &fileEntry,
                        std::vector<std::string> &fileFailures, std::vector<size_t> &failedEntries)
    {
        Direct d{out, pipeline, fileEntry, fileFailures, failedEntries, ZipStream(out), {}};
        if (entries.size() >= (size_t(1) << 30)) {
            failure = finalPath + ": not written, too many entries for one archive";
            return d.abandon(Attempt::Internal);
        }
        out.begin();
        d.zs.reserve(entries.size());
        auto abandon = [&](Attempt result) { return d.abandon(result); };
        if (const std::optional<Attempt> ended =
                eachEntry(abandon, [&](size_t i) { return writeEntry(d, i); }))
            return *ended;
        if (!d.zs.finish([&](uint32_t id, uint32_t dataCrc) { return headOf(entries[id], d.times, dataCrc); })
            || !out.finish()) {
            if (g_processEnding.load() || messages.stopped())
                return d.abandon(messages.stopped() ? Attempt::Stopped : Attempt::Internal);
            return cannotWrite(d);
        }
        written = out.written();
        copied = pipeline.copiedCount();
        messages.reportProgress();
        return Attempt::Written;
    }

    // A wait for the workers came back empty: the files' failures, when
    // they had any, else the stop or the failure that ended it.
    Attempt filesFailed(Direct &d)
    {
        if (messages.stopped())
            return d.abandon(Attempt::Stopped);
        if (g_processEnding.load() || !d.pipeline.anyFailed())
            return d.abandon(Attempt::Internal);
        takeFailures(d.pipeline, d.fileEntry, d.fileFailures, d.failedEntries);
        return d.abandon(Attempt::FilesFailed);
    }

    Attempt cannotWrite(Direct &d)
    {
        failure = finalPath + ": cannot write (" + d.out.errorText() + ")";
        return d.abandon(Attempt::CannotWrite);
    }

    // Entry `i` written to the new archive; none when it was.
    std::optional<Attempt> writeEntry(Direct &d, size_t i)
    {
        const Entry &e = entries[i];
        EntryHead head = headOf(e, d.times);
        const auto id = static_cast<uint32_t>(i);
        if (e.isDir) {
            if (!d.zs.beginEntry(id, head, 0, true, 0, 0))
                return cannotWrite(d);
            return std::nullopt;
        }
        if (e.isLink) {
            const std::string &target = e.linkTarget();
            const auto crc = static_cast<uint32_t>(
                crc32(0, reinterpret_cast<const Bytef *>(target.data()), static_cast<uInt>(target.size())));
            if (!d.zs.beginEntry(id, head, target.size(), true, crc, target.size())
                || !d.zs.data(target.data(), target.size()))
                return cannotWrite(d);
            return std::nullopt;
        }
        return writeFile(d, id, head);
    }

    // The pipeline's next file as entry `id`: whole as the workers made
    // it, or, for a big file, copied from the earlier archive or in pieces.
    std::optional<Attempt> writeFile(Direct &d, uint32_t id, EntryHead &head)
    {
        Pipeline &pipeline = d.pipeline;
        const size_t f = d.nextFile++;
        const size_t first = pipeline.firstTask(f);
        TaskResult *r = pipeline.wait(first, messages);
        if (!r)
            return filesFailed(d);
        head.deflated = !r->stored;
        if (pipeline.chunked(f))
            return r->copied ? writeCopied(d, id, head, f) : writePieces(d, id, head, f);
        if (!d.zs.beginEntry(id, head, r->rawLength, true, r->crc, r->data.size())
            || !d.zs.data(r->data.data(), r->data.size()))
            return cannotWrite(d);
        messages.advance(r->rawLength);
        pipeline.release(first);
        return std::nullopt;
    }

    // A big file's data checked in the earlier archive: its header is
    // written as for data compressed here, sizes after the data, so that
    // the bytes are those of a fresh run.
    std::optional<Attempt> writeCopied(Direct &d, uint32_t id, const EntryHead &head, size_t f)
    {
        if (!d.zs.beginEntry(id, head, d.pipeline.file(f).size(), false, 0, 0))
            return cannotWrite(d);
        const Attempt copiedData = copyData(d.zs, d.pipeline, f);
        if (copiedData == Attempt::Retry)
            noCopy[d.fileEntry[f]] = true;
        if (copiedData == Attempt::CannotWrite)
            return cannotWrite(d);
        if (copiedData == Attempt::FilesFailed)
            return filesFailed(d);
        if (copiedData != Attempt::Written)
            return d.abandon(copiedData);
        const CopySource &copy = d.pipeline.file(f).copy;
        if (!d.zs.endEntry(copy.crc, copy.compSize))
            return cannotWrite(d);
        return std::nullopt;
    }

    // A big file compressed here in pieces, each written as it is done;
    // its CRC and compressed size go into its header after them.
    std::optional<Attempt> writePieces(Direct &d, uint32_t id, const EntryHead &head, size_t f)
    {
        Pipeline &pipeline = d.pipeline;
        if (!d.zs.beginEntry(id, head, pipeline.file(f).size(), false, 0, 0))
            return cannotWrite(d);
        uint32_t crc = 0;
        uint64_t compSize = 0;
        const size_t first = pipeline.firstTask(f);
        for (size_t t = first; t < first + pipeline.taskCount(f); ++t) {
            messages.heartbeat();
            if (g_processEnding.load() || messages.stopped())
                return d.abandon(messages.stopped() ? Attempt::Stopped : Attempt::Internal);
            TaskResult *r = pipeline.wait(t, messages);
            if (!r)
                return filesFailed(d);
            if (!d.zs.data(r->data.data(), r->data.size()))
                return cannotWrite(d);
            crc = static_cast<uint32_t>(crc32_combine(crc, r->crc, static_cast<z_off_t>(r->rawLength)));
            compSize += r->data.size();
            messages.advance(r->rawLength);
            pipeline.release(t);
        }
        if (!d.zs.endEntry(crc, compSize))
            return cannotWrite(d);
        return std::nullopt;
    }

    // The data of big file `f` from the earlier archive, checked there by
    // the workers, read in pieces into the new one. Retry when it cannot be
    // read there after all (the file is then compressed afresh).
    Attempt copyData(ZipStream &zs, Pipeline &pipeline, size_t f)
    {
        const size_t first = pipeline.firstTask(f);
        for (size_t t = first; t < first + pipeline.taskCount(f); ++t) {
            messages.heartbeat();
            if (g_processEnding.load() || messages.stopped())
                return messages.stopped() ? Attempt::Stopped : Attempt::Internal;
            if (!pipeline.wait(t, messages))
                return Attempt::FilesFailed;
            pipeline.release(t);
        }
        const CopySource &copy = pipeline.file(f).copy;
        const uint64_t size = pipeline.file(f).size();
        constexpr size_t kPiece = 1u << 20;
        if (copyBuffer.size() < kPiece)
            copyBuffer.resize(kPiece);
        // Progress by the file's bytes, in proportion.
        auto rawDone = [&](uint64_t c) {
            return c == copy.compSize
                       ? size
                       : static_cast<uint64_t>(static_cast<long double>(size) * c / copy.compSize);
        };
        for (uint64_t at = 0; at < copy.compSize;) {
            messages.heartbeat();
            if (g_processEnding.load() || messages.stopped())
                return messages.stopped() ? Attempt::Stopped : Attempt::Internal;
            const auto want = static_cast<size_t>(std::min<uint64_t>(kPiece, copy.compSize - at));
            const int64_t n = readFileAt(pipeline.earlier(), copyBuffer.data(), want, copy.offset + at);
            if (n <= 0)
                return Attempt::Retry;
            if (!zs.data(copyBuffer.data(), static_cast<size_t>(n)))
                return Attempt::CannotWrite;
            const uint64_t before = rawDone(at);
            at += static_cast<uint64_t>(n);
            messages.advance(rawDone(at) - before);
        }
        // Read again since the workers checked it: it must still be what
        // the fingerprint records.
        if (copy.dataCrcKnown && zs.dataCrc() != copy.dataCrc)
            return Attempt::Retry;
        return Attempt::Written;
    }

    zip_t *open(OutputFile &out, bool existing)
    {
        zip_error_t error;
        zip_error_init(&error);
        zip_source_t *outSource = out.source(&error);
        zip_t *za = outSource ? zip_open_from_source(outSource, ZIP_CREATE, &error) : nullptr;
        if (!za) {
            if (outSource)
                zip_source_free(outSource);
            failure = finalPath + ": " + (existing ? "cannot update (" : "cannot write (")
                      + zip_error_strerror(&error) + ")";
        }
        zip_error_fini(&error);
        return za;
    }

    // The output file of an attempt, told the archive's time, what it keeps
    // of the file it replaces, and when to let go of that file.
    void setUp(OutputFile &out)
    {
        if (stamp)
            out.setModifiedTime(began, beganNs);
        if (replacing && replacing->earlierThere)
            out.setKept(replacing->kept);
        out.setLetGoOfReplaced([this](bool inBackground) {
            if (earlier)
                earlier->close(inBackground);
            if (replacing)
                replacing->release(inBackground);
        });
    }

    // prepared: a pipeline already fed with every file of the entries, none
    // excluded; null to make one here from the entries not excluded.
    Attempt attempt(std::unique_ptr<Pipeline> prepared, std::vector<std::string> &fileFailures,
                    std::vector<size_t> &failedEntries)
    {
        FileInfo st;
        const bool existing = request.update && statPath(finalPath, true, st) && S_ISREG(st.mode);
        OutputFile out(finalPath, existing, messages);
        out.setHoldFolderSync(request.holdFolderSync);
        setUp(out);
        if (!out.create()) {
            failure = finalPath + ": cannot write (" + out.errorText() + ")";
            return Attempt::CannotWrite;
        }
        std::vector<size_t> fileEntry;
        for (size_t i = 0; i < entries.size(); ++i) {
            if (!excluded[i] && entries[i].isFile())
                fileEntry.push_back(i);
        }
        if (!prepared) {
            prepared = newPipeline(request, earlier);
            for (size_t i : fileEntry)
                prepared->add({&entries[i], noCopy[i] || copies.empty() ? CopySource{} : copies[i]});
            prepared->flush();
        }
        uint64_t total = 0;
        for (size_t f = 0; f < prepared->fileCount(); ++f)
            total += prepared->file(f).size();
        messages.setTotal(total);
        const Attempt result = existing ? writeUpdate(out, *prepared, fileEntry, fileFailures, failedEntries)
                                        : writeDirect(out, *prepared, fileEntry, fileFailures, failedEntries);
        if ((result == Attempt::FilesFailed || result == Attempt::Retry) && earlier && copies.empty())
            keepCopies(*prepared, fileEntry);
        return result;
    }

    // The copy sources of a round's pipeline, by entry, for the next round.
    void keepCopies(const Pipeline &pipeline, const std::vector<size_t> &fileEntry)
    {
        copies.assign(entries.size(), CopySource{});
        for (size_t f = 0; f < pipeline.fileCount(); ++f)
            copies[fileEntry[f]] = pipeline.file(f).copy;
    }

    // An archive being updated is written through libzip, which keeps the
    // entries that are not replaced as they were.
    Attempt writeUpdate(OutputFile &out, Pipeline &pipeline, const std::vector<size_t> &fileEntry,
                        std::vector<std::string> &fileFailures, std::vector<size_t> &failedEntries)
    {
        zip_t *za = open(out, true);
        if (!za)
            return Attempt::CannotWrite;
        Filling filling{za, pipeline, true, {}};
        filling.sources.reserve(pipeline.fileCount());
        auto abandon = [&](Attempt result) {
            zip_discard(za);
            out.discard();
            return result;
        };
        const std::optional<Attempt> ended = eachEntry(abandon, [&](size_t i) -> std::optional<Attempt> {
            const Added added = add(filling, entries[i]);
            if (added == Added::NameRefused) {
                // Only this entry is left out; the archive is built again
                // without it.
                fileFailures.push_back(entries[i].path() + ": left out, its name cannot be stored ("
                                       + zip_strerror(za) + ")");
                failedEntries.push_back(i);
                return abandon(Attempt::FilesFailed);
            }
            if (added == Added::Failed) {
                failure = entries[i].path() + ": cannot be added (" + zip_strerror(za) + ")";
                return abandon(Attempt::Internal);
            }
            return std::nullopt;
        });
        if (ended)
            return *ended;
        return finish(za, out, filling, fileEntry, fileFailures, failedEntries, abandon);
    }

    template <typename Abandon>
    Attempt finish(zip_t *za, OutputFile &out, Filling &filling, const std::vector<size_t> &fileEntry,
                   std::vector<std::string> &fileFailures, std::vector<size_t> &failedEntries,
                   Abandon &abandon)
    {
        Pipeline &pipeline = filling.pipeline;
        if (zip_close(za) == 0) {
            out.discard();
            copied = pipeline.copiedCount();
            messages.reportProgress();
            return Attempt::Written;
        }
        if (messages.stopped())
            return abandon(Attempt::Stopped);
        bool retry = false;
        for (const auto &source : filling.sources) {
            if (source->copyBroken) {
                noCopy[fileEntry[source->file]] = true;
                retry = true;
            }
        }
        if (retry)
            return abandon(Attempt::Retry);
        if (pipeline.anyFailed()) {
            takeFailures(pipeline, fileEntry, fileFailures, failedEntries);
            return abandon(Attempt::FilesFailed);
        }
        if (g_processEnding.load())
            return abandon(Attempt::Internal);
        if (out.failed())
            failure = finalPath + ": cannot write (" + out.errorText() + ")";
        else
            failure = finalPath + ": not written (" + zip_strerror(za) + ")";
        const zip_error_t *ze = zip_get_error(za);
        const int code = zip_error_code_zip(ze);
        const bool writeError = out.failed() || code == ZIP_ER_WRITE || code == ZIP_ER_RENAME
                                || code == ZIP_ER_CLOSE || code == ZIP_ER_TMPOPEN;
        return abandon(writeError ? Attempt::CannotWrite : Attempt::Internal);
    }
};

// After the archive took its name: its index, when the archive can vouch
// for what it was made from (see ReuseIndex.h) and is worth one; else none,
// and an older index of the name is removed (one of a file no longer there
// is left: it vouches for no other file). It vouches only when the moment its run
// began stuck as its modification time, read afresh by its name (on FUSE a
// handle may say what was just set rather than what the file system kept),
// on a file system that keeps real change times, and when it was written
// anew, not updated.
// An archive of a few small files gets no index: a re-run reads them again
// for the proof (see Reuse.h), which costs less than an index written now
// and read then.
bool worthAnIndex(const Builder &b)
{
    constexpr size_t kFewFiles = 4;
    constexpr uint64_t kFewBytes = 64 * 1024;
    size_t files = 0;
    uint64_t bytes = 0;
    for (size_t i = 0; i < b.entries.size(); ++i) {
        if (!b.excluded[i] && b.entries[i].isFile()) {
            ++files;
            bytes += b.entries[i].size;
        }
    }
    return files > kFewFiles || bytes > kFewBytes;
}

void keepIndex(const std::string &finalPath, const Builder &b, const NamedFolders &named, bool update)
{
    const OutputFile::Written &w = b.written;
    FileInfo now;
    const bool stuck = b.stamp && !update && worthAnIndex(b) && w.known && w.keepsChangeTimes
                       && statPath(finalPath, false, now) && S_ISREG(now.mode) && now.dev == w.st.dev
                       && now.ino == w.st.ino && now.mtime == b.began && now.mtimeNs == b.beganNs;
    if (!stuck) {
        // With no file under the name before, no index can be that file's.
        if (!b.replacing || b.replacing->earlierThere)
            removeIndex(finalPath);
        return;
    }
    const auto written = static_cast<uint64_t>(std::count(b.excluded.begin(), b.excluded.end(), false));
    IndexWriter index(finalPath, stampOf(now), b.began, static_cast<int32_t>(b.beganNs), named, written);
    for (size_t i = 0; i < b.entries.size(); ++i)
        if (!b.excluded[i])
            index.add(b.entries[i].isFile() ? &b.entries[i] : nullptr);
    index.finish();
}

} // namespace

namespace {
std::atomic<size_t> g_copiedInLastArchive{0};
}

namespace {

// The walk's options for `request`; false when its relative names cannot be
// made full: they then name nothing, rather than what they would name in "/".
bool collectOptionsFor(const ArchiveRequest &request, CollectOptions &options, std::string &archivePath)
{
    options.root = absolutePath(request.root.empty() ? std::string(".") : request.root);
    archivePath = absolutePath(request.archivePath);
    if (options.root.empty() || archivePath.empty())
        return false;
    options.recurse = request.recurse;
    options.ignorePath = request.ignorePath;
    options.includeHidden = request.includeHidden;
    options.followLinks = request.followLinks;
    for (const std::string &name : request.leaveOut)
        options.leaveOut.push_back(resolvePath(options.root, name));
    options.startWork = [](std::function<void()> work) { startJob(std::move(work)); };
    return true;
}

// The archive the new one replaces, read for what can be reused; an archive
// being updated keeps the earlier start when that is older: entries kept
// from it were read then.
std::unique_ptr<EarlierArchive> openEarlier(const ArchiveRequest &request, const Replacement &plan,
                                            int64_t &began, int64_t &beganNs)
{
    FileInfo st;
    if (!plan.earlierThere || !statPath(plan.path, true, st))
        return nullptr;
    if (request.update && (st.mtime < began || (st.mtime == began && st.mtimeNs < beganNs))) {
        began = st.mtime;
        beganNs = st.mtimeNs;
    }
    try {
        return EarlierArchive::open(plan.path, request.level);
    } catch (const std::exception &) {
        return nullptr; // no memory to read it: everything compressed afresh
    }
}

// Before building again after a file failed, every remaining file is opened
// once, so that a folder of unreadable files does not cost a round each:
// how many were left out.
size_t excludeUnreadable(const std::deque<Entry> &entries, std::vector<bool> &excluded, Messenger &messages)
{
    size_t leftOut = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (excluded[i] || !entries[i].isFile())
            continue;
        messages.heartbeat();
        std::string reason;
        if (!readable(entries[i], reason)) {
            messages.line(entries[i].path() + ": " + reason);
            excluded[i] = true;
            ++leftOut;
        }
    }
    return leftOut;
}

// Finds the entries; each file found goes to `pipeline` at once, so that
// the workers start on the first files while the rest are being found.
// `named` learns the folders named.
void collectInto(const ArchiveRequest &request, const CollectOptions &options, Messenger &messages,
                 Collected &collected, Pipeline &pipeline, EarlierArchive *earlier, NamedFolders &named)
{
    collectEntries(
        request.names, options, messages, collected,
        [&](const Entry &e) {
            if (e.isFile())
                pipeline.add(fileWork(e, earlier));
        },
        [&](const NamedFolders &folders) {
            named = folders;
            if (earlier)
                earlier->setNamedFolders(named);
        });
}

// Builds the archive in rounds, each without the files the one before found
// unreadable; ZP_OK once it is written, else the result to return.
int32_t buildInRounds(Builder &builder, std::unique_ptr<Pipeline> pipeline, size_t &filesLeftOut)
{
    Messenger &messages = builder.messages;
    for (int round = 0;; ++round) {
        std::vector<std::string> fileFailures;
        std::vector<size_t> failedEntries;
        const Attempt result = builder.attempt(std::move(pipeline), fileFailures, failedEntries);
        if (result == Attempt::Written)
            return ZP_OK;
        if (result == Attempt::Retry)
            continue;
        if (result == Attempt::CannotWrite) {
            messages.line(builder.failure);
            return ZP_CANNOT_WRITE;
        }
        if (result == Attempt::Stopped) {
            messages.line(builder.finalPath + ": not written, stopped");
            return ZP_STOPPED;
        }
        if (result == Attempt::Internal) {
            if (!builder.failure.empty())
                messages.line(builder.failure);
            return ZP_INTERNAL;
        }
        for (const auto &text : fileFailures)
            messages.line(text);
        for (size_t i : failedEntries) {
            builder.excluded[i] = true;
            ++filesLeftOut;
        }
        if (round == 0)
            filesLeftOut += excludeUnreadable(builder.entries, builder.excluded, messages);
        if (std::all_of(builder.excluded.begin(), builder.excluded.end(), [](bool x) { return x; })) {
            messages.line(builder.finalPath + ": not written, no file could be read");
            return ZP_NOTHING_TO_DO;
        }
    }
}

} // namespace

// Where the archive goes: the options its names are collected with, and
// what it replaces under its name and keeps of it (with a link of its name
// written through, the archive is the file the link leads to). ZP_OK, or
// the refusal, already told.
int32_t planTarget(const ArchiveRequest &request, Messenger &messages, CollectOptions &options,
                   Replacement &plan)
{
    std::string archivePath;
    if (!collectOptionsFor(request, options, archivePath)) {
        messages.line(request.archivePath + ": not written, the current folder cannot be told ("
                      + errorText(lastError()) + ")");
        return ZP_BAD_ARGUMENTS;
    }
    plan = planReplacement(archivePath);
    if (plan.error) {
        messages.line(archivePath + ": cannot write (" + errorText(plan.error) + ")");
        return ZP_CANNOT_WRITE;
    }
    options.archivePath = plan.path;
    return ZP_OK;
}

int32_t makeArchive(const ArchiveRequest &request, Messenger &messages)
{
    installExitCleanup();
    g_copiedInLastArchive.store(0);

    CollectOptions options;
    Replacement plan;
    if (const int32_t refused = planTarget(request, messages, options, plan); refused != ZP_OK)
        return refused;
    const std::string finalPath = plan.path;

    // The moment this run begins, before any file is read: the finished
    // archive carries it as its modification time, and its index keeps it,
    // for the next run to know which files changed since (see Reuse.h).
    int64_t began = 0, beganNs = 0;
    const bool stamp = fileSystemNow(began, beganNs);
    std::unique_ptr<EarlierArchive> earlier = openEarlier(request, plan, began, beganNs);

    // The entries outlive the pipeline, on every way out of here (a stop
    // half-way included): its workers read their paths. So they are made
    // first, and gone last.
    Collected collected;
    std::unique_ptr<Pipeline> pipeline = newPipeline(request, earlier.get());
    NamedFolders named;
    collectInto(request, options, messages, collected, *pipeline, earlier.get(), named);
    // Every file has been looked up: only the copy sources found are needed
    // from here on, and the earlier directory is as big as the listing.
    if (earlier)
        earlier->forgetDirectory();
    if (collected.stopped) {
        messages.line(finalPath + ": not written, stopped");
        return ZP_STOPPED;
    }
    pipeline->flush();
    if (collected.entries.empty()) {
        messages.line(finalPath + ": not written, nothing to archive");
        return ZP_NOTHING_TO_DO;
    }

    std::vector<bool> excluded(collected.entries.size(), false);
    size_t filesLeftOut = collected.leftOut;
    Builder builder{.request = request,
                    .messages = messages,
                    .finalPath = finalPath,
                    .entries = collected.entries,
                    .excluded = excluded,
                    .earlier = earlier.get(),
                    .noCopy = std::vector<bool>(collected.entries.size(), false),
                    .stamp = stamp,
                    .began = began,
                    .beganNs = beganNs,
                    .replacing = &plan};
    if (const int32_t result = buildInRounds(builder, std::move(pipeline), filesLeftOut); result != ZP_OK)
        return result;
    g_copiedInLastArchive.store(builder.copied);
    keepIndex(finalPath, builder, named, request.update);
    if (!plan.note.empty())
        messages.line(plan.note);
    return filesLeftOut > 0 ? ZP_FILES_SKIPPED : ZP_OK;
}

size_t copiedInLastArchive() { return g_copiedInLastArchive.load(); }

} // namespace zip32
