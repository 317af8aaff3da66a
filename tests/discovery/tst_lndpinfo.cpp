#include "LndpInfo.h"
#include "LndpListener.h"

#include <QTest>

#include <cstring>

namespace {

// A responder record as the engine hands it over.
_LNDP_HOST_INFO hostWith(const QByteArray& exInfo, uint8_t flags = 0x80, uint8_t family = 4)
{
    _LNDP_HOST_INFO host = {};
    host.rawFlags = flags;
    host.rawAddrFamily = family;
    host.senderRole = 1;
    host.hostAddr.family = NETC_AF_INET;
    const uint8_t address[4] = {10, 213, 0, 10};
    std::memcpy(host.hostAddr.addr, address, sizeof(address));
    const uint8_t mac[6] = {0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    std::memcpy(host.macAddr, mac, sizeof(mac));
    host.exInfoLen = static_cast<uint16_t>(exInfo.size());
    std::memcpy(host.exInfo, exInfo.constData(), static_cast<size_t>(exInfo.size()));
    return host;
}

QByteArray entry(const QByteArray& text)
{
    return char(text.size()) + text;
}

} // namespace

class TestLndpInfo : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readsModelAndName()
    {
        const _LNDP_HOST_INFO host = hostWith(entry("") + entry("TQ-730") + entry("Desk"));
        Apps::LndpInfo info;
        QCOMPARE(info.importLndpApiHostInfo(&host), ResultCode::kSuccess);
        QCOMPARE(info.modelName(), std::string("TQ-730"));
        QCOMPARE(info.hostName(), std::string("Desk"));
        uint8_t type = 0;
        QCOMPARE(info.getIpAddrType(&type), 0);
        QCOMPARE(type, uint8_t(4));
        uint8_t mac[6] = {};
        QCOMPARE(info.getMacAddr(mac), 0);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(mac), 6), QByteArray::fromHex("021A2B3C4D5E"));
        uint8_t name[8] = {};
        QCOMPARE(info.getHostName(name), 0);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(name)), QByteArray("Desk"));
        QCOMPARE(info.getHostName(nullptr), ResultCode::kFailure);
        QCOMPARE(info.importLndpApiHostInfo(nullptr), Apps::LndpInfo::kNullArgument);

        // A name is used up to its first zero byte; strings after the third are ignored.
        const _LNDP_HOST_INFO padded
            = hostWith(entry("x") + entry("TQ-360") + entry(QByteArray("Hall\0junk", 9)) + entry("more"));
        QCOMPARE(info.importLndpApiHostInfo(&padded), ResultCode::kSuccess);
        QCOMPARE(info.modelName(), std::string("TQ-360"));
        QCOMPARE(info.hostName(), std::string("Hall"));
    }

    void rejectsWhatIsNoSupportedDevice_data()
    {
        QTest::addColumn<QByteArray>("exInfo");
        QTest::addColumn<int>("flags");
        QTest::addColumn<int>("family");
        QTest::addColumn<QString>("unsupported"); // the model read from a well-formed answer
        const QByteArray good = entry("") + entry("TQ-730") + entry("Desk");
        QTest::newRow("unknown model") << entry("") + entry("TQ-731") + entry("Desk") << 0x80 << 4
                                       << QStringLiteral("TQ-731");
        QTest::newRow("model case") << entry("") + entry("tq-730") + entry("Desk") << 0x80 << 4
                                    << QStringLiteral("tq-730");
        QTest::newRow("status 1") << good << 0x81 << 4 << QString();
        QTest::newRow("announcer") << good << 0x00 << 4 << QString();
        QTest::newRow("reserved bits") << good << 0x90 << 4 << QString();
        QTest::newRow("family 5") << good << 0x80 << 5 << QString();
        QTest::newRow("no exInfo") << QByteArray() << 0x80 << 4 << QString();
        QTest::newRow("ends after model") << entry("") + entry("TQ-360") << 0x80 << 4 << QString();
        QTest::newRow("end marker") << entry("") + QByteArray(1, char(255)) + "TQ-730" << 0x80 << 4 << QString();
        QTest::newRow("model cut short") << entry("") + QByteArray(1, char(10)) + "TQ-730" << 0x80 << 4 << QString();
        // The third string claims more bytes than the record holds.
        QTest::newRow("name cut short") << entry("") + entry("TQ-730") + QByteArray(1, char(20)) + "Desk" << 0x80 << 4
                                        << QString();
    }
    void rejectsWhatIsNoSupportedDevice()
    {
        QFETCH(QByteArray, exInfo);
        QFETCH(int, flags);
        QFETCH(int, family);
        QFETCH(QString, unsupported);
        const _LNDP_HOST_INFO host = hostWith(exInfo, static_cast<uint8_t>(flags), static_cast<uint8_t>(family));
        Apps::LndpInfo info;
        QCOMPARE(info.importLndpApiHostInfo(&host),
                 unsupported.isEmpty() ? Apps::LndpInfo::kRejected : Apps::LndpInfo::kUnsupportedModel);
        QCOMPARE(info.modelName(), unsupported.toStdString());
    }

    void lengthBeyondTheBufferIsClamped()
    {
        // A record whose length field claims more than its buffer holds is
        // read within the buffer only.
        _LNDP_HOST_INFO host = hostWith(entry("") + entry("TQ-730"));
        std::memset(host.exInfo + 8, 254, sizeof(host.exInfo) - 8);
        host.exInfoLen = 0xFFFF;
        Apps::LndpInfo info;
        QCOMPARE(info.importLndpApiHostInfo(&host), ResultCode::kSuccess);
        QCOMPARE(info.hostName(), std::string(254, char(254)));
    }

    // Whatever our own writer makes of a device name, the identity reader
    // reads it back (a length byte of 255 would end its walk).
    void writtenNamesReadBack_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("readBack");
        QTest::newRow("254 bytes") << QByteArray(254, 'n') << QByteArray(254, 'n');
        QTest::newRow("255 bytes") << QByteArray(255, 'n') << QByteArray(254, 'n');
        QTest::newRow("400 bytes") << QByteArray(400, 'n') << QByteArray(254, 'n');
        QTest::newRow("umlauts across the cut")
            << QByteArray("\xC3\xBC").repeated(200) << QByteArray("\xC3\xBC").repeated(127);
        QTest::newRow("empty") << QByteArray() << QByteArray();
    }

    void writtenNamesReadBack()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, readBack);
        std::vector<uint8_t> bytes;
        LndpAbstract::addExInfo(bytes, "");
        LndpAbstract::addExInfo(bytes, "TQ-360");
        LndpAbstract::addExInfo(bytes, name.toStdString());
        const _LNDP_HOST_INFO host
            = hostWith(QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size())));
        Apps::LndpInfo info;
        QCOMPARE(info.importLndpApiHostInfo(&host), ResultCode::kSuccess);
        QCOMPARE(QByteArray::fromStdString(info.hostName()), readBack);
    }

    void exInfoHelpers()
    {
        std::vector<uint8_t> bytes;
        LndpAbstract::addExInfo(bytes, "");
        LndpAbstract::addExInfo(bytes, "abc");
        LndpAbstract::addExInfo(bytes, std::string(300, 'x'));
        QCOMPARE(bytes.size(), size_t(1 + 4 + 255));
        QCOMPARE(int(bytes[5]), 254);

        std::vector<std::string> strings;
        QCOMPARE(LndpAbstract::getExInfo(strings, bytes.data(), static_cast<uint32_t>(bytes.size())), 0);
        QCOMPARE(strings, (std::vector<std::string>{"", "abc", std::string(254, 'x')}));

        // The last entry, cut short, is dropped.
        const uint8_t cut[] = {0x00, 0x03, 'a', 'b', 'c', 0x02, 'x'};
        strings.clear();
        QCOMPARE(LndpAbstract::getExInfo(strings, cut, sizeof(cut)), 0);
        QCOMPARE(strings, (std::vector<std::string>{"", "abc"}));
        QCOMPARE(LndpAbstract::getExInfo(strings, nullptr, 3), ResultCode::kFailure);
        QCOMPARE(LndpAbstract::getExInfo(strings, cut, 0), ResultCode::kFailure);
    }
};

QTEST_GUILESS_MAIN(TestLndpInfo)
#include "tst_lndpinfo.moc"
