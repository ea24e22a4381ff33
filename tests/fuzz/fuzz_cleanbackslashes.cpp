// CleanBackslashes and GetLastPathPart on arbitrary text, both path styles.
// The first byte picks the style; the rest is the path (UTF-16 when the
// second byte is odd, so every QChar value is reached, UTF-8 otherwise).
#include "core/PathHelpers.h"

#include <QString>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

QString withoutSeparators(const QString &text, QChar sep)
{
    QString out = text;
    out.remove(sep);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const PathStyle style = (data[0] & 1) ? PathStyle::Windows : PathStyle::Posix;
    const QChar sep = style == PathStyle::Windows ? QChar(u'\\') : QChar(u'/');
    QString path;
    if (data[1] & 1) {
        const size_t units = (size - 2) / 2;
        path.resize(qsizetype(units));
        std::memcpy(path.data(), data + 2, units * 2);
    } else {
        path = QString::fromUtf8(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));
    }

    const QString cleaned = CleanBackslashes(path, style);
    // Only separators go; everything else stays, in order.
    check(withoutSeparators(cleaned, sep) == withoutSeparators(path, sep));
    // A leading run becomes the prefix of its style; Windows may grow one
    // separator to make a share prefix, nothing else grows.
    check(cleaned.size() <= path.size() + 1);
    if (path.startsWith(sep)) {
        const QString prefix = style == PathStyle::Windows ? QString(2, sep) : QString(1, sep);
        check(cleaned.startsWith(prefix));
        check(cleaned.size() == prefix.size() || cleaned[prefix.size()] != sep);
    } else {
        check(!cleaned.startsWith(sep) || path.startsWith(sep) || path.isEmpty());
    }
    // Pairs join: a run of k separators inside the path becomes ceil(k/2).
    qsizetype longestIn = 0, longestOut = 0, run = 0;
    qsizetype i = 0;
    while (i < path.size() && path[i] == sep)
        ++i;
    for (; i < path.size(); ++i) {
        run = path[i] == sep ? run + 1 : 0;
        longestIn = qMax(longestIn, run);
    }
    run = 0;
    i = 0;
    while (i < cleaned.size() && cleaned[i] == sep)
        ++i;
    for (; i < cleaned.size(); ++i) {
        run = cleaned[i] == sep ? run + 1 : 0;
        longestOut = qMax(longestOut, run);
    }
    check(longestOut == (longestIn + 1) / 2);

    // The last part: a suffix of the path with no native separator in it.
    const QString last = GetLastPathPart(path);
    check(path.endsWith(last));
    check(!last.contains(kNativeSeparator));
    if (path.contains(kNativeSeparator))
        check(path.size() > last.size() && path[path.size() - last.size() - 1] == kNativeSeparator);
    else
        check(last == path);
    return 0;
}
