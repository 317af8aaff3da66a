#pragma once

#include "FileIdentity.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The MD5 digest of the file a batch uploads to device after device. The
// digest is computed on a worker thread while the caller waits in
// NestedWait (so the window keeps painting), and the last one is
// kept: the next call for the same path reuses it as long as the file's size,
// modification time and (where the platform has one) inode are unchanged,
// which is checked on every call. User-interface thread only.
class FileDigestCache
{
public:
    // The raw digest (16 bytes), or empty when the file cannot be read or
    // changed while it was being read.
    QByteArray md5(const QString& path);

private:
    std::optional<FileIdentity> m_identity;
    QByteArray m_digest;
};
