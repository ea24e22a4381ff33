// Messenger: the engine's one way of talking to the program. Every line goes
// through the program's message routine, on the thread that called ZpArchive,
// in pieces of at most 4096 bytes plus the terminating NUL.
#pragma once

#include "zip32.h"

#include <chrono>
#include <string>
#include <string_view>

namespace zip32 {

class Messenger {
public:
    // Largest piece handed to the routine, not counting the NUL after it.
    static constexpr size_t kMaxPiece = 4096;
    // An empty message goes out whenever this much time passed since the last
    // call of the routine, so the window can repaint (promised: every 50 ms).
    static constexpr std::chrono::milliseconds kBeatInterval{40};

    // Progress goes out no more often than this (promised: at most every 50 ms).
    static constexpr std::chrono::milliseconds kProgressInterval{50};

    explicit Messenger(ZipPrintRoutine print, ZipProgressRoutine progress = nullptr);

    // One warning or error line; the "\n" is added here. Control characters
    // in it are shown as printable ones (see printableLine).
    void line(std::string_view text);
    // An empty message, if the last call of the routine is long enough ago,
    // and the progress routine, if its last call is (the first time at once,
    // so that a stop asked before the engine started is heard).
    void heartbeat();
    // An empty message now.
    void beat();

    size_t linesSent() const { return lines_; }

    // File data: how much the archive holds in all, and how much is done;
    // both 0 while the names are being collected. Both on the calling thread.
    void setTotal(uint64_t total) { total_ = total; }
    void advance(uint64_t bytes) { done_ += bytes; }
    // Tells the progress routine now (when there is one), whatever the time.
    void reportProgress();
    // True once the progress routine asked to stop.
    bool stopped() const { return stopped_; }

private:
    void send(const char *data, size_t length);

    ZipPrintRoutine print_;
    ZipProgressRoutine progress_;
    std::chrono::steady_clock::time_point last_;
    std::chrono::steady_clock::time_point lastProgress_;
    size_t lines_ = 0;
    uint64_t total_ = 0;
    uint64_t done_ = 0;
    bool stopped_ = false;
};

// The text with every C0 control byte (0x00-0x1F) and DEL written as its
// Unicode control picture (U+2400 + byte, U+2421 for DEL) and every C1
// control in UTF-8 (U+0080-U+009F) as U+FFFD, so that a message line stays
// one line and sends no command to a terminal. Other bytes pass unchanged.
std::string printableLine(std::string_view text);

} // namespace zip32
