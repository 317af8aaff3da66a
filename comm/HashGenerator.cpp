#include "HashGenerator.h"

#include "Logger.h"

#include <QFile>

QByteArray HashGenerator::generate(const QByteArray &data, QCryptographicHash::Algorithm algorithm)
{
    return QCryptographicHash::hash(data, algorithm);
}

QByteArray HashGenerator::generate(QFile *file, QCryptographicHash::Algorithm algorithm)
{
    if (file == nullptr)
        return QByteArray();
    // A file that is already open belongs to someone else's reading position.
    if (file->isOpen() || !file->open(QIODevice::ReadOnly)) {
        CORVANE_LOG(QStringLiteral("cannot open %1 for its digest: %2").arg(file->fileName(), file->errorString()));
        return QByteArray();
    }
    QCryptographicHash hash(algorithm);
    const bool complete = hash.addData(file);
    const QString error = file->errorString();
    file->close();
    if (!complete) {
        CORVANE_LOG(QStringLiteral("reading %1 for its digest failed: %2").arg(file->fileName(), error));
        return QByteArray();
    }
    return hash.result();
}

QByteArray HashGenerator::generate(const QString &path, QCryptographicHash::Algorithm algorithm)
{
    QFile file(path);
    return generate(&file, algorithm);
}
