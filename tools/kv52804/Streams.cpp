#include "Streams.h"

#include "Language.h"
#include "SysUtils.h"
#include "gnugettext.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kv52804;

EInput::EInput(int error)
    : Exception(Format(Translate(QStringLiteral("standard input: %s")), {SystemReason(error)})) {}

EOutput::EOutput(int error)
    : Exception(Format(Translate(QStringLiteral("write error: %s")), {SystemReason(error)})) {}

void GuardStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // The lowest free descriptor is fd itself: those below it are open.
        const int opened = ::open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
        if (opened >= 0 && opened != fd)
            ::close(opened);
    }
}

void CheckStandardInput() {
    const int flags = ::fcntl(STDIN_FILENO, F_GETFL);
    if (flags < 0)
        throw EInput(errno);
    if ((flags & O_ACCMODE) == O_WRONLY)
        throw EInput(EBADF);
    struct stat info;
    if (::fstat(STDIN_FILENO, &info) != 0)
        throw EInput(errno);
    if (S_ISDIR(info.st_mode))
        throw EInput(EISDIR);
}

void Print(const QByteArray& text) {
    errno = 0;
    if (std::fwrite(text.constData(), 1, std::size_t(text.size()), stdout) !=
        std::size_t(text.size()))
        throw EOutput(errno ? errno : EIO);
}

void FlushOutput() {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        throw EOutput(errno ? errno : EIO);
}

QString DecodeUtf8Escaped(const char* bytes, std::size_t size) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    QString text;
    text.reserve(qsizetype(size));
    for (std::size_t i = 0; i < size;) {
        const unsigned char lead = b[i];
        // Sequence length and the smallest code point it may carry (shorter
        // forms, "overlong" ones, are not valid).
        std::size_t length = 1;
        char32_t code = lead, least = 0;
        if (lead >= 0xC2 && lead <= 0xDF)
            length = 2, code = lead & 0x1F, least = 0x80;
        else if (lead >= 0xE0 && lead <= 0xEF)
            length = 3, code = lead & 0x0F, least = 0x800;
        else if (lead >= 0xF0 && lead <= 0xF4)
            length = 4, code = lead & 0x07, least = 0x10000;
        else if (lead >= 0x80)
            length = 0; // a continuation byte or one no sequence begins with
        bool valid = length > 0 && i + length <= size;
        for (std::size_t k = 1; valid && k < length; ++k) {
            valid = (b[i + k] & 0xC0) == 0x80;
            code = (code << 6) | (b[i + k] & 0x3F);
        }
        valid = valid && code >= least && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        if (!valid) {
            text += QChar(char16_t(0xDC00 + lead));
            ++i;
            continue;
        }
        text += QString::fromUcs4(&code, 1);
        i += length;
    }
    return text;
}
