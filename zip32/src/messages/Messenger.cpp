#include "messages/Messenger.h"

#include <cstring>

namespace zip32 {

Messenger::Messenger(ZipPrintRoutine print, ZipProgressRoutine progress)
    : print_(print), progress_(progress), last_(std::chrono::steady_clock::now()),
      lastProgress_(last_ - kProgressInterval)
{
}

std::string printableLine(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            const unsigned picture = c == 0x7F ? 0x2421 : 0x2400 + c;
            out += static_cast<char>(0xE0 | (picture >> 12));
            out += static_cast<char>(0x80 | ((picture >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (picture & 0x3F));
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80
                   && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

void Messenger::reportProgress()
{
    lastProgress_ = std::chrono::steady_clock::now();
    if (progress_ && !stopped_ && progress_(done_, total_) != 0)
        stopped_ = true;
}

void Messenger::send(const char *data, size_t length)
{
    last_ = std::chrono::steady_clock::now();
    if (!print_)
        return;
    // A fresh buffer for every call: the routine may keep nothing of it, and
    // the program may reenter the engine from inside the routine.
    char buffer[kMaxPiece + 1];
    std::memcpy(buffer, data, length);
    buffer[length] = '\0';
    print_(buffer, static_cast<uint32_t>(length));
}

void Messenger::line(std::string_view text)
{
    ++lines_;
    std::string whole = printableLine(text);
    whole += '\n';
    size_t at = 0;
    while (at < whole.size()) {
        size_t piece = whole.size() - at;
        if (piece > kMaxPiece) {
            // Do not cut a UTF-8 sequence in two: move the cut back to the
            // start of the sequence it would split (text that is not UTF-8 is
            // cut where it falls).
            auto continuation = [&](size_t i) {
                return (static_cast<unsigned char>(whole[i]) & 0xC0) == 0x80;
            };
            piece = kMaxPiece;
            while (piece > kMaxPiece - 3 && continuation(at + piece))
                --piece;
            if (continuation(at + piece))
                piece = kMaxPiece;
        }
        send(whole.data() + at, piece);
        at += piece;
    }
}

void Messenger::heartbeat()
{
    const auto now = std::chrono::steady_clock::now();
    if (progress_ && now - lastProgress_ >= kProgressInterval)
        reportProgress();
    if (now - last_ >= kBeatInterval)
        beat();
}

void Messenger::beat() { send("", 0); }

} // namespace zip32
