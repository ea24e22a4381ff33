#include "core/EngineMessages.h"

QString ZipBufferToText(const char *buffer, quint32 length)
{
    if (!buffer)
        return QString();
    constexpr quint32 kLastIndex = 4096;
    quint32 n = 0;
    while (n < length && n <= kLastIndex && buffer[n] != '\0')
        ++n;
    return QString::fromUtf8(buffer, qsizetype(n));
}
