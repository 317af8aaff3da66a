// The system object for the views: all fronts share one system, whose status
// changes, events and batch requests reach every front; a batch for a device
// nobody knows runs through its status states and comes back as an error
// event.

#include "AlertNotifier.h"
#include "KxSystem.h"

#include <QSignalSpy>
#include <QTest>

class TestKxSystem : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // Before the first front, so that the system hears the alerts.
        QCOMPARE(AlertNotifier::initialize(), 0);
    }

    void frontsShareOneSystem_data()
    {
        QTest::addColumn<int>("eventID");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QList<int>>("statuses");

        const QList<int> none;
        QTest::newRow("firmware update") << int(KxSystemEventID::FirmwareUpdate) << true
                                         << QList<int>{KxSystemStatus::FirmwareUpdating, KxSystemStatus::Active};
        QTest::newRow("configuration import")
            << int(KxSystemEventID::ImportConfiguration) << true
            << QList<int>{KxSystemStatus::ConfigurationImporting, KxSystemStatus::Active};
        QTest::newRow("standby-screen image")
            << int(KxSystemEventID::StandbyScreenImageChange) << true
            << QList<int>{KxSystemStatus::StandbyScreenImageChanging, KxSystemStatus::Active};
        QTest::newRow("alert ids are not requests") << int(KxSystemEventID::ErrorAlertNotified) << false << none;
        QTest::newRow("invalid") << int(KxSystemEventID::InvalidID) << false << none;
    }

    void frontsShareOneSystem()
    {
        QFETCH(int, eventID);
        QFETCH(bool, accepted);
        QFETCH(QList<int>, statuses);

        KxSystem first;
        KxSystem second;
        QCOMPARE(first.status(), KxSystemStatus::Active);
        QList<int> firstStatuses;
        QList<int> secondStatuses;
        connect(&first, &KxSystem::statusChanged, this, [&] { firstStatuses << first.status(); });
        connect(&second, &KxSystem::statusChanged, this, [&] { secondStatuses << second.status(); });
        QSignalSpy firstEvents(&first, &KxSystem::eventReceived);
        QSignalSpy secondEvents(&second, &KxSystem::eventReceived);

        const QVariantMap options{{"devices", QStringList{"02:00:7F:00:89:F1"}},
                                  {"filePath", "file:///nonexistent/corvane-136.bundle"}};
        QCOMPARE(first.sendEvent(KxSystemEventID::ID(eventID), options), accepted);
        // Queued: nothing runs inside the request.
        QVERIFY(firstStatuses.isEmpty());
        if (accepted) {
            QTRY_COMPARE_WITH_TIMEOUT(firstStatuses, statuses, 10000);
            QTRY_VERIFY_WITH_TIMEOUT(!firstEvents.isEmpty(), 10000);
            QCOMPARE(firstEvents.first().first().value<KxSystemEventID::ID>(), KxSystemEventID::ErrorAlertNotified);
            const uint code = firstEvents.first().at(1).toMap().value(QStringLiteral("errorCode")).toUInt();
            QVERIFY2(code & 0x80000000u, qPrintable(QString::number(code, 16)));
        }
        QCOMPARE(secondStatuses, firstStatuses);
        QCOMPARE(secondEvents.size(), firstEvents.size());
        QCOMPARE(first.status(), KxSystemStatus::Active);
    }

    void alertsReachEveryFront()
    {
        KxSystem first;
        KxSystem second;
        QSignalSpy firstEvents(&first, &KxSystem::eventReceived);
        QSignalSpy secondEvents(&second, &KxSystem::eventReceived);
        AlertNotifier::notify(0x80110001u);
        AlertNotifier::notify(0x00000001u);
        QTRY_COMPARE(firstEvents.size(), 2);
        QCOMPARE(secondEvents.size(), 2);
        QCOMPARE(firstEvents.at(0).at(0).value<KxSystemEventID::ID>(), KxSystemEventID::ErrorAlertNotified);
        QCOMPARE(firstEvents.at(0).at(1).toMap(), (QVariantMap{{"errorCode", 0x80110001u}}));
        QCOMPARE(secondEvents.at(1).at(0).value<KxSystemEventID::ID>(), KxSystemEventID::NoErrorAlertNotified);
    }

    void cleanupTestCase() { AlertNotifier::finalize(); }
};

QTEST_MAIN(TestKxSystem)
#include "tst_kxsystem.moc"
