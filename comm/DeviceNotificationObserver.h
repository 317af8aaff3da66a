#pragma once

#include "PushSessionService.h"
#include "Reconnect.h"
#include "ResultCode.h"
#include "Session.h"
#include "WebSocketClient.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>

#include <cstdint>
#include <memory>

class DeviceFacade;
class HttpAccessManager;

// Keeps the push channel of every logged-in device: one Session per device
// (its id) and port, opened at the address its record holds, created after a
// login, destroyed when the device goes away or rejects the operator's code.
// A device is its id, never its address: a record that claims another's
// address reaches neither its channel nor its code. Relays the messages that arrive, tells
// the device facade when a channel opens or closes, and when a channel fails
// logs in again and reopens it every 5 s until a new attempt starts
// connecting, or until the device is gone; a channel that keeps failing on
// what its device sends (WebSocketClient::isChannelFault) waits twice as
// long after each such failure in a row, up to kMaxBackOffMs. A channel the
// device closes itself (1000, 1001) is not retried: the device is marked logged out, so that the
// operator's next login opens a fresh one. A session whose channel has ended
// never refuses a new one.
//
// Results: 0, or kSessionExists, Session::kAlreadyOpen, kNoSession,
// kNoDevice.
//
// Threads: user-interface thread only. Nothing here waits: the re-login is
// asynchronous. The sessions lock and the reconnects lock guard the two lists
// against re-entrant use from the operator's nested waits; destroySession
// holds the sessions lock while the session closes, so the signals this
// emits must not come back into createSession or destroySession
// synchronously. A failed channel is retried through a queued signal, so a
// session is never destroyed from inside its own error signal.
class DeviceNotificationObserver : public PushSessionService
{
    Q_OBJECT

public:
    // createSession: a session for this device and port exists already.
    static constexpr int32_t kSessionExists = ResultCode::failure(ResultCode::Facility::PushSession, 0x0001);
    // destroySession: no session for this device and port.
    static constexpr int32_t kNoSession = ResultCode::failure(ResultCode::Facility::PushSession, 0x0003);
    // createSession: no such device (no address or code to open with).
    static constexpr int32_t kNoDevice = ResultCode::failure(ResultCode::Facility::PushSession, 0x0004);

    // The longest wait between retries of a channel that keeps failing on
    // what its device sends, and how long a channel must stay up to end the
    // row of such failures.
    static constexpr int kMaxBackOffMs = 5 * 60 * 1000;
    static constexpr int kSteadyMs = 60 * 1000;

    struct Options
    {
        int reconnectIntervalMs = Reconnect::kDefaultIntervalMs;
        int handshakeTimeoutMs = WebSocketClient::kDefaultHandshakeTimeoutMs;
    };

    // The process-wide observer on the process-wide facade and HTTP access
    // manager, handed to the facade as its push-session service: 0 (also when
    // it exists already). finalize() accepts a missing or partly set-up
    // observer. Needs the application object; the observer (and its open
    // channels) goes when the application object does.
    static int initialize();
    static void finalize();
    static DeviceNotificationObserver* m_instance;

    // An observer of its own (tests): reads addresses and codes from
    // `facade`, logs in again through `httpAccess` and judges the devices'
    // keys by its trust, and is handed to the facade as its push-session
    // service. Both must outlive its use; its destructor touches neither (at
    // process exit they may be gone first).
    DeviceNotificationObserver(DeviceFacade& facade, HttpAccessManager& httpAccess, Options options);
    DeviceNotificationObserver(DeviceFacade& facade, HttpAccessManager& httpAccess);
    ~DeviceNotificationObserver() override;

    int createSession(const QString& deviceId, int port) override;
    int destroySession(const QString& deviceId, int port) override;

    // What the lists hold now (for the shell's views and for tests).
    bool sessionState(const QString& deviceId, int port, Session::SessionState& state) const;
    int sessionCount() const;
    bool isReconnecting(const QString& deviceId, int port) const;
    int reconnectCount() const;

public Q_SLOTS:
    void startReconnect(const QString& deviceId, int port);
    void reconnect(const QString& deviceId, int port);
    void finishReconnect(const QString& deviceId, int port);
    void onReceivedTextMessage(const QString& deviceId, int port, const QString& message);
    void onChangedState(const QString& deviceId, int port, Session::SessionState state);

Q_SIGNALS:
    void reserveStartReconnect(const QString& deviceId, int port);
    void receivedTextMessage(const QString& deviceId, const QString& message);
    void receivedTextMessageWithPort(const QString& deviceId, int port, const QString& message);
    // After every re-login attempt of a failed channel, with the login's
    // result (the session is created only after a success).
    void reloginAttempted(const QString& deviceId, int port, int32_t result);

private:
    std::shared_ptr<Session> findSession(const QString& deviceId, int port) const;
    void forgetSession(const std::shared_ptr<Session>& session);
    void onClosedByPeer(const std::weak_ptr<Session>& session, const QString& deviceId, int port);
    void noteFault(const QString& deviceId, int port);

    DeviceFacade& m_facade;
    HttpAccessManager& m_httpAccess;
    const Options m_options;

    QList<std::shared_ptr<Session>> m_sessions;
    mutable QMutex m_sessionsLock;
    QList<std::shared_ptr<Reconnect>> m_reconnects;
    mutable QMutex m_reconnectsLock;
    QHash<QString, int> m_attemptsInFlight; // re-logins by "device:port"
    // Channels that failed on what their device sent, in a row, by
    // "device:port": their retries back off. A channel up for a while ends
    // the row.
    struct FaultRow
    {
        int faults = 0;
        QElapsedTimer up; // since the channel last came up
    };
    QHash<QString, FaultRow> m_faultRows;
    // Enough for a tick never to wait for a stalled attempt's authenticate
    // time-out, few enough that stalled settings reads cannot pile up.
    const int m_maxAttemptsInFlight;
};
