// Push sessions against virtual devices over real TLS, each device on a
// loopback address of its own with port 60010 (as devices listen, and as
// the re-login expects): the createSession/destroySession rules and codes,
// the facade's record following the channel, a channel the device closes
// (reported, not retried), failed channels retried with a fresh login until
// they connect again (once with the real 5 s interval), one Reconnect for a
// burst of errors, and messages relayed with the device's id.

#include "DeviceFacade.h"
#include "DeviceNotificationObserver.h"
#include "DeviceProcess.h"
#include "DeviceRecord.h"
#include "HttpAccessManager.h"
#include "LoginController.h"
#include "MessageCapture.h"
#include "Reconnect.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

constexpr int kPort = 60010;
constexpr int kDevices = 4;
const char* const kAddresses[kDevices] = {"127.0.122.1", "127.0.122.2", "127.0.122.3", "127.0.122.4"};
const char* const kMacs[kDevices]
    = {"02:00:7F:7A:01:01", "02:00:7F:7A:01:02", "02:00:7F:7A:01:03", "02:00:7F:7A:01:04"};
constexpr char kPassword[] = "observer-122";
constexpr int kShortIntervalMs = 400;
constexpr int kHandshakeTimeoutMs = 1000;

constexpr int32_t code(uint32_t value)
{
    return static_cast<int32_t>(value);
}

QString address(int index)
{
    return QLatin1String(kAddresses[index]);
}

// Sessions go by device, not by address.
QString device(int index)
{
    return QLatin1String(kMacs[index]);
}

} // namespace

class TestDeviceNotificationObserver : public QObject
{
    Q_OBJECT

private:
    DeviceProcess m_devices;
    std::unique_ptr<DeviceFacade> m_facade;
    std::unique_ptr<HttpAccessManager> m_http;
    std::unique_ptr<DeviceNotificationObserver> m_observer;

    void makeObserver(DeviceNotificationObserver::Options options)
    {
        m_observer.reset();
        m_observer = std::make_unique<DeviceNotificationObserver>(*m_facade, *m_http, options);
    }

    QVariant value(int index, DeviceParameter parameter) const
    {
        return recordValue(*m_facade, QLatin1String(kMacs[index]), parameter);
    }
    int connectionStatus(int index) const { return value(index, DeviceParameter::ConnectionStatus).toInt(); }
    bool set(int index, DeviceParameter parameter, const QVariant& v)
    {
        return m_facade->setDeviceParameter(QLatin1String(kMacs[index]), parameter, v, DeviceFindPolicy::ById);
    }
    bool hasState(int index, Session::SessionState expected) const
    {
        Session::SessionState state = Session::Initial;
        return m_observer->sessionState(device(index), kPort, state) && state == expected;
    }
    // Opens the channel as the device object does after a login.
    void connectDevice(int index)
    {
        QCOMPARE(m_observer->createSession(device(index), kPort), 0);
        QTRY_COMPARE_WITH_TIMEOUT(connectionStatus(index), toInt(ConnectionStatus::Connected), 10000);
        QVERIFY(hasState(index, Session::Connected));
    }
    QString fault(int index, const QString& what)
    {
        return m_devices.command(QStringLiteral("fault d%1 %2").arg(index + 1).arg(what));
    }

private Q_SLOTS:
    void initTestCase()
    {
        registerDeviceMetaTypes();
        qRegisterMetaType<Session::SessionState>("Session::SessionState");
        DeviceArguments arguments;
        for (int i = 0; i < kDevices; ++i) {
            arguments.device(address(i)).mac(kMacs[i]).model("TQ-730").name(QStringLiteral("Observer%1").arg(i + 1));
            arguments.password(kPassword).version("1.0.0");
        }
        QVERIFY2(m_devices.start(arguments.httpsPort(kPort)), qPrintable(m_devices.errorText()));
        for (int i = 0; i < kDevices; ++i)
            QCOMPARE(m_devices.httpsPort(i), quint16(kPort));
    }

    void init()
    {
        // Every device seen by discovery and logged in, no channel open yet.
        m_facade = std::make_unique<DeviceFacade>();
        m_http = std::make_unique<HttpAccessManager>();
        for (int i = 0; i < kDevices; ++i) {
            m_facade->activateDevice(address(i), QStringLiteral("TQ-730"), QStringLiteral("Observer"),
                                     QLatin1String(kMacs[i]));
            QVERIFY(set(i, DeviceParameter::AcceptedMd5Password, md5Hex(kPassword)));
            QVERIFY(set(i, DeviceParameter::LoggedInStatus, true));
            QCOMPARE(connectionStatus(i), toInt(ConnectionStatus::Active));
        }
        makeObserver({kShortIntervalMs, kHandshakeTimeoutMs});
    }

    void cleanup()
    {
        m_observer.reset();
        m_http.reset();
        m_facade.reset();
        for (int i = 0; i < kDevices; ++i) {
            QCOMPARE(fault(i, QStringLiteral("clear")), QStringLiteral("ok"));
            QCOMPARE(m_devices.command(QStringLiteral("set d%1 version 1.0.0").arg(i + 1)), QStringLiteral("ok"));
        }
    }

    void sessionRules()
    {
        const QString unknown = QStringLiteral("02:00:7F:7A:01:99");
        // An unknown device: no session is kept, so none blocks a later one.
        QCOMPARE(m_observer->createSession(unknown, kPort), code(0x80080004));
        QCOMPARE(m_observer->createSession(unknown, kPort), code(0x80080004));
        QCOMPARE(m_observer->sessionCount(), 0);
        QCOMPARE(m_observer->destroySession(unknown, kPort), code(0x80080003));
        // Exact text comparison of the id (not its address); another port is
        // another session.
        connectDevice(2);
        QCOMPARE(m_observer->destroySession(address(2), kPort), code(0x80080003));
        QCOMPARE(m_observer->destroySession(QStringLiteral("02:00:7f:7a:01:03"), kPort), code(0x80080003));
        QCOMPARE(m_observer->destroySession(device(2), kPort + 1), code(0x80080003));
        QCOMPARE(m_observer->destroySession(device(2), kPort), 0);
        QCOMPARE(m_observer->sessionCount(), 0);

        // A known device: a second session for it leaves the first untouched.
        connectDevice(0);
        QCOMPARE(m_observer->createSession(device(0), kPort), code(0x80080001));
        QCOMPARE(m_observer->sessionCount(), 1);
        QVERIFY(hasState(0, Session::Connected));
        QCOMPARE(m_observer->reconnectCount(), 0);
    }

    // destroySession from outside ends the channel without retry; so does
    // the device closing it. Both are reported as disconnected. The device's
    // own close ends the login: still discovered, the device offers its
    // login again; a channel the program closed while logged in reads
    // disconnected. Neither is a dead end: the next login opens a fresh one.
    void endedChannelIsReportedNotRetried_data()
    {
        QTest::addColumn<bool>("byDevice");
        QTest::addColumn<int>("status");
        QTest::newRow("closed by the device") << true << toInt(ConnectionStatus::Active);
        QTest::newRow("destroyed by the program") << false << toInt(ConnectionStatus::Inactive);
    }
    void endedChannelIsReportedNotRetried()
    {
        QFETCH(bool, byDevice);
        QFETCH(int, status);
        QSignalSpy disconnected(m_observer.get(), &DeviceNotificationObserver::disconnected);
        QSignalSpy attempts(m_observer.get(), &DeviceNotificationObserver::reloginAttempted);
        connectDevice(1);
        const int from = m_devices.lineCount();
        if (byDevice)
            QCOMPARE(m_devices.command(QStringLiteral("push d2 close")), QStringLiteral("ok closed=1"));
        else
            QCOMPARE(m_observer->destroySession(device(1), kPort), 0);
        QTRY_COMPARE_WITH_TIMEOUT(disconnected.size(), 1, 10000);
        QCOMPARE(disconnected.at(0), (QList<QVariant>{device(1), kPort}));
        QTRY_COMPARE_WITH_TIMEOUT(connectionStatus(1), status, 5000);
        QVERIFY(m_devices.waitForLineContaining(QStringLiteral("event d2 push closed"), 10000, from));
        if (byDevice)
            QTRY_COMPARE_WITH_TIMEOUT(value(1, DeviceParameter::LoggedInStatus).toBool(), false, 5000);
        // Three intervals without an attempt.
        QTest::qWait(3 * kShortIntervalMs);
        QCOMPARE(attempts.size(), 0);
        QCOMPARE(m_observer->reconnectCount(), 0);
        QCOMPARE(m_observer->sessionCount(), 0);

        LoginController login(*m_facade, *m_http);
        QCOMPARE(login.requestLogin(QLatin1String(kMacs[1]), md5Hex(kPassword)), 0);
        connectDevice(1);
    }

    // A failed channel: the session goes, one Reconnect logs in again every
    // interval and reopens, until an attempt starts connecting; a failed
    // reopening starts the next round. Once the fault is cleared the
    // channel comes back and the record says connected again.
    void failedChannelIsRetriedUntilItConnects_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("openFirst");
        QTest::addColumn<int32_t>("loginResult");
        QTest::newRow("channel dropped, upgrade refused") << "push refuse" << true << 0;
        QTest::newRow("upgrade refused from the start") << "push refuse" << false << 0;
        QTest::newRow("upgrade stalled") << "push stall" << false << 0;
        QTest::newRow("device unreachable") << "connect refuse" << true << code(0x800101F9);
        QTest::newRow("code rejected at re-login") << "auth-status 403" << true << code(0x80110001);
    }
    void failedChannelIsRetriedUntilItConnects()
    {
        QFETCH(QString, fault);
        QFETCH(bool, openFirst);
        QFETCH(int32_t, loginResult);
        QSignalSpy attempts(m_observer.get(), &DeviceNotificationObserver::reloginAttempted);
        QSignalSpy connected(m_observer.get(), &DeviceNotificationObserver::connected);
        if (openFirst) {
            connectDevice(2);
            QCOMPARE(this->fault(2, fault), QStringLiteral("ok"));
            QCOMPARE(m_devices.command(QStringLiteral("push d3 drop")), QStringLiteral("ok dropped=1"));
        } else {
            QCOMPARE(this->fault(2, fault), QStringLiteral("ok"));
            QCOMPARE(m_observer->createSession(device(2), kPort), 0);
        }
        QTRY_VERIFY_WITH_TIMEOUT(m_observer->isReconnecting(device(2), kPort), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(attempts.size() >= 3, 20000);
        for (const QList<QVariant>& attempt : attempts) {
            QCOMPARE(attempt.at(0).toString(), device(2));
            QCOMPARE(attempt.at(2).value<int32_t>(), loginResult);
        }
        // While the retries run the row reads "Disconnected"; a refused
        // re-login ends the login, and the device offers it again.
        const bool refused = loginResult == code(0x80110001);
        if (refused)
            QCOMPARE(value(2, DeviceParameter::LoggedInStatus).toBool(), false);
        if (openFirst)
            QCOMPARE(connectionStatus(2), toInt(refused ? ConnectionStatus::Active : ConnectionStatus::Inactive));
        QVERIFY(connectionStatus(2) != toInt(ConnectionStatus::Connected));
        // Between rounds an attempt may be connecting (no Reconnect) or the
        // next round running (one); never more of either.
        QVERIFY(m_observer->reconnectCount() <= 1);
        QVERIFY(m_observer->sessionCount() <= 1);

        // A fresh login after the device comes back: its new version shows.
        // Wait for a pause between rounds, so that no attempt of the old
        // code is still opening a channel when the fault goes.
        Session::SessionState pending = Session::Initial;
        QTRY_VERIFY_WITH_TIMEOUT(m_observer->isReconnecting(device(2), kPort)
                                     && !m_observer->sessionState(device(2), kPort, pending),
                                 20000);
        set(2, DeviceParameter::LoggedInStatus, false);
        QCOMPARE(m_devices.command(QStringLiteral("set d3 version 2.0.0")), QStringLiteral("ok"));
        const int connectedBefore = connected.size();
        QCOMPARE(this->fault(2, QStringLiteral("clear")), QStringLiteral("ok"));
        QTRY_COMPARE_WITH_TIMEOUT(connectionStatus(2), toInt(ConnectionStatus::Connected), 20000);
        QCOMPARE(connected.size(), connectedBefore + 1);
        QCOMPARE(attempts.last().at(2).value<int32_t>(), 0);
        QCOMPARE(value(2, DeviceParameter::LoggedInStatus).toBool(), true);
        QCOMPARE(value(2, DeviceParameter::Version).toString(), QStringLiteral("2.0.0"));
        QCOMPARE(m_observer->reconnectCount(), 0);
        QVERIFY(hasState(2, Session::Connected));
    }

    // A channel that keeps ending on what the device sends (here a message
    // past the limit) is retried, each time after twice the wait.
    void faultsInARowBackOff()
    {
        MessageCapture capture;
        QSignalSpy connected(m_observer.get(), &DeviceNotificationObserver::connected);
        connectDevice(2);
        for (int fault = 1; fault <= 3; ++fault) {
            // Up again after the last fault's wait (the record may still
            // read connected from before it).
            QTRY_COMPARE_WITH_TIMEOUT(connected.size(), fault, 20000);
            QTRY_COMPARE_WITH_TIMEOUT(connectionStatus(2), toInt(ConnectionStatus::Connected), 20000);
            QVERIFY(m_devices.command(QStringLiteral("push d3 oversize 70k")).startsWith(QLatin1String("ok")));
            const QString retry = QStringLiteral("retrying every %1 ms").arg(kShortIntervalMs << (fault - 1));
            QStringList seen;
            QTRY_VERIFY2_WITH_TIMEOUT(!(seen << capture.takeTexts()).filter(retry).isEmpty(),
                                      qPrintable(seen.join(QLatin1Char('\n'))), 20000);
        }
    }

    // The real interval: with the device unreachable a login is tried every
    // 5 s; once it is back the channel is up again within 10 s.
    void retriesEveryFiveSeconds()
    {
        makeObserver({}); // the production interval
        QSignalSpy attempts(m_observer.get(), &DeviceNotificationObserver::reloginAttempted);
        connectDevice(3);
        QCOMPARE(fault(3, QStringLiteral("connect refuse")), QStringLiteral("ok"));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(m_devices.command(QStringLiteral("push d4 drop")), QStringLiteral("ok dropped=1"));
        QTRY_COMPARE_WITH_TIMEOUT(attempts.size(), 1, 8000);
        const qint64 first = clock.elapsed();
        QTRY_COMPARE_WITH_TIMEOUT(attempts.size(), 2, 8000);
        const qint64 second = clock.elapsed();
        // Qt's coarse timers may fire up to 5 % early.
        QVERIFY2(first >= 4700 && first <= 6500, qPrintable(QString::number(first)));
        QVERIFY2(second - first >= 4700 && second - first <= 5500, qPrintable(QString::number(second - first)));
        QCOMPARE(attempts.at(1).at(2).value<int32_t>(), code(0x800101F9));

        QCOMPARE(fault(3, QStringLiteral("clear")), QStringLiteral("ok"));
        clock.restart();
        QTRY_COMPARE_WITH_TIMEOUT(connectionStatus(3), toInt(ConnectionStatus::Connected), 10000);
        QVERIFY2(clock.elapsed() <= 10000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(attempts.size(), 3);
    }

    // However many errors arrive before the deferred start runs, one
    // Reconnect; the session is not destroyed inside the error report.
    void burstOfErrorsMakesOneReconnect()
    {
        connectDevice(0);
        QSignalSpy reserved(m_observer.get(), &DeviceNotificationObserver::reserveStartReconnect);
        for (int i = 0; i < 3; ++i)
            m_observer->onChangedState(device(0), kPort, Session::Errored);
        QCOMPARE(reserved.size(), 3);
        QCOMPARE(m_observer->sessionCount(), 1); // deferred
        QCOMPARE(m_observer->reconnectCount(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(m_observer->reconnectCount(), 1, 5000);
        QCOMPARE(m_observer->sessionCount(), 0);
        // Another error later finds the Reconnect running.
        m_observer->startReconnect(device(0), kPort);
        QCOMPARE(m_observer->reconnectCount(), 1);
        // The next attempt connects and ends the retries.
        QTRY_COMPARE_WITH_TIMEOUT(m_observer->reconnectCount(), 0, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(hasState(0, Session::Connected), 10000);
    }

    void messagesAreRelayedWithTheDevice()
    {
        QSignalSpy messages(m_observer.get(), &DeviceNotificationObserver::receivedTextMessage);
        QSignalSpy withPort(m_observer.get(), &DeviceNotificationObserver::receivedTextMessageWithPort);
        connectDevice(1);
        const QString text = QStringLiteral("{\"any\":\"text\"}");
        QCOMPARE(m_devices.command(QStringLiteral("push d2 raw ") + text), QStringLiteral("ok sent=1"));
        QTRY_COMPARE_WITH_TIMEOUT(withPort.size(), 1, 10000);
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages.at(0), (QList<QVariant>{device(1), text}));
        QCOMPARE(withPort.at(0), (QList<QVariant>{device(1), kPort, text}));
    }

    // The facade closes a device's channel when it removes the device.
    void removingTheDeviceClosesItsChannel()
    {
        QSignalSpy disconnected(m_observer.get(), &DeviceNotificationObserver::disconnected);
        connectDevice(0);
        const int from = m_devices.lineCount();
        QVERIFY(m_facade->removeDevice(QLatin1String(kMacs[0])));
        QCOMPARE(m_observer->sessionCount(), 0);
        QCOMPARE(disconnected.size(), 1);
        QVERIFY(m_devices.waitForLineContaining(QStringLiteral("event d1 push closed"), 10000, from));
        QCOMPARE(m_observer->reconnectCount(), 0);
    }

    // The process-wide observer as the shell brings it up: one instance,
    // handed to the process-wide facade, which hears its channel news and
    // closes a removed device's session through it.
    void initializeHandsTheObserverToTheFacade()
    {
        DeviceNotificationObserver::finalize(); // nothing there yet: harmless
        QVERIFY(DeviceNotificationObserver::m_instance == nullptr);
        QCOMPARE(DeviceNotificationObserver::initialize(), 0);
        DeviceNotificationObserver* const observer = DeviceNotificationObserver::m_instance;
        QVERIFY(observer != nullptr);
        QCOMPARE(DeviceNotificationObserver::initialize(), 0);
        QCOMPARE(DeviceNotificationObserver::m_instance, observer);

        DeviceFacade& facade = DeviceFacade::getInstance();
        const QString ip = QStringLiteral("127.0.122.50");
        const QString id = QStringLiteral("02:00:7F:7A:01:50");
        facade.activateDevice(ip, QStringLiteral("TQ-730"), QStringLiteral("Singleton"), id);
        const auto status = [&] { return recordValue(facade, id, DeviceParameter::ConnectionStatus).toInt(); };
        Q_EMIT observer->connected(id, kPort);
        QTRY_COMPARE_WITH_TIMEOUT(status(), toInt(ConnectionStatus::Connected), 5000);
        Q_EMIT observer->disconnected(id, kPort);
        QTRY_COMPARE_WITH_TIMEOUT(status(), toInt(ConnectionStatus::Active), 5000);
        facade.inactivateDevice(id); // lost by discovery
        Q_EMIT observer->connected(id, kPort);
        QTRY_COMPARE_WITH_TIMEOUT(status(), toInt(ConnectionStatus::Connected), 5000);
        Q_EMIT observer->disconnected(id, kPort);
        QTRY_COMPARE_WITH_TIMEOUT(status(), toInt(ConnectionStatus::Inactive), 5000);

        // Nobody listens there; the session is removed before it could fail.
        QCOMPARE(observer->createSession(id, kPort), 0);
        QCOMPARE(observer->sessionCount(), 1);
        QVERIFY(facade.removeDevice(id));
        QCOMPARE(observer->sessionCount(), 0);

        DeviceNotificationObserver::finalize();
        QVERIFY(DeviceNotificationObserver::m_instance == nullptr);
        DeviceNotificationObserver::finalize();
        // The facade no longer reaches the observer.
        facade.activateDevice(ip, QStringLiteral("TQ-730"), QStringLiteral("Singleton"), id);
        QVERIFY(facade.removeDevice(id));
    }

    // Retries end once the device is gone, at its next tick.
    void retriesEndWhenTheDeviceIsGone()
    {
        connectDevice(0);
        QCOMPARE(fault(0, QStringLiteral("connect refuse")), QStringLiteral("ok"));
        QCOMPARE(m_devices.command(QStringLiteral("push d1 drop")), QStringLiteral("ok dropped=1"));
        QTRY_VERIFY_WITH_TIMEOUT(m_observer->isReconnecting(device(0), kPort), 5000);
        QVERIFY(m_facade->removeDevice(QLatin1String(kMacs[0])));
        QTRY_COMPARE_WITH_TIMEOUT(m_observer->reconnectCount(), 0, 3 * kShortIntervalMs);
        QCOMPARE(m_observer->sessionCount(), 0);
    }

    void reconnectTicksUntilDestroyed()
    {
        auto retry = std::make_unique<Reconnect>(QStringLiteral("02:00:7F:7A:01:09"), 60011, 100);
        QSignalSpy ticks(retry.get(), &Reconnect::retryTimeElapsed);
        QTRY_VERIFY_WITH_TIMEOUT(ticks.size() >= 3, 5000);
        QCOMPARE(ticks.at(0), (QList<QVariant>{QStringLiteral("02:00:7F:7A:01:09"), 60011}));
        QObject guard;
        connect(retry.get(), &Reconnect::retryTimeElapsed, &guard, [] { QFAIL("tick after destruction"); });
        retry.reset();
        QTest::qWait(300);
    }
};

QTEST_GUILESS_MAIN(TestDeviceNotificationObserver)
#include "tst_devicenotificationobserver.moc"
