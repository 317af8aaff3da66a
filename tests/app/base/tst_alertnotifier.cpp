#include "AlertNotifier.h"

#include <QSignalSpy>
#include <QTest>
#include <QThread>

class TestAlertNotifier : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { AlertNotifier::finalize(); }

    void lifecycle()
    {
        QCOMPARE(AlertNotifier::getInstance(), nullptr);
        QCOMPARE(AlertNotifier::initialize(), 0);
        AlertNotifier* first = AlertNotifier::getInstance();
        QVERIFY(first != nullptr);
        QCOMPARE(AlertNotifier::initialize(), 0);
        QCOMPARE(AlertNotifier::getInstance(), first);
        AlertNotifier::finalize();
        QCOMPARE(AlertNotifier::getInstance(), nullptr);
        AlertNotifier::finalize(); // a failure path may finalise twice
        QCOMPARE(AlertNotifier::getInstance(), nullptr);
    }

    void alertsFromAnotherThreadArriveOnTheListenersThread()
    {
        QCOMPARE(AlertNotifier::initialize(), 0);
        QList<unsigned int> codes;
        QList<QThread*> threads;
        QObject listener;
        connect(
            AlertNotifier::getInstance(), &AlertNotifier::notifyAlert, &listener,
            [&](unsigned int code) {
                codes.append(code);
                threads.append(QThread::currentThread());
            },
            Qt::QueuedConnection);

        QThread* raiser = QThread::create([] {
            AlertNotifier::notify(0x80000000u);
            AlertNotifier::notify(0u);
            AlertNotifier::notify(0x80040003u);
        });
        raiser->start();
        QVERIFY(raiser->wait(10000));
        delete raiser;

        QTRY_COMPARE(codes.size(), 3);
        QCOMPARE(codes, (QList<unsigned int>{0x80000000u, 0u, 0x80040003u}));
        for (QThread* thread : threads)
            QCOMPARE(thread, QThread::currentThread());
    }

    void notifyWithoutInstanceIsDropped()
    {
        // Nothing to Q_EMIT from; the call must neither crash nor resurrect a notifier.
        AlertNotifier::notify(0x80000001u);
        QCOMPARE(AlertNotifier::getInstance(), nullptr);

        QCOMPARE(AlertNotifier::initialize(), 0);
        QSignalSpy spy(AlertNotifier::getInstance(), &AlertNotifier::notifyAlert);
        AlertNotifier::notify(7u);
        QCOMPARE(spy.size(), 1);
        QCOMPARE(spy.first().first().toUInt(), 7u);
    }
};

QTEST_GUILESS_MAIN(TestAlertNotifier)
#include "tst_alertnotifier.moc"
