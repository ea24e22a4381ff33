#include "write/Output.h"

#include "write/CentralFix.h"
#include "write/FolderSyncs.h"
#include "messages/Messenger.h"
#include "compress/Pipeline.h"
#include "platform/Platform.h"
#include "names/TempName.h"
#include "compress/Threads.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace zip32 {

namespace {

// The temporary file in flight is kept where an exit handler can reach it
// without taking locks or allocating (Platform). Only one archive is written
// at a time.
void registerTemp(FolderHandle dir, const std::string &name) { armExitRemoval(dir, name); }

void unregisterTemp() { disarmExitRemoval(); }

void exitCleanup()
{
    g_processEnding.store(true);
    exitRemove();
    flushHeldFolder();
}

constexpr size_t kBufferSize = 1u << 20;

// The random part of a temporary file's name. The generator is seeded once
// per process: std::random_device costs a system call or a CPU instruction
// that a virtual machine traps, every time it is made. Its numbers are mixed
// with the process number, so that a child made by fork(), which starts from
// the same state, draws other names.
uint32_t temporaryNameNumber()
{
    static std::mutex drawing;
    static std::mt19937_64 random{std::random_device{}()};
    std::lock_guard lock(drawing);
    return static_cast<uint32_t>(random() ^ processNumber());
}

} // namespace

void installExitCleanup()
{
    static std::once_flag once;
    std::call_once(once, [] {
        std::atexit(exitCleanup);
        alsoAtQuickExit(exitCleanup);
    });
}

namespace {

// Removes temporary files of the archive whose temporary names carry `base`
// in `dir` that a writer left behind when it was killed: every writer holds
// a lock on its temporary file while it lives, so one whose lock can be
// taken has no writer any more.
void removeAbandonedTemps(FolderHandle dir, const std::string &dirPath, const std::string &base,
                          const std::string &mine)
{
    std::vector<std::string> names;
    temporaryNamesIn(dir, dirPath, isTemporaryName,
                     names); // what could be listed: the rest waits for the next writer
    for (const std::string &name : names) {
        if (isTemporaryOf(name, base) && name != mine)
            removeIfAbandoned(dir, name);
    }
}

} // namespace

OutputFile::OutputFile(std::string finalPath, bool existing, Messenger &messages)
    : final_(std::move(finalPath)), messages_(messages), existing_(existing)
{
    splitPath(final_, dirPath_, finalName_);
    zip_error_init(&error_);
}

OutputFile::~OutputFile()
{
    discard();
    if (in_ != kNoFile)
        closeFile(in_);
    closeFolder(dir_);
    zip_error_fini(&error_);
}

std::string OutputFile::errorText() const
{
    std::string text = zip32::errorText(errno_);
    if (!failedStep_.empty())
        text = failedStep_ + ": " + text;
    return text;
}

bool OutputFile::create()
{
    if (existing_) {
        in_ = openForReading(final_);
        if (in_ == kNoFile) {
            errno_ = lastError();
            failedStep_ = "cannot read the archive to update";
            return false;
        }
        FileInfo st;
        if (!fileInfo(in_, st)) {
            errno_ = lastError();
            return false;
        }
        inSize_ = st.size;
    }
    // The folder is held from here on: the temporary file is made, renamed
    // and, on any failure, removed in it, even if the folder is renamed
    // meanwhile.
    dir_ = openFolder(dirPath_);
    if (dir_ == kNoFile) {
        errno_ = lastError();
        failedStep_ = "cannot create a file in " + dirPath_;
        return false;
    }
    const std::string base = temporaryBase(finalName_);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = temporaryName(base, temporaryNameNumber());
        // Register before creating: an exit between the two removes nothing
        // that is not there; an exit after it removes the new file.
        registerTemp(dir_, candidate);
        const FileHandle fd = createTemporary(dir_, candidate, mode_);
        if (fd != kNoFile) {
            out_ = fd;
            temp_ = std::move(candidate);
            removeAbandonedTemps(dir_, dirPath_, base, temp_);
            return true;
        }
        const int error = lastError();
        unregisterTemp();
        if (error != kErrExists) {
            errno_ = error;
            failedStep_ = "cannot create a file in " + dirPath_;
            return false;
        }
    }
    errno_ = kErrExists;
    return false;
}

void OutputFile::discard()
{
    if (out_ != kNoFile) {
        closeFile(out_);
        out_ = kNoFile;
    }
    if (!temp_.empty()) {
        removeFile(dir_, temp_);
        temp_.clear();
        unregisterTemp();
    }
}

zip_source_t *OutputFile::source(zip_error_t *error)
{
    return zip_source_function_create(&sourceCallback<OutputFile>, this, error);
}

zip_int64_t OutputFile::setError(int zipError, int systemError)
{
    if (systemError != 0 && errno_ == 0)
        errno_ = systemError;
    zip_error_set(&error_, zipError, systemError);
    return -1;
}

bool OutputFile::flush()
{
    size_t done = 0;
    while (done < buffer_.size()) {
        int64_t n = writeFileAt(out_, buffer_.data() + done, buffer_.size() - done, bufferStart_ + done);
        if (n < 0) {
            setError(ZIP_ER_WRITE, lastError());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    // Start writing these bytes to disk now, without waiting: the fsync at
    // the end, which the caller does wait for, then has less left to do.
    if (done > 0)
        startWriteBack(out_, bufferStart_, done);
    buffer_.clear();
    bufferStart_ = pos_;
    return true;
}

// Renames the finished temporary file over the archive's name, while still
// holding it: closed first, it could be taken for abandoned and removed by
// another writer of the same archive. A file of that name that another
// program holds (a preview, an indexer, a virus scanner) is let go of
// within moments: the rename is tried again, with growing waits, for about
// two seconds, while the window goes on answering and a stop is heard.
// After that the earlier archive stays as it is.
bool OutputFile::takeName()
{
    using namespace std::chrono;
    const auto start = steady_clock::now();
    for (int attempt = 0;; ++attempt) {
        if (replaceWithTemporary(dir_, out_, temp_, finalName_))
            return true;
        const int error = lastError();
        const auto wait = milliseconds(std::min(5 << std::min(attempt, 6), 320));
        if (!isHeldElsewhere(error) || steady_clock::now() + wait - start > milliseconds(2300)) {
            if (isHeldElsewhere(error))
                failedStep_ = "another program holds it, and the earlier archive is kept";
            setError(ZIP_ER_RENAME, error);
            return false;
        }
        for (const auto until = steady_clock::now() + wait; steady_clock::now() < until;) {
            messages_.heartbeat();
            if (messages_.stopped()) {
                setError(ZIP_ER_RENAME, error);
                return false;
            }
            std::this_thread::sleep_for(milliseconds(5));
        }
    }
}

bool OutputFile::commit()
{
    if (!flush())
        return false;
    std::string mendError;
    if (mend_ && !mendCentralDirectory(out_, mendError)) {
        failedStep_ = mendError;
        setError(ZIP_ER_WRITE, lastError() ? lastError() : kErrIO);
        return false;
    }
    // Set before the sync so that it lasts with the data. A file system that
    // refuses it is not a reason to lose the archive: the time stays that of
    // the writing.
    if (stamp_)
        zip32::setModifiedTime(out_, stampSeconds_, stampNs_);
    if (keep_)
        keepAttributes(out_, kept_);
    // fsync can take seconds on a slow disk: it runs on its own thread while
    // this one keeps the window alive.
    const FileHandle fd = out_;
    auto syncError = std::make_shared<int>(0);
    auto synced = startJob([fd, syncError] { *syncError = syncFile(fd) ? 0 : lastError(); });
    while (!synced->waitFor(std::chrono::milliseconds(10)))
        messages_.heartbeat();
    if (*syncError != 0) {
        setError(ZIP_ER_WRITE, *syncError);
        return false;
    }
    // The archive being updated has been read to the end. Windows does not
    // replace a file that is still open, even by this process.
    if (in_ != kNoFile) {
        closeFile(in_);
        in_ = kNoFile;
    }
    const bool holdAcross = replacesHeldFiles(dir_);
    if (letGo_ && !holdAcross)
        letGo_(false);
    if (!takeName())
        return false;
    if (letGo_ && holdAcross)
        letGo_(true);
    temp_.clear();
    unregisterTemp();
    folderRenamed(dir_, holdFolderSync_);
    written_.known = fileInfo(out_, written_.st);
    written_.keepsChangeTimes = keepsChangeTimes(dir_);
    // Its data is on disk already (syncFile above): a failing close changes
    // nothing of the archive now under its name.
    closeFile(out_);
    out_ = kNoFile;
    return true;
}

bool OutputFile::put(const void *data, size_t length)
{
    if (out_ == kNoFile) {
        setError(ZIP_ER_WRITE, kErrBadHandle);
        return false;
    }
    // Every entry's local header is gone back to once its data is written:
    // a write inside or right after the buffered bytes lands in the buffer,
    // so an entry costs no write of its own.
    if (buffer_.empty())
        bufferStart_ = pos_;
    else if ((pos_ < bufferStart_ || pos_ > bufferStart_ + buffer_.size()) && !flush())
        return false;
    const auto *bytes = static_cast<const unsigned char *>(data);
    const size_t at = static_cast<size_t>(pos_ - bufferStart_);
    const size_t over = std::min<size_t>(length, buffer_.size() - at);
    std::memcpy(buffer_.data() + at, bytes, over);
    buffer_.insert(buffer_.end(), bytes + over, bytes + length);
    pos_ += length;
    end_ = std::max(end_, pos_);
    return buffer_.size() < kBufferSize || flush();
}

void OutputFile::begin()
{
    buffer_.clear();
    buffer_.reserve(kBufferSize);
    pos_ = end_ = bufferStart_ = 0;
    mend_ = false;
}

bool OutputFile::write(const void *data, size_t length)
{
    pos_ = end_;
    return put(data, length);
}

bool OutputFile::writeAt(uint64_t offset, const void *data, size_t length)
{
    pos_ = offset;
    const bool ok = put(data, length);
    pos_ = end_;
    return ok;
}

bool OutputFile::mayStat()
{
    if (existing_)
        return true;
    // No archive under that name yet: libzip starts a new one.
    zip_error_set(&error_, ZIP_ER_READ, ENOENT);
    return false;
}

bool OutputFile::stat(zip_stat_t &st)
{
    st.size = inSize_;
    st.valid |= ZIP_STAT_SIZE;
    return true;
}

zip_int64_t OutputFile::open()
{
    inPos_ = 0;
    return 0;
}

zip_int64_t OutputFile::read(void *data, zip_uint64_t length)
{
    if (in_ == kNoFile)
        return setError(ZIP_ER_READ, kErrBadHandle);
    const int64_t n = readFileAt(in_, data, length, inPos_);
    if (n < 0)
        return setError(ZIP_ER_READ, lastError());
    inPos_ += static_cast<zip_uint64_t>(n);
    return n;
}

// Seeking in the archive being read, and the writing commands.
zip_int64_t OutputFile::otherCommand(void *data, zip_uint64_t length, zip_source_cmd_t command)
{
    switch (command) {
    case ZIP_SOURCE_SEEK: {
        zip_int64_t pos = zip_source_seek_compute_offset(inPos_, inSize_, data, length, &error_);
        if (pos < 0)
            return -1;
        inPos_ = static_cast<zip_uint64_t>(pos);
        return 0;
    }
    case ZIP_SOURCE_TELL:
        return static_cast<zip_int64_t>(inPos_);
    default:
        return writeCommand(data, length, command);
    }
}

zip_int64_t OutputFile::writeCommand(void *data, zip_uint64_t length, zip_source_cmd_t command)
{
    switch (command) {
    case ZIP_SOURCE_BEGIN_WRITE:
        if (out_ == kNoFile)
            return setError(ZIP_ER_TMPOPEN, kErrBadHandle);
        buffer_.clear();
        buffer_.reserve(kBufferSize);
        pos_ = end_ = bufferStart_ = 0;
        return 0;

    case ZIP_SOURCE_WRITE:
        messages_.heartbeat();
        return put(data, length) ? static_cast<zip_int64_t>(length) : -1;
    case ZIP_SOURCE_SEEK_WRITE: {
        zip_int64_t pos = zip_source_seek_compute_offset(pos_, end_, data, length, &error_);
        if (pos < 0)
            return -1;
        pos_ = static_cast<zip_uint64_t>(pos);
        return 0;
    }
    case ZIP_SOURCE_TELL_WRITE:
        return static_cast<zip_int64_t>(pos_);

    case ZIP_SOURCE_COMMIT_WRITE:
        return commit() ? 0 : -1;
    case ZIP_SOURCE_ROLLBACK_WRITE:
        discard();
        return 0;
    case ZIP_SOURCE_REMOVE:
        // Only for an archive left without entries; the engine never closes one.
        return 0;
    default:
        return setError(ZIP_ER_OPNOTSUPP, 0);
    }
}

} // namespace zip32
