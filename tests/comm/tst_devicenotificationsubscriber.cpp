// The push-notification subscriber through its public interface: which
// messages it accepts, the order in which it walks the body's sections, and
// the values that reach the device record and the device table; then end to
// end, with notifications that a virtual device pushes over a real push
// channel (TLS on a loopback address of its own, port 60010 as devices
// listen) through the session observer.

#include "DeviceFacade.h"
#include "DeviceNotificationObserver.h"
#include "DeviceNotificationSubscriber.h"
#include "DeviceProcess.h"
#include "DeviceRecord.h"
#include "DeviceTableModel.h"
#include "HttpAccessManager.h"
#include "NetworkDefine.h"
#include "PushSessionFixture.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

namespace {

constexpr int code(uint32_t value)
{
    return static_cast<int>(value);
}

// Only text: no packet goes anywhere in this test.
const QString kDeviceIp = QStringLiteral("127.0.0.41");
const QString kDeviceId = QStringLiteral("02:00:00:00:00:41");
const QString kOtherId = QStringLiteral("02:00:00:00:00:42");

// The record parameters a push may or must not change.
constexpr DeviceParameter kWatched[] = {
    DeviceParameter::Version,
    DeviceParameter::SerialNumber,
    DeviceParameter::RunningStatus,
    DeviceParameter::UpdateProgress,
    DeviceParameter::UpdateResult,
    DeviceParameter::ImportResult,
    DeviceParameter::StandbyImageResult,
    DeviceParameter::SubnetMask,
    DeviceParameter::DefaultGateway,
    DeviceParameter::DnsServer1,
    DeviceParameter::DnsServer2,
};

QString valueText(const QVariant& value)
{
    if (value.typeId() == QMetaType::Int)
        return QStringLiteral("i:") + QString::number(value.toInt());
    if (value.typeId() == QMetaType::QString)
        return QStringLiteral("s:") + value.toString();
    return QStringLiteral("?:") + QString::fromLatin1(value.typeName());
}

// The watched parameters of the device that differ from a fresh record's, as
// "RunningStatus=i:2 SubnetMask=s:255.0.0.0" in parameter order.
QString changes(const DeviceFacade& facade)
{
    DeviceData fresh(kDeviceId, QStringLiteral("TQ-1"), QStringLiteral("hall"), kDeviceIp);
    QStringList parts;
    for (const DeviceParameter parameter : kWatched) {
        QVariant value;
        if (!facade.getDeviceParameter(kDeviceId, parameter, value, DeviceFindPolicy::ById))
            return QStringLiteral("no device");
        if (value != fresh.getData(parameter))
            parts << QString::fromLatin1(deviceParameterName(parameter)) + QLatin1Char('=') + valueText(value);
    }
    return parts.join(QLatin1Char(' '));
}

// The watched parameters of `deviceId` whose value differs from `before`.
using Values = QList<QVariant>;

Values watchedValues(const DeviceFacade& facade, const QString& deviceId)
{
    Values values;
    for (const DeviceParameter parameter : kWatched)
        values << recordValue(facade, deviceId, parameter);
    return values;
}

QString difference(const Values& before, const Values& after, DeviceParameter ignored)
{
    QStringList parts;
    for (int i = 0; i < before.size(); ++i) {
        const DeviceParameter parameter = kWatched[i];
        if (parameter != ignored && before.at(i) != after.at(i))
            parts << QString::fromLatin1(deviceParameterName(parameter)) + QLatin1Char('=') + valueText(after.at(i));
    }
    return parts.join(QLatin1Char(' '));
}

// The pushing device, alone on its loopback address.
constexpr char kPushIp[] = "127.0.145.1";
constexpr char kPushId[] = "02:00:7F:00:91:01";
constexpr char kPushPassword[] = "Push-145!";
constexpr int kPushPort = 60010;

QString notification(const char* body)
{
    return QStringLiteral(R"({"command":{"type":"settings-notification","device":"self"},"body":%1})")
        .arg(QString::fromUtf8(body));
}

} // namespace

class TestDeviceNotificationSubscriber : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        m_facade = std::make_unique<DeviceFacade>();
        m_facade->activateDevice(kDeviceIp, QStringLiteral("TQ-1"), QStringLiteral("hall"), kDeviceId);
        QCOMPARE(changes(*m_facade), QString());
    }

    void cleanup() { m_facade.reset(); }

    void memberNames()
    {
        QCOMPARE(QLatin1String(NetworkDefine::NOTIFY_JSON_COMMAND), QLatin1String("command"));
        QCOMPARE(QLatin1String(NetworkDefine::NOTIFY_JSON_BODY), QLatin1String("body"));
        QCOMPARE(QLatin1String(NetworkDefine::NOTIFY_JSON_COMMAND_TYPE), QLatin1String("type"));
        QCOMPARE(QLatin1String(NetworkDefine::NOTIFY_JSON_COMMAND_DEVICE), QLatin1String("device"));
    }

    void message_data()
    {
        QTest::addColumn<QString>("deviceId");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("stored");

        const QString sys = notification(
            R"({"sys":{"device-status":2,"upgrade-status":40,"upgrade-result":1,"import-result":{"code":6,"option":["a"]}}})");
        const QString sysStored
            = QStringLiteral("RunningStatus=i:2 UpdateProgress=i:40 UpdateResult=i:1 ImportResult=i:6");

        // What is accepted and what is dropped.
        QTest::newRow("sys, all four keys") << kDeviceId << sys << true << 0 << sysStored;
        QTest::newRow("members in another order")
            << kDeviceId
            << R"({"body":{"sys":{"device-status":3}},"command":{"device":"self","type":"settings-notification"}})"
            << true << 0 << "RunningStatus=i:3";
        QTest::newRow("command with a third member")
            << kDeviceId
            << R"({"command":{"type":"settings-notification","device":"self","seq":7},"body":{"sys":{"device-status":3}}})"
            << false << 0 << "";
        QTest::newRow("type in other letter case")
            << kDeviceId
            << R"({"command":{"type":"Settings-Notification","device":"self"},"body":{"sys":{"device-status":3}}})"
            << false << 0 << "";
        QTest::newRow("device in other letter case")
            << kDeviceId
            << R"({"command":{"type":"settings-notification","device":"SELF"},"body":{"sys":{"device-status":3}}})"
            << false << 0 << "";
        QTest::newRow("other type")
            << kDeviceId
            << R"({"command":{"type":"progress-notification","device":"self"},"body":{"sys":{"device-status":3}}})"
            << false << 0 << "";
        QTest::newRow("type not a string")
            << kDeviceId
            << R"({"command":{"type":["settings-notification"],"device":"self"},"body":{"sys":{"device-status":3}}})"
            << false << 0 << "";
        QTest::newRow("device missing")
            << kDeviceId << R"({"command":{"type":"settings-notification"},"body":{"sys":{"device-status":3}}})"
            << false << 0 << "";
        QTest::newRow("type missing") << kDeviceId
                                      << R"({"command":{"device":"self"},"body":{"sys":{"device-status":3}}})" << false
                                      << 0 << "";
        QTest::newRow("command not an object")
            << kDeviceId << R"({"command":"settings-notification","body":{"sys":{"device-status":3}}})" << false << 0
            << "";
        QTest::newRow("command missing") << kDeviceId << R"({"body":{"sys":{"device-status":3}}})" << false << 0 << "";
        QTest::newRow("extra top-level member")
            << kDeviceId
            << R"({"command":{"type":"settings-notification","device":"self"},"body":{"sys":{"device-status":3}},"seq":1})"
            << false << 0 << "";
        QTest::newRow("body missing") << kDeviceId << R"({"command":{"type":"settings-notification","device":"self"}})"
                                      << false << 0 << "";
        QTest::newRow("body an array") << kDeviceId << notification(R"([{"sys":{"device-status":3}}])") << false << 0
                                       << "";
        QTest::newRow("body a string") << kDeviceId << notification(R"("sys")") << false << 0 << "";
        QTest::newRow("body null") << kDeviceId << notification("null") << false << 0 << "";
        QTest::newRow("malformed JSON") << kDeviceId << sys.left(sys.size() - 1) << false << 0 << "";
        QTest::newRow("trailing garbage") << kDeviceId << sys + QStringLiteral("x") << false << 0 << "";
        QTest::newRow("top level an array")
            << kDeviceId << QLatin1Char('[') + sys + QLatin1Char(']') << false << 0 << "";
        QTest::newRow("empty message") << kDeviceId << QString() << false << 0 << "";
        QTest::newRow("empty object") << kDeviceId << QStringLiteral("{}") << false << 0 << "";

        // The sections of a valid message.
        QTest::newRow("empty body") << kDeviceId << notification("{}") << true << 0 << "";
        QTest::newRow("only sections without a handler")
            << kDeviceId << notification(R"({"audio":{"device-status":3},"Sys":{"device-status":3}})") << true << 0
            << "";
        QTest::newRow("section without a handler beside sys")
            << kDeviceId << notification(R"({"audio":{"x":1},"sys":{"device-status":3},"zzz":[]})") << true << 0
            << "RunningStatus=i:3";
        QTest::newRow("net, all four addresses")
            << kDeviceId
            << notification(
                   R"({"net":{"ipv4-subnet":"255.255.0.0","ipv4-gateway":"10.1.0.1","ipv4-dns1":"10.1.0.2","ipv4-dns2":"10.1.0.3"}})")
            << true << 0
            << "SubnetMask=s:255.255.0.0 DefaultGateway=s:10.1.0.1 DnsServer1=s:10.1.0.2 DnsServer2=s:10.1.0.3";
        QTest::newRow("display") << kDeviceId << notification(R"({"display":{"upload-idle-image-valid":1}})") << true
                                 << 0 << "StandbyImageResult=i:1";
        QTest::newRow("all three sections")
            << kDeviceId
            << notification(
                   R"({"sys":{"upgrade-result":0},"net":{"ipv4-dns2":"10.1.0.9"},"display":{"upload-idle-image-valid":0}})")
            << true << 0 << "UpdateResult=i:0 StandbyImageResult=i:0 DnsServer2=s:10.1.0.9";
        QTest::newRow("version and serial number are not taken from a push")
            << kDeviceId << notification(R"({"sys":{"base-ver":"9.9","base-sernum":"SN-1","device-status":1}})") << true
            << 0 << "RunningStatus=i:1";
        QTest::newRow("unrequested keys of the sections are left")
            << kDeviceId
            << notification(R"({"sys":{"device-status":1,"model":"x"},"net":{"ipv4-subnet":"255.0.0.0","mac":"y"}})")
            << true << 0 << "RunningStatus=i:1 SubnetMask=s:255.0.0.0";

        // A failing section ends the walk in name order: display, net, sys.
        QTest::newRow("display with an unrequested key stops sys")
            << kDeviceId << notification(R"({"display":{"upload-idle-image":1},"sys":{"device-status":1}})") << true
            << code(0x80020005) << "";
        QTest::newRow("name order, not the order of the text")
            << kDeviceId << notification(R"({"sys":{"device-status":1},"display":{"upload-idle-image":1}})") << true
            << code(0x80020005) << "";
        QTest::newRow("failing sys leaves the display stored")
            << kDeviceId << notification(R"({"display":{"upload-idle-image-valid":1},"sys":{"device-status":"1"}})")
            << true << code(0x80020007) << "StandbyImageResult=i:1";
        QTest::newRow("failing net stops sys")
            << kDeviceId << notification(R"({"net":{"ipv4-subnet":255},"sys":{"device-status":1}})") << true
            << code(0x80020006) << "";
        QTest::newRow("net before a failing sys is stored")
            << kDeviceId << notification(R"({"net":{"ipv4-gateway":"10.2.0.1"},"sys":{"device-status":1.5}})") << true
            << code(0x80020007) << "DefaultGateway=s:10.2.0.1";
        QTest::newRow("a failure inside a section stores none of it")
            << kDeviceId << notification(R"({"sys":{"device-status":1,"upgrade-status":"40"}})") << true
            << code(0x80020007) << "";
        QTest::newRow("section not an object")
            << kDeviceId << notification(R"({"sys":[1]})") << true << code(0x80020001) << "";
        QTest::newRow("import-result not an object")
            << kDeviceId << notification(R"({"sys":{"import-result":6}})") << true << code(0x80020001) << "";
        QTest::newRow("import-result without option")
            << kDeviceId << notification(R"({"sys":{"import-result":{"code":0}}})") << true << 0 << "ImportResult=i:0";

        // The device is the channel's, by its id.
        QTest::newRow("unknown sender") << kOtherId << sys << true << code(0x80000000) << "";
        QTest::newRow("unknown sender, dropped message")
            << kOtherId << R"({"command":{"type":"settings-notification","device":"self"}})" << false << 0 << "";
        QTest::newRow("sender id compared as text")
            << QStringLiteral("02-00-00-00-00-41") << sys << true << code(0x80000000) << "";
    }

    void message()
    {
        QFETCH(QString, deviceId);
        QFETCH(QString, message);
        QFETCH(bool, valid);
        QFETCH(int, result);
        QFETCH(QString, stored);

        DeviceNotificationSubscriber subscriber(*m_facade);
        QCOMPARE(subscriber.isValidNotification(message), valid);
        QCOMPARE(subscriber.onReceivedTextMessage(deviceId, message), result);
        QCOMPARE(changes(*m_facade), stored);
    }

    void command_data()
    {
        QTest::addColumn<QByteArray>("object");
        QTest::addColumn<bool>("validCommand");
        QTest::addColumn<bool>("body");

        QTest::newRow("both") << QByteArray(R"({"command":{"type":"settings-notification","device":"self"},"body":{}})")
                              << true << true;
        QTest::newRow("extra members elsewhere do not matter to either check")
            << QByteArray(R"({"command":{"device":"self","type":"settings-notification"},"body":{},"x":1})") << true
            << true;
        QTest::newRow("command with extra member")
            << QByteArray(R"({"command":{"type":"settings-notification","device":"self","x":null}})") << false << false;
        QTest::newRow("device a number") << QByteArray(
            R"({"command":{"type":"settings-notification","device":1},"body":[]})")
                                         << false << false;
        QTest::newRow("type with a space")
            << QByteArray(R"({"command":{"type":"settings-notification ","device":"self"},"body":{"a":1}})") << false
            << true;
        QTest::newRow("empty command and body") << QByteArray(R"({"command":{},"body":{}})") << false << true;
        QTest::newRow("nothing") << QByteArray("{}") << false << false;
    }

    void command()
    {
        QFETCH(QByteArray, object);
        QFETCH(bool, validCommand);
        QFETCH(bool, body);

        DeviceNotificationSubscriber subscriber(*m_facade);
        const QJsonObject json = QJsonDocument::fromJson(object).object();
        QCOMPARE(subscriber.isValidCommand(json), validCommand);
        QCOMPARE(subscriber.existBody(json), body);
    }

    void handlers_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("stored");

        // A handler reads only its own section of the whole body.
        const QByteArray all = R"({"display":{"upload-idle-image-valid":2},"net":{"ipv4-dns1":"10.3.0.1"},
                                   "sys":{"upgrade-status":100}})";
        QTest::newRow("display") << "display" << all << 0 << "StandbyImageResult=i:2";
        QTest::newRow("net") << "net" << all << 0 << "DnsServer1=s:10.3.0.1";
        QTest::newRow("sys") << "sys" << all << 0 << "UpdateProgress=i:100";
        QTest::newRow("display absent") << "display" << QByteArray(R"({"sys":{}})") << code(0x80020001) << "";
        QTest::newRow("net holds none of its keys")
            << "net" << QByteArray(R"({"net":{"ipv4-address":"1"}})") << code(0x80020005) << "";
        QTest::newRow("sys integer out of range")
            << "sys" << QByteArray(R"({"sys":{"upgrade-result":4294967296}})") << code(0x80020007) << "";
    }

    void handlers()
    {
        QFETCH(QString, section);
        QFETCH(QByteArray, body);
        QFETCH(int, result);
        QFETCH(QString, stored);

        DeviceNotificationSubscriber subscriber(*m_facade);
        const QJsonObject object = QJsonDocument::fromJson(body).object();
        int32_t actual = 0;
        if (section == QLatin1String("display"))
            actual = subscriber.setDisplayParameter(kDeviceId, object);
        else if (section == QLatin1String("net"))
            actual = subscriber.setNetworkParameter(kDeviceId, object);
        else
            actual = subscriber.setSystemParameter(kDeviceId, object);
        QCOMPARE(actual, result);
        QCOMPARE(changes(*m_facade), stored);
        QCOMPARE(section == QLatin1String("display") ? subscriber.setDisplayParameter(kOtherId, object)
                 : section == QLatin1String("net")   ? subscriber.setNetworkParameter(kOtherId, object)
                                                     : subscriber.setSystemParameter(kOtherId, object),
                 result == 0 ? code(0x80000000) : result);
    }

    void valuesReachTheTable()
    {
        DeviceTableModel table(*m_facade);
        QCOMPARE(table.rowCount(), 1);
        const QModelIndex subnet = table.index(0, DeviceTableModel::SubnetMask);
        QCOMPARE(table.data(subnet).toString(), QString());
        QSignalSpy changed(&table, &QAbstractItemModel::dataChanged);

        DeviceNotificationSubscriber subscriber(*m_facade);
        QCOMPARE(
            subscriber.onReceivedTextMessage(kDeviceId, notification(R"({"net":{"ipv4-subnet":"255.255.255.0"}})")), 0);
        QTRY_VERIFY(!changed.isEmpty());
        QCOMPARE(table.data(subnet).toString(), QStringLiteral("255.255.255.0"));
        bool subnetRepainted = false;
        for (const QList<QVariant>& arguments : changed) {
            const QModelIndex from = arguments.at(0).toModelIndex();
            const QModelIndex to = arguments.at(1).toModelIndex();
            subnetRepainted = subnetRepainted
                              || (from.row() <= 0 && to.row() >= 0 && from.column() <= DeviceTableModel::SubnetMask
                                  && to.column() >= DeviceTableModel::SubnetMask);
        }
        QVERIFY(subnetRepainted);
    }

    // However a device words an operation's end (result and idle in one
    // push or in two, in either order), the operation ends with the result.
    void operationEndsWithTheResult_data()
    {
        QTest::addColumn<DeviceParameter>("upload");
        QTest::addColumn<QStringList>("bodies");
        QTest::addColumn<QString>("outcome");
        const QString idle = R"({"sys":{"device-status":0}})";
        struct Op
        {
            const char* name;
            DeviceParameter upload;
            QString result;
            QString together;
            const char* said;
        };
        const Op ops[] = {
            {"firmware", DeviceParameter::FirmwareUploadProgress, R"({"sys":{"upgrade-result":1}})",
             R"({"sys":{"device-status":0,"upgrade-result":1}})", "Update failed"},
            {"import", DeviceParameter::ConfigUploadProgress, R"({"sys":{"import-result":{"code":0}}})",
             R"({"sys":{"device-status":0,"import-result":{"code":0}}})", "Import successful"},
            {"image", DeviceParameter::StandbyScreenImageUploadProgress, R"({"display":{"upload-idle-image-valid":1}})",
             R"({"sys":{"device-status":0},"display":{"upload-idle-image-valid":1}})",
             "Uploaded Stand-by screen image is invalid"},
        };
        for (const Op& op : ops) {
            const auto row = [&op](const char* how, const QStringList& bodies) {
                QTest::addRow("%s: %s", op.name, how) << op.upload << bodies << QString::fromLatin1(op.said);
            };
            row("one push", {op.together});
            row("result, then idle", {op.result, idle});
            row("idle, then the result", {idle, op.result});
        }
    }

    void operationEndsWithTheResult()
    {
        QFETCH(DeviceParameter, upload);
        QFETCH(QStringList, bodies);
        QFETCH(QString, outcome);
        m_facade->setDeviceParameter(kDeviceId, DeviceParameter::LoggedInStatus, true, DeviceFindPolicy::ById);
        m_facade->setDeviceParameter(kDeviceId, upload, 100, DeviceFindPolicy::ById);
        DeviceNotificationSubscriber subscriber(*m_facade);
        for (const QString& body : bodies)
            QCOMPARE(subscriber.onReceivedTextMessage(kDeviceId, notification(qPrintable(body))), 0);
        const QVariantMap status = recordValue(*m_facade, kDeviceId, DeviceParameter::AllDeviceStatus).toMap();
        QCOMPARE(status.value("operationUnderWay").toBool(), false);
        QCOMPARE(status.value("operationOutcome").toString(), outcome);
    }

    // End to end over a real push channel.

    void initializeWithoutObserver()
    {
        QVERIFY(DeviceNotificationObserver::m_instance == nullptr);
        DeviceNotificationSubscriber subscriber(*m_facade);
        QCOMPARE(subscriber.initialize(), -1);
        QCOMPARE(subscriber.initialize(nullptr), -1);
        subscriber.finalize();
        subscriber.finalize();
    }

    void pushedOverChannel_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("stored");

        QTest::newRow("running state") << "state d1 in-call"
                                       << "RunningStatus=i:2";
        QTest::newRow("network settings") << "set d1 subnet 255.255.0.0"
                                          << "SubnetMask=s:255.255.0.0 DefaultGateway=s:127.0.145.254 "
                                             "DnsServer1=s:127.0.145.53 DnsServer2=s:127.0.145.54";
        QTest::newRow("standby image") << R"(push d1 notify {"display":{"upload-idle-image-valid":0}})"
                                       << "StandbyImageResult=i:0";
        QTest::newRow("import result") << R"(push d1 notify {"sys":{"import-result":{"code":5,"option":["line 3"]}}})"
                                       << "ImportResult=i:5";
        QTest::newRow("update result without the version")
            << R"(push d1 notify {"sys":{"upgrade-result":0,"base-ver":"9.9.9","base-sernum":"X"}})"
            << "UpdateResult=i:0";
        QTest::newRow("section without a handler") << R"(push d1 notify {"audio":{"gain":3},"sys":{"device-status":1}})"
                                                   << "RunningStatus=i:1";
        QTest::newRow("failing display stops sys")
            << R"(push d1 notify {"display":{"upload-idle-image":1},"sys":{"device-status":2}})"
            << "";
        QTest::newRow("malformed JSON") << "push d1 malformed json"
                                        << "";
        QTest::newRow("third command member") << "push d1 malformed extra-member"
                                              << "";
        QTest::newRow("type letter case") << "push d1 malformed type-case"
                                          << "";
        QTest::newRow("other device") << "push d1 malformed device"
                                      << "";
        QTest::newRow("body not an object") << "push d1 malformed body"
                                            << "";
        QTest::newRow("third top-level member") << "push d1 malformed top-level"
                                                << "";
        QTest::newRow("status as a string") << "push d1 malformed value"
                                            << "";
        QTest::newRow("binary frame") << "push d1 malformed binary"
                                      << "";
        QTest::newRow("not JSON at all") << "push d1 raw hello"
                                         << "";
    }

    void pushedOverChannel()
    {
        QFETCH(QString, command);
        QFETCH(QString, stored);
        QVERIFY(openChannel());

        const Values before = watchedValues(m_push->facade(), QLatin1String(kPushId));
        QCOMPARE(m_device.command(command).left(2), QStringLiteral("ok"));
        // Messages of one channel arrive in order: once the marker is in the
        // record, the message before it has been dealt with.
        QVERIFY(pushMarker());
        const Values after = watchedValues(m_push->facade(), QLatin1String(kPushId));
        QCOMPARE(difference(before, after, DeviceParameter::UpdateProgress), stored);

        const QModelIndex subnet = m_table->index(0, DeviceTableModel::SubnetMask);
        QVariant recorded;
        QVERIFY(m_push->facade().getDeviceParameter(QLatin1String(kPushId), DeviceParameter::SubnetMask, recorded,
                                                    DeviceFindPolicy::ById));
        QCOMPARE(m_table->data(subnet).toString(), recorded.toString());
    }

    void finalizeStopsApplying_data()
    {
        QTest::addColumn<int>("initializations");
        QTest::newRow("initialised once") << 1;
        // A second initialize replaces the first connection, so one finalize
        // still ends it.
        QTest::newRow("initialised twice") << 2;
    }

    void finalizeStopsApplying()
    {
        QFETCH(int, initializations);
        QVERIFY(openChannel());
        for (int i = 0; i < initializations; ++i)
            QCOMPARE(m_push->subscriber().initialize(&m_push->observer()), 0);
        QVERIFY(pushMarker());
        const Values before = watchedValues(m_push->facade(), QLatin1String(kPushId));

        m_push->subscriber().finalize();
        QSignalSpy relayed(&m_push->observer(), &DeviceNotificationObserver::receivedTextMessage);
        QCOMPARE(m_device.command(QStringLiteral(R"(push d1 notify {"sys":{"device-status":2,"upgrade-status":5}})"))
                     .left(2),
                 QStringLiteral("ok"));
        QTRY_COMPARE_WITH_TIMEOUT(relayed.count(), 1, 10000);
        QCOMPARE(relayed.at(0).at(0).toString(), QLatin1String(kPushId));
        QCOMPARE(watchedValues(m_push->facade(), QLatin1String(kPushId)), before);

        QCOMPARE(m_push->subscriber().initialize(&m_push->observer()), 0);
        QVERIFY(pushMarker());
    }

    void cleanupTestCase()
    {
        m_table.reset();
        m_push.reset();
        m_http.reset();
    }

private:
    // The device started, logged-in state faked with its code, the session
    // opened and connected, the subscriber listening to the observer.
    bool openChannel()
    {
        if (m_push) {
            Session::SessionState state = Session::Initial;
            return m_push->observer().sessionState(QLatin1String(kPushId), kPushPort, state)
                   && state == Session::Connected;
        }
        if (!m_device.start(DeviceArguments()
                                .device(kPushIp)
                                .mac(kPushId)
                                .model("TQ-730")
                                .name("Push")
                                .password(kPushPassword)
                                .keys("subnet=255.255.255.0,gateway=127.0.145.254,dns1=127.0.145.53,dns2=127.0.145.54")
                                .httpsPort(kPushPort))) {
            qWarning("%s", qPrintable(m_device.errorText()));
            return false;
        }
        m_http = std::make_unique<HttpAccessManager>();
        m_push = std::make_unique<PushSessionFixture>(*m_http);
        if (!m_push->isWired())
            return false;
        m_push->facade().activateDevice(QLatin1String(kPushIp), QStringLiteral("TQ-730"), QStringLiteral("Push"),
                                        QLatin1String(kPushId));
        // A forged answer claims the device's address with a smaller id: what
        // comes on the device's channel is still the device's.
        m_push->facade().activateDevice(QLatin1String(kPushIp), QStringLiteral("TQ-730"), QStringLiteral("Decoy"),
                                        QStringLiteral("00:00:00:00:00:01"));
        const QString code = md5Hex(kPushPassword);
        m_push->facade().setDeviceParameter(QLatin1String(kPushId), DeviceParameter::AcceptedMd5Password, code,
                                            DeviceFindPolicy::ById);
        m_push->facade().setDeviceParameter(QLatin1String(kPushId), DeviceParameter::LoggedInStatus, true,
                                            DeviceFindPolicy::ById);
        m_table = std::make_unique<DeviceTableModel>(m_push->facade());
        if (m_push->openSession(QLatin1String(kPushId), kPushPort) != 0)
            return false;
        return QTest::qWaitFor(
            [this] {
                Session::SessionState state = Session::Initial;
                return m_push->observer().sessionState(QLatin1String(kPushId), kPushPort, state)
                       && state == Session::Connected;
            },
            10000);
    }

    // Pushes a fresh update progress and waits until the record holds it.
    bool pushMarker()
    {
        const int marker = ++m_marker;
        const QString command = QStringLiteral(R"(push d1 notify {"sys":{"upgrade-status":%1}})").arg(marker);
        if (!m_device.command(command).startsWith(QLatin1String("ok")))
            return false;
        return QTest::qWaitFor(
            [this, marker] {
                return recordValue(m_push->facade(), QLatin1String(kPushId), DeviceParameter::UpdateProgress).toInt()
                       == marker;
            },
            10000);
    }

    std::unique_ptr<DeviceFacade> m_facade;

    DeviceProcess m_device;
    std::unique_ptr<HttpAccessManager> m_http;
    std::unique_ptr<PushSessionFixture> m_push;
    std::unique_ptr<DeviceTableModel> m_table;
    int m_marker = 1000;
};

QTEST_GUILESS_MAIN(TestDeviceNotificationSubscriber)
#include "tst_devicenotificationsubscriber.moc"
