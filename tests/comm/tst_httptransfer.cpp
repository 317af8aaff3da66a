// The one transport against devices that answer as broken, booting or
// hostile ones do, over real TLS on loopback: each row is one such answer to
// an upload, a login or a settings read, and what the caller reads of it, the
// send's result and the status read. Beside every row a healthy device takes
// an upload of its own at the same time, and must get it through whatever
// the other one does.

#include "BlockMeter.h"
#include "HostileTlsServer.h"
#include "HttpAccessManager.h"
#include "MultiPartBody.h"
#include "StreamedBody.h"
#include "TestTools.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

namespace {

using Play = HostileTlsServer::Play;

constexpr int32_t kTimedOut = HttpAccessManager::kTimedOut;
constexpr int32_t kNoStatus = HttpAccessManager::kNoStatus;
constexpr int32_t kBroken = HttpAccessManager::kAnswerBroken;
constexpr int32_t kTooLarge = HttpAccessManager::kTooLarge;
constexpr unsigned kDeadlineMs = 60000;
constexpr unsigned kStallSeconds = 1;

} // namespace

Q_DECLARE_METATYPE(HostileTlsServer::Play)

class TestUploadTransfer : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_file;

    // A request for the server's `path` with the stall limit of the table; -1
    // when it could not be made.
    int request(HttpAccessManager& http, quint16 port, const std::function<void(int)>& done = {},
                const char* path = "/api/v1/files/firmware")
    {
        int id = -1;
        const int32_t made = done ? http.createAsyncRequest("https", "127.0.0.1", path, nullptr, port, done, id, "c0de")
                                  : http.createSyncRequest("https", "127.0.0.1", path, nullptr, port, id, "c0de");
        if (made != 0 || http.setTimeout(id, kDeadlineMs) != 0 || http.setStallTimeout(id, kStallSeconds) != 0)
            return -1;
        return id;
    }

    std::unique_ptr<StreamedBody> body()
    {
        MultiPartBody built(m_file);
        return built.generate() == 0 ? built.takeStreamedBody() : nullptr;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_file = writeTestFile(m_dir, QStringLiteral("fw-9.1.bundle"), randomBytes(8 << 20));
        QVERIFY(!m_file.isEmpty());
    }

    void hostileAnswers_data()
    {
        QTest::addColumn<QByteArray>("kind");
        QTest::addColumn<Play>("play");
        QTest::addColumn<int>("pieces");
        QTest::addColumn<int>("refusal");
        QTest::addColumn<int32_t>("sent");
        QTest::addColumn<int32_t>("read");
        QTest::addColumn<int>("status");
        const auto upload = [](const char* name) -> QTestData& { return QTest::newRow(name) << QByteArray("upload"); };
        for (const char* kind : {"login", "settings"}) {
            QTest::addRow("%s: healthy", kind) << QByteArray(kind) << Play::Healthy << 0 << 0 << 0 << 0 << 200;
            QTest::addRow("%s: header bomb", kind)
                << QByteArray(kind) << Play::HeaderBomb << 0 << 0 << 0 << kNoStatus << 0;
            // HTTP/2's floods, sent to a client that offered only HTTP/1.1.
            QTest::addRow("%s: HTTP/2 PING flood", kind)
                << QByteArray(kind) << Play::Http2PingFlood << 0 << 0 << 0 << kNoStatus << 0;
            QTest::addRow("%s: HTTP/2 CONTINUATION flood", kind)
                << QByteArray(kind) << Play::Http2ContinuationFlood << 0 << 0 << 0 << kNoStatus << 0;
        }
        upload("healthy") << Play::Healthy << 0 << 0 << 0 << 0 << 200;
        upload("status, then a reset") << Play::StatusThenReset << 0 << 0 << 0 << kBroken << 0;
        upload("whole 200 before the body's end, then a reset")
            << Play::WholeAnswerThenReset << 0 << 0 << 0 << kBroken << 0;
        upload("bad chunk size, whole") << Play::BadChunk << 0 << 0 << 0 << kBroken << 0;
        upload("bad chunk size, byte by byte") << Play::BadChunk << 1 << 0 << 0 << kBroken << 0;
        upload("bad chunk size, in odd pieces") << Play::BadChunk << 7 << 0 << 0 << kBroken << 0;
        upload("status below 100") << Play::StatusBelow100 << 0 << 0 << 0 << kNoStatus << 0;
        upload("early 403, then a close") << Play::EarlyRefusal << 0 << 403 << 0 << 0 << 403;
        upload("early 413, then a close") << Play::EarlyRefusal << 0 << 413 << 0 << 0 << 413;
        upload("403 on the head, then a close") << Play::RefusalOnHead << 0 << 403 << 0 << 0 << 403;
        // A refusal's status stands once its head came whole.
        upload("whole 403 head, then a reset") << Play::RefusalThenReset << 0 << 403 << 0 << 0 << 403;
        upload("header bomb") << Play::HeaderBomb << 0 << 0 << 0 << kNoStatus << 0;
        upload("interim answers without end") << Play::InterimFlood << 0 << 0 << 0 << kNoStatus << 0;
        upload("answer announced past its limit") << Play::LongAnnounced << 0 << 0 << kTooLarge << kBroken << 0;
        upload("chunks without end") << Play::EndlessChunks << 0 << 0 << kTooLarge << kBroken << 0;
        upload("zero window") << Play::ZeroWindow << 0 << 0 << kTimedOut << kNoStatus << 0;
        upload("trickle") << Play::Trickle << 0 << 0 << kTimedOut << kNoStatus << 0;
    }

    void hostileAnswers()
    {
        QFETCH(QByteArray, kind);
        QFETCH(Play, play);
        QFETCH(int, pieces);
        QFETCH(int, refusal);
        QFETCH(int32_t, sent);
        QFETCH(int32_t, read);
        QFETCH(int, status);
        HostileTlsServer healthy(Play::Healthy);
        HostileTlsServer device(play, pieces, refusal);
        QVERIFY(healthy.port() != 0 && device.port() != 0);
        HttpAccessManager http;

        int besideDone = 0;
        const int beside = request(http, healthy.port(), [&besideDone](int) { ++besideDone; });
        const char* path = kind == "login"      ? "/api/v1/auth/authenticate"
                           : kind == "settings" ? "/api/v1/settings/self"
                                                : "/api/v1/files/firmware";
        const int id = request(http, device.port(), {}, path);
        QVERIFY(beside != -1 && id != -1);
        QCOMPARE(http.sendPostRequest(beside, body()), 0);
        QElapsedTimer clock;
        clock.start();
        // The send waits in an event loop of its own, where the meter ticks.
        BlockMeter meter;
        meter.start();
        const int32_t result = kind == "login"      ? http.sendPostRequest(id, QByteArray())
                               : kind == "settings" ? http.sendGetRequest(id)
                                                    : http.sendPostRequest(id, body());
        meter.stop();
        qInfo("hostile answer row %s: peak memory +%.1f MB (target < 64), longest block %.1f ms, of it busy %.1f ms "
              "(target < 50)",
              QTest::currentDataTag(), meter.peakGrowthMiB(), meter.longestMs(), meter.longestBusyMs());
        QCOMPARE(result, sent);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) // they keep freed memory
        QVERIFY2(meter.peakGrowthMiB() < 64, qPrintable(QString::number(meter.peakGrowthMiB())));
#endif
        // Ended by what the device did, not by the deadline.
        QVERIFY2(clock.elapsed() < kDeadlineMs / 3, qPrintable(QString::number(clock.elapsed())));
        int answered = 0;
        QCOMPARE(http.getResponseStatusCode(id, answered), read);
        QCOMPARE(answered, status);

        QTRY_COMPARE_WITH_TIMEOUT(besideDone, 1, 20000);
        int besideStatus = 0;
        QCOMPARE(http.getSendResult(beside), 0);
        QCOMPARE(http.getResponseStatusCode(beside, besideStatus), 0);
        QCOMPARE(besideStatus, 200);
        QVERIFY(healthy.bytesRead() > qint64(8 << 20)); // the whole file and the parts around it
    }
};

QTEST_GUILESS_MAIN(TestUploadTransfer)
#include "tst_httptransfer.moc"
