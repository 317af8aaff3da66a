#include "FileDigestCache.h"

#include "HashGenerator.h"
#include "Logger.h"
#include "NestedWait.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QThread>

#include <atomic>
#include <memory>

QByteArray FileDigestCache::md5(const QString& path)
{
    const std::optional<FileIdentity> before = FileIdentity::of(path);
    if (!before) {
        m_identity.reset();
        CORVANE_LOG(QStringLiteral("no file to digest at %1").arg(path));
        return QByteArray();
    }
    if (m_identity == before)
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

    if (digest.isEmpty())
        return QByteArray();
    if (FileIdentity::of(path) != before) {
        CORVANE_LOG(QStringLiteral("%1 changed while its digest was computed").arg(path));
        return QByteArray();
    }
    CORVANE_LOG(
        QStringLiteral("MD5 of %1 (%2 bytes) computed in %3 ms").arg(path).arg(before->size).arg(clock.elapsed()));
    m_identity = before;
    m_digest = digest;
    return digest;
}
