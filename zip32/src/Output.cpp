#include "Output.h"

#include "CentralFix.h"
#include "Messenger.h"
#include "Pipeline.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <random>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zip32 {

namespace {

// The temporary file in flight, kept where an exit handler can reach it
// without taking locks or allocating. Only one archive is written at a time.
char g_tempPath[PATH_MAX + 1];
std::atomic<bool> g_tempActive{false};

void registerTemp(const std::string &path)
{
    if (path.size() > PATH_MAX)
        return;
    std::memcpy(g_tempPath, path.c_str(), path.size() + 1);
    g_tempActive.store(true, std::memory_order_release);
}

void unregisterTemp()
{
    g_tempActive.store(false, std::memory_order_release);
}

void exitCleanup()
{
    g_processEnding.store(true);
    if (g_tempActive.exchange(false))
        ::unlink(g_tempPath);
}

constexpr size_t kBufferSize = 1u << 20;

} // namespace

void installExitCleanup()
{
    static std::once_flag once;
    std::call_once(once, [] {
        std::atexit(exitCleanup);
        std::at_quick_exit(exitCleanup);
    });
}

namespace {

// True for NAME of the form "." + base + "." + eight hex digits + ".tmp":
// the temporary files this engine makes for the archive `base`.
bool isTempOf(const std::string &name, const std::string &base)
{
    const std::string head = "." + base + ".";
    const std::string tail = ".tmp";
    if (name.size() != head.size() + 8 + tail.size() || name.compare(0, head.size(), head) != 0
        || name.compare(name.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    for (size_t i = head.size(); i < head.size() + 8; ++i) {
        const char c = name[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

// Removes temporary files of the archive `base` in `dir` that a writer left
// behind when it was killed: every writer holds a lock on its temporary file
// while it lives, so one whose lock can be taken has no writer any more.
void removeAbandonedTemps(const std::string &dir, const std::string &base, const std::string &mine)
{
    DIR *d = ::opendir(dir.c_str());
    if (!d)
        return;
    std::vector<std::string> abandoned;
    while (const dirent *e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (!isTempOf(name, base))
            continue;
        const std::string path = (dir == "/" ? std::string() : dir) + "/" + name;
        if (path == mine)
            continue;
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st;
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            abandoned.push_back(path);
        ::close(fd);
    }
    ::closedir(d);
    for (const std::string &path : abandoned)
        ::unlink(path.c_str());
}

} // namespace

OutputFile::OutputFile(std::string finalPath, bool existing, Messenger &messages)
    : final_(std::move(finalPath)), messages_(messages), existing_(existing)
{
    zip_error_init(&error_);
}

OutputFile::~OutputFile()
{
    discard();
    if (in_ >= 0)
        ::close(in_);
    zip_error_fini(&error_);
}

std::string OutputFile::errorText() const
{
    std::string text = std::strerror(errno_);
    if (!failedStep_.empty())
        text = failedStep_ + ": " + text;
    return text;
}

bool OutputFile::create()
{
    if (existing_) {
        in_ = ::open(final_.c_str(), O_RDONLY | O_CLOEXEC);
        if (in_ < 0) {
            errno_ = errno;
            failedStep_ = "cannot read the archive to update";
            return false;
        }
        struct stat st;
        if (::fstat(in_, &st) != 0) {
            errno_ = errno;
            return false;
        }
        inSize_ = static_cast<zip_uint64_t>(st.st_size);
    }
    const size_t slash = final_.rfind('/');
    const std::string dir = final_.substr(0, slash == 0 ? 1 : slash);
    const std::string base = final_.substr(slash + 1);
    std::random_device seed;
    std::mt19937_64 random(seed() ^ static_cast<uint64_t>(::getpid()));
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%08llx.tmp",
                      static_cast<unsigned long long>(random() & 0xffffffffu));
        std::string candidate = (dir == "/" ? std::string() : dir) + "/." + base + suffix;
        // Register before creating: an exit between the two removes nothing
        // that is not there; an exit after it removes the new file.
        registerTemp(candidate);
        int fd = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            // Held until the file is closed, and by the system until this
            // process ends, however it ends.
            ::flock(fd, LOCK_EX | LOCK_NB);
            out_ = fd;
            temp_ = std::move(candidate);
            removeAbandonedTemps(dir, base, temp_);
            return true;
        }
        unregisterTemp();
        if (errno != EEXIST) {
            errno_ = errno;
            failedStep_ = "cannot create a file in " + dir;
            return false;
        }
    }
    errno_ = EEXIST;
    return false;
}

void OutputFile::discard()
{
    if (out_ >= 0) {
        ::close(out_);
        out_ = -1;
    }
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        temp_.clear();
        unregisterTemp();
    }
}

zip_source_t *OutputFile::source(zip_error_t *error)
{
    return zip_source_function_create(&OutputFile::callback, this, error);
}

zip_int64_t OutputFile::callback(void *self, void *data, zip_uint64_t length, zip_source_cmd_t command)
{
    return static_cast<OutputFile *>(self)->handle(data, length, command);
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
        ssize_t n = ::pwrite(out_, buffer_.data() + done, buffer_.size() - done,
                             static_cast<off_t>(bufferStart_ + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            setError(ZIP_ER_WRITE, errno);
            return false;
        }
        done += static_cast<size_t>(n);
    }
#ifdef __linux__
    // Start writing these bytes to disk now, without waiting: the fsync at
    // the end, which the caller does wait for, then has less left to do.
    if (done > 0)
        ::sync_file_range(out_, static_cast<off_t>(bufferStart_), static_cast<off_t>(done), SYNC_FILE_RANGE_WRITE);
#endif
    buffer_.clear();
    bufferStart_ = pos_;
    return true;
}

bool OutputFile::commit()
{
    if (!flush())
        return false;
    std::string mendError;
    if (!mendCentralDirectory(out_, mendError)) {
        failedStep_ = mendError;
        setError(ZIP_ER_WRITE, errno ? errno : EIO);
        return false;
    }
    // fsync can take seconds on a slow disk: it runs on its own thread while
    // this one keeps the window alive.
    const int fd = out_;
    auto synced = std::async(std::launch::async, [fd] { return ::fsync(fd) == 0 ? 0 : errno; });
    while (synced.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
        messages_.heartbeat();
    const int syncError = synced.get();
    if (syncError != 0 && syncError != EINVAL && syncError != EROFS) {
        setError(ZIP_ER_WRITE, syncError);
        return false;
    }
    if (::close(out_) != 0) {
        out_ = -1;
        setError(ZIP_ER_CLOSE, errno);
        return false;
    }
    out_ = -1;
    if (::rename(temp_.c_str(), final_.c_str()) != 0) {
        setError(ZIP_ER_RENAME, errno);
        return false;
    }
    temp_.clear();
    unregisterTemp();
    const size_t slash = final_.rfind('/');
    int dfd = ::open(final_.substr(0, slash == 0 ? 1 : slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

zip_int64_t OutputFile::handle(void *data, zip_uint64_t length, zip_source_cmd_t command)
{
    switch (command) {
    case ZIP_SOURCE_SUPPORTS:
        return ZIP_SOURCE_SUPPORTS_WRITABLE;

    case ZIP_SOURCE_STAT: {
        if (!existing_) {
            // No archive under that name yet: libzip starts a new one.
            zip_error_set(&error_, ZIP_ER_READ, ENOENT);
            return -1;
        }
        auto *st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &error_);
        if (!st)
            return -1;
        zip_stat_init(st);
        st->size = inSize_;
        st->valid |= ZIP_STAT_SIZE;
        return sizeof(*st);
    }

    case ZIP_SOURCE_OPEN:
        inPos_ = 0;
        return 0;
    case ZIP_SOURCE_READ: {
        if (in_ < 0)
            return setError(ZIP_ER_READ, EBADF);
        for (;;) {
            ssize_t n = ::pread(in_, data, length, static_cast<off_t>(inPos_));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return setError(ZIP_ER_READ, errno);
            inPos_ += static_cast<zip_uint64_t>(n);
            return n;
        }
    }
    case ZIP_SOURCE_SEEK: {
        zip_int64_t pos = zip_source_seek_compute_offset(inPos_, inSize_, data, length, &error_);
        if (pos < 0)
            return -1;
        inPos_ = static_cast<zip_uint64_t>(pos);
        return 0;
    }
    case ZIP_SOURCE_TELL:
        return static_cast<zip_int64_t>(inPos_);
    case ZIP_SOURCE_CLOSE:
        return 0;

    case ZIP_SOURCE_BEGIN_WRITE:
        if (out_ < 0)
            return setError(ZIP_ER_TMPOPEN, EBADF);
        buffer_.clear();
        buffer_.reserve(kBufferSize);
        pos_ = end_ = bufferStart_ = 0;
        return 0;

    case ZIP_SOURCE_WRITE: {
        messages_.heartbeat();
        if (out_ < 0)
            return setError(ZIP_ER_WRITE, EBADF);
        // libzip goes back to every entry's local header once its data is
        // written: a write inside or right after the buffered bytes lands in
        // the buffer, so an entry costs no write of its own.
        if (buffer_.empty())
            bufferStart_ = pos_;
        else if ((pos_ < bufferStart_ || pos_ > bufferStart_ + buffer_.size()) && !flush())
            return -1;
        const auto *bytes = static_cast<const unsigned char *>(data);
        const size_t at = static_cast<size_t>(pos_ - bufferStart_);
        const size_t over = std::min<size_t>(length, buffer_.size() - at);
        std::memcpy(buffer_.data() + at, bytes, over);
        buffer_.insert(buffer_.end(), bytes + over, bytes + length);
        pos_ += length;
        end_ = std::max(end_, pos_);
        if (buffer_.size() >= kBufferSize && !flush())
            return -1;
        return static_cast<zip_int64_t>(length);
    }
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

    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&error_, data, length);
    case ZIP_SOURCE_FREE:
        return 0;
    default:
        return setError(ZIP_ER_OPNOTSUPP, 0);
    }
}

} // namespace zip32
