#include "FileIdentity.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_LINUX
#include <sys/stat.h>
#else
#include <QDateTime>
#endif

bool FileIdentity::operator==(const FileIdentity& other) const
{
    return path == other.path && size == other.size && modifiedNs == other.modifiedNs && device == other.device
           && inode == other.inode;
}

std::optional<FileIdentity> FileIdentity::of(const QString& path)
{
    FileIdentity identity;
    identity.path = path;
#ifdef Q_OS_LINUX
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    identity.size = static_cast<qint64>(status.st_size);
    identity.modifiedNs = static_cast<qint64>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    identity.device = static_cast<quint64>(status.st_dev);
    identity.inode = static_cast<quint64>(status.st_ino);
#else
    const QFileInfo info(path);
    if (!info.isFile())
        return std::nullopt;
    identity.size = info.size();
    identity.modifiedNs = info.lastModified().toMSecsSinceEpoch() * 1000000;
#endif
    return identity;
}
