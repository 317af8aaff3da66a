#pragma once

#include <QString>

#include <optional>

// What tells one state of a file from another without reading it: size,
// modification time and, where the platform has them, device and inode. A
// file replaced, rewritten or touched reads as another identity; a batch
// compares it before each device so that the bytes sent are the bytes whose
// digest went with them.
struct FileIdentity
{
    QString path;
    qint64 size = -1;
    qint64 modifiedNs = 0;
    quint64 device = 0;
    quint64 inode = 0;

    // nullopt when the path names no regular file that can be looked at.
    static std::optional<FileIdentity> of(const QString& path);

    bool operator==(const FileIdentity& other) const;
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};
