// The three batch controllers against virtual devices over real TLS, each
// device on a loopback address of its own with port 60010 as devices listen:
// logged in through LoginController, push channel open through an observer
// of the test's own facade. One table of cases runs for the three
// operations; what a device received is read from its console, so a case
// cannot pass when nothing was uploaded.

#include "AlertNotifier.h"
#include "DeviceProcess.h"
#include "DeviceRecord.h"
#include "DeviceTrust.h"
#include "FileDigestCache.h"
#include "FirmwareUpdateController.h"
#include "HttpAccessManager.h"
#include "ImportConfigurationController.h"
#include "KnownDevices.h"
#include "MessageCapture.h"
#include "PeerTrust.h"
#include "PushSessionFixture.h"
#include "Services.h"
#include "StandbyScreenImageChangeController.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <memory>

namespace {

constexpr int kPort = 60010;
constexpr char kPassword[] = "batch-130";
// The device most cases use, and one per operation for the device that dies
// in the middle of an upload.
constexpr char kAddress[] = "127.0.130.1";
constexpr char kDeviceId[] = "02:00:7F:00:82:01";
const char* const kVictimAddresses[] = {"127.0.131.1", "127.0.131.2", "127.0.131.3"};
const char* const kVictimIds[] = {"02:00:7F:00:83:01", "02:00:7F:00:83:02", "02:00:7F:00:83:03"};
// For the progress slot: a record only, no device behind it.
constexpr char kQuietAddress[] = "127.0.132.1";
constexpr char kQuietId[] = "02:00:7F:00:84:01";

constexpr qint64 kNoAlert = -1;

QByteArray pseudoRandom(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& byte : bytes) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<char>(seed >> 24);
    }
    return bytes;
}

// The smallest files the device takes as a well-formed configuration and as
// valid images.
QByteArray pngImage()
{
    return QByteArray::fromHex("89504e470d0a1a0a"
                               "0000000d49484452"
                               "00000001000000010806000000"
                               "1f15c489")
           + QByteArray::fromHex("0000000049454e44ae426082");
}

QByteArray jpegImage()
{
    return QByteArray::fromHex("ffd8ffe000104a46494600") + pseudoRandom(200, 7) + QByteArray::fromHex("ffd9");
}

enum Operation { Firmware, Import, Image, OperationCount };

// What tells the three operations apart, seen from outside.
struct OperationTraits
{
    const char* name;
    const char* kind; // in the device's upload lines
    const char* file; // a file the device accepts
    const char* wrongFile;
    const char* upperCaseFile;
    DeviceParameter progress;
    DeviceParameter result;
    int failed; // the result a failure stores
    qint64 notReady; // not logged in
    quint32 facility; // of its own codes, in the upper half
    bool uploadsInCall;
};

// What a device's success is announced as.
const char* const kSaid[OperationCount]
    = {"Update successful", "Import successful", "Stand-by screen image successfully uploaded"};

const OperationTraits kOperations[OperationCount] = {
    {"firmware", "firmware", "corvane-2.1.0.bundle", "corvane-2.1.0.bin", "CORVANE-2.1.0.BUNDLE",
     DeviceParameter::FirmwareUploadProgress, DeviceParameter::UpdateResult, 1, 0x80000000, 0x80040000, false},
    {"import", "import", "settings.xml", "settings.json", "SETTINGS.XML", DeviceParameter::ConfigUploadProgress,
     DeviceParameter::ImportResult, 5, 0, 0x80060000, false},
    {"image", "standby-image", "standby.png", "standby.bmp", "STANDBY.PNG",
     DeviceParameter::StandbyScreenImageUploadProgress, DeviceParameter::StandbyImageResult, 1, 0, 0x80050000, true},
};

QByteArray contentFor(const QString& fileName)
{
    const QString lower = fileName.toLower();
    if (lower.endsWith(QLatin1String(".xml")))
        return "<?xml version=\"1.0\"?>\n<configuration><display brightness=\"7\"/></configuration>\n";
    if (lower.endsWith(QLatin1String(".png")))
        return pngImage();
    if (lower.endsWith(QLatin1String(".jpeg")) || lower.endsWith(QLatin1String(".jpg")))
        return jpegImage();
    return pseudoRandom(96 * 1024, 130);
}

// Big enough to be under way for seconds at the device's throttled rate.
QByteArray largeContentFor(const QString& fileName)
{
    const QString lower = fileName.toLower();
    if (lower.endsWith(QLatin1String(".xml")))
        return "<configuration>" + QByteArray("<item/>").repeated(600000) + "</configuration>";
    if (lower.endsWith(QLatin1String(".png")))
        return pngImage().left(33) + pseudoRandom(4 << 20, 131) + pngImage().right(12);
    return pseudoRandom(4 << 20, 131);
}

// How a case prepares the device and its record.
enum class Setup {
    None,
    ResultFirst,
    FinishTogether,
    NotLoggedIn,
    NotConnected,
    Busy,
    InCall,
    Forbidden,
    ServerError,
    FileRemoved,
    Killed,
    ChannelLost,
    KeySwapped, // the device shows another key than at its login
    Decoy // a forged answer claims the device's address with a smaller MAC
};

// What the device saw of the call.
enum class Seen { Nothing, Accepted, Refused403, Refused500 };

} // namespace

Q_DECLARE_METATYPE(Setup)
Q_DECLARE_METATYPE(Seen)

class TestBatchControllers : public QObject
{
    Q_OBJECT

private:
    DeviceProcess m_device;
    QTemporaryDir m_dir;
    std::unique_ptr<PushSessionFixture> m_push;
    std::unique_ptr<FirmwareUpdateController> m_firmware;
    std::unique_ptr<ImportConfigurationController> m_import;
    std::unique_ptr<StandbyScreenImageChangeController> m_image;
    std::shared_ptr<PinnedPeerTrust> m_trust;

    QVariant value(const QString& deviceId, DeviceParameter parameter) const
    {
        return recordValue(m_push->facade(), deviceId, parameter);
    }

    // Requests that came to the device with a credential, by its own count.
    int credentialsHeard()
    {
        const int from = m_device.lineCount();
        m_device.command(QStringLiteral("list"));
        const QStringList all = m_device.lines();
        for (int i = from; i < all.size(); ++i) {
            const qsizetype at = all.at(i).indexOf(QLatin1String(" credentials="));
            if (at >= 0)
                return all.at(i).mid(at + 13).section(QLatin1Char(' '), 0, 0).toInt();
        }
        return -1;
    }

    QString statusText(const QString& deviceId) const
    {
        return value(deviceId, DeviceParameter::AllDeviceStatus)
            .toMap()
            .value(QStringLiteral("statusMessage"))
            .toString();
    }

    bool ready(const QString& deviceId) const
    {
        return value(deviceId, DeviceParameter::ConnectionStatus).toInt() == toInt(ConnectionStatus::Connected)
               && value(deviceId, DeviceParameter::LoggedInStatus).toBool()
               && value(deviceId, DeviceParameter::RunningStatus).toInt() == 0;
    }

    static QStringList deviceArguments(const QString& address, const QString& deviceId)
    {
        return DeviceArguments()
            .device(address)
            .mac(deviceId)
            .model("TQ-730")
            .name("Batch")
            .password(kPassword)
            .version("1.0.0")
            .httpsPort(kPort)
            .updateSteps(10, 50)
            .rebootMs(0);
    }

    // The window's login: the key the device shows is read and, new, taken
    // at the operator's word.
    void acceptKey(const QString& deviceId)
    {
        DeviceTrust window;
        QSignalSpy read(&window, &DeviceTrust::keyRead);
        window.readKey(deviceId);
        QTRY_COMPARE(read.size(), 1);
        if (read.first().at(1).toString() == QLatin1String("new"))
            QVERIFY(window.acceptNewKey(deviceId, read.first().at(2).toString()));
        else
            QCOMPARE(read.first().at(1).toString(), QStringLiteral("known"));
    }

    // Discovery saw the device, the operator logged in, the channel is open.
    void bringUp(const QString& address, const QString& deviceId)
    {
        m_push->facade().activateDevice(address, QStringLiteral("TQ-730"), QStringLiteral("Batch"), deviceId);
        acceptKey(deviceId);
        const QString code = md5Hex(QByteArray(kPassword));
        QCOMPARE(m_push->logIn(deviceId, code), 0);
        QCOMPARE(m_push->openSession(deviceId, kPort), 0);
        QTRY_VERIFY_WITH_TIMEOUT(ready(deviceId), 10000);
    }

    bool run(Operation operation, const QString& deviceId, const QString& path)
    {
        switch (operation) {
        case Firmware:
            return m_firmware->update(deviceId, path);
        case Import:
            return m_import->execute(deviceId, path);
        default:
            return m_image->execute(deviceId, path);
        }
    }

    BatchUploadController* controller(Operation operation) const
    {
        switch (operation) {
        case Firmware:
            return m_firmware.get();
        case Import:
            return m_import.get();
        default:
            return m_image.get();
        }
    }

    // Lines the device printed since `from` about uploads; a control command
    // first, so that everything the device did before it is in.
    QStringList uploadLines(DeviceProcess& device, int from)
    {
        device.command(QStringLiteral("list"));
        QStringList found;
        const QStringList all = device.lines();
        for (int i = from; i < all.size(); ++i) {
            const qsizetype at = all.at(i).indexOf(QLatin1String("upload "));
            if (at >= 0)
                found << all.at(i).mid(at);
        }
        return found;
    }

private Q_SLOTS:
    void initTestCase()
    {
        registerDeviceMetaTypes();
        QVERIFY(m_dir.isValid());
        QCOMPARE(AlertNotifier::initialize(), 0);
        QVERIFY2(m_device.start(deviceArguments(QLatin1String(kAddress), QLatin1String(kDeviceId))),
                 qPrintable(m_device.errorText()));
    }

    void cleanupTestCase() { AlertNotifier::finalize(); }

    void init()
    {
        m_push = std::make_unique<PushSessionFixture>();
        QVERIFY(m_push->isWired());
        m_firmware = std::make_unique<FirmwareUpdateController>(m_push->facade(), &m_push->observer());
        m_import = std::make_unique<ImportConfigurationController>(m_push->facade(), &m_push->observer());
        m_image = std::make_unique<StandbyScreenImageChangeController>(m_push->facade(), &m_push->observer());
        // Keys pinned as the window pins them, at each case's first login.
        m_trust = DeviceTrust::pinnedFor(m_push->facade());
        HttpAccessManager::getInstance().setPeerTrust(m_trust);
        Services::install({&m_push->facade(), nullptr, &HttpAccessManager::getInstance(), m_trust.get()});
    }

    void cleanup()
    {
        QCOMPARE(m_device.command(QStringLiteral("fault d1 clear")), QStringLiteral("ok"));
        QCOMPARE(m_device.command(QStringLiteral("state d1 idle")), QStringLiteral("ok"));
        m_firmware.reset();
        m_import.reset();
        m_image.reset();
        HttpAccessManager::getInstance().setPeerTrust(nullptr);
        Services::install({});
        m_trust.reset();
        m_push.reset();
    }

    void oneDevice_data()
    {
        QTest::addColumn<int>("operation");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<bool>("result");
        QTest::addColumn<qint64>("alert"); // the code raised, or kNoAlert
        QTest::addColumn<Seen>("seen");

        for (int i = 0; i < OperationCount; ++i) {
            const OperationTraits& op = kOperations[i];
            const QString file = QLatin1String(op.file);
            const auto row = [&](const char* name) -> QTestData& {
                return QTest::newRow(
                           qPrintable(QStringLiteral("%1: %2").arg(QLatin1String(op.name), QLatin1String(name))))
                       << i;
            };
            row("success") << file << Setup::None << true << kNoAlert << Seen::Accepted;
            row("upper-case suffix") << QString::fromLatin1(op.upperCaseFile) << Setup::None << true << kNoAlert
                                     << Seen::Accepted;
            // The device's verdict overtakes its answer: the upload still
            // shows its end before the verdict.
            row("result before answer") << file << Setup::ResultFirst << true << kNoAlert << Seen::Accepted;
            // Its result and its idle state in one push, idle written first.
            row("result and idle at once") << file << Setup::FinishTogether << true << kNoAlert << Seen::Accepted;
            row("wrong suffix") << QString::fromLatin1(op.wrongFile) << Setup::None << false
                                << qint64(op.facility | 0x0001) << Seen::Nothing;
            row("not logged in") << file << Setup::NotLoggedIn << false << op.notReady << Seen::Nothing;
            row("not connected") << file << Setup::NotConnected << false << qint64(op.facility | 0x0003)
                                 << Seen::Nothing;
            row("busy") << file << Setup::Busy << false << qint64(op.facility | 0x0002) << Seen::Nothing;
            if (op.uploadsInCall)
                row("in call") << file << Setup::InCall << true << kNoAlert << Seen::Accepted;
            else
                row("in call") << file << Setup::InCall << false << qint64(op.facility | 0x0002) << Seen::Nothing;
            row("403") << file << Setup::Forbidden << false << qint64(op.facility | 0x0004) << Seen::Refused403;
            // An unexpected status fails the device without a toast.
            row("500") << file << Setup::ServerError << false << qint64(0) << Seen::Refused500;
            // The body builder's code for a file it cannot digest.
            row("file removed") << file << Setup::FileRemoved << false << qint64(0x80090002) << Seen::Nothing;
            // A transport failure: the HTTP layer's code (checked by facility).
            row("device killed mid-upload") << file << Setup::Killed << false << qint64(0x80010000) << Seen::Nothing;
            // The channel declared gone ends the upload, not the hour's limit.
            row("push channel lost mid-upload")
                << file << Setup::ChannelLost << false << qint64(HttpAccessManager::kAborted) << Seen::Nothing;
            // Refused before a byte goes, and the row says why.
            row("another key since the login")
                << file << Setup::KeySwapped << false << qint64(HttpAccessManager::kKeyRefused) << Seen::Nothing;
            // The device's own pin and channel: the decoy stops nothing.
            row("a decoy at its address") << file << Setup::Decoy << true << kNoAlert << Seen::Accepted;
        }
        QTest::newRow("image: .Jpeg accepted")
            << int(Image) << QStringLiteral("standby.Jpeg") << Setup::None << true << kNoAlert << Seen::Accepted;
    }

    void oneDevice()
    {
        QFETCH(int, operation);
        QFETCH(QString, fileName);
        QFETCH(Setup, setup);
        QFETCH(bool, result);
        QFETCH(qint64, alert);
        QFETCH(Seen, seen);
        const OperationTraits& op = kOperations[operation];

        // The dying device is one of its own, throttled so that the upload is
        // under way when it goes.
        std::unique_ptr<DeviceProcess> victim;
        DeviceProcess* device = &m_device;
        QString address = QLatin1String(kAddress);
        QString deviceId = QLatin1String(kDeviceId);
        if (setup == Setup::Killed) {
            address = QLatin1String(kVictimAddresses[operation]);
            deviceId = QLatin1String(kVictimIds[operation]);
            victim = std::make_unique<DeviceProcess>();
            QVERIFY2(victim->start(deviceArguments(address, deviceId)), qPrintable(victim->errorText()));
            QCOMPARE(victim->command(QStringLiteral("fault d1 throttle 64k")), QStringLiteral("ok"));
            device = victim.get();
        }
        bringUp(address, deviceId);

        const bool slow = setup == Setup::Killed || setup == Setup::ChannelLost;
        const QByteArray content = slow ? largeContentFor(fileName) : contentFor(fileName);
        const QString path = writeTestFile(m_dir, fileName, content);
        QVERIFY(!path.isEmpty());

        switch (setup) {
        case Setup::NotLoggedIn:
            QVERIFY(m_push->facade().setDeviceParameter(deviceId, DeviceParameter::LoggedInStatus, false,
                                                        DeviceFindPolicy::ById));
            break;
        case Setup::NotConnected:
            QCOMPARE(m_push->observer().destroySession(deviceId, kPort), 0);
            QTRY_VERIFY(value(deviceId, DeviceParameter::ConnectionStatus).toInt()
                        != toInt(ConnectionStatus::Connected));
            break;
        case Setup::Busy:
            QCOMPARE(device->command(QStringLiteral("state d1 busy")), QStringLiteral("ok"));
            QTRY_COMPARE(value(deviceId, DeviceParameter::RunningStatus).toInt(), 1);
            break;
        case Setup::InCall:
            QCOMPARE(device->command(QStringLiteral("state d1 in-call")), QStringLiteral("ok"));
            QTRY_COMPARE(value(deviceId, DeviceParameter::RunningStatus).toInt(), 2);
            break;
        case Setup::Forbidden:
            QCOMPARE(device->command(QStringLiteral("fault d1 upload 403")), QStringLiteral("ok"));
            break;
        case Setup::ServerError:
            QCOMPARE(device->command(QStringLiteral("fault d1 upload 500")), QStringLiteral("ok"));
            break;
        case Setup::FileRemoved:
            QVERIFY(QFile::remove(path));
            break;
        case Setup::ChannelLost:
            QCOMPARE(device->command(QStringLiteral("fault d1 throttle 64k")), QStringLiteral("ok"));
            break;
        case Setup::ResultFirst:
            QCOMPARE(device->command(QStringLiteral("fault d1 result-first on")), QStringLiteral("ok"));
            break;
        case Setup::FinishTogether:
            QCOMPARE(device->command(QStringLiteral("fault d1 finish together-idle-first")), QStringLiteral("ok"));
            break;
        case Setup::KeySwapped:
            QCOMPARE(device->command(QStringLiteral("fault d1 key swap")), QStringLiteral("ok"));
            break;
        case Setup::Decoy:
            m_push->facade().activateDevice(address, QStringLiteral("TQ-730"), QStringLiteral("Decoy"),
                                            QStringLiteral("00:00:00:00:00:01"));
            QCOMPARE(statusText(QStringLiteral("00:00:00:00:00:01")), QStringLiteral("Address shared"));
            break;
        case Setup::None:
        case Setup::Killed:
            break;
        }

        // Every value the result and progress parameters are given.
        std::shared_ptr<DeviceData> record;
        QVERIFY(m_push->facade().getDeviceData(deviceId, record));
        QList<int> results;
        QList<int> progress;
        int progressAtResult = -1; // the progress shown when the first result came
        QObject watch; // the watching ends with this case
        connect(record.get(), &DeviceData::dataChanged, &watch, [&](const QString&, DeviceParameter type) {
            if (type == op.result) {
                if (results.isEmpty() && !progress.isEmpty())
                    progressAtResult = progress.last();
                results << value(deviceId, op.result).toInt();
            }
            if (type != op.progress)
                return;
            progress << value(deviceId, op.progress).toInt();
            // The upload is under way and the caller's events flow: the
            // device goes now.
            if (victim && progress.size() == 1)
                QCOMPARE(::kill(static_cast<pid_t>(victim->pid()), SIGKILL), 0);
            if (setup == Setup::ChannelLost && progress.size() == 1)
                QCOMPARE(device->command(QStringLiteral("push d1 drop")), QStringLiteral("ok dropped=1"));
        });
        QSignalSpy alerts(AlertNotifier::getInstance(), &AlertNotifier::notifyAlert);
        const int from = device->lineCount();

        QElapsedTimer clock;
        clock.start();
        QCOMPARE(run(Operation(operation), deviceId, path), result);
        const qint64 elapsed = clock.elapsed();

        // The alert and the stored failure, or neither.
        if (alert == kNoAlert) {
            QCOMPARE(alerts.size(), 0);
            QVERIFY(!results.contains(op.failed));
        } else {
            QCOMPARE(alerts.size(), 1);
            const quint32 raised = alerts.first().first().toUInt();
            if (setup == Setup::Killed)
                QCOMPARE(raised & 0xFFFF0000u, quint32(alert));
            else
                QCOMPARE(raised, quint32(alert));
            QCOMPARE(results, QList<int>{op.failed});
            QCOMPARE(value(deviceId, op.result).toInt(), op.failed);
        }

        if (slow) {
            // The upload was under way and its end came with the device's
            // (or its channel's).
            QVERIFY(!progress.isEmpty());
            QVERIFY2(elapsed < 30000, qPrintable(QString::number(elapsed)));
            return;
        }

        const QStringList lines = uploadLines(*device, from);
        if (setup == Setup::KeySwapped)
            QTRY_COMPARE(statusText(deviceId), QStringLiteral("Identity changed"));
        switch (seen) {
        case Seen::Nothing:
            QVERIFY2(lines.isEmpty(), qPrintable(lines.join(QLatin1Char('\n'))));
            break;
        case Seen::Accepted:
            QCOMPARE(lines.size(), 1);
            QCOMPARE(lines.first().section(QLatin1Char(' '), 0, 4), QStringLiteral("upload %1 ok size=%2 md5=%3")
                                                                        .arg(QLatin1String(op.kind))
                                                                        .arg(content.size())
                                                                        .arg(md5Hex(content)));
            // The device took the file in and reports its verdict: success,
            // after the upload showed its whole body sent.
            QTRY_COMPARE_WITH_TIMEOUT(value(deviceId, op.result).toInt(), 0, 10000);
            QCOMPARE(progressAtResult, 100);
            // And the operation ends with it, said as the row says it.
            if (setup == Setup::FinishTogether)
                QTRY_COMPARE(value(deviceId, DeviceParameter::AllDeviceStatus).toMap().value("operationOutcome"),
                             QVariant(QString::fromLatin1(kSaid[operation])));
            break;
        case Seen::Refused403:
        case Seen::Refused500:
            QCOMPARE(lines.size(), 1);
            QVERIFY2(lines.first().startsWith(QStringLiteral("upload %1 refused %2")
                                                  .arg(QLatin1String(op.kind))
                                                  .arg(seen == Seen::Refused403 ? 403 : 500)),
                     qPrintable(lines.first()));
            break;
        }

        // Only a refused code logs the device out and ends its channel.
        QCOMPARE(value(deviceId, DeviceParameter::LoggedInStatus).toBool(),
                 setup != Setup::Forbidden && setup != Setup::NotLoggedIn);
        QCOMPARE(m_push->observer().sessionCount(), setup == Setup::Forbidden || setup == Setup::NotConnected ? 0 : 1);
    }

    // The operator's word on a device that shows another key: its login is
    // refused and the window shows both keys; accepted, the new key opens
    // it; forgotten, the key it shows next is new and asked about anew.
    void operatorsWordOnAnotherKey()
    {
        const QString deviceId = QLatin1String(kDeviceId);
        bringUp(QLatin1String(kAddress), deviceId);
        const QString code = md5Hex(QByteArray(kPassword));
        const QString pinned
            = KnownDevices(KnownDevices::defaultPath()).find(deviceId).value_or(KnownDevices::Entry{}).digest;
        QVERIFY(!pinned.isEmpty());
        DeviceTrust window;
        QVERIFY(window.pinning());
        QCOMPARE(window.refusal(deviceId), QVariantMap());

        QCOMPARE(m_device.command(QStringLiteral("fault d1 key swap")), QStringLiteral("ok"));
        const int heard = credentialsHeard();
        QVERIFY(heard > 0);
        QCOMPARE(m_push->logIn(deviceId, code), HttpAccessManager::kKeyRefused);
        QTRY_COMPARE(statusText(deviceId), QStringLiteral("Identity changed"));
        // The push channel's reconnection logs in again first: refused too.
        QSignalSpy relogins(&m_push->observer(), &DeviceNotificationObserver::reloginAttempted);
        QCOMPARE(m_device.command(QStringLiteral("push d1 drop")), QStringLiteral("ok dropped=1"));
        QTRY_VERIFY_WITH_TIMEOUT(!relogins.isEmpty(), 20000);
        QCOMPARE(relogins.first().at(2).value<int32_t>(), HttpAccessManager::kKeyRefused);
        QCOMPARE(credentialsHeard(), heard);
        const QVariantMap refused = window.refusal(deviceId);
        QCOMPARE(refused.value(QStringLiteral("pinned")).toString(), pinned);
        const QString shown = refused.value(QStringLiteral("shown")).toString();
        QVERIFY(shown.startsWith(QLatin1String("sha256//")) && shown != pinned);

        QVERIFY(window.acceptShownKey(deviceId));
        QCOMPARE(statusText(deviceId), QStringLiteral("Login required"));
        QCOMPARE(window.refusal(deviceId), QVariantMap());
        QCOMPARE(m_push->logIn(deviceId, code), 0);

        // Its first key back is the stranger now; forgotten, it is met anew.
        QCOMPARE(m_device.command(QStringLiteral("fault d1 clear")), QStringLiteral("ok"));
        QCOMPARE(m_push->logIn(deviceId, code), HttpAccessManager::kKeyRefused);
        QVERIFY(window.forget(deviceId));
        QCOMPARE(m_push->logIn(deviceId, code), HttpAccessManager::kKeyNew);
        acceptKey(deviceId);
        QCOMPARE(m_push->logIn(deviceId, code), 0);
        // Written with whatever else is accepted within a moment.
        QTRY_COMPARE(KnownDevices(KnownDevices::defaultPath()).find(deviceId).value_or(KnownDevices::Entry{}).digest,
                     pinned);
    }

    // The same unchanged file goes to device after device with one digest;
    // a changed file gets a new one, a removed file fails.
    void digestKeptWhileFileUnchanged()
    {
        bringUp(QLatin1String(kAddress), QLatin1String(kDeviceId));
        const QString path = writeTestFile(m_dir, QStringLiteral("kept.xml"), contentFor(QStringLiteral("a.xml")));
        QVERIFY(!path.isEmpty());
        const auto digests = [](MessageCapture& capture) {
            int count = 0;
            for (const QString& text : capture.takeTexts())
                count += text.contains(QLatin1String("MD5 of")) ? 1 : 0;
            return count;
        };
        const auto accepted = [this](int from, const QByteArray& content) {
            const QStringList lines = uploadLines(m_device, from);
            return lines.size() == 1 && lines.first().contains(QStringLiteral("md5=%1").arg(md5Hex(content)));
        };

        MessageCapture capture;
        int from = m_device.lineCount();
        QVERIFY(m_import->execute(QLatin1String(kDeviceId), path));
        QVERIFY(m_import->execute(QLatin1String(kDeviceId), path));
        QCOMPARE(digests(capture), 1);
        QVERIFY(uploadLines(m_device, from).size() == 2);

        // Same size, other bytes: a stale digest would be refused.
        const QByteArray changed = QByteArray(contentFor(QStringLiteral("a.xml"))).replace('7', '8');
        QVERIFY(changed != contentFor(QStringLiteral("a.xml")));
        QCOMPARE(writeTestFile(m_dir, QStringLiteral("kept.xml"), changed), path);
        from = m_device.lineCount();
        QVERIFY(m_import->execute(QLatin1String(kDeviceId), path));
        QCOMPARE(digests(capture), 1);
        QVERIFY(accepted(from, changed));

        QSignalSpy alerts(AlertNotifier::getInstance(), &AlertNotifier::notifyAlert);
        QVERIFY(QFile::remove(path));
        QVERIFY(!m_import->execute(QLatin1String(kDeviceId), path));
        QCOMPARE(alerts.size(), 1);
        QCOMPARE(alerts.first().first().toUInt(), 0x80090002u);
    }

    // A large file's digest is computed while the caller's events keep
    // flowing: an event posted before the call has run when it returns.
    void digestLeavesEventsFlowing()
    {
        const QByteArray content = pseudoRandom(32 << 20, 132);
        const QString path = writeTestFile(m_dir, QStringLiteral("large.bundle"), content);
        QVERIFY(!path.isEmpty());
        FileDigestCache cache;
        bool ran = false;
        QTimer::singleShot(0, this, [&ran] { ran = true; });
        QCOMPARE(cache.md5(path), QCryptographicHash::hash(content, QCryptographicHash::Md5));
        QVERIFY(ran);
    }

    void uploadProgress_data()
    {
        QTest::addColumn<int>("operation");
        QTest::addColumn<qint64>("sent");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<int>("stored"); // -1: nothing stored

        for (int i = 0; i < OperationCount; ++i) {
            const QString name = QLatin1String(kOperations[i].name);
            QTest::newRow(qPrintable(name + QStringLiteral(": 512 of 2048"))) << i << qint64(512) << qint64(2048) << 25;
            QTest::newRow(qPrintable(name + QStringLiteral(": 1 of 3"))) << i << qint64(1) << qint64(3) << 33;
            // Beyond 32 bits: the product must not wrap.
            QTest::newRow(qPrintable(name + QStringLiteral(": 6 of 8 GiB")))
                << i << (qint64(6) << 30) << (qint64(8) << 30) << 75;
            QTest::newRow(qPrintable(name + QStringLiteral(": total 0"))) << i << qint64(0) << qint64(0) << -1;
            QTest::newRow(qPrintable(name + QStringLiteral(": total negative"))) << i << qint64(5) << qint64(-1) << -1;
        }
    }

    void uploadProgress()
    {
        QFETCH(int, operation);
        QFETCH(qint64, sent);
        QFETCH(qint64, total);
        QFETCH(int, stored);
        const DeviceParameter parameter = kOperations[operation].progress;
        m_push->facade().activateDevice(QLatin1String(kQuietAddress), QStringLiteral("TQ-730"), QStringLiteral("Quiet"),
                                        QLatin1String(kQuietId));
        std::shared_ptr<DeviceData> record;
        QVERIFY(m_push->facade().getDeviceData(QLatin1String(kQuietId), record));
        QSignalSpy changes(record.get(), &DeviceData::dataChanged);
        const QVariant before = value(QLatin1String(kQuietId), parameter);

        controller(Operation(operation))->setUploadProgress(QLatin1String(kQuietId), sent, total);

        if (stored < 0) {
            QCOMPARE(changes.size(), 0);
            QCOMPARE(value(QLatin1String(kQuietId), parameter), before);
            return;
        }
        QCOMPARE(value(QLatin1String(kQuietId), parameter).toInt(), stored);
        // Only the operation's own parameter.
        QCOMPARE(changes.size(), 1);
        QCOMPARE(changes.first().at(1).value<DeviceParameter>(), parameter);
    }
};

QTEST_MAIN(TestBatchControllers)
#include "tst_batchcontrollers.moc"
