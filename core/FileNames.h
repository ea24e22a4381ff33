#pragma once
// File-system names carried as text without loss.
//
// On POSIX a name is a string of bytes that need not be valid UTF-8. Such a
// name is decoded as UTF-8 where it is valid, and every byte that is not part
// of a valid sequence becomes the lone low surrogate U+DC00 + byte (U+DC80 to
// U+DCFF), as Python's "surrogateescape" does. Encoding turns those back into
// the same bytes, so decode then encode gives back the bytes exactly. Valid
// UTF-8 never decodes to a lone surrogate, so the mapping is one to one.
#include <QByteArray>
#include <QString>

// Bytes of a name (or path) as the system gives them, as text.
QString FileNameFromNative(const QByteArray &bytes);

// The bytes a name stands for: the inverse of FileNameFromNative. Text from
// elsewhere is plain UTF-8; a lone surrogate that no decoding made becomes
// U+FFFD.
QByteArray FileNameToNative(const QString &name);

// The name as a person should see it: every undecodable byte shown as the
// replacement mark U+FFFD.
QString FileNameForDisplay(const QString &name);
