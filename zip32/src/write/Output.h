// Output: the archive file itself. libzip writes through this source, so the
// engine knows every file it makes: a temporary file beside the archive, with
// a name starting with '.', that is flushed to disk and renamed to the
// archive's name only when the archive is complete, and removed on any
// failure, and at exit if the program ends while it is being written.
#pragma once

#include "platform/Platform.h"
#include "write/SourceCommands.h"

#include <zip.h>

#include <functional>
#include <string>
#include <vector>

namespace zip32 {

class Messenger;

class OutputFile {
public:
    // finalPath: normalised absolute path of the archive. existing: read the
    // archive now under that name (update mode).
    OutputFile(std::string finalPath, bool existing, Messenger &messages);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // The modification time the archive gets before it takes its name.
    void setModifiedTime(int64_t seconds, int64_t nanoseconds)
    {
        stamp_ = true;
        stampSeconds_ = seconds;
        stampNs_ = nanoseconds;
    }
    // What the archive keeps of the file it replaces (see Replace.h): the
    // temporary file is made with no more than its permissions, and given
    // the rest before it takes the name.
    void setKept(const KeptAttributes &kept)
    {
        keep_ = true;
        kept_ = kept;
        mode_ = kept.mode;
    }
    // The folder's flush after the rename may wait for a later archive's
    // (see FolderSyncs.h).
    void setHoldFolderSync(bool hold) { holdFolderSync_ = hold; }
    // Makes the temporary file; false with errorText() set when the folder
    // cannot take it (missing, read-only, full).
    bool create();
    // A new libzip source writing to this file; the object must outlive it.
    zip_source_t *source(zip_error_t *error);

    // Writing the archive directly, without libzip: begin() starts the file,
    // write() appends at position(), writeAt() goes back over bytes already
    // written (a local header whose sizes are known only after its data),
    // finish() puts the file on disk and renames it to the archive's name.
    void begin();
    bool write(const void *data, size_t length);
    bool writeAt(uint64_t offset, const void *data, size_t length);
    uint64_t position() const { return pos_; }
    bool finish() { return commit(); }

    // Called once the archive is complete and on disk: what still holds the
    // file it replaces lets go of it. Right before the rename where the
    // file system replaces no file held open (replacesHeldFiles), with
    // false; elsewhere once the archive has its name, with true, to close in
    // the background (closeInBackground), as that last close, not the
    // rename, now frees the replaced file's space.
    void setLetGoOfReplaced(std::function<void(bool inBackground)> letGo) { letGo_ = std::move(letGo); }
    // After finish(): the archive as it took its name, and whether the file
    // system holding it keeps real change times.
    struct Written {
        bool known = false;
        FileInfo st;
        bool keepsChangeTimes = false;
    };
    const Written &written() const { return written_; }

    bool failed() const { return errno_ != 0; }
    std::string errorText() const;
    // Removes the temporary file, if one is left.
    void discard();

private:
    // What the libzip source does for each command (see SourceCommands.h):
    // it reads the archive being updated and writes the temporary file.
    template <typename Source>
    friend zip_int64_t dispatchSourceCommand(Source &, void *, zip_uint64_t, zip_source_cmd_t);
    zip_int64_t supports() const { return ZIP_SOURCE_SUPPORTS_WRITABLE; }
    bool mayStat();
    bool stat(zip_stat_t &st);
    zip_int64_t open();
    zip_int64_t read(void *data, zip_uint64_t length);
    zip_error_t *sourceError() { return &error_; }
    zip_int64_t otherCommand(void *data, zip_uint64_t length, zip_source_cmd_t command);
    zip_int64_t writeCommand(void *data, zip_uint64_t length, zip_source_cmd_t command);

    zip_int64_t setError(int zipError, int systemError);
    bool put(const void *data, size_t length);
    bool flush();
    bool commit();
    bool takeName();

    std::string final_;
    std::string dirPath_, finalName_; // the folder final_ lies in, and its name there
    FolderHandle dir_ = kNoFile; // that folder, held from create() on
    std::string temp_; // the temporary file's name in it
    uint32_t mode_ = 0666;
    Messenger &messages_;
    zip_error_t error_;
    int errno_ = 0;
    std::string failedStep_;
    bool stamp_ = false;
    bool holdFolderSync_ = false;
    int64_t stampSeconds_ = 0, stampNs_ = 0;
    std::function<void(bool inBackground)> letGo_;
    Written written_;
    bool keep_ = false;
    KeptAttributes kept_;

    // Reading the archive being updated.
    FileHandle in_ = kNoFile;
    bool existing_;
    zip_uint64_t inSize_ = 0;
    zip_uint64_t inPos_ = 0;

    // Writing the temporary file, through a buffer.
    FileHandle out_ = kNoFile;
    std::vector<unsigned char> buffer_;
    zip_uint64_t bufferStart_ = 0;
    zip_uint64_t pos_ = 0;
    zip_uint64_t end_ = 0;
    bool mend_ = true; // libzip wrote it: see CentralFix.h
};

// Registers the exit handlers once; they remove a temporary file in flight.
void installExitCleanup();

} // namespace zip32
