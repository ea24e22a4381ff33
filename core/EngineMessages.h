#pragma once
// Text of the engine's message buffers.
#include <QString>

// The message routine's conversion of an engine buffer to text: bytes 0 to
// length-1, stopping at the first zero byte and after index 4096.
QString ZipBufferToText(const char *buffer, quint32 length);
