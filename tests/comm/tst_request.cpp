// A request relays its transfer's upload progress only while the total is known.

#include "Request.h"

#include <QSignalSpy>
#include <QTest>

class TestRequest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void progressRelay_data()
    {
        QTest::addColumn<qint64>("sent");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<bool>("relayed");

        QTest::newRow("known total") << qint64(5) << qint64(10) << true;
        QTest::newRow("complete") << qint64(10) << qint64(10) << true;
        QTest::newRow("nothing sent yet") << qint64(0) << qint64(1) << true;
        QTest::newRow("unknown total") << qint64(7) << qint64(0) << false;
        QTest::newRow("no body") << qint64(0) << qint64(0) << false;
        QTest::newRow("negative total") << qint64(3) << qint64(-1) << false;
    }

    void progressRelay()
    {
        QFETCH(qint64, sent);
        QFETCH(qint64, total);
        QFETCH(bool, relayed);
        Request request(42, QUrl(), {}, Request::SyncMode::Async);
        QSignalSpy spy(&request, &Request::uploadProgress);
        request.onReceivedUploadProgress(sent, total);
        QCOMPARE(spy.size(), relayed ? 1 : 0);
        if (relayed)
            QCOMPARE(spy.at(0), (QList<QVariant>{sent, total, 42}));
    }

    void modes()
    {
        Request sync(1, QUrl(), {}, Request::SyncMode::Sync);
        Request async(2, QUrl(), {}, Request::SyncMode::Async);
        QVERIFY(sync.eventLoop() != nullptr);
        QVERIFY(async.eventLoop() == nullptr);
        QCOMPARE(int(Request::SyncMode::Sync), 1);
        QCOMPARE(int(Request::SyncMode::Async), 2);
        QCOMPARE(sync.timeout(), 30000u);
        QVERIFY(!sync.answer());
        QCOMPARE(int(sync.outcome()), int(Request::Outcome::NotSent));
        sync.setTimeout(5);
        QCOMPARE(sync.timeout(), 5u);
    }
};

QTEST_GUILESS_MAIN(TestRequest)
#include "tst_request.moc"
