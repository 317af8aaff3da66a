#include "DeviceNotificationObserver.h"

#include "DeviceFacade.h"
#include "HttpAccessManager.h"
#include "Logger.h"
#include "LoginController.h"

#include <QCoreApplication>
#include <QMutexLocker>

#include <algorithm>

namespace {

// Serialises initialize() and finalize().
QMutex s_instanceLock;
std::unique_ptr<DeviceNotificationObserver> s_owner;

} // namespace

DeviceNotificationObserver* DeviceNotificationObserver::m_instance = nullptr;

int DeviceNotificationObserver::initialize()
{
    QMutexLocker locker(&s_instanceLock);
    if (s_owner)
        return 0;
    s_owner
        = std::make_unique<DeviceNotificationObserver>(DeviceFacade::getInstance(), HttpAccessManager::getInstance());
    m_instance = s_owner.get();
    // Its sockets go with the application object, not after it in static
    // destruction.
    qAddPostRoutine(&DeviceNotificationObserver::finalize);
    return 0;
}

void DeviceNotificationObserver::finalize()
{
    QMutexLocker locker(&s_instanceLock);
    m_instance = nullptr;
    s_owner.reset();
}

DeviceNotificationObserver::DeviceNotificationObserver(DeviceFacade& facade, HttpAccessManager& httpAccess)
    : DeviceNotificationObserver(facade, httpAccess, Options())
{
}

DeviceNotificationObserver::DeviceNotificationObserver(DeviceFacade& facade, HttpAccessManager& httpAccess,
                                                       Options options)
    : m_facade(facade)
    , m_httpAccess(httpAccess)
    , m_options(options)
    , m_maxAttemptsInFlight(
          std::max(2, LoginController::kLoginTimeoutMs / std::max(1, options.reconnectIntervalMs) + 1))
{
    qRegisterMetaType<Session::SessionState>("Session::SessionState");
    // Deferred, so that a session is never destroyed from inside its own
    // error signal.
    connect(this, &DeviceNotificationObserver::reserveStartReconnect, this, &DeviceNotificationObserver::startReconnect,
            Qt::QueuedConnection);
    m_facade.setPushSessionService(this);
}

// The facade forgets this observer by itself (it holds a guarded pointer,
// and the connections go with the sender), so the destructor never touches
// it: at process exit the facade may already be gone.
DeviceNotificationObserver::~DeviceNotificationObserver()
{
    QList<std::shared_ptr<Session>> sessions;
    {
        QMutexLocker locker(&m_sessionsLock);
        sessions.swap(m_sessions);
    }
    // Closed quietly: nobody is left to hear about it.
    for (const std::shared_ptr<Session>& session : std::as_const(sessions))
        disconnect(session.get(), nullptr, this, nullptr);
    QMutexLocker locker(&m_reconnectsLock);
    m_reconnects.clear();
}

std::shared_ptr<Session> DeviceNotificationObserver::findSession(const QString& deviceId, int port) const
{
    const auto it = std::find_if(m_sessions.cbegin(), m_sessions.cend(), [&](const std::shared_ptr<Session>& s) {
        return s->deviceId() == deviceId && s->port() == port;
    });
    return it == m_sessions.cend() ? nullptr : *it;
}

int DeviceNotificationObserver::createSession(const QString& deviceId, int port)
{
    // The device's own address and code, by its id.
    QVariant address;
    QVariant authCode;
    if (!m_facade.getDeviceParameter(deviceId, DeviceParameter::IpAddress, address, DeviceFindPolicy::ById)
        || !m_facade.getDeviceParameter(deviceId, DeviceParameter::AcceptedMd5Password, authCode,
                                        DeviceFindPolicy::ById)) {
        CORVANE_LOG(QStringLiteral("push session of %1:%2 not opened: no such device").arg(deviceId).arg(port));
        return kNoDevice;
    }
    std::shared_ptr<Session> session;
    std::shared_ptr<Session> dead; // goes after the lock
    {
        QMutexLocker locker(&m_sessionsLock);
        if (const std::shared_ptr<Session> existing = findSession(deviceId, port)) {
            if (!existing->isDead())
                return kSessionExists;
            // A channel that ended (closed by the device, failed, never
            // opened) must not refuse the one a new login brings.
            dead = existing;
            m_sessions.removeOne(existing);
        }
        session = std::make_shared<Session>(deviceId, address.toString(), port, m_options.handshakeTimeoutMs,
                                            m_httpAccess.peerTrust());
        m_sessions.append(session);
    }
    if (dead) {
        disconnect(dead.get(), nullptr, this, nullptr);
        dead->closeSession();
    }
    connect(session.get(), &Session::receivedTextMessage, this, &DeviceNotificationObserver::onReceivedTextMessage,
            Qt::QueuedConnection);
    connect(session.get(), &Session::changedState, this, &DeviceNotificationObserver::onChangedState,
            Qt::DirectConnection);
    // Queued: the session is not taken down inside its own signal, and an
    // error that follows the close on the same socket is seen first.
    const std::weak_ptr<Session> weak = session;
    connect(
        session.get(), &Session::closedByPeer, this,
        [this, weak](const QString& id, int p) { onClosedByPeer(weak, id, p); }, Qt::QueuedConnection);

    const QByteArray code = authCode.toString().toUtf8();
    const int32_t result = session->openSession(code.constData());
    return ResultCode::isFailure(result) ? result : ResultCode::kSuccess;
}

void DeviceNotificationObserver::forgetSession(const std::shared_ptr<Session>& session)
{
    {
        QMutexLocker locker(&m_sessionsLock);
        if (!m_sessions.removeOne(session))
            return;
    }
    disconnect(session.get(), nullptr, this, nullptr);
}

void DeviceNotificationObserver::onClosedByPeer(const std::weak_ptr<Session>& weak, const QString& deviceId, int port)
{
    const std::shared_ptr<Session> session = weak.lock();
    if (!session || session->hasFailed())
        return; // replaced meanwhile, or the close was a failure after all
    // No retry for a channel the device ended itself, but no dead end
    // either: the device needs a login again, which opens a fresh channel.
    CORVANE_LOG(QStringLiteral("push channel of %1:%2 closed by the device; login required").arg(deviceId).arg(port));
    forgetSession(session);
    m_facade.setDeviceParameter(deviceId, DeviceParameter::LoggedInStatus, false, DeviceFindPolicy::ById);
}

int DeviceNotificationObserver::destroySession(const QString& deviceId, int port)
{
    std::shared_ptr<Session> session; // the session goes after the lock
    QMutexLocker locker(&m_sessionsLock);
    session = findSession(deviceId, port);
    if (!session)
        return kNoSession;
    session->closeSession();
    m_sessions.removeOne(session);
    locker.unlock();
    disconnect(session.get(), nullptr, this, nullptr);
    return ResultCode::kSuccess;
}

bool DeviceNotificationObserver::sessionState(const QString& deviceId, int port, Session::SessionState& state) const
{
    QMutexLocker locker(&m_sessionsLock);
    const std::shared_ptr<Session> session = findSession(deviceId, port);
    if (!session)
        return false;
    state = session->state();
    return true;
}

int DeviceNotificationObserver::sessionCount() const
{
    QMutexLocker locker(&m_sessionsLock);
    return int(m_sessions.size());
}

bool DeviceNotificationObserver::isReconnecting(const QString& deviceId, int port) const
{
    QMutexLocker locker(&m_reconnectsLock);
    return std::any_of(m_reconnects.cbegin(), m_reconnects.cend(), [&](const std::shared_ptr<Reconnect>& r) {
        return r->deviceId() == deviceId && r->port() == port;
    });
}

int DeviceNotificationObserver::reconnectCount() const
{
    QMutexLocker locker(&m_reconnectsLock);
    return int(m_reconnects.size());
}

void DeviceNotificationObserver::startReconnect(const QString& deviceId, int port)
{
    destroySession(deviceId, port);

    QMutexLocker locker(&m_reconnectsLock);
    const bool running
        = std::any_of(m_reconnects.cbegin(), m_reconnects.cend(), [&](const std::shared_ptr<Reconnect>& r) {
              return r->deviceId() == deviceId && r->port() == port;
          });
    if (running)
        return;
    const int faults = m_faultRows.value(deviceId + QLatin1Char(':') + QString::number(port)).faults;
    int intervalMs = m_options.reconnectIntervalMs;
    for (int fault = 1; fault < faults && intervalMs < kMaxBackOffMs; ++fault)
        intervalMs *= 2;
    intervalMs = std::min(intervalMs, std::max(kMaxBackOffMs, m_options.reconnectIntervalMs));
    auto retry = std::make_shared<Reconnect>(deviceId, port, intervalMs);
    // Queued: a tick never runs inside whatever emitted it.
    connect(retry.get(), &Reconnect::retryTimeElapsed, this, &DeviceNotificationObserver::reconnect,
            Qt::QueuedConnection);
    m_reconnects.append(retry);
    CORVANE_LOG(QStringLiteral("push channel of %1:%2 failed; retrying every %3 ms%4")
                    .arg(deviceId)
                    .arg(port)
                    .arg(intervalMs)
                    .arg(faults > 1 ? QStringLiteral(" (%1 faults in a row)").arg(faults) : QString()));
}

void DeviceNotificationObserver::reconnect(const QString& deviceId, int port)
{
    QVariant authCode;
    if (!m_facade.getDeviceParameter(deviceId, DeviceParameter::AcceptedMd5Password, authCode,
                                     DeviceFindPolicy::ById)) {
        // The device is gone: nothing left to reconnect.
        CORVANE_LOG(
            QStringLiteral("push channel of %1:%2: no such device any more; retries end").arg(deviceId).arg(port));
        Q_EMIT reloginAttempted(deviceId, port, ResultCode::kFailure);
        finishReconnect(deviceId, port);
        return;
    }
    // Attempts never wait on this thread; they may overlap, so that a device
    // that answers again is reached by the next tick even while an earlier
    // attempt still hangs on a stalled connection, but only so many at once.
    const QString key = deviceId + QLatin1Char(':') + QString::number(port);
    if (m_attemptsInFlight.value(key) >= m_maxAttemptsInFlight) {
        CORVANE_LOG(
            QStringLiteral("push channel of %1:%2: earlier re-logins still run; tick skipped").arg(deviceId).arg(port));
        return;
    }
    ++m_attemptsInFlight[key];
    LoginController login(m_facade, m_httpAccess);
    login.requestLoginAsync(deviceId, authCode.toString(), this, [this, deviceId, port, key](int32_t result) {
        if (--m_attemptsInFlight[key] <= 0)
            m_attemptsInFlight.remove(key);
        Q_EMIT reloginAttempted(deviceId, port, result);
        if (ResultCode::isFailure(result)) {
            CORVANE_LOG(QStringLiteral("push channel of %1:%2: re-login failed: %3")
                            .arg(deviceId)
                            .arg(port)
                            .arg(ResultCode::toHex(result)));
            return;
        }
        // An attempt that got here first, or the operator's login, leaves
        // kSessionExists: ignored.
        const int32_t created = createSession(deviceId, port);
        if (ResultCode::isFailure(created))
            CORVANE_LOG(
                QStringLiteral("push channel of %1:%2: %3").arg(deviceId).arg(port).arg(ResultCode::toHex(created)));
    });
}

void DeviceNotificationObserver::finishReconnect(const QString& deviceId, int port)
{
    std::shared_ptr<Reconnect> finished; // destroyed after the lock: stops its timer
    QMutexLocker locker(&m_reconnectsLock);
    const auto it = std::find_if(m_reconnects.begin(), m_reconnects.end(), [&](const std::shared_ptr<Reconnect>& r) {
        return r->deviceId() == deviceId && r->port() == port;
    });
    if (it == m_reconnects.end())
        return;
    finished = *it;
    m_reconnects.erase(it);
    locker.unlock();
    disconnect(finished.get(), nullptr, this, nullptr);
}

void DeviceNotificationObserver::onReceivedTextMessage(const QString& deviceId, int port, const QString& message)
{
    Q_EMIT receivedTextMessage(deviceId, message);
    Q_EMIT receivedTextMessageWithPort(deviceId, port, message);
}

void DeviceNotificationObserver::onChangedState(const QString& deviceId, int port, Session::SessionState state)
{
    switch (state) {
    case Session::Connecting:
        finishReconnect(deviceId, port);
        break;
    case Session::Connected:
        m_faultRows[deviceId + QLatin1Char(':') + QString::number(port)].up.start();
        Q_EMIT connected(deviceId, port);
        break;
    case Session::Disconnected:
        Q_EMIT disconnected(deviceId, port);
        break;
    case Session::Errored:
        noteFault(deviceId, port);
        Q_EMIT reserveStartReconnect(deviceId, port);
        break;
    case Session::Initial:
    case Session::Closing:
        break;
    }
}

// A failure on what the device sent lengthens the row of them; a channel
// that stayed up for a while before it failed starts a new row.
void DeviceNotificationObserver::noteFault(const QString& deviceId, int port)
{
    std::shared_ptr<Session> session;
    {
        QMutexLocker locker(&m_sessionsLock);
        session = findSession(deviceId, port);
    }
    if (!session || !WebSocketClient::isChannelFault(session->lastError()))
        return;
    FaultRow& row = m_faultRows[deviceId + QLatin1Char(':') + QString::number(port)];
    if (row.up.isValid() && row.up.hasExpired(kSteadyMs))
        row.faults = 0;
    row.up.invalidate();
    ++row.faults;
}
