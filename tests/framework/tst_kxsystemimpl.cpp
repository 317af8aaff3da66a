// The system implementation end to end: batch requests as the window sends
// them, run against three virtual devices (TLS on loopback addresses of their
// own, port 60010 as devices listen) that are logged in and keep their push
// channel open through an observer and facade of the test's own. What the
// operator would see is read where the views read it: the system status, the
// table's "Status" column and the toast text of each alert event.

#include "AlertNotifier.h"
#include "BatchJournal.h"
#include "DeviceProcess.h"
#include "DeviceRecord.h"
#include "DeviceTableModel.h"
#include "KxSystemImpl.h"
#include "PushSessionFixture.h"
#include "ResultsReport.h"
#include "UserInterface.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <memory>

namespace {

struct TestDevice
{
    const char* name; // the virtual device's id
    const char* address;
    const char* id; // MAC address text, the record's key
};

constexpr TestDevice kDevices[] = {
    {"d1", "127.0.133.1", "02:00:7F:00:85:01"},
    {"d2", "127.0.133.2", "02:00:7F:00:85:02"},
    {"d3", "127.0.133.3", "02:00:7F:00:85:03"},
};
constexpr int kDeviceCount = 3;
constexpr char kPassword[] = "batch-133";
constexpr int kPort = 60010;
constexpr int kWaitMs = 15000;

QString deviceId(int index)
{
    return QLatin1String(kDevices[index].id);
}

// The options map the window builds: the checked ids and the chosen file.
QVariantMap request(const QList<int>& devices, const QString& path)
{
    QStringList ids;
    for (const int index : devices)
        ids << deviceId(index);
    return {{QStringLiteral("devices"), ids}, {QStringLiteral("filePath"), QUrl::fromLocalFile(path)}};
}

QByteArray pngImage()
{
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

} // namespace

Q_DECLARE_METATYPE(KxSystemEventID::ID)
Q_DECLARE_METATYPE(KxSystemStatus::Status)

class TestKxSystemImpl : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    DeviceProcess m_device;
    std::unique_ptr<PushSessionFixture> m_push;
    std::unique_ptr<DeviceTableModel> m_table;
    std::unique_ptr<KxSystemImpl> m_system;
    UserInterface::MessageGenerator m_messages;

    QList<KxSystemStatus::Status> m_statuses; // every status the system announced
    QStringList m_texts[kDeviceCount]; // every text each device's Status cell showed
    QStringList m_toasts; // texts of the ErrorAlertNotified events
    QList<unsigned int> m_alertCodes; // codes of every alert event

    BatchJournal* journal() const { return qobject_cast<BatchJournal*>(m_system->journal()); }

    QVariant value(int index, DeviceParameter parameter) const
    {
        return recordValue(m_push->facade(), deviceId(index), parameter);
    }

    QString statusText(int index) const
    {
        for (int row = 0; row < m_table->rowCount(); ++row) {
            if (m_table->getSortedDeviceId(row) == deviceId(index))
                return m_table->data(m_table->index(row, DeviceTableModel::Status)).toString();
        }
        return QStringLiteral("no row");
    }

    bool connected(int index) const
    {
        return value(index, DeviceParameter::ConnectionStatus).toInt() == toInt(ConnectionStatus::Connected)
               && value(index, DeviceParameter::LoggedInStatus).toBool();
    }

    bool logIn(int index)
    {
        if (m_push->logIn(deviceId(index), md5Hex(kPassword)) != 0)
            return false;
        const int32_t session = m_push->openSession(deviceId(index), kPort);
        if (session != 0 && session != DeviceNotificationObserver::kSessionExists)
            return false;
        return QTest::qWaitFor([this, index] { return connected(index); }, kWaitMs);
    }

    // The lines "event dN upload <kind> ok size=S md5=M ..." since `from`.
    QStringList uploads(int index, const QString& kind, int from)
    {
        const QString prefix = QStringLiteral("event %1 upload %2 ok ").arg(QLatin1String(kDevices[index].name), kind);
        QStringList found;
        const QStringList lines = m_device.lines();
        for (int i = from; i < lines.size(); ++i) {
            if (lines.at(i).startsWith(prefix))
                found << lines.at(i).mid(prefix.size()).section(QLatin1Char(' '), 0, 1);
        }
        return found;
    }

    // Waits until every request queued so far has been delivered.
    static bool drain(QObject* receiver)
    {
        bool delivered = false;
        QMetaObject::invokeMethod(
            receiver, [&delivered] { delivered = true; }, Qt::QueuedConnection);
        return QTest::qWaitFor([&delivered] { return delivered; }, kWaitMs);
    }

    void forget()
    {
        m_statuses.clear();
        m_toasts.clear();
        m_alertCodes.clear();
        for (QStringList& texts : m_texts)
            texts.clear();
    }

private Q_SLOTS:
    void initTestCase()
    {
        registerDeviceMetaTypes();
        qRegisterMetaType<KxSystemEventID::ID>();
        QVERIFY(m_dir.isValid());
        QCOMPARE(AlertNotifier::initialize(), 0);

        DeviceArguments arguments;
        for (const TestDevice& device : kDevices) {
            const QString name = QStringLiteral("Batch %1").arg(QLatin1String(device.name));
            arguments.device(device.address).id(device.name).mac(device.id).model("TQ-730").name(name);
            arguments.password(kPassword).version("1.0.0");
        }
        QVERIFY2(m_device.start(arguments.httpsPort(kPort).updateSteps(20, 25).rebootMs(0)),
                 qPrintable(m_device.errorText()));

        m_push = std::make_unique<PushSessionFixture>();
        QVERIFY(m_push->isWired());
        for (int i = 0; i < kDeviceCount; ++i) {
            m_push->facade().activateDevice(QLatin1String(kDevices[i].address), QStringLiteral("TQ-730"),
                                            QStringLiteral("Batch %1").arg(QLatin1String(kDevices[i].name)),
                                            deviceId(i));
        }
        m_table = std::make_unique<DeviceTableModel>(m_push->facade());
        QCOMPARE(m_table->rowCount(), kDeviceCount);
        for (int i = 0; i < kDeviceCount; ++i) {
            std::shared_ptr<DeviceData> record;
            QVERIFY(m_push->facade().getDeviceData(deviceId(i), record));
            connect(record.get(), &DeviceData::dataChanged, this, [this, i] {
                const QString text = statusText(i);
                if (m_texts[i].isEmpty() || m_texts[i].last() != text)
                    m_texts[i] << text;
            });
            QVERIFY2(logIn(i), kDevices[i].name);
        }

        m_system = std::make_unique<KxSystemImpl>(m_push->facade(), &m_push->observer());
        QCOMPARE(m_system->status(), KxSystemStatus::Active);
        connect(m_system.get(), &KxSystemAbstractImpl::statusChanged, this,
                [this] { m_statuses << m_system->status(); });
        connect(m_system.get(), &KxSystemAbstractImpl::eventReceived, this,
                [this](KxSystemEventID::ID id, const QVariantMap& options) {
                    // The window shows a toast for error events only.
                    QCOMPARE(options.value(QStringLiteral("errorCode")).typeId(), QMetaType::UInt);
                    const unsigned int code = options.value(QStringLiteral("errorCode")).toUInt();
                    QCOMPARE(id, (code & 0x80000000u) ? KxSystemEventID::ErrorAlertNotified
                                                      : KxSystemEventID::NoErrorAlertNotified);
                    m_alertCodes << code;
                    if (id == KxSystemEventID::ErrorAlertNotified)
                        m_toasts << m_messages.generate(options);
                });
    }

    void init()
    {
        // Every device idle again and its last reports in: nothing from an
        // earlier case arrives during this one.
        for (int i = 0; i < kDeviceCount; ++i) {
            QVERIFY2(connected(i) || logIn(i), kDevices[i].name);
            QTRY_COMPARE_WITH_TIMEOUT(value(i, DeviceParameter::RunningStatus).toInt(), 0, kWaitMs);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!journal()->busy(), kWaitMs);
        forget();
    }

    void cleanup()
    {
        QCOMPARE(m_device.command(QStringLiteral("fault all clear")), QStringLiteral("ok"));
        QCOMPARE(m_device.command(QStringLiteral("state all idle")), QStringLiteral("ok"));
    }

    // Three checked devices, the second busy: the first and third get the
    // file, one after the other, and report their installation; the second is
    // skipped and marked failed with one toast. A second request while the
    // batch runs is dropped.
    void firmwareBatchSkipsBusyDevice()
    {
        const QByteArray content = QByteArray(1 << 20, 'F') + "end of firmware";
        const QString firmware = writeTestFile(m_dir, QStringLiteral("tq-2.7.1.bundle"), content);
        const QString configuration = writeTestFile(m_dir, QStringLiteral("settings.xml"), "<config/>");
        QVERIFY(!firmware.isEmpty() && !configuration.isEmpty());
        QCOMPARE(m_device.command(QStringLiteral("state d2 busy")), QStringLiteral("ok"));
        QTRY_COMPARE_WITH_TIMEOUT(value(1, DeviceParameter::RunningStatus).toInt(), 1, kWaitMs);
        const int from = m_device.lineCount();

        // The window cannot send while the status is not Active; anything
        // that does is dropped, also when it comes in during an upload.
        bool sentDuringBatch = false;
        const auto duringBatch = connect(m_system.get(), &KxSystemAbstractImpl::statusChanged, this, [&] {
            if (m_system->status() == KxSystemStatus::FirmwareUpdating && !sentDuringBatch) {
                sentDuringBatch = true;
                QVERIFY(m_system->sendEvent(KxSystemEventID::ImportConfiguration, request({0, 1, 2}, configuration)));
                QVERIFY(m_system->sendEvent(KxSystemEventID::FirmwareUpdate, request({0}, firmware)));
            }
        });

        // The journal ends when the installing devices have reported.
        QString atEnd;
        const auto ended = connect(journal(), &BatchJournal::endedChanged, this, [&] { atEnd = statusText(2); });
        QVERIFY(m_system->sendEvent(KxSystemEventID::FirmwareUpdate, request({0, 1, 2}, firmware)));
        // Queued: nothing has started inside sendEvent.
        QCOMPARE(m_system->status(), KxSystemStatus::Active);
        QVERIFY(m_statuses.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(m_statuses.size(), 2, kWaitMs);
        disconnect(duringBatch);
        QVERIFY(sentDuringBatch);
        QCOMPARE(m_statuses, (QList<KxSystemStatus::Status>{KxSystemStatus::FirmwareUpdating, KxSystemStatus::Active}));
        QCOMPARE(m_system->status(), KxSystemStatus::Active);

        // The devices received the whole file, in list order, once each.
        const QString received
            = QStringLiteral("size=%1 md5=%2").arg(content.size()).arg(QLatin1String(md5Of(firmware)));
        QCOMPARE(uploads(0, QStringLiteral("firmware"), from), QStringList{received});
        QCOMPARE(uploads(1, QStringLiteral("firmware"), from), QStringList());
        QCOMPARE(uploads(2, QStringLiteral("firmware"), from), QStringList{received});
        int first = -1;
        int third = -1;
        QVERIFY(m_device.waitForLine(
            [](const QString& line) { return line.startsWith(QLatin1String("event d1 upload firmware ok")); }, kWaitMs,
            from, nullptr));
        const QStringList lines = m_device.lines();
        for (int i = from; i < lines.size(); ++i) {
            if (first < 0 && lines.at(i).startsWith(QLatin1String("event d1 upload firmware ok")))
                first = i;
            if (third < 0 && lines.at(i).startsWith(QLatin1String("event d3 upload firmware ok")))
                third = i;
        }
        QVERIFY(first >= 0 && third > first);

        // The installation's pushed progress and result reach the table.
        for (const int index : {0, 2}) {
            QTRY_COMPARE_WITH_TIMEOUT(statusText(index), QStringLiteral("Update successful"), kWaitMs);
            QCOMPARE(value(index, DeviceParameter::UpdateResult).toInt(), 0);
            const QStringList& texts = m_texts[index];
            const auto firstOf = [&texts](const QString& prefix) {
                for (int i = 0; i < texts.size(); ++i) {
                    if (texts.at(i).startsWith(prefix))
                        return i;
                }
                return -1;
            };
            const int uploading = firstOf(QStringLiteral("Uploading firmware "));
            const int installing = firstOf(QStringLiteral("Firmware update "));
            const int done = texts.indexOf(QStringLiteral("Update successful"));
            QVERIFY2(uploading >= 0 && installing > uploading && done > installing,
                     qPrintable(texts.join(QLatin1String(" | "))));
        }

        // The busy device was not contacted: failed, and one toast for it.
        QCOMPARE(value(1, DeviceParameter::UpdateResult).toInt(), 1);
        QCOMPARE(statusText(1), QStringLiteral("Busy"));
        QTRY_COMPARE_WITH_TIMEOUT(m_toasts, QStringList{QStringLiteral("Firmware update was skipped. Device is busy.")},
                                  kWaitMs);
        QCOMPARE(m_alertCodes, QList<unsigned int>{0x80040002u});
        QCOMPARE(m_device.command(QStringLiteral("state d2 idle")), QStringLiteral("ok"));
        QTRY_COMPARE_WITH_TIMEOUT(statusText(1), QStringLiteral("Update failed"), kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(
            journal()->line(), QStringLiteral("Update finished: 2 succeeded, 1 failed, 0 skipped, 0 stopped"), kWaitMs);
        disconnect(ended);
        QCOMPARE(atEnd, QStringLiteral("Update successful"));

        // The requests sent during the batch did nothing.
        QVERIFY(drain(m_system.get()));
        QCOMPARE(m_statuses.size(), 2);
        for (int i = 0; i < kDeviceCount; ++i)
            QCOMPARE(uploads(i, QStringLiteral("import"), from), QStringList());
        QCOMPARE(uploads(0, QStringLiteral("firmware"), from).size(), 1);
    }

    // Requests that must change nothing: no status change, no alert, no
    // upload, no record touched.
    void requestWithoutEffect_data()
    {
        QTest::addColumn<int>("eventId");
        QTest::addColumn<QVariantMap>("options");
        QTest::addColumn<bool>("accepted"); // what sendEvent answers

        const QString firmware = m_dir.filePath(QStringLiteral("unused.bundle"));
        QVariantMap noDevices = request({0}, firmware);
        noDevices.remove(QStringLiteral("devices"));
        QVariantMap noPath = request({0}, firmware);
        noPath.remove(QStringLiteral("filePath"));
        QVariantMap emptyPath = request({0}, firmware);
        emptyPath.insert(QStringLiteral("filePath"), QUrl());
        QVariantMap notAFileUrl = request({0}, firmware);
        notAFileUrl.insert(QStringLiteral("filePath"), QUrl(QStringLiteral("https://127.0.133.9/tq.bundle")));

        QTest::newRow("no devices key") << int(KxSystemEventID::FirmwareUpdate) << noDevices << true;
        QTest::newRow("empty device list") << int(KxSystemEventID::FirmwareUpdate) << request({}, firmware) << true;
        QTest::newRow("no path") << int(KxSystemEventID::FirmwareUpdate) << noPath << true;
        QTest::newRow("empty path") << int(KxSystemEventID::ImportConfiguration) << emptyPath << true;
        QTest::newRow("not a local file") << int(KxSystemEventID::StandbyScreenImageChange) << notAFileUrl << true;
        QTest::newRow("alert event id") << int(KxSystemEventID::ErrorAlertNotified) << request({0}, firmware) << false;
        QTest::newRow("no-error alert event id")
            << int(KxSystemEventID::NoErrorAlertNotified) << request({0}, firmware) << false;
        QTest::newRow("invalid id") << int(KxSystemEventID::InvalidID) << request({0}, firmware) << false;
        QTest::newRow("id past the last") << int(KxSystemEventID::NumberOfIDs) << request({0}, firmware) << false;
        QTest::newRow("stop without a batch") << int(KxSystemEventID::StopBatch) << QVariantMap() << false;
    }

    void requestWithoutEffect()
    {
        QFETCH(int, eventId);
        QFETCH(QVariantMap, options);
        QFETCH(bool, accepted);
        QVERIFY(writeTestFile(m_dir, QStringLiteral("unused.bundle"), "firmware").size() > 0);
        const QVariant before = value(0, DeviceParameter::AllDeviceStatus);
        const int from = m_device.lineCount();

        QCOMPARE(m_system->sendEvent(static_cast<KxSystemEventID::ID>(eventId), options), accepted);
        QVERIFY(drain(m_system.get()));
        QVERIFY(drain(AlertNotifier::getInstance()));
        QCOMPARE(m_statuses, QList<KxSystemStatus::Status>());
        QCOMPARE(m_alertCodes, QList<unsigned int>());
        QCOMPARE(value(0, DeviceParameter::AllDeviceStatus), before);
        QCOMPARE(m_device.command(QStringLiteral("list")).left(2), QStringLiteral("ok"));
        for (const QString& line : m_device.lines().mid(from))
            QVERIFY2(!line.contains(QLatin1String(" upload ")), qPrintable(line));
    }

    // Stop during the first device's upload: once, that device finishes and
    // no other starts; twice, its upload ends too, as a failure with a toast.
    void stopEndsTheBatch_data()
    {
        QTest::addColumn<int>("stops");
        QTest::addColumn<bool>("firstTakesTheFile");
        // What the device has not read when the upload ends waits in the
        // sockets' buffers: a file larger than they hold.
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("skipSecond"); // left out at login
        QTest::addColumn<QString>("summary");
        QTest::newRow("once") << 1 << true << (1 << 20) << false
                              << "Update finished: 1 succeeded, 0 failed, 0 skipped, 2 stopped";
        QTest::newRow("twice") << 2 << false << (16 << 20) << false
                               << "Update finished: 0 succeeded, 0 failed, 0 skipped, 3 stopped";
        QTest::newRow("once, the second skipped at login")
            << 1 << true << (1 << 20) << true << "Update finished: 1 succeeded, 0 failed, 1 skipped, 1 stopped";
    }

    void stopEndsTheBatch()
    {
        QFETCH(int, stops);
        QFETCH(bool, firstTakesTheFile);
        QFETCH(int, size);
        QFETCH(bool, skipSecond);
        QFETCH(QString, summary);
        // The last batch's result is not this one's.
        QVERIFY(
            m_push->facade().setDeviceParameter(deviceId(2), DeviceParameter::UpdateResult, 1, DeviceFindPolicy::ById));
        const QByteArray content = QByteArray(size, 'S');
        const QString firmware = writeTestFile(m_dir, QStringLiteral("tq-2.7.2.bundle"), content);
        QVERIFY(!firmware.isEmpty());
        QCOMPARE(m_device.command(QStringLiteral("fault d1 throttle 256k")), QStringLiteral("ok"));
        const int from = m_device.lineCount();
        std::shared_ptr<DeviceData> record;
        QVERIFY(m_push->facade().getDeviceData(deviceId(0), record));
        QObject watch;
        bool stopped = false;
        connect(record.get(), &DeviceData::dataChanged, &watch, [&](const QString&, DeviceParameter type) {
            if (type != DeviceParameter::FirmwareUploadProgress || stopped)
                return;
            stopped = true;
            for (int i = 0; i < stops; ++i)
                QVERIFY(m_system->sendEvent(KxSystemEventID::StopBatch, {}));
        });

        QVariantMap options = request({0, 1, 2}, firmware);
        if (skipSecond)
            options.insert(QStringLiteral("skipped"),
                           QVariantList{QVariantMap{{QStringLiteral("device"), deviceId(1)},
                                                    {QStringLiteral("reason"), QStringLiteral("Wrong password")}}});
        QSignalSpy said(journal(), &BatchJournal::announced);
        QVERIFY(m_system->sendEvent(KxSystemEventID::FirmwareUpdate, options));
        QTRY_COMPARE_WITH_TIMEOUT(m_statuses.size(), 2, kWaitMs);
        QVERIFY(stopped);
        QTRY_COMPARE_WITH_TIMEOUT(journal()->line(), summary, kWaitMs);
        QCOMPARE(said.size(), 2 + stops);
        QCOMPARE(said.at(0).at(0).toString(), QStringLiteral("Update started: 3 devices"));
        QCOMPARE(said.at(stops).at(0).toString(),
                 stops == 1 ? QStringLiteral("Stopping: the running device finishes, no other starts")
                            : QStringLiteral("Stopping now: the running upload is ended"));
        QCOMPARE(m_texts[2].mid(m_texts[2].indexOf(QStringLiteral("Waiting"))),
                 (QStringList{QStringLiteral("Waiting"), QStringLiteral("Not started")}));
        // Saved as corvanectl writes its report: CSV, or JSON with the summary.
        const QString saved = m_dir.filePath(skipSecond ? QStringLiteral("results.json") : QStringLiteral("r.CSV"));
        QCOMPARE(journal()->saveResults(QUrl::fromLocalFile(saved)), QString());
        QFile file(saved);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), ResultsReport::content(saved, journal()->entries(), journal()->summary()));
        for (const QJsonValue& entry : journal()->entries()) {
            if (entry.toObject().value(QStringLiteral("macAddress")).toString() == deviceId(1))
                QCOMPARE(entry.toObject().value(QStringLiteral("message")).toString(),
                         skipSecond ? QStringLiteral("Wrong password") : QStringLiteral("Not started"));
        }
        QCOMPARE(m_system->status(), KxSystemStatus::Active);
        QCOMPARE(uploads(0, QStringLiteral("firmware"), from).size(), firstTakesTheFile ? 1 : 0);
        QCOMPARE(uploads(1, QStringLiteral("firmware"), from), QStringList());
        QCOMPARE(uploads(2, QStringLiteral("firmware"), from), QStringList());
        if (firstTakesTheFile) {
            QTRY_COMPARE_WITH_TIMEOUT(statusText(0), QStringLiteral("Update successful"), kWaitMs);
            QCOMPARE(m_alertCodes, QList<unsigned int>());
        } else {
            // The operator's own stop: no "Network error." for it.
            QCOMPARE(statusText(0), QStringLiteral("Stopped by the operator"));
            QVERIFY(drain(AlertNotifier::getInstance()));
            QCOMPARE(m_alertCodes, QList<unsigned int>());
        }
        // A stop after the batch is no stop.
        QVERIFY(!m_system->sendEvent(KxSystemEventID::StopBatch, {}));
    }

    // The two other batches run the same way with their own status; the
    // device's verdict on the file comes back through the push channel.
    void otherBatches_data()
    {
        QTest::addColumn<int>("eventId");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("kind"); // the device's name for the upload
        QTest::addColumn<int>("status"); // held while the batch runs
        QTest::addColumn<QString>("text"); // the Status column afterwards

        QTest::addColumn<QString>("summary");

        QTest::newRow("configuration import")
            << int(KxSystemEventID::ImportConfiguration) << "settings.XML"
            << QByteArray("<?xml version=\"1.0\"?><config><volume>7</volume></config>") << "import"
            << int(KxSystemStatus::ConfigurationImporting) << "Import successful"
            << "Import finished: 2 succeeded, 0 failed, 0 skipped, 0 stopped";
        QTest::newRow("configuration the device cannot read")
            << int(KxSystemEventID::ImportConfiguration) << "broken.xml" << QByteArray("<config><volume>") << "import"
            << int(KxSystemStatus::ConfigurationImporting) << "Import failed"
            << "Import finished: 0 succeeded, 2 failed, 0 skipped, 0 stopped";
        // A result the board does not know is none: waited for, up to the
        // (here short) result time-out.
        QTest::newRow("configuration the device never judges")
            << int(KxSystemEventID::ImportConfiguration) << "settings.xml" << QByteArray("<config/>") << "import"
            << int(KxSystemStatus::ConfigurationImporting) << "No result"
            << "Import finished: 0 succeeded, 0 failed, 0 skipped, 0 stopped, 2 no result";
        QTest::newRow("standby image") << int(KxSystemEventID::StandbyScreenImageChange) << "standby.png" << pngImage()
                                       << "standby-image" << int(KxSystemStatus::StandbyScreenImageChanging)
                                       << "Stand-by screen image successfully uploaded"
                                       << "Stand-by image finished: 2 succeeded, 0 failed, 0 skipped, 0 stopped";
        QTest::newRow("standby image the device judges invalid")
            << int(KxSystemEventID::StandbyScreenImageChange) << "standby.Jpeg"
            << QByteArray("no JPEG starts like this") << "standby-image"
            << int(KxSystemStatus::StandbyScreenImageChanging) << "Uploaded Stand-by screen image is invalid"
            << "Stand-by image finished: 0 succeeded, 2 failed, 0 skipped, 0 stopped";
    }

    void otherBatches()
    {
        QFETCH(int, eventId);
        QFETCH(QString, fileName);
        QFETCH(QByteArray, content);
        QFETCH(QString, kind);
        QFETCH(int, status);
        QFETCH(QString, text);
        QFETCH(QString, summary);
        const QString path = writeTestFile(m_dir, fileName, content);
        QVERIFY(!path.isEmpty());
        const bool unjudged = summary.endsWith(QLatin1String("no result"));
        if (unjudged)
            QCOMPARE(m_device.command(QStringLiteral("fault all import-result 99")), QStringLiteral("ok"));
        journal()->setResultTimeout(unjudged ? 2000 : BatchJournal::kResultTimeoutMs);
        const int from = m_device.lineCount();

        QVERIFY(m_system->sendEvent(static_cast<KxSystemEventID::ID>(eventId), request({2, 0}, path)));
        QTRY_COMPARE_WITH_TIMEOUT(m_statuses.size(), 2, kWaitMs);
        QCOMPARE(m_statuses,
                 (QList<KxSystemStatus::Status>{static_cast<KxSystemStatus::Status>(status), KxSystemStatus::Active}));
        const QString received = QStringLiteral("size=%1 md5=%2").arg(content.size()).arg(QLatin1String(md5Of(path)));
        for (const int index : {0, 2}) {
            QCOMPARE(uploads(index, kind, from), QStringList{received});
            QTRY_COMPARE_WITH_TIMEOUT(statusText(index), text, kWaitMs);
        }
        QCOMPARE(uploads(1, kind, from), QStringList());
        QTRY_COMPARE_WITH_TIMEOUT(journal()->line(), summary, kWaitMs);
        journal()->setResultTimeout(BatchJournal::kResultTimeoutMs);
        QVERIFY(drain(AlertNotifier::getInstance()));
        QCOMPARE(m_alertCodes, QList<unsigned int>());
    }

    // A device that refuses the file fails alone; the batch goes on with the
    // next. 403: the operator's code is no longer accepted ("Network error.",
    // logged out, push channel closed). Any other refusal is a failure without
    // a toast: its code 0 comes back as a no-error event.
    void deviceRefusesUpload_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<unsigned int>("alertCode");
        QTest::addColumn<QStringList>("toasts");
        QTest::addColumn<bool>("stillLoggedIn"); // logged in, channel open
        QTest::addColumn<QString>("text"); // the Status column, where it is settled

        // Refused: still discovered, the device offers its login again.
        QTest::newRow("403") << "403" << 0x80040004u << QStringList{QStringLiteral("Network error.")} << false
                             << "Login required";
        // The failed result ends the upload's percentage.
        QTest::newRow("500") << "500" << 0u << QStringList() << true << "Update failed";
    }

    void deviceRefusesUpload()
    {
        QFETCH(QString, answer);
        QFETCH(unsigned int, alertCode);
        QFETCH(QStringList, toasts);
        QFETCH(bool, stillLoggedIn);
        QFETCH(QString, text);
        const QString firmware = writeTestFile(m_dir, QStringLiteral("tq-3.0.0.BUNDLE"), QByteArray(4096, 'x'));
        QVERIFY(!firmware.isEmpty());
        QCOMPARE(m_device.command(QStringLiteral("fault d1 upload %1").arg(answer)), QStringLiteral("ok"));
        Session::SessionState state = Session::Initial;
        QVERIFY(m_push->observer().sessionState(deviceId(0), kPort, state));
        const int sessions = m_push->observer().sessionCount();
        const int from = m_device.lineCount();

        QVERIFY(m_system->sendEvent(KxSystemEventID::FirmwareUpdate, request({0, 2}, firmware)));
        QTRY_COMPARE_WITH_TIMEOUT(m_statuses.size(), 2, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(m_alertCodes, QList<unsigned int>{alertCode}, kWaitMs);
        QCOMPARE(m_toasts, toasts);
        QCOMPARE(value(0, DeviceParameter::UpdateResult).toInt(), 1);
        QCOMPARE(value(0, DeviceParameter::LoggedInStatus).toBool(), stillLoggedIn);
        QCOMPARE(m_push->observer().sessionState(deviceId(0), kPort, state), stillLoggedIn);
        QCOMPARE(m_push->observer().sessionCount(), stillLoggedIn ? sessions : sessions - 1);
        if (!stillLoggedIn)
            QVERIFY(m_device.waitForLineContaining(QStringLiteral("event d1 push closed"), kWaitMs, from));
        if (!text.isEmpty())
            QTRY_COMPARE_WITH_TIMEOUT(statusText(0), text, kWaitMs);
        QCOMPARE(connected(0), stillLoggedIn);
        // The next device was still updated.
        QCOMPARE(uploads(2, QStringLiteral("firmware"), from).size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(statusText(2), QStringLiteral("Update successful"), kWaitMs);
    }

    // The last owner of a shared implementation may let go while a batch runs
    // in it (a front destroyed from a nested event loop): the batch finishes,
    // then the object goes.
    void sharedImplementationOutlivesItsBatch()
    {
        std::shared_ptr<KxSystemAbstractImpl> shared = KxSystemImplFactory::createKxImpl();
        QVERIFY(shared != nullptr);
        QCOMPARE(shared->status(), KxSystemStatus::Active);
        QSignalSpy destroyed(shared.get(), &QObject::destroyed);
        QList<KxSystemStatus::Status> statuses;
        KxSystemAbstractImpl* impl = shared.get();
        connect(impl, &KxSystemAbstractImpl::statusChanged, this, [&] {
            statuses << impl->status();
            if (statuses.size() == 1)
                shared.reset();
        });
        const QString firmware = writeTestFile(m_dir, QStringLiteral("unused.bundle"), "firmware");
        // Ids the process-wide facade does not know: each fails at once.
        QVERIFY(impl->sendEvent(KxSystemEventID::FirmwareUpdate,
                                {{QStringLiteral("devices"), QStringList{QStringLiteral("02:00:7F:00:85:F1"),
                                                                         QStringLiteral("02:00:7F:00:85:F2")}},
                                 {QStringLiteral("filePath"), QUrl::fromLocalFile(firmware)}}));
        QTRY_COMPARE_WITH_TIMEOUT(destroyed.size(), 1, kWaitMs);
        QCOMPARE(statuses, (QList<KxSystemStatus::Status>{KxSystemStatus::FirmwareUpdating, KxSystemStatus::Active}));
    }

    void cleanupTestCase()
    {
        m_system.reset();
        m_table.reset();
        m_push.reset();
        AlertNotifier::finalize();
        QVERIFY(m_device.stop());
    }
};

QTEST_MAIN(TestKxSystemImpl)
#include "tst_kxsystemimpl.moc"
