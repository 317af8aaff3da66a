#include "FileDigestCache.h"

#include "HashGenerator.h"
#include "Logger.h"
#include "NestedWait.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <atomic>
#include <memory>

#ifdef Q_OS_LINUX
#include <sys/stat.h>
#else
#include <QDateTime>
#endif

bool FileDigestCache::Identity::operator==(const Identity& other) const
{
    return path == other.path && size == other.size && modifiedNs == other.modifiedNs && device == other.device
           && inode == other.inode;
}

bool FileDigestCache::identify(const QString& path, Identity& identity)
{
    identity = Identity();
    identity.path = path;
#ifdef Q_OS_LINUX
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    identity.size = static_cast<qint64>(status.st_size);
    identity.modifiedNs = static_cast<qint64>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    identity.device = static_cast<quint64>(status.st_dev);
    identity.inode = static_cast<quint64>(status.st_ino);
#else
    const QFileInfo info(path);
    if (!info.isFile())
        return false;
    identity.size = info.size();
    identity.modifiedNs = info.lastModified().toMSecsSinceEpoch() * 1000000;
#endif
    return true;
}

QByteArray FileDigestCache::md5(const QString& path)
{
    Identity before;
    if (!identify(path, before)) {
        m_identity.reset();
        CORVANE_LOG(QStringLiteral("no file to digest at %1").arg(path));
        return QByteArray();
    }
    if (m_identity && *m_identity == before)
        return m_digest;
    m_identity.reset();

    // A large file takes seconds to read: off this thread, while its events
    // keep flowing.
    QElapsedTimer clock;
    clock.start();
    QByteArray digest;
    std::atomic<bool> computed{false};
    const std::unique_ptr<QThread> worker(QThread::create([&digest, &computed, path] {
        digest = HashGenerator::generate(path, QCryptographicHash::Md5);
        computed = true;
    }));
    QEventLoop loop;
    QObject::connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    worker->start();
    // A quitting application ends the wait early; the worker still has to
    // finish before its result and the thread object go.
    NestedWait::run(loop, [&computed] { return computed.load(); });
    worker->wait();

    Identity after;
    if (digest.isEmpty())
        return QByteArray();
    if (!identify(path, after) || !(after == before)) {
        CORVANE_LOG(QStringLiteral("%1 changed while its digest was computed").arg(path));
        return QByteArray();
    }
    CORVANE_LOG(
        QStringLiteral("MD5 of %1 (%2 bytes) computed in %3 ms").arg(path).arg(before.size).arg(clock.elapsed()));
    m_identity = before;
    m_digest = digest;
    return digest;
}
