#include "OutputFile.h"

#include <QFileInfo>

QString outputPathRefusal(const QString& path)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return QStringLiteral("it is a symbolic link");
    if (info.isDir())
        return QStringLiteral("it is a folder");
    if (info.exists())
        return info.isFile() && info.isWritable() ? QString() : QStringLiteral("it is not a writable file");
    const QFileInfo folder(info.absolutePath());
    if (!folder.isDir())
        return QStringLiteral("its folder does not exist");
    return folder.isWritable() ? QString() : QStringLiteral("its folder is not writable");
}

bool openOutputFile(QFile& file, const QString& path, QString& error)
{
    error = outputPathRefusal(path);
    if (!error.isEmpty())
        return false;
    file.setFileName(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return true;
    error = file.errorString();
    return false;
}
