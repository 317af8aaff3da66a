// The listener in front of the engine's C interface, with the real engine on
// loopback (127.0.14.x, hosts on 127.0.15.x): initialise and finalise rules,
// the service list, what start() hands to the engine, its error line, the
// host query, and the engine's notices reaching the log.
#include "lndp_api.h"
#include "lndp_packet.h"
#include "LndpListener.h"
#include "oswrap_api.h"

#include "LndpTestPeer.h"
#include "StdoutCapture.h"

#include <QTest>

#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <unistd.h>

namespace {

constexpr uint16_t kPort = LNDP_SERVICE_PORT;

class NullCallback : public ILNDPCallback
{
public:
    uint32_t onLNDPCallback(const _LNDP_HOST_INFO*, uint8_t) override { return 0; }
};

// An LndpAbstract whose stored identity can be read back.
class Probe : public LndpAbstract
{
public:
    const std::string& ip() const { return m_ipAddress; }
    const std::string& mask() const { return m_subnetMask; }
    const std::string& hostName() const { return m_hostName; }
    QByteArray mac() const { return QByteArray(reinterpret_cast<const char*>(m_macAddress), 6); }
    size_t serviceCount() const { return m_services.size(); }
};

std::mutex gLogMutex;
QStringList gLog;
QtMessageHandler gPreviousHandler = nullptr;
void captureLog(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    {
        std::lock_guard<std::mutex> lock(gLogMutex);
        gLog.append(text);
    }
    if (gPreviousHandler)
        gPreviousHandler(type, context, text);
}
int logLinesWith(const QString& part)
{
    std::lock_guard<std::mutex> lock(gLogMutex);
    int n = 0;
    for (const QString& line : std::as_const(gLog))
        n += line.contains(part) ? 1 : 0;
    return n;
}

std::vector<uint8_t> deviceExInfo(const char* name)
{
    std::vector<uint8_t> bytes;
    LndpAbstract::addExInfo(bytes, "");
    LndpAbstract::addExInfo(bytes, "TQ-360");
    LndpAbstract::addExInfo(bytes, name);
    return bytes;
}

void drainAnnouncements(UdpPeer& peer)
{
    while (!peer.receive(0).empty()) { }
}

} // namespace

class TestLndpListener : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QCOMPARE(oswrap_init(), 0); }
    void cleanupTestCase() { oswrap_exit(); }

    // Whatever a failed test left running is stopped.
    void cleanup()
    {
        LndpListener& listener = LndpListener::getInstance();
        listener.removeService("_zel-scp", nullptr);
        listener.removeService("_second", nullptr);
        listener.clearHostInfo();
        listener.finalize();
        gCallbackList.clear();
        if (gPreviousHandler) {
            qInstallMessageHandler(gPreviousHandler);
            gPreviousHandler = nullptr;
        }
    }

    void initializeAndFinalizeRules()
    {
        LndpListener& listener = LndpListener::getInstance();
        NullCallback cb;
        QCOMPARE(listener.initialize(nullptr, "", &cb), ResultCode::kFailure);
        QCOMPARE(listener.initialize("", nullptr, &cb), ResultCode::kFailure);
        QCOMPARE(listener.initialize("", "", &cb, 0), ResultCode::kFailure);
        QCOMPARE(listener.initialize("", "", &cb, LNDP_HOSTS_MAX + 1), ResultCode::kFailure);
        QVERIFY(gCallbackList.empty());
        uint32_t count = 7;
        QCOMPARE(lndp_getNumOfHost(&count), LNDP_E_NOTREADY); // no engine was started

        QCOMPARE(listener.initialize("", "", &cb), ResultCode::kSuccess);
        QCOMPARE(gCallbackList.size(), size_t(1));
        QCOMPARE(gCallbackList.front(), static_cast<ILNDPCallback*>(&cb));
        QCOMPARE(listener.initialize("", "", &cb), ResultCode::kFailure); // once only
        QCOMPARE(gCallbackList.size(), size_t(1));

        QCOMPARE(listener.finalize(), ResultCode::kSuccess);
        QVERIFY(gCallbackList.empty());
        QCOMPARE(listener.finalize(), ResultCode::kFailure); // the engine is gone already

        // A callback already listed is not listed twice; a new start works.
        gCallbackList.push_back(&cb);
        QCOMPARE(listener.initialize("a", "b", &cb), ResultCode::kSuccess);
        QCOMPARE(gCallbackList.size(), size_t(1));
        QCOMPARE(listener.finalize(), ResultCode::kSuccess);
        QVERIFY(gCallbackList.empty());
    }

    void callbackFanOut()
    {
        struct Counting : ILNDPCallback
        {
            uint32_t onLNDPCallback(const _LNDP_HOST_INFO*, uint8_t enabled) override
            {
                calls.push_back(enabled);
                return 5;
            }
            std::vector<uint8_t> calls;
        } first, second;
        gCallbackList = {&first, &second};
        _LNDP_HOST_INFO host = {};
        QCOMPARE(lndpCallback(&host, 1), 0u);
        QCOMPARE(lndpCallback(&host, 0), 0u);
        gCallbackList.clear();
        QCOMPARE(first.calls, (std::vector<uint8_t>{1, 0}));
        QCOMPARE(second.calls, (std::vector<uint8_t>{1, 0}));
    }

    void identityAndServiceList()
    {
        Probe probe;
        const uint8_t mac[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        probe.setMacAddress(mac, 8);
        QCOMPARE(probe.mac(), QByteArray::fromHex("010203040506"));
        probe.setMacAddress(mac, 2);
        QCOMPARE(probe.mac(), QByteArray::fromHex("010200000000"));
        probe.setIpAddress("10.0.0.1", "255.0.0.0");
        QCOMPARE(probe.ip(), std::string("10.0.0.1"));
        QCOMPARE(probe.mask(), std::string("255.0.0.0"));
        probe.setIpAddress(nullptr, nullptr);
        QCOMPARE(probe.ip(), std::string("0.0.0.0"));
        QCOMPARE(probe.mask(), std::string("0.0.0.0"));
        probe.setHostName("Desk");
        QCOMPARE(probe.hostName(), std::string("Desk"));
        probe.setHostName(nullptr);
        QCOMPARE(probe.hostName(), std::string());
        probe.setMacAddress(mac, 6);
        probe.setIpAddress("10.0.0.1", "255.0.0.0");
        probe.clearHostInfo();
        QCOMPARE(probe.mac(), QByteArray(6, '\0'));
        QCOMPARE(probe.ip(), std::string("0.0.0.0"));
        QCOMPARE(probe.mask(), std::string("0.0.0.0"));

        QCOMPARE(probe.addService(nullptr, "eth0"), ResultCode::kFailure);
        QCOMPARE(probe.addService("_zel-scp", nullptr), ResultCode::kFailure);
        QCOMPARE(probe.addService("_zel-scp", "eth0"), ResultCode::kSuccess);
        QCOMPARE(probe.addService("_zel-scp", "eth0"), ResultCode::kSuccess); // kept once
        QCOMPARE(probe.addService("_zel-scp", "eth1"), ResultCode::kSuccess);
        QCOMPARE(probe.addService("other", "eth0"), ResultCode::kSuccess);
        QCOMPARE(probe.serviceCount(), size_t(3));
        QVERIFY(probe.find("_zel-scp", "eth1") != nullptr);
        QCOMPARE(probe.find("_zel-scp", nullptr)->second, std::string("eth0")); // the first match
        QVERIFY(probe.find("_zel-scp", "eth2") == nullptr);
        QVERIFY(probe.find(nullptr, "eth0") == nullptr);

        QCOMPARE(probe.removeService(nullptr, "eth0"), ResultCode::kFailure);
        QCOMPARE(probe.removeService("_zel-scp", "eth1"), ResultCode::kSuccess);
        QCOMPARE(probe.serviceCount(), size_t(2));
        QCOMPARE(probe.addService("_zel-scp", "eth1"), ResultCode::kSuccess);
        QCOMPARE(probe.removeService("_zel-scp", nullptr), ResultCode::kSuccess); // every instance
        QCOMPARE(probe.serviceCount(), size_t(1));
        QVERIFY(probe.find("other", "eth0") != nullptr);
        QCOMPARE(LndpListener::getInstance().role(), uint8_t(LNDP_ROLE_ANNOUNCER));
    }

    // start() configures the first service as an announcer with the stored
    // identity; a refused set-up prints one exact line.
    void startStopRefreshAndTheErrorLine()
    {
        LndpListener& listener = LndpListener::getInstance();
        QCOMPARE(listener.initialize("", "", nullptr), ResultCode::kSuccess);
        UdpPeer broadcast("127.0.14.1", kPort); // broadcast of 127.0.14.0/31
        QVERIFY(broadcast.ok());

        int id = -1;
        int32_t result = 0;
        QCOMPARE(stdoutOf([&] { result = listener.start(&id); }), QStringLiteral(" lndp_setup Error 80000002\n"));
        QCOMPARE(result, ResultCode::kFailure); // no service registered

        const uint8_t mac[6] = {0x02, 0x14, 0x00, 0x00, 0x00, 0x01};
        listener.setMacAddress(mac, 6);
        listener.setIpAddress("127.0.14.0", "255.255.255.254");
        listener.addService("_zel-scp", "lo");
        listener.addService("_second", "lo"); // only the first one is announced
        QCOMPARE(stdoutOf([&] { result = listener.start(&id); }), QString());
        QCOMPARE(result, ResultCode::kSuccess);
        QVERIFY(id >= 0);
        std::vector<uint8_t> expected = lndpDatagram(LNDP_ROLE_ANNOUNCER, "127.0.14.0", "_zel-scp");
        std::memcpy(expected.data() + 24, mac, 6);
        QCOMPARE(broadcast.receive(3000), expected);

        // The same service on the same address again: the engine refuses it.
        int second = -1;
        QCOMPARE(stdoutOf([&] { result = listener.start(&second); }), QStringLiteral(" lndp_setup Error 80000005\n"));
        QCOMPARE(result, ResultCode::kFailure);

        int renewed = -1;
        QCOMPARE(listener.refresh(&renewed, id), ResultCode::kSuccess);
        QVERIFY(renewed >= 0);
        QCOMPARE(lndp2_getStatus(renewed), 0);
        QCOMPARE(listener.stop(renewed), ResultCode::kSuccess);
        QCOMPARE(lndp2_getStatus(renewed), LNDP_E_PARAM); // gone

        // An address that is no IPv4 text is refused before the engine.
        listener.setIpAddress("not an address", "255.255.255.254");
        QCOMPARE(stdoutOf([&] { result = listener.start(&id); }), QStringLiteral(" lndp_setup Error 80000002\n"));
        QCOMPARE(result, ResultCode::kFailure);

        listener.removeService("_zel-scp", nullptr);
        listener.removeService("_second", nullptr);
        listener.clearHostInfo();
        QCOMPARE(listener.finalize(), ResultCode::kSuccess);
    }

    void servicesListsTheDevicesTheEngineHolds()
    {
        LndpListener& listener = LndpListener::getInstance();
        QCOMPARE(listener.initialize("", "", nullptr), ResultCode::kSuccess);
        listener.setIpAddress("127.0.14.2", "255.255.255.254");
        listener.addService("_zel-scp", "lo");
        UdpPeer broadcast("127.0.14.3", kPort);
        int id = -1;
        QCOMPARE(listener.start(&id), ResultCode::kSuccess);
        QVERIFY(!broadcast.receive(3000).empty()); // the engine's socket is up

        UdpPeer device("127.0.15.1", 0);
        UdpPeer other("127.0.15.2", 0);
        UdpPeer shortInfo("127.0.15.3", 0);
        QVERIFY(device.sendTo(lndpDatagram(LNDP_ROLE_RESPONDER, "127.0.15.1", "_zel-scp", deviceExInfo("Desk"), 0x02),
                              "127.0.14.2", kPort));
        QVERIFY(shortInfo.sendTo(lndpDatagram(LNDP_ROLE_RESPONDER, "127.0.15.3", "_zel-scp", {0, 0}, 0x06),
                                 "127.0.14.2", kPort));
        QVERIFY(other.sendTo(lndpDatagram(LNDP_ROLE_RESPONDER, "127.0.15.2", "_zel-scp", deviceExInfo("Hall"), 0x04),
                             "127.0.14.2", kPort));
        QTRY_VERIFY_WITH_TIMEOUT(
            [] {
                uint32_t count = 0;
                return lndp_getNumOfHost(&count) == 0 && count == 3;
            }(),
            3000);

        std::vector<LndpListener::ServiceRecord> records;
        QCOMPARE(listener.getServices(records, "_zel-scp"), ResultCode::kSuccess);
        QCOMPARE(records.size(), size_t(2)); // fewer than three strings: skipped
        QCOMPARE(records[0].serviceName, std::string("_zel-scp"));
        QCOMPARE(records[0].hostAddress, std::string("127.0.15.1"));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(records[0].macAddress), 6),
                 QByteArray::fromHex("020000000001"));
        QCOMPARE(records[0].exInfo0, std::string());
        QCOMPARE(records[0].exInfo1, std::string("TQ-360"));
        QCOMPARE(records[0].exInfo2, std::string("Desk"));
        QCOMPARE(records[1].hostAddress, std::string("127.0.15.2"));
        QCOMPARE(records[1].exInfo2, std::string("Hall"));
        QCOMPARE(listener.getServices(records, nullptr), ResultCode::kSuccess);
        QCOMPARE(records.size(), size_t(2));
        QCOMPARE(listener.getServices(records, "_zel"), ResultCode::kSuccess); // shorter than the name
        QVERIFY(records.empty());
        QCOMPARE(listener.getServices(records, "_other-s"), ResultCode::kSuccess);
        QVERIFY(records.empty());

        listener.stop(id);
        listener.removeService("_zel-scp", nullptr);
        QCOMPARE(listener.finalize(), ResultCode::kSuccess);
        QCOMPARE(listener.getServices(records, nullptr), ResultCode::kFailure);
    }

    // A 33rd answering host does not fit the engine's table: the log says so
    // once per scan, with the count.
    void fullHostTableIsLoggedOncePerScan()
    {
        gPreviousHandler = qInstallMessageHandler(captureLog);
        LndpListener& listener = LndpListener::getInstance();
        QCOMPARE(listener.initialize("", "", nullptr), ResultCode::kSuccess);
        listener.setIpAddress("127.0.14.4", "255.255.255.254");
        listener.addService("_zel-scp", "lo");
        UdpPeer broadcast("127.0.14.5", kPort);
        int id = -1;
        QCOMPARE(listener.start(&id), ResultCode::kSuccess);
        QVERIFY(!broadcast.receive(3000).empty()); // the engine's socket is up

        std::vector<std::unique_ptr<UdpPeer>> peers;
        std::vector<std::string> ips;
        for (int i = 0; i < 34; ++i) {
            ips.push_back("127.0.15." + std::to_string(10 + i));
            peers.push_back(std::make_unique<UdpPeer>(ips.back().c_str(), 0));
            QVERIFY(peers.back()->ok());
        }
        auto answerAll = [&] {
            for (size_t i = 0; i < peers.size(); ++i)
                peers[i]->sendTo(lndpDatagram(LNDP_ROLE_RESPONDER, ips[i].c_str(), "_zel-scp", deviceExInfo("D")),
                                 "127.0.14.4", kPort);
        };
        const QString notice = QStringLiteral("LNDP host table full (32 hosts): further hosts are not listed");
        answerAll();
        QTRY_COMPARE_WITH_TIMEOUT(logLinesWith(notice), 1, 3000);
        uint32_t count = 0;
        QCOMPARE(lndp_getNumOfHost(&count), 0);
        QCOMPARE(count, 32u);
        // Hosts answering again, the table still full: nothing new is said.
        // The last datagram read makes a known host change, which shows
        // that the ones before it were read.
        answerAll();
        peers[0]->sendTo(lndpDatagram(LNDP_ROLE_RESPONDER, ips[0].c_str(), "_zel-scp", deviceExInfo("D2")),
                         "127.0.14.4", kPort);
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                std::vector<LndpListener::ServiceRecord> records;
                listener.getServices(records, nullptr);
                for (const auto& r : records)
                    if (r.hostAddress == ips[0] && r.exInfo2 == "D2")
                        return true;
                return false;
            }(),
            3000);
        QCOMPARE(logLinesWith(notice), 1);

        // The next scan says it again.
        QCOMPARE(listener.refresh(&id, id), ResultCode::kSuccess);
        drainAnnouncements(broadcast);
        QVERIFY(!broadcast.receive(3000).empty()); // the new socket is up
        answerAll();
        QTRY_COMPARE_WITH_TIMEOUT(logLinesWith(notice), 2, 3000);

        listener.stop(id);
        listener.removeService("_zel-scp", nullptr);
        QCOMPARE(listener.finalize(), ResultCode::kSuccess);
    }
};

QTEST_GUILESS_MAIN(TestLndpListener)
#include "tst_lndplistener.moc"
