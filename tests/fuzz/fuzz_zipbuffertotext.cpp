// The binding's conversion of the engine's message buffer: it must never
// read past the length it is given, nor past index 4096, and stops at the
// first zero byte.
#include "core/EngineMessages.h"

#include <QString>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A buffer of exactly `size` bytes on the heap, so a read past it is caught.
    std::vector<char> buffer(data, data + size);
    const char *bytes = buffer.empty() ? nullptr : buffer.data();
    const QString text = ZipBufferToText(bytes, quint32(size));
    size_t n = 0;
    while (n < size && n <= 4096 && data[n] != 0)
        ++n;
    if (text != QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(n)))
        std::abort();
    // A shorter length than the buffer holds is honoured too.
    if (size > 0) {
        const QString head = ZipBufferToText(bytes, quint32(size / 2));
        if (head.size() > text.size() + 1 && !text.isEmpty())
            std::abort();
    }
    return 0;
}
