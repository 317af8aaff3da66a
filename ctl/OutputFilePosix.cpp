#include "OutputFile.h"

#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString kindOf(mode_t mode)
{
    if (S_ISLNK(mode))
        return QStringLiteral("it is a symbolic link");
    if (S_ISDIR(mode))
        return QStringLiteral("it is a folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("it is a FIFO");
    if (!S_ISREG(mode))
        return QStringLiteral("it is a device or a socket, not a regular file");
    return {};
}

} // namespace

QString outputPathRefusal(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat status = {};
    if (::lstat(name.constData(), &status) == 0) {
        if (const QString kind = kindOf(status.st_mode); !kind.isEmpty())
            return kind;
        return ::access(name.constData(), W_OK) == 0 ? QString() : QStringLiteral("it is not writable");
    }
    if (errno != ENOENT)
        return QString::fromLocal8Bit(std::strerror(errno));
    const QFileInfo folder(QFileInfo(path).absolutePath());
    if (!folder.isDir())
        return QStringLiteral("its folder does not exist");
    return folder.isWritable() ? QString() : QStringLiteral("its folder is not writable");
}

bool openOutputFile(QFile& file, const QString& path, QString& error)
{
    // Not through a link; a FIFO opened without blocking fails or is seen
    // below, never waited on.
    const int descriptor
        = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        error = errno == ELOOP ? QStringLiteral("it is a symbolic link") : QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    struct stat status = {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        error = kindOf(status.st_mode);
        ::close(descriptor);
        return false;
    }
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (::ftruncate(descriptor, 0) != 0 || flags < 0 || ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        ::close(descriptor);
        return false;
    }
    if (!file.open(descriptor, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        error = file.errorString();
        ::close(descriptor);
        return false;
    }
    return true;
}
