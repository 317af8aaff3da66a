// Uploads to virtual devices over real TLS on loopback (port 60010 of
// addresses of their own): the body as the device receives it, the failure
// codes, time-out, and the progress of the uploader's own request only.

#include "DeviceProcess.h"
#include "FileUploader.h"
#include "HttpAccessManager.h"
#include "MessageCapture.h"
#include "MultiPartBody.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

const char kFirmwarePath[] = "/api/v1/files/firmware";
const char kImportPath[] = "/api/v1/files/import";
const char kImagePath[] = "/api/v1/files/standby-image";

// Addresses of this test only, so that it runs beside others on port 60010.
const QString kFirst = QStringLiteral("127.0.42.1");
const QString kSecond = QStringLiteral("127.0.42.2");
const QString kAbsent = QStringLiteral("127.0.42.9");

QByteArray tinyPng()
{
    return QByteArray::fromHex("89504e470d0a1a0a0000000d49484452000000010000000108060000001f15c489"
                               "0000000d4944415478da6364f8ffbf1e000502027f3f1d4a4b0000000049454e44ae426082");
}

QByteArray tinyJpeg()
{
    return QByteArray::fromHex("ffd8ffe000104a46494600010100000100010000") + QByteArray(64, '\x11')
           + QByteArray::fromHex("ffd9");
}

} // namespace

class TestFileUploader : public QObject
{
    Q_OBJECT

private:
    DeviceProcess m_devices;
    QTemporaryDir m_dir;
    QString m_code; // authentication code of both devices

    QString writeFile(const QString& name, const QByteArray& content) { return writeTestFile(m_dir, name, content); }

    // Waits for a firmware installation started by an upload to end, so that
    // the device takes the next firmware file.
    bool waitUntilIdle(int from)
    {
        return m_devices.waitForLineContaining(QStringLiteral("update finished"), 20000, from);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY2(m_devices.start(DeviceArguments()
                                     .device(kFirst)
                                     .password("upload")
                                     .device(kSecond)
                                     .password("upload")
                                     .httpsPort(60010)
                                     .updateSteps(10, 50)
                                     // Firmware files follow each other: no reboot in between.
                                     .rebootMs(0)),
                 qPrintable(m_devices.errorText()));
        QCOMPARE(m_devices.httpsPort(0), quint16(60010));
        QCOMPARE(m_devices.address(1), kSecond);
        m_code = m_devices.credentials(0).mid(6);
        QCOMPARE(m_code.size(), 32);
    }

    void cleanup() { QVERIFY(m_devices.command(QStringLiteral("fault all clear")).startsWith(QLatin1String("ok"))); }

    // What the device reports having received: the digest it computed over
    // the file part, the size, and (for firmware) the version it read from the
    // file name. The device refuses a wrong field name (400), a content type
    // that does not fit the endpoint (415) and a digest that does not match.
    void asTheDeviceReceivesIt_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("version"); // firmware: read from the file name
        QTest::newRow("bundle") << "tq-2.7.1.bundle" << randomBytes(300000) << QByteArray(kFirmwarePath) << "firmware"
                                << "2.7.1";
        QTest::newRow("BUNDLE in capitals")
            << "TQ-3.1.4.BUNDLE" << randomBytes(1000) << QByteArray(kFirmwarePath) << "firmware"
            << "3.1.4";
        QTest::newRow("empty bundle") << "tq-4.0.0.bundle" << QByteArray() << QByteArray(kFirmwarePath) << "firmware"
                                      << "4.0.0";
        QTest::newRow("xml") << "settings.xml" << QByteArray("<?xml version=\"1.0\"?><settings a=\"1\"/>")
                             << QByteArray(kImportPath) << "import"
                             << "";
        QTest::newRow("XML in capitals") << "SETTINGS.XML" << QByteArray("<settings/>") << QByteArray(kImportPath)
                                         << "import"
                                         << "";
        QTest::newRow("jpg") << "screen.jpg" << tinyJpeg() << QByteArray(kImagePath) << "standby-image"
                             << "";
        QTest::newRow("jpeg") << "screen.jpeg" << tinyJpeg() << QByteArray(kImagePath) << "standby-image"
                              << "";
        QTest::newRow("JPEG in capitals") << "SCREEN.JPEG" << tinyJpeg() << QByteArray(kImagePath) << "standby-image"
                                          << "";
        QTest::newRow("png") << "screen.png" << tinyPng() << QByteArray(kImagePath) << "standby-image"
                             << "";
        QTest::newRow("PNG in capitals") << "SCREEN.PNG" << tinyPng() << QByteArray(kImagePath) << "standby-image"
                                         << "";
    }

    void asTheDeviceReceivesIt()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, path);
        QFETCH(QString, kind);
        QFETCH(QString, version);
        const QString file = writeFile(name, content);
        QVERIFY(!file.isEmpty());

        MultiPartBody body(file);
        QCOMPARE(body.generate(), 0);
        const int from = m_devices.lineCount();
        FileUploader uploader(kFirst, path.constData(), &body);
        QCOMPARE(uploader.upload(m_code, 30000), 0);
        int status = 0;
        QCOMPARE(uploader.getResponseStatusCode(status), 0);
        QByteArray answer;
        QCOMPARE(uploader.getResponseBody(answer), 0);
        QVERIFY2(status == 200, answer.constData());

        const QJsonObject received = QJsonDocument::fromJson(answer).object();
        QCOMPARE(received.value(QStringLiteral("md5")).toString(), md5Hex(content));
        QCOMPARE(received.value(QStringLiteral("md5")).toString(), QString::fromLatin1(md5Of(file)));
        QCOMPARE(qint64(received.value(QStringLiteral("size")).toDouble()), qint64(content.size()));
        QVERIFY(m_devices.waitForLineContaining(
            QStringLiteral("upload %1 ok size=%2 md5=%3").arg(kind).arg(content.size()).arg(md5Hex(content)), 5000,
            from));
        if (!version.isEmpty()) {
            QVERIFY(m_devices.waitForLineContaining(QStringLiteral("update started %1").arg(version), 5000, from));
            QVERIFY(waitUntilIdle(from));
        }
    }

    // The field name decides where the device files the upload: a body built
    // for one kind of file is refused by the endpoint of another.
    void fieldNameDecides_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<int>("status");
        QTest::newRow("xml to firmware") << "cfg.xml" << QByteArray(kFirmwarePath) << 400;
        QTest::newRow("bundle to import") << "fw.bundle" << QByteArray(kImportPath) << 400;
        QTest::newRow("png to import") << "pic.png" << QByteArray(kImportPath) << 400;
    }

    void fieldNameDecides()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, path);
        QFETCH(int, status);
        const QString file = writeFile(name, "<a/>");
        MultiPartBody body(file);
        QCOMPARE(body.generate(), 0);
        FileUploader uploader(kFirst, path.constData(), &body);
        QCOMPARE(uploader.upload(m_code, 30000), 0);
        int answered = 0;
        QCOMPARE(uploader.getResponseStatusCode(answered), 0);
        QCOMPARE(answered, status);
    }

    // Codes of the body and of the uploader before anything is sent.
    void failuresBeforeSending_data()
    {
        QTest::addColumn<QString>("name"); // not written when it starts with '-'
        QTest::addColumn<quint32>("generated");
        QTest::newRow("missing file") << "-gone.bundle" << 0x80090002u;
        QTest::newRow("directory") << "-" << 0x80090002u;
        QTest::newRow("text file") << "readme.txt" << 0x80090003u;
        QTest::newRow("no extension") << "firmware" << 0x80090003u;
    }

    void failuresBeforeSending()
    {
        QFETCH(QString, name);
        QFETCH(quint32, generated);
        const QString file = name.startsWith(QLatin1Char('-')) ? m_dir.filePath(name.mid(1)) : writeFile(name, "x");
        MultiPartBody body(file);
        QCOMPARE(quint32(body.generate()), generated);
        const int from = m_devices.lineCount();
        FileUploader uploader(kFirst, kFirmwarePath, &body);
        QCOMPARE(quint32(uploader.upload(m_code, 30000)), 0x80030001u);
        QCOMPARE(uploader.requestId(), -1);
        int status = 0;
        QCOMPARE(quint32(uploader.getResponseStatusCode(status)), 0x800101F5u);
        QCOMPARE(m_devices.lineCount(), from); // the device heard nothing
    }

    void noBody()
    {
        FileUploader uploader(kFirst, kFirmwarePath, nullptr);
        QCOMPARE(quint32(uploader.upload(m_code, 30000)), 0x80030001u);
        QCOMPARE(uploader.requestId(), -1);
    }

    // A file that is deleted after it was chosen and before the body is built
    // fails clearly; once built, the open file is what goes out, whole.
    void fileDisappears()
    {
        const QByteArray content = randomBytes(20000);
        const QString chosen = writeFile(QStringLiteral("vanishing.bundle"), content);
        MultiPartBody early(chosen);
        QVERIFY(QFile::remove(chosen));
        QCOMPARE(quint32(early.generate()), 0x80090002u);
        FileUploader refused(kFirst, kFirmwarePath, &early);
        QCOMPARE(quint32(refused.upload(m_code, 30000)), 0x80030001u);

        const QString built = writeFile(QStringLiteral("tq-5.0.0.bundle"), content);
        MultiPartBody late(built);
        QCOMPARE(late.generate(), 0);
        QVERIFY(QFile::remove(built));
        const int from = m_devices.lineCount();
        FileUploader uploader(kFirst, kFirmwarePath, &late);
        QCOMPARE(uploader.upload(m_code, 30000), 0);
        int status = 0;
        QCOMPARE(uploader.getResponseStatusCode(status), 0);
        QCOMPARE(status, 200);
        QVERIFY(m_devices.waitForLineContaining(
            QStringLiteral("upload firmware ok size=%1 md5=%2").arg(content.size()).arg(md5Hex(content)), 5000, from));
        QVERIFY(waitUntilIdle(from));
    }

    void zeroTimeout()
    {
        const QString file = writeFile(QStringLiteral("zero.xml"), "<a/>");
        MultiPartBody body(file);
        QCOMPARE(body.generate(), 0);
        FileUploader uploader(kFirst, kImportPath, &body);
        QCOMPARE(quint32(uploader.upload(m_code, 0)), 0x800101F7u);
    }

    // A device that reads too slowly for the time-out: the upload gives up.
    void timeout()
    {
        QVERIFY(m_devices.command(QStringLiteral("fault d1 throttle 16k")).startsWith(QLatin1String("ok")));
        const QString file = writeFile(QStringLiteral("slow.xml"), randomBytes(4 * 1024 * 1024));
        MultiPartBody body(file);
        QCOMPARE(body.generate(), 0);
        FileUploader uploader(kFirst, kImportPath, &body);
        QCOMPARE(quint32(uploader.upload(m_code, 500)), 0x800101F6u);
        int status = 0;
        QCOMPARE(quint32(uploader.getResponseStatusCode(status)), 0x800101F9u);
    }

    // Answers other than 200 reach the caller unchanged, with their headers
    // and body; a device that is not there gives no status at all.
    void answers_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("rightCode");
        QTest::addColumn<int>("status"); // 0: no status
        QTest::newRow("200") << kFirst << "" << true << 200;
        QTest::newRow("wrong code 403") << kFirst << "" << false << 403;
        QTest::newRow("device refuses with 500") << kFirst << "fault d1 upload 500" << true << 500;
        QTest::newRow("device refuses with 403") << kFirst << "fault d1 upload 403" << true << 403;
        QTest::newRow("nobody at the address") << kAbsent << "" << true << 0;
    }

    void answers()
    {
        QFETCH(QString, host);
        QFETCH(QString, fault);
        QFETCH(bool, rightCode);
        QFETCH(int, status);
        if (!fault.isEmpty())
            QVERIFY(m_devices.command(fault).startsWith(QLatin1String("ok")));
        const QString file = writeFile(QStringLiteral("answer.png"), tinyPng());
        MultiPartBody body(file);
        QCOMPARE(body.generate(), 0);
        FileUploader uploader(host, kImagePath, &body);
        QCOMPARE(uploader.upload(rightCode ? m_code : QStringLiteral("0123456789abcdef0123456789abcdef"), 30000), 0);
        int answered = -1;
        if (status == 0) {
            QCOMPARE(quint32(uploader.getResponseStatusCode(answered)), 0x800101F9u);
            QCOMPARE(answered, -1);
            return;
        }
        QCOMPARE(uploader.getResponseStatusCode(answered), 0);
        QCOMPARE(answered, status);
        std::string type;
        QCOMPARE(uploader.getResponseHeader("Content-Type", type), 0);
        QVERIFY(!type.empty());
        std::string absent;
        QCOMPARE(quint32(uploader.getResponseHeader("X-Not-There", absent)), 0x800101FAu);
        QByteArray answer;
        QCOMPARE(uploader.getResponseBody(answer), 0);
        QVERIFY(!answer.isEmpty());
    }

    // The uploader deletes its request from the manager when it goes.
    void requestDeletedWithUploader()
    {
        const QString file = writeFile(QStringLiteral("gone.xml"), "<a/>");
        MultiPartBody body(file);
        QCOMPARE(body.generate(), 0);
        int id = -1;
        {
            FileUploader uploader(kFirst, kImportPath, &body);
            QCOMPARE(uploader.upload(m_code, 30000), 0);
            id = uploader.requestId();
            QVERIFY(id > 0);
            int status = 0;
            QCOMPARE(HttpAccessManager::getInstance().getResponseStatusCode(id, status), 0);
        }
        int status = 0;
        QCOMPARE(quint32(HttpAccessManager::getInstance().getResponseStatusCode(id, status)), 0x800101F5u);
    }

    // A body goes out once: a second upload through the same uploader is
    // refused instead of sending the file part empty, and the first answer
    // stays readable. An attempt that stopped before sending may be repeated
    // and leaves no request behind.
    void bodyGoesOutOnce()
    {
        const QByteArray content = randomBytes(5000);
        const QString file = writeFile(QStringLiteral("again.xml"), content);
        MultiPartBody body(file);
        QCOMPARE(body.generate(), 0);
        FileUploader uploader(kFirst, kImportPath, &body);
        QCOMPARE(quint32(uploader.upload(m_code, 0)), 0x800101F7u);
        const int unsent = uploader.requestId();
        QVERIFY(unsent > 0);
        const int from = m_devices.lineCount();
        QCOMPARE(uploader.upload(m_code, 30000), 0);
        const int sent = uploader.requestId();
        QVERIFY(sent > unsent);
        int status = 0;
        QCOMPARE(quint32(HttpAccessManager::getInstance().getResponseStatusCode(unsent, status)), 0x800101F5u);

        QCOMPARE(quint32(uploader.upload(m_code, 30000)), 0x80030002u);
        QCOMPARE(uploader.requestId(), sent);
        QCOMPARE(uploader.getResponseStatusCode(status), 0);
        QCOMPARE(status, 200);
        QVERIFY(m_devices.waitForLineContaining(QStringLiteral("upload import ok size=5000"), 5000, from));
        const QStringList lines = m_devices.lines().mid(from);
        QCOMPARE(lines.filter(QStringLiteral("upload import")).size(), 1);
    }

    // Two uploads interleaved (the second starts while the first waits) and a
    // plain POST on the manager meanwhile: each uploader re-emits the progress
    // of its own request, under its own host, and nothing else.
    void progressOfOwnRequestOnly()
    {
        QVERIFY(m_devices.command(QStringLiteral("fault d1 throttle 4m")).startsWith(QLatin1String("ok")));
        const QString firstFile = writeFile(QStringLiteral("first.xml"), randomBytes(3 * 1024 * 1024));
        const QString secondFile = writeFile(QStringLiteral("second.xml"), randomBytes(1024 * 1024 + 5));
        MultiPartBody firstBody(firstFile);
        MultiPartBody secondBody(secondFile);
        QCOMPARE(firstBody.generate(), 0);
        QCOMPARE(secondBody.generate(), 0);
        FileUploader first(kFirst, kImportPath, &firstBody);
        FileUploader second(kSecond, kImportPath, &secondBody);
        QSignalSpy firstProgress(&first, &FileUploader::uploadProgress);
        QSignalSpy secondProgress(&second, &FileUploader::uploadProgress);
        QSignalSpy managerProgress(&HttpAccessManager::getInstance(), &HttpAccessManager::uploadProgress);

        HttpAccessManager& http = HttpAccessManager::getInstance();
        int plainId = -1;
        bool plainDone = false;
        int32_t secondResult = 1;
        const QByteArray codeBytes = m_code.toUtf8();
        const QByteArray secondHost = kSecond.toUtf8();
        // Started from inside the first upload's wait.
        QTimer::singleShot(0, this, [&] {
            QCOMPARE(http.createAsyncRequest(
                         "https", secondHost.constData(), kImportPath, nullptr, 60010, [&](int) { plainDone = true; },
                         plainId, codeBytes.constData()),
                     0);
            QCOMPARE(http.sendPostRequest(plainId, randomBytes(777777)), 0);
            secondResult = second.upload(m_code, 30000);
        });
        QCOMPARE(first.upload(m_code, 60000), 0);
        QTRY_VERIFY_WITH_TIMEOUT(plainDone, 30000);
        QCOMPARE(secondResult, 0);
        QCOMPARE(http.deleteRequest(plainId), HttpAccessManager::kRequestRemoved);

        // The plain POST made progress on the manager, under its own id...
        bool plainSeen = false;
        for (const QList<QVariant>& signal : std::as_const(managerProgress))
            plainSeen = plainSeen || signal.at(2).toInt() == plainId;
        QVERIFY(plainSeen);

        // ...and each uploader reports only its own.
        const auto check = [](const QSignalSpy& spy, const QString& host, qint64 fileSize) {
            QVERIFY(spy.count() > 0);
            const qint64 total = spy.last().at(2).toLongLong();
            QVERIFY(total > fileSize); // the whole body: file and envelope
            qint64 previous = -1;
            for (const QList<QVariant>& signal : spy) {
                QCOMPARE(signal.at(0).toString(), host);
                QCOMPARE(signal.at(2).toLongLong(), total);
                QVERIFY(signal.at(1).toLongLong() >= previous);
                previous = signal.at(1).toLongLong();
            }
            QCOMPARE(previous, total);
        };
        check(firstProgress, kFirst, 3 * 1024 * 1024);
        check(secondProgress, kSecond, 1024 * 1024 + 5);
        QVERIFY(firstProgress.last().at(2) != secondProgress.last().at(2));
    }

    // Neither the authentication code nor the header built from it ends up
    // in a log line, even when the upload fails.
    void codeNeverLogged()
    {
        MessageCapture capture;
        const QString file = writeFile(QStringLiteral("logged.png"), tinyPng());
        MultiPartBody body(file);
        QCOMPARE(body.generate(), 0);
        {
            FileUploader uploader(kAbsent, kImagePath, &body);
            QCOMPARE(uploader.upload(m_code, 30000), 0);
            FileUploader slow(kFirst, kImagePath, &body);
            QCOMPARE(quint32(slow.upload(m_code, 0)), 0x800101F7u);
        }
        MultiPartBody missing(m_dir.filePath(QStringLiteral("missing.png")));
        QCOMPARE(quint32(missing.generate()), 0x80090002u);
        const QStringList lines = capture.takeTexts();
        QVERIFY(!lines.isEmpty()); // the failures were logged...
        const QString header = QString::fromLatin1(m_devices.authorization(0));
        for (const QString& line : lines) { // ...without the secrets
            QVERIFY2(!line.contains(m_code, Qt::CaseInsensitive), qPrintable(line));
            QVERIFY2(!line.contains(header.mid(6)), qPrintable(line));
        }
    }
};

QTEST_GUILESS_MAIN(TestFileUploader)
#include "tst_fileuploader.moc"
