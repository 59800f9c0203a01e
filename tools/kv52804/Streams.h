#pragma once
// Standard input, output and error as a script expects them of a tool: never
// left closed under the tool's own descriptors, and every failure to read or
// write reported.
#include "Exception.h"

#include <QByteArray>
#include <QString>

// Standard input cannot be read (closed, a directory, opened for writing
// only, or a read failed): bad input, found before the port opens if it can.
class EInput : public kv52804::Exception {
public:
    explicit EInput(int error);
};

// Standard output cannot be written: "write error: <reason>".
class EOutput : public kv52804::Exception {
public:
    explicit EOutput(int error);
};

// Puts /dev/null on each of the descriptors 0, 1 and 2 that is closed, so
// that nothing the tool opens later (its signal descriptor, the port) takes
// their place and gets read or written as a standard stream. Opened the
// other way round (standard input for writing only, the outputs for reading
// only), so a use of a stream that was closed fails with EBADF, as it would
// have, instead of reading nothing or writing into the void.
void GuardStandardDescriptors();

// Raises EInput unless standard input can be read.
void CheckStandardInput();

// Writes text to standard output; raises EOutput when it cannot be written.
void Print(const QByteArray& text);
// Hands what is buffered for standard output to the system; raises EOutput
// when that fails or an earlier write did.
void FlushOutput();

// Text from bytes that should be UTF-8. A byte that is not part of a valid
// sequence becomes one character of its own, a low surrogate U+DC80..U+DCFF
// (as Python's "surrogateescape" does), so that a message can still show the
// byte itself; no such character can be shown on the display.
QString DecodeUtf8Escaped(const char* bytes, std::size_t size);
