#include "MappedFile.h"

#include "gnugettext.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv52804 {

void TMappedFile::Open(const QString& path) {
    Close();
    const QByteArray native = path.toLocal8Bit();
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw EGnuGettext("Cannot open file " + path, errno, "open");
    struct stat st {};
    // An empty file cannot be mapped at all; report it where the size is found
    // out, as a failure to create the mapping.
    const int statErr = ::fstat(fd, &st) != 0 ? errno : st.st_size <= 0 ? EINVAL : 0;
    if (statErr != 0) {
        ::close(fd);
        throw EGnuGettext("Cannot create memory map on file " + path, statErr, "fstat");
    }
    void* view = ::mmap(nullptr, std::size_t(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    const int err = errno;
    // The mapping keeps the file; the descriptor is not needed any longer.
    ::close(fd);
    if (view == MAP_FAILED)
        throw EGnuGettext("Cannot map file " + path +
                              " into memory. Reason: " + QString::fromLocal8Bit(std::strerror(err)),
                          err, "mmap");
    FData = static_cast<const unsigned char*>(view);
    FSize = std::size_t(st.st_size);
}

void TMappedFile::Close() noexcept {
    if (FData)
        ::munmap(const_cast<unsigned char*>(FData), FSize);
    FData = nullptr;
    FSize = 0;
}

} // namespace kv52804
