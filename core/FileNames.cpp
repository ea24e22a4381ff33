#include "core/FileNames.h"

#include "zip32/src/platform/Utf8.h"

namespace {

constexpr char16_t kEscapeBase = 0xDC00;
constexpr char16_t kReplacement = 0xFFFD;

bool isEscapedByte(char16_t c) { return c >= 0xDC80 && c <= 0xDCFF; }

} // namespace

QString FileNameFromNative(const QByteArray &bytes)
{
    QString out;
    out.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size();) {
        char32_t cp = 0;
        const auto len = qsizetype(zip32::utf8::sequence(
            reinterpret_cast<const unsigned char *>(bytes.constData()) + i, size_t(bytes.size() - i), cp));
        if (len == 0) {
            out.append(QChar(char16_t(kEscapeBase + static_cast<unsigned char>(bytes[i]))));
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            out.append(QChar::highSurrogate(cp));
            out.append(QChar::lowSurrogate(cp));
        } else {
            out.append(QChar(char16_t(cp)));
        }
        i += len;
    }
    return out;
}

QByteArray FileNameToNative(const QString &name)
{
    QByteArray out;
    out.reserve(name.size());
    const qsizetype n = name.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = name[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < n && QChar::isLowSurrogate(name[i + 1].unicode())) {
            zip32::utf8::append(out, QChar::surrogateToUcs4(c, name[i + 1].unicode()));
            ++i;
        } else if (isEscapedByte(c)) {
            out.append(char(c - kEscapeBase));
        } else if (QChar::isSurrogate(c)) {
            zip32::utf8::append(out, kReplacement);
        } else {
            zip32::utf8::append(out, c);
        }
    }
    return out;
}

namespace {

// A visible stand-in for a character a person must not get raw: an
// undecodable byte, a control character. Zero when the character may stay.
char16_t displayMark(char16_t c, bool keepLayout)
{
    if (QChar::isSurrogate(c))
        return kReplacement;
    if (c < 0x20) {
        if (keepLayout && (c == u'\n' || c == u'\r' || c == u'\t'))
            return 0;
        return char16_t(0x2400 + c); // the Control Pictures block
    }
    if (c == 0x7F)
        return 0x2421;
    if (c >= 0x80 && c <= 0x9F)
        return kReplacement;
    return 0;
}

QString forDisplay(const QString &text, bool keepLayout)
{
    QString out = text;
    const qsizetype n = out.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = out[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < n && QChar::isLowSurrogate(out[i + 1].unicode()))
            ++i;
        else if (const char16_t mark = displayMark(c, keepLayout))
            out[i] = QChar(mark);
    }
    return out;
}

} // namespace

QString FileNameForDisplay(const QString &name) { return forDisplay(name, false); }

QString TextForDisplay(const QString &text) { return forDisplay(text, true); }
