// SPDX-License-Identifier: MIT
//
// What Linux and the portable build share: POSIX calls only.
#include "host.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Cli::Host {

bool isStream(const QString &path, int fd)
{
    struct stat file {
    }, stream{};
    return ::stat(QFile::encodeName(path).constData(), &file) == 0 && ::fstat(fd, &stream) == 0 &&
           file.st_dev == stream.st_dev && file.st_ino == stream.st_ino;
}

bool openFifo(QFile &file, const QString &path, QIODevice::OpenMode mode, QString *error,
              bool *handled)
{
    struct stat st {};
    *handled = stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISFIFO(st.st_mode);
    if (!*handled)
        return false;
    // One with a reader, such as a shell's >(gzip), is a fine place to write.
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno == ENXIO ? QStringLiteral("it is a FIFO that nobody reads")
                                : QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (file.open(fd, QIODevice::WriteOnly | mode, QFileDevice::AutoCloseHandle))
        return true;
    ::close(fd);
    *error = file.errorString();
    return false;
}

} // namespace Cli::Host
