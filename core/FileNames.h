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
// replacement mark U+FFFD, and every control character as a visible mark
// (ESC as U+241B, a line break as U+240A, DEL as U+2421; the C1 controls
// U+0080 to U+009F as U+FFFD), so a name can neither drive a terminal nor
// break a message into lines.
QString FileNameForDisplay(const QString &name);

// A message of several lines as a person should see it: as
// FileNameForDisplay, but line breaks, carriage returns and tabs stay.
QString TextForDisplay(const QString &text);
