// The three settings models through their public interface: which keys they
// accept, the order of the walk, the JSON types they take, and the pairs they
// report for the device record.

#include "DisplayModelData.h"
#include "NetworkModelData.h"
#include "SettingsFields.h"
#include "SystemModelData.h"

#include <QJsonDocument>
#include <QTest>

#include <memory>

namespace {

constexpr int code(uint32_t value)
{
    return static_cast<int>(value);
}

std::unique_ptr<SettingsModel> makeModel(const QString& section, const QJsonObject& source)
{
    if (section == QLatin1String("sys"))
        return std::make_unique<SystemModelData>(source);
    if (section == QLatin1String("display"))
        return std::make_unique<DisplayModelData>(source);
    return std::make_unique<NetworkModelData>(source);
}

// "Version=s:1.2.3 RunningStatus=i:1", so that a type slip shows as well.
QString describe(const SettingsParameterList& pairs)
{
    QStringList parts;
    for (const auto& [parameter, value] : pairs) {
        QString text;
        if (value.typeId() == QMetaType::QString)
            text = QStringLiteral("s:") + value.toString();
        else if (value.typeId() == QMetaType::Int)
            text = QStringLiteral("i:") + QString::number(value.toInt());
        else
            text = QStringLiteral("?:") + QString::fromLatin1(value.typeName());
        parts << QString::fromLatin1(deviceParameterName(parameter)) + QLatin1Char('=') + text;
    }
    return parts.join(QLatin1Char(' '));
}

std::list<QString> toList(const QStringList& keys)
{
    return std::list<QString>(keys.begin(), keys.end());
}

const QStringList kSysKeys{QStringLiteral("base-ver"),       QStringLiteral("base-sernum"),
                           QStringLiteral("device-status"),  QStringLiteral("upgrade-status"),
                           QStringLiteral("upgrade-result"), QStringLiteral("import-result")};
const QStringList kNetKeys{QStringLiteral("ipv4-subnet"), QStringLiteral("ipv4-gateway"), QStringLiteral("ipv4-dns1"),
                           QStringLiteral("ipv4-dns2")};

} // namespace

class TestSettingsModels : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void resultCodes()
    {
        QCOMPARE(SettingsModelResult::kSectionInvalid, code(0x80020001));
        QCOMPARE(SettingsModelResult::kUnknownKey, code(0x80020002));
        QCOMPARE(SettingsModelResult::kNotParsed, code(0x80020003));
        QCOMPARE(SettingsModelResult::kNoParameters, code(0x80020004));
        QCOMPARE(SettingsModelResult::kNoRequestedKey, code(0x80020005));
        QCOMPARE(SettingsModelResult::kNotString, code(0x80020006));
        QCOMPARE(SettingsModelResult::kNotInteger, code(0x80020007));
    }

    void fieldTable()
    {
        // Section, key, record parameter: the map the models, login and the
        // push side share.
        QCOMPARE(SettingsFields::kTable.size(), std::size_t(11));
        QStringList rows;
        for (const SettingsFields::Entry& e : SettingsFields::kTable)
            rows << QStringLiteral("%1/%2>%3")
                        .arg(QLatin1String(SettingsFields::sectionName(e.section)), QLatin1String(e.key),
                             QLatin1String(deviceParameterName(e.parameter)));
        QCOMPARE(rows, QStringList({
                           QStringLiteral("sys/base-ver>Version"),
                           QStringLiteral("sys/base-sernum>SerialNumber"),
                           QStringLiteral("sys/device-status>RunningStatus"),
                           QStringLiteral("sys/upgrade-status>UpdateProgress"),
                           QStringLiteral("sys/upgrade-result>UpdateResult"),
                           QStringLiteral("sys/import-result>ImportResult"),
                           QStringLiteral("display/upload-idle-image-valid>StandbyImageResult"),
                           QStringLiteral("net/ipv4-subnet>SubnetMask"),
                           QStringLiteral("net/ipv4-gateway>DefaultGateway"),
                           QStringLiteral("net/ipv4-dns1>DnsServer1"),
                           QStringLiteral("net/ipv4-dns2>DnsServer2"),
                       }));
        SettingsFields::Field field = SettingsFields::Field::Dns2;
        QVERIFY(SettingsFields::findField(SettingsFields::Section::System, QStringLiteral("upgrade-result"), field));
        QCOMPARE(field, SettingsFields::Field::UpgradeResult);
        QVERIFY(!SettingsFields::findField(SettingsFields::Section::Network, QStringLiteral("base-ver"), field));
        QCOMPARE(field, SettingsFields::Field::UpgradeResult);
        QCOMPARE(SettingsFields::keysOf(SettingsFields::Section::Network), toList(kNetKeys));
    }

    void parse_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("pairs");

        const QByteArray fullSys = R"({"sys":{"base-ver":"1.2.3","base-sernum":"SN-9","device-status":2,
            "upgrade-status":40,"upgrade-result":1,"import-result":{"code":6,"option":["a"]},"model-name":"TQ"}})";
        QTest::newRow("sys, every key, pairs in table order")
            << "sys" << fullSys << kSysKeys << 0
            << "Version=s:1.2.3 SerialNumber=s:SN-9 RunningStatus=i:2 UpdateProgress=i:40 UpdateResult=i:1 "
               "ImportResult=i:6";
        QTest::newRow("sys, only the requested keys")
            << "sys" << fullSys << QStringList{"upgrade-result", "device-status"} << 0
            << "RunningStatus=i:2 UpdateResult=i:1";
        QTest::newRow("requested key absent from the section") << "sys" << QByteArray(R"({"sys":{"device-status":0}})")
                                                               << QStringList{"base-ver"} << code(0x80020005) << "";
        QTest::newRow("no key requested") << "sys" << fullSys << QStringList{} << code(0x80020005) << "";
        QTest::newRow("unknown key, valid section")
            << "sys" << fullSys << QStringList{"device-status", "ipv4-subnet"} << code(0x80020002) << "";
        QTest::newRow("unknown key before the document is looked at")
            << "net" << QByteArray("{}") << QStringList{"base-ver"} << code(0x80020002) << "";
        QTest::newRow("key of another section in the section")
            << "net" << QByteArray(R"({"net":{"base-ver":"1"}})") << QStringList{"ipv4-dns1"} << code(0x80020005) << "";
        QTest::newRow("section missing") << "sys" << QByteArray(R"({"net":{}})") << QStringList{"device-status"}
                                         << code(0x80020001) << "";
        QTest::newRow("section is an array") << "display" << QByteArray(R"({"display":[1]})")
                                             << QStringList{"upload-idle-image-valid"} << code(0x80020001) << "";
        QTest::newRow("section is a string")
            << "net" << QByteArray(R"({"net":"ipv4-subnet"})") << QStringList{"ipv4-subnet"} << code(0x80020001) << "";
        QTest::newRow("section is null") << "sys" << QByteArray(R"({"sys":null})") << QStringList{"device-status"}
                                         << code(0x80020001) << "";
        // The walk goes by name: device-status < upgrade-status, whatever the
        // order in the text.
        QTest::newRow("walk by name, failure keeps earlier values")
            << "sys" << QByteArray(R"({"sys":{"upgrade-status":"5","device-status":1}})")
            << QStringList{"upgrade-status", "device-status"} << code(0x80020007) << "RunningStatus=i:1";
        QTest::newRow("walk by name, first failure stops")
            << "sys" << QByteArray(R"({"sys":{"base-ver":"1.0","base-sernum":7}})")
            << QStringList{"base-ver", "base-sernum"} << code(0x80020006) << "";
        QTest::newRow("a known key not requested is not parsed")
            << "sys" << QByteArray(R"({"sys":{"base-sernum":7,"device-status":0}})") << QStringList{"device-status"}
            << 0 << "RunningStatus=i:0";

        const auto integerRow = [](const char* name, const QByteArray& value, int result, const QString& pairs) {
            QTest::newRow(name) << "sys" << (R"({"sys":{"device-status":)" + value + "}}")
                                << QStringList{"device-status"} << result << pairs;
        };
        integerRow("integer 0", "0", 0, "RunningStatus=i:0");
        integerRow("integer negative", "-1", 0, "RunningStatus=i:-1");
        integerRow("integer largest", "2147483647", 0, "RunningStatus=i:2147483647");
        integerRow("integer one above smallest", "-2147483647", 0, "RunningStatus=i:-2147483647");
        integerRow("integer smallest is the fallback", "-2147483648", code(0x80020007), "");
        integerRow("integer beyond int", "2147483648", code(0x80020007), "");
        integerRow("integer written with a zero fraction", "3.0", 0, "RunningStatus=i:3");
        integerRow("integer written with an exponent", "1e2", 0, "RunningStatus=i:100");
        integerRow("number with a fraction", "1.5", code(0x80020007), "");
        integerRow("tiny fraction", "0.0000001", code(0x80020007), "");
        integerRow("huge number", "1e300", code(0x80020007), "");
        integerRow("string that reads as a number", "\"1\"", code(0x80020007), "");
        integerRow("boolean", "true", code(0x80020007), "");
        integerRow("null", "null", code(0x80020007), "");
        integerRow("array", "[1]", code(0x80020007), "");
        integerRow("object", "{\"code\":1}", code(0x80020007), "");

        const auto stringRow = [](const char* name, const QByteArray& value, int result, const QString& pairs) {
            QTest::newRow(name) << "net" << (R"({"net":{"ipv4-gateway":)" + value + "}}") << QStringList{"ipv4-gateway"}
                                << result << pairs;
        };
        stringRow("string", "\"10.0.0.1\"", 0, "DefaultGateway=s:10.0.0.1");
        stringRow("empty string", "\"\"", 0, "DefaultGateway=s:");
        stringRow("number where a string belongs", "10", code(0x80020006), "");
        stringRow("null where a string belongs", "null", code(0x80020006), "");
        stringRow("array where a string belongs", "[\"10.0.0.1\"]", code(0x80020006), "");

        QTest::newRow("net, every key")
            << "net" << QByteArray(R"({"net":{"ipv4-dns2":"","ipv4-dns1":"10.0.0.53","ipv4-gateway":"10.0.0.1",
                "ipv4-subnet":"255.255.0.0","ipv4-address":"10.0.0.9"}})")
            << kNetKeys << 0
            << "SubnetMask=s:255.255.0.0 DefaultGateway=s:10.0.0.1 DnsServer1=s:10.0.0.53 DnsServer2=s:";
        QTest::newRow("display") << "display" << QByteArray(R"({"display":{"upload-idle-image-valid":1}})")
                                 << QStringList{"upload-idle-image-valid"} << 0 << "StandbyImageResult=i:1";
        QTest::newRow("display, string value")
            << "display" << QByteArray(R"({"display":{"upload-idle-image-valid":"0"}})")
            << QStringList{"upload-idle-image-valid"} << code(0x80020007) << "";

        const auto importRow = [](const char* name, const QByteArray& value, int result, const QString& pairs) {
            QTest::newRow(name) << "sys" << (R"({"sys":{"import-result":)" + value + "}}")
                                << QStringList{"import-result"} << result << pairs;
        };
        importRow("import-result code only", R"({"code":0})", 0, "ImportResult=i:0");
        importRow("import-result with options", R"({"code":5,"option":["line 3","line 9"]})", 0, "ImportResult=i:5");
        importRow("import-result is a number", "3", code(0x80020001), "");
        importRow("import-result is a string", "\"{}\"", code(0x80020001), "");
        importRow("import-result without code", R"({"option":["x"]})", code(0x80020007), "");
        importRow("import-result code as a string", R"({"code":"1"})", code(0x80020007), "");
        importRow("import-result code with a fraction", R"({"code":1.25})", code(0x80020007), "");
        importRow("import-result code smallest int", R"({"code":-2147483648})", code(0x80020007), "");
    }

    void parse()
    {
        QFETCH(QString, section);
        QFETCH(QByteArray, document);
        QFETCH(QStringList, keys);
        QFETCH(int, result);
        QFETCH(QString, pairs);

        QJsonParseError error;
        const QJsonDocument json = QJsonDocument::fromJson(document, &error);
        QVERIFY2(json.isObject(), qPrintable(error.errorString()));
        const std::unique_ptr<SettingsModel> model = makeModel(section, json.object());
        QCOMPARE(model->tryParse(toList(keys)), result);

        SettingsParameterList out;
        const int all = model->getAllParameters(out);
        QCOMPARE(describe(out), pairs);
        QCOMPARE(all, pairs.isEmpty() ? code(0x80020004) : 0);
    }

    void getAllParametersAppends()
    {
        SystemModelData model(QJsonDocument::fromJson(R"({"sys":{"device-status":1}})").object());
        QCOMPARE(model.tryParse({QStringLiteral("device-status")}), 0);
        SettingsParameterList out{{DeviceParameter::HostName, QStringLiteral("kept")}};
        QCOMPARE(model.getAllParameters(out), 0);
        QCOMPARE(describe(out), QStringLiteral("HostName=s:kept RunningStatus=i:1"));

        // Nothing parsed, but the list was not empty before: still success.
        SystemModelData empty(QJsonObject{});
        SettingsParameterList prefilled{{DeviceParameter::HostName, QStringLiteral("kept")}};
        QCOMPARE(empty.getAllParameters(prefilled), 0);
        QCOMPARE(prefilled.size(), std::size_t(1));
    }

    void systemGetters()
    {
        SystemModelData model(QJsonDocument::fromJson(R"({"sys":{"base-ver":"2.0","device-status":1,
            "upgrade-result":2,"import-result":{"code":4,"option":["a",7,"b"]}}})")
                                  .object());
        // Nothing parsed yet: every getter fails and leaves its argument alone.
        QString text = QStringLiteral("untouched");
        int number = 99;
        QVariant variant = QStringLiteral("untouched");
        SystemModelData::ImportResult import{42, {QStringLiteral("x")}};
        QCOMPARE(model.getVersion(text), code(0x80020003));
        QCOMPARE(model.getDeviceStatus(number), code(0x80020003));
        QCOMPARE(model.getImportResult(import), code(0x80020003));
        QCOMPARE(model.getImportResult(variant), code(0x80020003));
        QCOMPARE(text, QStringLiteral("untouched"));
        QCOMPARE(number, 99);
        QCOMPARE(import.code, 42);
        QCOMPARE(variant, QVariant(QStringLiteral("untouched")));

        QCOMPARE(model.tryParse(toList(kSysKeys)), 0);
        QCOMPARE(model.getVersion(text), 0);
        QCOMPARE(text, QStringLiteral("2.0"));
        QCOMPARE(model.getVersion(variant), 0);
        QCOMPARE(variant, QVariant(QStringLiteral("2.0")));
        QCOMPARE(model.getSerialNumber(text), code(0x80020003)); // not in the section
        QCOMPARE(model.getSerialNumber(variant), code(0x80020003));
        QCOMPARE(model.getDeviceStatus(number), 0);
        QCOMPARE(number, 1);
        QCOMPARE(model.getDeviceStatus(variant), 0);
        QCOMPARE(variant, QVariant(1));
        QCOMPARE(model.getUpgradeStatus(number), code(0x80020003));
        QCOMPARE(model.getUpgradeResult(number), 0);
        QCOMPARE(number, 2);
        QCOMPARE(model.getUpgradeResult(variant), 0);
        QCOMPARE(variant, QVariant(2));
        QCOMPARE(model.getImportResult(import), 0);
        QCOMPARE(import.code, 4);
        QCOMPARE(import.option, QStringList({QStringLiteral("a"), QStringLiteral("7"), QStringLiteral("b")}));
        QCOMPARE(model.getImportResult(variant), 0);
        const QVariantMap map = variant.toMap();
        QCOMPARE(map.keys(), QStringList({QStringLiteral("code"), QStringLiteral("option")}));
        QCOMPARE(map.value(QStringLiteral("code")), QVariant(4));
        QCOMPARE(map.value(QStringLiteral("option")).typeId(), QMetaType::QStringList);
        QCOMPARE(map.value(QStringLiteral("option")).toStringList().size(), 3);
    }

    void importResultWithoutOptions_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::newRow("absent") << QByteArray(R"({"code":0})");
        QTest::newRow("null") << QByteArray(R"({"code":0,"option":null})");
        QTest::newRow("not an array") << QByteArray(R"({"code":0,"option":"a"})");
        QTest::newRow("empty array") << QByteArray(R"({"code":0,"option":[]})");
    }

    void importResultWithoutOptions()
    {
        QFETCH(QByteArray, value);
        SystemModelData model(QJsonDocument::fromJson(R"({"sys":{"import-result":)" + value + "}}").object());
        QCOMPARE(model.tryParse({QStringLiteral("import-result")}), 0);
        SystemModelData::ImportResult import{9, {QStringLiteral("x")}};
        QCOMPARE(model.getImportResult(import), 0);
        QCOMPARE(import.code, 0);
        QVERIFY(import.option.isEmpty());
    }

    void displayAndNetworkGetters()
    {
        DisplayModelData display(QJsonDocument::fromJson(R"({"display":{"upload-idle-image-valid":0}})").object());
        int number = 5;
        QVariant variant;
        QCOMPARE(display.getUploadIdleImageValid(number), code(0x80020003));
        QCOMPARE(number, 5);
        QCOMPARE(display.tryParse({QStringLiteral("upload-idle-image-valid")}), 0);
        QCOMPARE(display.getUploadIdleImageValid(number), 0);
        QCOMPARE(number, 0);
        QCOMPARE(display.getUploadIdleImageValid(variant), 0);
        QCOMPARE(variant, QVariant(0));

        NetworkModelData net(
            QJsonDocument::fromJson(R"({"net":{"ipv4-subnet":"255.0.0.0","ipv4-dns1":"1.1.1.1"}})").object());
        QCOMPARE(net.tryParse(toList(kNetKeys)), 0);
        QString text;
        QCOMPARE(net.getSubnet(text), 0);
        QCOMPARE(text, QStringLiteral("255.0.0.0"));
        QCOMPARE(net.getDns1(variant), 0);
        QCOMPARE(variant, QVariant(QStringLiteral("1.1.1.1")));
        text = QStringLiteral("untouched");
        QCOMPARE(net.getGateway(text), code(0x80020003));
        QCOMPARE(net.getDns2(text), code(0x80020003));
        QCOMPARE(text, QStringLiteral("untouched"));
    }

    void sourceIsCopied()
    {
        QJsonObject source = QJsonDocument::fromJson(R"({"net":{"ipv4-dns1":"1.1.1.1"}})").object();
        NetworkModelData net(source);
        source.remove(QStringLiteral("net"));
        QCOMPARE(net.tryParse({QStringLiteral("ipv4-dns1")}), 0);
    }
};

QTEST_GUILESS_MAIN(TestSettingsModels)
#include "tst_settingsmodels.moc"
