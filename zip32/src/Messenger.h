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

    explicit Messenger(ZipPrintRoutine print);

    // One warning or error line; the "\n" is added here.
    void line(std::string_view text);
    // An empty message, if the last call of the routine is long enough ago.
    void heartbeat();
    // An empty message now.
    void beat();

    size_t linesSent() const { return lines_; }

private:
    void send(const char *data, size_t length);

    ZipPrintRoutine print_;
    std::chrono::steady_clock::time_point last_;
    size_t lines_ = 0;
};

} // namespace zip32
