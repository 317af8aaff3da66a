// The session's state machine: which reports of its connection change the
// state, that each change is announced once, and that a session opens only
// once.

#include "Session.h"

#include <QSignalSpy>
#include <QTest>

#include <functional>

namespace {

using Report = std::function<void(Session&)>;

Report state(QAbstractSocket::SocketState s)
{
    return [s](Session& session) { session.onStateChanged(s); };
}
const Report kConnectedSignal = [](Session& session) { session.onConnected(); };
const Report kDisconnectedSignal = [](Session& session) { session.onDisconnected(); };
const Report kError = [](Session& session) { session.onErrored(static_cast<int32_t>(0x80070001u)); };
const Report kKeepAliveError = [](Session& session) { session.onErrored(static_cast<int32_t>(0x80070002u)); };

} // namespace

Q_DECLARE_METATYPE(QList<Report>)

class TestSession : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { qRegisterMetaType<Session::SessionState>("Session::SessionState"); }

    void reportsBecomeStates_data()
    {
        QTest::addColumn<QList<Report>>("reports");
        QTest::addColumn<QList<int>>("changes");

        using S = QAbstractSocket::SocketState;
        QTest::newRow("a normal channel") << QList<Report>{state(S::HostLookupState), state(S::ConnectingState),
                                                           state(S::ConnectedState), kConnectedSignal}
                                          << QList<int>{Session::Connecting, Session::Connected};
        QTest::newRow("connected by signal, then by state")
            << QList<Report>{state(S::ConnectingState), kConnectedSignal, state(S::ConnectedState)}
            << QList<int>{Session::Connecting, Session::Connected};
        QTest::newRow("closed by the device")
            << QList<Report>{state(S::ConnectingState), kConnectedSignal, state(S::ClosingState), kDisconnectedSignal,
                             state(S::UnconnectedState)}
            << QList<int>{Session::Connecting, Session::Connected, Session::Closing, Session::Disconnected};
        QTest::newRow("dropped") << QList<Report>{state(S::ConnectingState), kConnectedSignal, kError,
                                                  state(S::UnconnectedState), kDisconnectedSignal}
                                 << QList<int>{Session::Connecting, Session::Connected, Session::Errored,
                                               Session::Disconnected};
        QTest::newRow("a burst of errors") << QList<Report>{kConnectedSignal, kKeepAliveError, kKeepAliveError, kError}
                                           << QList<int>{Session::Connected, Session::Errored};
        QTest::newRow("ignored socket states")
            << QList<Report>{state(S::HostLookupState), state(S::BoundState), state(S::ListeningState)} << QList<int>{};
        QTest::newRow("unconnected from the start")
            << QList<Report>{state(S::UnconnectedState), kDisconnectedSignal} << QList<int>{Session::Disconnected};
    }
    void reportsBecomeStates()
    {
        QFETCH(QList<Report>, reports);
        QFETCH(QList<int>, changes);
        Session session(QStringLiteral("02:00:7F:00:00:09"), QStringLiteral("127.0.0.9"), 60010);
        QCOMPARE(session.state(), Session::Initial);
        QSignalSpy spy(&session, &Session::changedState);
        for (const Report& report : reports)
            report(session);
        QList<int> seen;
        for (const QList<QVariant>& change : spy) {
            QCOMPARE(change.at(0).toString(), QStringLiteral("02:00:7F:00:00:09"));
            QCOMPARE(change.at(1).toInt(), 60010);
            seen << int(change.at(2).value<Session::SessionState>());
        }
        QCOMPARE(seen, changes);
        if (!changes.isEmpty())
            QCOMPARE(int(session.state()), changes.last());
    }

    void textIsRelayedWithTheDevice()
    {
        Session session(QStringLiteral("02:00:7F:00:00:09"), QStringLiteral("127.0.0.9"), 60011);
        QSignalSpy spy(&session, &Session::receivedTextMessage);
        session.onReceivedTextMessage(QString());
        session.onReceivedTextMessage(QStringLiteral("{\"body\":{}}"));
        QCOMPARE(spy.size(), 2);
        QCOMPARE(spy.at(0), (QList<QVariant>{QStringLiteral("02:00:7F:00:00:09"), 60011, QString()}));
        QCOMPARE(spy.at(1).at(2).toString(), QStringLiteral("{\"body\":{}}"));
    }

    // Port 9 of a loopback address nobody listens on: the attempt is refused.
    void opensOnlyOnce()
    {
        Session session(QStringLiteral("02:00:7F:00:7B:09"), QStringLiteral("127.0.123.9"), 9);
        QSignalSpy spy(&session, &Session::changedState);
        QCOMPARE(session.openSession("0123456789abcdef0123456789abcdef"), 0);
        QCOMPARE(session.openSession("0123456789abcdef0123456789abcdef"), static_cast<int32_t>(0x80080002u));
        // Refused: the socket reports unconnected, then the error, which is
        // what starts a reconnection.
        QTRY_COMPARE_WITH_TIMEOUT(session.state(), Session::Errored, 10000);
        QList<int> seen;
        for (const QList<QVariant>& change : spy)
            seen << int(change.at(2).value<Session::SessionState>());
        QCOMPARE(seen, (QList<int>{Session::Connecting, Session::Disconnected, Session::Errored}));
        // Still refused after closing: a closed session is not reopened.
        session.closeSession();
        QCOMPARE(session.openSession("0123456789abcdef0123456789abcdef"), static_cast<int32_t>(0x80080002u));
    }
};

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
