#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

class QFile;

// Digests of byte arrays and files. Results are the raw digest bytes (16 for
// MD5); callers that send or store a digest write it as hexadecimal with
// QByteArray::toHex(). Files are read as a stream, never whole into memory:
// 1 MiB at a time, by a thread of their own while the calling thread digests
// what was read.
// Stateless: safe to call from any thread.
class HashGenerator
{
public:
    HashGenerator() = delete;

    // The digest of the bytes.
    static QByteArray generate(const QByteArray& data, QCryptographicHash::Algorithm algorithm);
    // Opens the file read-only, digests its whole content and closes it again.
    // Empty when the file is null, already open, cannot be opened or fails
    // while being read.
    static QByteArray generate(QFile* file, QCryptographicHash::Algorithm algorithm);
    // The same for the file at that path.
    static QByteArray generate(const QString& path, QCryptographicHash::Algorithm algorithm);
};
