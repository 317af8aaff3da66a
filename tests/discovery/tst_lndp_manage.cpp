// LNDP engine driven pass by pass on loopback (127.0.1.x) with a settable
// clock: announcements and their timing, acceptance and replies, table
// limits, the host table's size chosen at start-up, probes by unicast,
// subscribers, host updates and ageing, socket failure and recovery, the
// send bound, service removal, a burst while the socket is being opened and
// the diagnostic dumps.
#include <doctest/doctest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lndp_manage.h"
#include "LndpTestPeer.h"
#include "LoopbackAddresses.h"
#include "oswrap_api.h"
#include "vsock_wrappedSocketIf.h"

using namespace LNDP;

namespace {

std::atomic<uint32_t> gNow{1000000};
uint32_t testClock()
{
    return gNow.load();
}

std::atomic<uint32_t> gEvents{0};
void testEvent(int32_t code)
{
    gEvents.fetch_or(1u << code);
}

struct Report
{
    _LNDP_HOST_INFO host;
    uint8_t enabled;
};
std::vector<Report> gReports; // appended under the engine's main lock
uint32_t recordHost(const _LNDP_HOST_INFO* h, uint8_t enabled)
{
    gReports.push_back({*h, enabled});
    return 0;
}
uint32_t otherCallback(const _LNDP_HOST_INFO*, uint8_t)
{
    return 0;
}

std::string gPrinted;
int capture(const char* fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    gPrinted += buf;
    return n;
}

_T_LNDP_NETWORK_SETUP_PROPERTY prop(uint8_t role, const netc_addr& local, uint16_t port, const char* name,
                                    uint32_t intervalMs = 1000, const char* mask = "255.255.255.254")
{
    _T_LNDP_NETWORK_SETUP_PROPERTY p;
    memset(&p, 0, sizeof p);
    p.role = role;
    const uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    memcpy(p.macAddr, mac, 6);
    p.ipVersion = 4;
    p.localAddr = local;
    p.netmask = lndpV4(mask);
    p.port = port;
    p.serviceNameLen = (uint8_t)strlen(name);
    p.serviceName = (const uint8_t*)name;
    p.intervalMs = intervalMs;
    return p;
}

// Runs the event-driven passes until pred holds (real time, the engine
// clock stands still).
bool pump(const std::function<bool()>& pred, int timeoutMs = 3000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        int32_t rx, tx, notify, more, other;
        gl_manage.runSocketCallback(rx, tx);
        gl_manage.runReceive(more, tx, notify);
        gl_manage.runSend(more, other);
        gl_manage.notifyUpdateHostInfo();
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (std::chrono::steady_clock::now() < end);
    return pred();
}

void interval()
{
    int32_t rx, tx, notify;
    gl_manage.runInterval(rx, tx, notify);
}

const netc_addr* ptrAddr(const char* ip)
{
    static netc_addr a;
    a = lndpV4(ip);
    return &a;
}

// A lock function that holds the engine thread at its first vsock lock
// while the socket task is let through and counted: that is the moment
// right after the engine created its socket and before it recorded the id.
struct CreationGate
{
    std::mutex m;
    std::condition_variable cv;
    int32_t vsockSem = 0;
    bool armed = false;
    bool engineWaiting = false;
    bool open = false;
    int otherLocks = 0;
};
CreationGate gGate;
thread_local bool tlEngineThread = false;

int32_t gatedWait(int32_t sem)
{
    if (sem == gGate.vsockSem) {
        std::unique_lock<std::mutex> g(gGate.m);
        if (tlEngineThread && gGate.armed) {
            gGate.armed = false;
            gGate.engineWaiting = true;
            gGate.cv.notify_all();
            gGate.cv.wait(g, [] { return gGate.open; });
        } else if (!tlEngineThread) {
            ++gGate.otherLocks;
            gGate.cv.notify_all();
        }
    }
    return oswrap_WaiSem(sem);
}

int reportsFor(uint8_t enabled)
{
    int n = 0;
    for (const auto& r : gReports)
        n += r.enabled == enabled;
    return n;
}

} // namespace

// Locks the engine is given for the whole program: made once in main.
int32_t gMainSem = 0;
int32_t gVsockSem = 0;

// Every case starts from an initialised engine with subscriber 1 recording
// hosts, and finalises it afterwards.
struct ManageFixture
{
    const int32_t m_mainSem = gMainSem;
    const int32_t m_vsockSem = gVsockSem;

    ManageFixture() { start(); }
    // The fixture's engine; a case may finalise it and start it again.
    void start(uint32_t hostCapacity = LNDP_HOSTS_DEFAULT)
    {
        gReports.clear();
        gEvents = 0;
        REQUIRE_EQ(gl_manage.initialize(oswrap_WaiSem, oswrap_SigSem, m_mainSem, m_vsockSem, hostCapacity), LNDP_OK);
        REQUIRE_EQ(gl_manage.attachTask(testEvent), LNDP_OK);
        REQUIRE_EQ(gl_manage.state(), uint8_t(LNDP_STATE_READY));
        gl_manage.mainLock();
        REQUIRE_EQ(gl_manage.subscribeTask(1, recordHost), LNDP_OK);
        gl_manage.mainUnlock();
    }
    ~ManageFixture()
    {
        gl_manage.finalize();
        CHECK_EQ(gl_manage.state(), uint8_t(LNDP_STATE_UNINIT));
    }
};

TEST_CASE_FIXTURE(ManageFixture, "announcerSendsAndRepeats" * doctest::skip(!loopbackAddressesBindApart()))
{
    const uint16_t port = freeUdpPort();
    const netc_addr local = lndpV4("127.0.1.2");
    UdpPeer peer("127.0.1.3", port); // the subnet broadcast of 127.0.1.2/31
    REQUIRE(peer.ok());
    int id = -1;
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(LNDP_ROLE_ANNOUNCER, local, port, "_zel-scp")), LNDP_OK);
    REQUIRE_EQ(id, 0);
    interval();
    REQUIRE_EQ(gl_manage.socketStateOf(local, port), 1);
    REQUIRE(pump([&] { return gl_manage.txQueueLength(local, port) == 0; }));
    uint16_t from = 0;
    const std::vector<uint8_t> got = peer.receive(2000, &from);
    const std::vector<uint8_t> want = lndpDatagram(LNDP_ROLE_ANNOUNCER, "127.0.1.2", "_zel-scp", {}, 0x00);
    REQUIRE_EQ(got.size(), size_t(41));
    REQUIRE_EQ(from, port); // announcements leave from the service port
    std::vector<uint8_t> expected = want;
    expected[25] = 0x11, expected[26] = 0x22, expected[27] = 0x33, expected[28] = 0x44, expected[29] = 0x55;
    REQUIRE_EQ(got, expected);

    gNow += 999;
    interval();
    pump([] { return false; }, 30);
    REQUIRE(peer.receive(50).empty());
    gNow += 1;
    interval();
    REQUIRE(pump([&] { return gl_manage.txQueueLength(local, port) == 0; }));
    REQUIRE_EQ(peer.receive(2000).size(), size_t(41));
    REQUIRE(gReports.empty()); // its own datagrams never make a host
}

// The service port held by another program leaves the binding without a
// socket, and says so; a port of its own still announces to the service
// port and hears the answers that come back to it.
TEST_CASE_FIXTURE(ManageFixture, "ownPortBesideAHeldServicePort" * doctest::skip(!loopbackAddressesBindApart()))
{
    const uint16_t port = freeUdpPort();
    const netc_addr local = lndpV4("127.0.1.20");
    UdpPeer holder("127.0.1.20", port);
    UdpPeer device("127.0.1.21", port); // the subnet broadcast of 127.0.1.20/31
    REQUIRE(holder.ok());
    REQUIRE(device.ok());
    int id = -1;
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(LNDP_ROLE_ANNOUNCER, local, port, "_zel-scp")), LNDP_OK);
    REQUIRE_EQ(gl_manage.socketStateOfService(id), 0);
    interval();
    REQUIRE_EQ(gl_manage.socketStateOfService(id), LNDP_E_SOCKET);
    REQUIRE_EQ(gl_manage.clearConfigCore(id), LNDP_OK);

    _T_LNDP_NETWORK_SETUP_PROPERTY own = prop(LNDP_ROLE_ANNOUNCER, local, port, "_zel-scp");
    own.ownPort = 1;
    REQUIRE_EQ(gl_manage.setConfigCore(id, own), LNDP_OK);
    interval();
    REQUIRE_EQ(gl_manage.socketStateOfService(id), 1);
    uint16_t from = 0;
    std::vector<uint8_t> got;
    REQUIRE(pump([&] { return !(got = device.receive(10, &from)).empty(); }));
    REQUIRE_EQ(got.size(), size_t(41));
    REQUIRE_NE(from, port);
    REQUIRE(device.sendTo(lndpDatagram(LNDP_ROLE_RESPONDER, "127.0.1.21", "_zel-scp"), "127.0.1.20", from));
    REQUIRE(pump([&] { return reportsFor(1) == 1; }));
    REQUIRE_EQ(gl_manage.socketStateOfService(id + 1), LNDP_E_PARAM);
}

TEST_CASE_FIXTURE(ManageFixture, "responderAnswersOncePerAnnouncement")
{
    const uint16_t port = freeUdpPort();
    const netc_addr local = lndpV4("127.0.1.4");
    UdpPeer peer("127.0.1.5", 0);
    int id = -1;
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(0 /* any other role: responder */, local, port, "svc")), LNDP_OK);
    interval();
    const std::vector<uint8_t> ann = lndpDatagram(LNDP_ROLE_ANNOUNCER, "127.0.1.5", "svc");
    int32_t rx, tx, notify, more;
    // A second announcement read while the first reply is still queued is
    // not answered (it differs in its status, so its reading is visible).
    REQUIRE(peer.sendTo(ann, "127.0.1.4", port));
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (gl_manage.txQueueLength(local, port) < 1 && std::chrono::steady_clock::now() < end) {
        gl_manage.runSocketCallback(rx, tx);
        gl_manage.runReceive(more, tx, notify);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    REQUIRE_EQ(gl_manage.txQueueLength(local, port), 1);
    REQUIRE(peer.sendTo(lndpDatagram(LNDP_ROLE_ANNOUNCER, "127.0.1.5", "svc", {}, 0x02, 1), "127.0.1.4", port));
    notify = 0;
    end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!notify && std::chrono::steady_clock::now() < end) {
        gl_manage.runSocketCallback(rx, tx);
        gl_manage.runReceive(more, tx, notify);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    REQUIRE_EQ(notify, 1);
    REQUIRE_EQ(gl_manage.txQueueLength(local, port), 1);
    REQUIRE(pump([&] { return gl_manage.txQueueLength(local, port) == 0; }));
    uint16_t from = 0;
    const std::vector<uint8_t> reply = peer.receive(2000, &from);
    REQUIRE_EQ(reply.size(), size_t(36));
    REQUIRE_EQ(reply[6], uint8_t(0x80));
    REQUIRE_EQ(from, port);
    REQUIRE(peer.receive(150).empty());
    REQUIRE_EQ(reportsFor(1), 1); // both readings before one notification: one report
    // Once the reply has left, the next announcement is answered again.
    REQUIRE(peer.sendTo(ann, "127.0.1.4", port));
    pump([] { return false; }, 50);
    REQUIRE_EQ(peer.receive(2000).size(), size_t(36));
    REQUIRE_EQ(gReports.back().host.senderRole, uint8_t(2));
}

TEST_CASE_FIXTURE(ManageFixture, "acceptanceByRoleAndName" * doctest::skip(!loopbackAddressesBindApart()))
{
    const uint16_t port = freeUdpPort();
    const netc_addr local = lndpV4("127.0.1.6");
    UdpPeer peer("127.0.1.7", 0);
    int a = -1, b = -1;
    REQUIRE_EQ(gl_manage.setConfigCore(a, prop(LNDP_ROLE_ANNOUNCER, local, port, "ann")), LNDP_OK);
    REQUIRE_EQ(gl_manage.setConfigCore(b, prop(LNDP_ROLE_LISTENING_ANNOUNCER, local, port, "both")), LNDP_OK);
    interval();
    pump([&] { return gl_manage.txQueueLength(local, port) == 0; });

    // Announcer accepts responders, never replies.
    REQUIRE(peer.sendTo(lndpDatagram(LNDP_ROLE_RESPONDER, "127.0.1.7", "ann"), "127.0.1.6", port));
    REQUIRE(pump([&] { return reportsFor(1) == 1; }));
    REQUIRE_EQ(gReports.back().host.senderRole, uint8_t(1));
    // Announcer ignores announcements; unknown names are ignored.
    REQUIRE(peer.sendTo(lndpDatagram(LNDP_ROLE_ANNOUNCER, "127.0.1.7", "ann"), "127.0.1.6", port));
    REQUIRE(peer.sendTo(lndpDatagram(LNDP_ROLE_RESPONDER, "127.0.1.7", "nobody"), "127.0.1.6", port));
    // Role 3 accepts both kinds and never answers.
    REQUIRE(peer.sendTo(lndpDatagram(LNDP_ROLE_ANNOUNCER, "127.0.1.7", "both"), "127.0.1.6", port));
    REQUIRE(pump([&] { return reportsFor(1) == 2; }));
    REQUIRE(peer.sendTo(lndpDatagram(LNDP_ROLE_RESPONDER, "127.0.1.7", "both"), "127.0.1.6", port));
    REQUIRE(pump([&] { return reportsFor(1) == 3; }));
    pump([] { return false; }, 50);
    REQUIRE_EQ(reportsFor(1), 3);
    REQUIRE_EQ(gl_manage.usedHostCount(), 3);
    REQUIRE(peer.receive(150).empty());
    // A malformed datagram changes nothing.
    std::vector<uint8_t> bad = lndpDatagram(LNDP_ROLE_RESPONDER, "127.0.1.7", "ann");
    bad[5] += 1;
    REQUIRE(peer.sendTo(bad, "127.0.1.6", port));
    pump([] { return false; }, 50);
    REQUIRE_EQ(gl_manage.usedHostCount(), 3);
    REQUIRE_EQ(gl_manage.socketStateOf(local, port), 1);
}

TEST_CASE_FIXTURE(ManageFixture, "tableLimits")
{
    const netc_addr l1 = lndpV4("127.0.1.8");
    const netc_addr l2 = lndpV4("127.0.1.9");
    const uint16_t port = freeUdpPort();
    int id = 5;
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(1, l1, port, "x")), LNDP_OK);
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(2, l1, port, "x")), LNDP_OK);
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(1, l1, port, "x")), LNDP_E_ALREADY);
    REQUIRE_EQ(id, -1);
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(3, l1, port, "x")), LNDP_E_ALREADY);
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(3, l1, port, "y")), LNDP_OK);
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(1, l1, port, "y")), LNDP_E_ALREADY);
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(2, l1, port, "z", 0)), LNDP_E_PARAM);
    // A failure on a new address leaves no binding behind.
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(2, l2, port, "z", 0)), LNDP_E_PARAM);
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(1, l2, port, "z")), LNDP_OK);
    REQUIRE_EQ(id, 3);
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(1, l2, port, "w")), LNDP_E_FULL); // fifth service
    REQUIRE_EQ(gl_manage.clearConfigCore(3), LNDP_OK);
    REQUIRE_EQ(gl_manage.clearConfigCore(3), LNDP_E_PARAM);
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(1, l2, port, "z")), LNDP_OK);
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(1, lndpV4("127.0.1.10"), port, "z")), LNDP_E_FULL);
    REQUIRE_EQ(gl_manage.clearConfigCore(-1), LNDP_E_PARAM);
    REQUIRE_EQ(gl_manage.clearConfigCore(4), LNDP_E_PARAM);

    // Unset or non-IPv4 addresses and oversized exInfo are refused.
    REQUIRE_EQ(gl_manage.clearConfigCore(3), LNDP_OK);
    netc_addr none;
    memset(&none, 0, sizeof none);
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(1, none, port, "z")), LNDP_E_PARAM);
    netc_addr v6 = l2;
    v6.family = NETC_AF_INET6;
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(1, v6, port, "z")), LNDP_E_PARAM);
    _T_LNDP_NETWORK_SETUP_PROPERTY p = prop(1, l2, port, "z");
    static uint8_t ex[1025];
    p.exInfo = ex;
    p.exInfoLen = 1025;
    REQUIRE_EQ(gl_manage.setConfigCore(id, p), LNDP_E_PARAM);
    p.exInfoLen = 1024;
    REQUIRE_EQ(gl_manage.setConfigCore(id, p), LNDP_OK);
}

TEST_CASE_FIXTURE(ManageFixture, "setupErrorOrder")
{
    const struct
    {
        const char* name;
        int services; // services in place first: 2 on two addresses, or 4
        const char* address;
        int role;
        const char* service;
        int intervalMs;
        int expected;
    } rows[] = {
        {"third address, announcer without interval", 2, "127.0.10.3", 2, "z", 0, int(LNDP_E_FULL)},
        {"third address, responder", 2, "127.0.10.3", 1, "z", 1000, int(LNDP_E_FULL)},
        {"unset address before full bindings", 2, "", 2, "z", 0, int(LNDP_E_PARAM)},
        {"duplicate before missing interval", 2, "127.0.10.1", 2, "x", 0, int(LNDP_E_ALREADY)},
        {"missing interval on a known address", 2, "127.0.10.1", 2, "z", 0, int(LNDP_E_PARAM)},
        {"missing interval before full services", 4, "127.0.10.1", 2, "z", 0, int(LNDP_E_PARAM)},
        {"duplicate before full services", 4, "127.0.10.2", 2, "y", 1000, int(LNDP_E_ALREADY)},
        {"full services", 4, "127.0.10.1", 1, "z", 1000, int(LNDP_E_FULL)},
        {"third address before full services", 4, "127.0.10.3", 2, "z", 0, int(LNDP_E_FULL)},
    };
    for (const auto& row : rows) {
        SUBCASE(row.name)
        {
            const int services = row.services;
            const char* address = row.address;
            const int role = row.role;
            const char* name = row.service;
            const int intervalMs = row.intervalMs;
            const int expected = row.expected;
            const uint16_t port = 54330; // no socket is opened: no pass runs
            const netc_addr a = lndpV4("127.0.10.1");
            const netc_addr b = lndpV4("127.0.10.2");
            int id = -1;
            REQUIRE_EQ(gl_manage.setConfigCore(id, prop(LNDP_ROLE_ANNOUNCER, a, port, "x")), LNDP_OK);
            REQUIRE_EQ(gl_manage.setConfigCore(id, prop(LNDP_ROLE_ANNOUNCER, b, port, "x")), LNDP_OK);
            if (services == 4) {
                REQUIRE_EQ(gl_manage.setConfigCore(id, prop(LNDP_ROLE_ANNOUNCER, a, port, "y")), LNDP_OK);
                REQUIRE_EQ(gl_manage.setConfigCore(id, prop(LNDP_ROLE_ANNOUNCER, b, port, "y")), LNDP_OK);
            }
            netc_addr local;
            memset(&local, 0, sizeof local);
            if (*address)
                local = lndpV4(address);
            id = 7;
            REQUIRE_EQ(gl_manage.setConfigCore(id, prop((uint8_t)role, local, port, name, (uint32_t)intervalMs)),
                       int32_t(expected));
            REQUIRE_EQ(id, -1);
        }
    }
}

TEST_CASE_FIXTURE(ManageFixture, "subscriberRules")
{
    const uint16_t port = freeUdpPort();
    const netc_addr local = lndpV4("127.0.1.11");
    UdpPeer peer("127.0.1.12", 0);
    int id = -1;
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(2, local, port, "s")), LNDP_OK);
    interval();
    REQUIRE(peer.sendTo(lndpDatagram(1, "127.0.1.12", "s"), "127.0.1.11", port));
    REQUIRE(pump([&] { return reportsFor(1) == 1; }));

    gl_manage.mainLock();
    REQUIRE_EQ(gl_manage.subscribeTask(1, otherCallback), LNDP_E_ALREADY);
    gReports.clear();
    // A new subscriber hears about the enabled host at once.
    REQUIRE_EQ(gl_manage.subscribeTask(2, recordHost), LNDP_OK);
    REQUIRE_EQ(gReports.size(), size_t(1));
    REQUIRE_EQ(gReports[0].enabled, uint8_t(1));
    REQUIRE_EQ(gl_manage.subscribeTask(3, otherCallback), LNDP_OK);
    REQUIRE_EQ(gl_manage.subscribeTask(4, otherCallback), LNDP_OK);
    REQUIRE_EQ(gl_manage.subscribeTask(5, otherCallback), LNDP_OK);
    REQUIRE_EQ(gl_manage.subscribeTask(6, otherCallback), LNDP_E_FULL);
    gl_manage.mainUnlock();

    // Every subscriber is told of a change, in table order.
    gReports.clear();
    REQUIRE(peer.sendTo(lndpDatagram(1, "127.0.1.12", "s", {}, 0x04), "127.0.1.11", port));
    REQUIRE(pump([&] { return gReports.size() == 2; }));

    gl_manage.finalize();
    REQUIRE_EQ(gl_manage.subscribeTask(1, recordHost), LNDP_E_NOTREADY);
    REQUIRE_EQ(gl_manage.initialize(oswrap_WaiSem, oswrap_SigSem, m_mainSem, m_vsockSem), LNDP_OK);
    REQUIRE_EQ(gl_manage.initialize(oswrap_WaiSem, oswrap_SigSem, m_mainSem, m_vsockSem), LNDP_E_ALREADY);
    REQUIRE_EQ(gl_manage.attachTask(testEvent), LNDP_OK);
    REQUIRE_EQ(gl_manage.attachTask(testEvent), LNDP_E_ALREADY);
}

TEST_CASE_FIXTURE(ManageFixture, "hostAgesOutAfter7000ms")
{
    const uint16_t port = freeUdpPort();
    const netc_addr local = lndpV4("127.0.1.13");
    UdpPeer peer("127.0.1.14", 0);
    int id = -1;
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(2, local, port, "s")), LNDP_OK);
    gl_manage.setState(LNDP_STATE_RUNNING);
    interval();
    REQUIRE(peer.sendTo(lndpDatagram(1, "127.0.1.14", "s"), "127.0.1.13", port));
    REQUIRE(pump([&] { return reportsFor(1) == 1; }));
    uint32_t count = 0;
    gl_manage.mainLock();
    REQUIRE_EQ(gl_manage.getNumOfActiveHost(count), LNDP_OK);
    gl_manage.mainUnlock();
    REQUIRE_EQ(count, 1u);

    // A refresh at +5000 restarts the age timer.
    gNow += 5000;
    interval();
    REQUIRE(peer.sendTo(lndpDatagram(1, "127.0.1.14", "s"), "127.0.1.13", port));
    REQUIRE((pump([&] { return gl_manage.usedHostCount() == 1 && gEvents.load() != 0; })));
    pump([] { return false; }, 30);
    REQUIRE_EQ(reportsFor(1), 1); // same record: no new report
    gNow += 6999;
    interval();
    pump([] { return false; }, 20);
    REQUIRE_EQ(reportsFor(0), 0);
    gNow += 1;
    int32_t rx, tx, notify;
    gl_manage.runInterval(rx, tx, notify);
    REQUIRE_EQ(notify, 1);
    REQUIRE_EQ(reportsFor(0), 0); // reported at the notification, not before
    gl_manage.notifyUpdateHostInfo();
    REQUIRE_EQ(reportsFor(0), 1);
    REQUIRE_EQ(gl_manage.usedHostCount(), 0);
    gl_manage.mainLock();
    REQUIRE_EQ(gl_manage.getNumOfActiveHost(count), LNDP_OK);
    gl_manage.mainUnlock();
    REQUIRE_EQ(count, 0u);
}

TEST_CASE_FIXTURE(ManageFixture, "hostChangesAndSecondEntry" * doctest::skip(!loopbackAddressesBindApart()))
{
    const uint16_t port = freeUdpPort();
    const netc_addr local = lndpV4("127.0.1.15");
    UdpPeer peerA("127.0.1.16", 0);
    UdpPeer peerB("127.0.1.17", 0);
    int id = -1;
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(2, local, port, "s")), LNDP_OK);
    gl_manage.setState(LNDP_STATE_RUNNING);
    interval();
    REQUIRE(peerA.sendTo(lndpDatagram(1, "127.0.1.16", "s", {0x00}), "127.0.1.15", port));
    REQUIRE(pump([&] { return reportsFor(1) == 1; }));
    // New exInfo: same entry, reported again.
    REQUIRE(peerA.sendTo(lndpDatagram(1, "127.0.1.16", "s", {0x01, 'q'}), "127.0.1.15", port));
    REQUIRE(pump([&] { return reportsFor(1) == 2; }));
    REQUIRE_EQ(gl_manage.usedHostCount(), 1);
    REQUIRE_EQ(gReports.back().host.exInfoLen, uint16_t(2));
    // Another MAC address from the same host is another device: a second entry.
    REQUIRE(peerA.sendTo(lndpDatagram(1, "127.0.1.16", "s", {0x01, 'q'}, 0x0A), "127.0.1.15", port));
    REQUIRE(pump([&] { return reportsFor(1) == 3; }));
    REQUIRE_EQ(gl_manage.usedHostCount(), 2);
    REQUIRE_EQ(gReports.back().host.macAddr[0], uint8_t(0x0A));
    // Same host address from another source address: a third entry.
    gNow += 3000;
    interval();
    REQUIRE(peerB.sendTo(lndpDatagram(1, "127.0.1.16", "s", {0x01, 'q'}, 0x0A), "127.0.1.15", port));
    REQUIRE(pump([&] { return reportsFor(1) == 4; }));
    REQUIRE_EQ(gl_manage.usedHostCount(), 3);
    _LNDP_HOST_INFO h;
    gl_manage.mainLock();
    REQUIRE_EQ(gl_manage.getHostInfoByIndex(2, h), LNDP_OK);
    REQUIRE_EQ(gl_manage.getHostInfoByIndex(3, h), LNDP_E_PARAM);
    gl_manage.mainUnlock();
    REQUIRE(lndp_addrEqual(&h.sourceAddr, ptrAddr("127.0.1.17")));
    // The first two age out first.
    gNow += 4000;
    interval();
    gl_manage.notifyUpdateHostInfo();
    REQUIRE_EQ(reportsFor(0), 2);
    REQUIRE(lndp_addrEqual(&gReports.back().host.sourceAddr, ptrAddr("127.0.1.16")));
    REQUIRE_EQ(gl_manage.usedHostCount(), 1);
}

TEST_CASE_FIXTURE(ManageFixture, "datagramBeforeNotifyKeepsHost")
{
    const uint16_t port = freeUdpPort();
    const netc_addr local = lndpV4("127.0.1.18");
    UdpPeer peer("127.0.1.19", 0);
    int id = -1;
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(2, local, port, "s")), LNDP_OK);
    interval();
    REQUIRE(peer.sendTo(lndpDatagram(1, "127.0.1.19", "s"), "127.0.1.18", port));
    REQUIRE(pump([&] { return reportsFor(1) == 1; }));
    gNow += 7000;
    interval(); // entry disabled and changed, not yet reported
    REQUIRE(peer.sendTo(lndpDatagram(1, "127.0.1.19", "s"), "127.0.1.18", port));
    int32_t rx, tx, notify = 0, more;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!notify && std::chrono::steady_clock::now() < end) {
        gl_manage.runSocketCallback(rx, tx);
        gl_manage.runReceive(more, tx, notify);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    gl_manage.notifyUpdateHostInfo();
    REQUIRE_EQ(reportsFor(0), 0);
    REQUIRE_EQ(reportsFor(1), 2);
    REQUIRE_EQ(gl_manage.usedHostCount(), 1);
}

TEST_CASE_FIXTURE(ManageFixture, "setupAgainReportsHeldHosts" * doctest::skip(!loopbackAddressesBindApart()))
{
    // Two bindings, each with one responder host; the service of the first
    // is removed and set up again before its host ages out.
    const uint16_t port = freeUdpPort();
    const netc_addr a = lndpV4("127.0.10.4");
    const netc_addr b = lndpV4("127.0.10.6");
    UdpPeer peerA("127.0.10.5", 0);
    UdpPeer peerB("127.0.10.7", 0);
    int idA = -1, idB = -1;
    REQUIRE_EQ(gl_manage.setConfigCore(idA, prop(LNDP_ROLE_ANNOUNCER, a, port, "_zel-scp")), LNDP_OK);
    REQUIRE_EQ(gl_manage.setConfigCore(idB, prop(LNDP_ROLE_ANNOUNCER, b, port, "_zel-scp")), LNDP_OK);
    interval();
    REQUIRE(peerA.sendTo(lndpDatagram(LNDP_ROLE_RESPONDER, "127.0.10.5", "_zel-scp"), "127.0.10.4", port));
    REQUIRE(peerB.sendTo(lndpDatagram(LNDP_ROLE_RESPONDER, "127.0.10.7", "_zel-scp"), "127.0.10.6", port));
    REQUIRE(pump([] { return reportsFor(1) == 2; }));
    // Nothing new: answers of known hosts raise no report.
    REQUIRE(peerA.sendTo(lndpDatagram(LNDP_ROLE_RESPONDER, "127.0.10.5", "_zel-scp"), "127.0.10.4", port));
    pump([] { return false; }, 50);
    REQUIRE_EQ(reportsFor(1), 2);

    REQUIRE_EQ(gl_manage.clearConfigCore(idA), LNDP_OK);
    gEvents = 0;
    REQUIRE_EQ(gl_manage.setConfigCore(idA, prop(LNDP_ROLE_ANNOUNCER, a, port, "_zel-scp")), LNDP_OK);
    REQUIRE((gEvents.load() & (1u << LNDP_EVENT_NOTIFY)) != 0);
    REQUIRE(pump([] { return reportsFor(1) == 3; }));
    pump([] { return false; }, 50);
    REQUIRE_EQ(reportsFor(1), 3); // only the host of the binding set up again
    REQUIRE(lndp_addrEqual(&gReports.back().host.sourceAddr, ptrAddr("127.0.10.5")));
    REQUIRE(lndp_addrEqual(&gReports.back().host.localAddr, &a));
    REQUIRE_EQ(reportsFor(0), 0);

    // A host that has aged out is reported lost, not again.
    gNow += LNDP_HOST_AGE_MS;
    interval();
    REQUIRE(pump([] { return reportsFor(0) == 2; }));
    gEvents = 0;
    REQUIRE_EQ(gl_manage.clearConfigCore(idA), LNDP_OK);
    REQUIRE_EQ(gl_manage.setConfigCore(idA, prop(LNDP_ROLE_ANNOUNCER, a, port, "_zel-scp")), LNDP_OK);
    REQUIRE_EQ(gEvents.load() & (1u << LNDP_EVENT_NOTIFY), 0u);
    pump([] { return false; }, 50);
    REQUIRE_EQ(reportsFor(1), 3);
}

TEST_CASE_FIXTURE(ManageFixture, "fullHostTableIsToldOncePerSetup")
{
    gPrinted.clear();
    gl_manage.setDiagnosticOutput(capture);
    const uint16_t port = freeUdpPort();
    const netc_addr local = lndpV4("127.0.10.8");
    int id = -1;
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(LNDP_ROLE_ANNOUNCER, local, port, "_h")), LNDP_OK);
    interval();
    std::vector<std::unique_ptr<UdpPeer>> peers;
    std::vector<std::string> ips;
    for (int i = 0; i < 35; ++i) {
        ips.push_back("127.0.11." + std::to_string(1 + i));
        peers.push_back(std::make_unique<UdpPeer>(ips.back().c_str(), 0));
        REQUIRE(peers.back()->ok());
    }
    // A known host that changes its status: once its report arrives, every
    // datagram sent before it has been read.
    int sentinelStatus = 0;
    auto sentinel = [&] {
        ++sentinelStatus;
        const int before = reportsFor(1);
        peers[0]->sendTo(
            lndpDatagram(LNDP_ROLE_RESPONDER, ips[0].c_str(), "_h", {}, 0x02, (uint8_t)(sentinelStatus & 0x0F)),
            "127.0.10.8", port);
        return pump([&] { return reportsFor(1) > before; });
    };
    const std::string line = "LNDP host table full (32 hosts): further hosts are not listed\n";

    for (int i = 0; i < 35; ++i)
        REQUIRE(peers[i]->sendTo(lndpDatagram(LNDP_ROLE_RESPONDER, ips[i].c_str(), "_h"), "127.0.10.8", port));
    REQUIRE(pump([] { return reportsFor(1) == 32; }));
    REQUIRE(sentinel());
    REQUIRE_EQ(gl_manage.usedHostCount(), 32);
    REQUIRE_EQ(gPrinted, line);
    // The refused hosts keep answering: nothing more is said.
    for (int i = 32; i < 35; ++i)
        REQUIRE(peers[i]->sendTo(lndpDatagram(LNDP_ROLE_RESPONDER, ips[i].c_str(), "_h"), "127.0.10.8", port));
    REQUIRE(sentinel());
    REQUIRE_EQ(gPrinted, line);

    // A new set-up (the next scan) says it again, once.
    REQUIRE_EQ(gl_manage.clearConfigCore(id), LNDP_OK);
    const int reported = reportsFor(1);
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(LNDP_ROLE_ANNOUNCER, local, port, "_h")), LNDP_OK);
    REQUIRE(pump([&] { return reportsFor(1) == reported + 32; })); // the hosts it still holds
    interval();
    for (int i = 32; i < 35; ++i)
        REQUIRE(peers[i]->sendTo(lndpDatagram(LNDP_ROLE_RESPONDER, ips[i].c_str(), "_h"), "127.0.10.8", port));
    REQUIRE(sentinel());
    REQUIRE_EQ(gPrinted, line + line);
    gl_manage.setDiagnosticOutput(nullptr);
}

// Announcements from more hosts than the table holds reach a responder:
// each host it lists gets its reply queued, the others are not listed.
TEST_CASE_FIXTURE(ManageFixture, "hostTableHoldsTheCapacityGivenAtStartUp")
{
    const struct
    {
        const char* name;
        uint32_t capacity; // 0: the fixture's engine, started without one
        int listed;
    } rows[] = {
        {"default", 0, 32},
        {"33", 33, 33},
        {"256", 256, 40},
    };
    for (const auto& row : rows) {
        SUBCASE(row.name)
        {
            const int listed = row.listed;
            if (row.capacity != 0) {
                gl_manage.finalize();
                start(row.capacity);
            }
            const uint16_t port = freeUdpPort();
            const netc_addr local = lndpV4("127.0.12.1");
            int id = -1;
            REQUIRE_EQ(gl_manage.setConfigCore(id, prop(LNDP_ROLE_RESPONDER, local, port, "_c")), LNDP_OK);
            interval();
            std::vector<std::unique_ptr<UdpPeer>> peers;
            std::vector<std::string> ips;
            for (int i = 0; i < 40; ++i) {
                ips.push_back("127.0.12." + std::to_string(10 + i));
                peers.push_back(std::make_unique<UdpPeer>(ips.back().c_str(), 0));
                REQUIRE(peers.back()->sendTo(lndpDatagram(LNDP_ROLE_ANNOUNCER, ips.back().c_str(), "_c"), "127.0.12.1",
                                             port));
            }
            // No send pass: the replies stay queued. The first host, listed
            // in any case, changes its status last: once that is reported,
            // every datagram before it has been read.
            REQUIRE(peers[0]->sendTo(lndpDatagram(LNDP_ROLE_ANNOUNCER, ips[0].c_str(), "_c", {}, 0x02, 1), "127.0.12.1",
                                     port));
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (reportsFor(1) < listed + 1 && std::chrono::steady_clock::now() < end) {
                int32_t rx, tx, notify, more;
                gl_manage.runSocketCallback(rx, tx);
                gl_manage.runReceive(more, tx, notify);
                gl_manage.notifyUpdateHostInfo();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            REQUIRE_EQ(reportsFor(1), listed + 1);
            REQUIRE_EQ(gReports.back().host.status, uint8_t(1));
            REQUIRE_EQ(gl_manage.usedHostCount(), listed);
            REQUIRE_EQ(gl_manage.txQueueLength(local, port), listed);
        }
    }
}

// An announcer's datagram also goes by unicast to the probed address, with
// every announcement; a new address takes over, also from a probe queued.
TEST_CASE_FIXTURE(ManageFixture, "probeGoesWithEveryAnnouncement" * doctest::skip(!loopbackAddressesBindApart()))
{
    const uint16_t port = freeUdpPort();
    const netc_addr local = lndpV4("127.0.12.60");
    UdpPeer broadcast("127.0.12.61", port);
    UdpPeer first("127.0.13.1", port);
    UdpPeer second("127.0.13.2", port);
    REQUIRE((broadcast.ok() && first.ok() && second.ok()));
    int id = -1;
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(LNDP_ROLE_ANNOUNCER, local, port, "_p")), LNDP_OK);
    gEvents = 0;
    REQUIRE_EQ(gl_manage.probeCore(id, lndpV4("127.0.13.1")), LNDP_OK);
    REQUIRE((gEvents.load() & (1u << LNDP_EVENT_SETUP)) != 0); // the task runs the interval pass now
    const auto announce = [&] {
        interval();
        return pump([&] { return gl_manage.txQueueLength(local, port) == 0; });
    };
    REQUIRE(announce());
    const std::vector<uint8_t> announced = broadcast.receive(2000);
    REQUIRE_EQ(announced.size(), size_t(35));
    REQUIRE_EQ(first.receive(2000), announced);
    gNow += 1000;
    REQUIRE(announce());
    REQUIRE_EQ(broadcast.receive(2000), announced);
    REQUIRE_EQ(first.receive(2000), announced);

    gNow += 1000;
    interval(); // announcement and probe queued, not sent
    REQUIRE_EQ(gl_manage.txQueueLength(local, port), 2);
    REQUIRE_EQ(gl_manage.probeCore(id, lndpV4("127.0.13.2")), LNDP_OK);
    REQUIRE_EQ(gl_manage.txQueueLength(local, port), 1);
    REQUIRE(announce());
    REQUIRE_EQ(broadcast.receive(2000), announced);
    REQUIRE_EQ(second.receive(2000), announced);
    REQUIRE(first.receive(100).empty());
    REQUIRE(broadcast.receive(0).empty()); // one announcement per interval
}

TEST_CASE_FIXTURE(ManageFixture, "removingServiceStopsTraffic" * doctest::skip(!loopbackAddressesBindApart()))
{
    const uint16_t port = freeUdpPort();
    const netc_addr local = lndpV4("127.0.1.20");
    UdpPeer peer("127.0.1.21", port);
    int id = -1;
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(2, local, port, "s")), LNDP_OK);
    interval();
    REQUIRE(pump([&] { return gl_manage.txQueueLength(local, port) == 0; }));
    REQUIRE_EQ(peer.receive(2000).size(), size_t(34));
    REQUIRE(peer.sendTo(lndpDatagram(1, "127.0.1.21", "s"), "127.0.1.20", port));
    REQUIRE(pump([&] { return reportsFor(1) == 1; }));
    const int32_t sock = gl_manage.socketIdOf(local, port);
    REQUIRE(sock >= 0);
    REQUIRE_EQ(gl_manage.clearConfigCore(id), LNDP_OK);
    REQUIRE_EQ(gl_manage.socketIdOf(local, port), -1);
    REQUIRE_EQ(vsock_wrappedSocketGetSockStatus(sock), 0);
    gNow += 7000;
    interval();
    pump([] { return false; }, 30);
    REQUIRE(peer.receive(100).empty());
    REQUIRE_EQ(reportsFor(0), 1); // the binding's host ages out as usual
    int32_t more, tx, notify;
    REQUIRE_EQ(gl_manage.runReceive(more, tx, notify), LNDP_OK); // no binding left
}

TEST_CASE_FIXTURE(ManageFixture, "burstDuringSocketCreationIsReadCompletely")
{
    gl_manage.finalize();
    gGate.vsockSem = m_vsockSem;
    gGate.armed = true;
    gGate.engineWaiting = gGate.open = false;
    gGate.otherLocks = 0;
    REQUIRE_EQ(gl_manage.initialize(gatedWait, oswrap_SigSem, m_mainSem, m_vsockSem), LNDP_OK);
    REQUIRE_EQ(gl_manage.attachTask(testEvent), LNDP_OK);
    gl_manage.mainLock();
    REQUIRE_EQ(gl_manage.subscribeTask(1, recordHost), LNDP_OK);
    gl_manage.mainUnlock();

    const uint16_t port = freeUdpPort();
    const netc_addr local = lndpV4("127.0.1.30");
    UdpPeer peer("127.0.1.31", 0);
    REQUIRE(peer.ok());
    int id = -1;
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(LNDP_ROLE_ANNOUNCER, local, port, "s")), LNDP_OK);
    std::thread engine([] {
        tlEngineThread = true;
        interval();
    });
    const auto release = [&] {
        {
            std::lock_guard<std::mutex> g(gGate.m);
            gGate.open = true;
        }
        gGate.cv.notify_all();
        engine.join();
    };
    {
        std::unique_lock<std::mutex> g(gGate.m);
        const bool atGate = gGate.cv.wait_for(g, std::chrono::seconds(5), [] { return gGate.engineWaiting; });
        g.unlock();
        if (!atGate)
            release();
        REQUIRE_MESSAGE(atGate, "the engine did not reach its vsock lock while opening the socket");
    }
    // The socket exists; the engine does not know its id yet.
    const int burst = 12;
    const std::vector<uint8_t> d = lndpDatagram(LNDP_ROLE_RESPONDER, "127.0.1.31", "s");
    bool sent = true;
    for (int i = 0; i < burst; ++i)
        sent = peer.sendTo(d, "127.0.1.30", port) && sent;
    bool stored = false;
    {
        std::unique_lock<std::mutex> g(gGate.m);
        stored = gGate.cv.wait_for(g, std::chrono::seconds(5), [&] { return gGate.otherLocks >= burst; });
    }
    release();
    REQUIRE(sent);
    REQUIRE_MESSAGE(stored, "the socket task did not report the burst");
    const int32_t sockId = gl_manage.socketIdOf(local, port);
    REQUIRE(sockId >= 0);

    // Receive passes until the engine has nothing more to read and no event
    // is left: a quiet moment.
    int32_t rx = 1, tx, notify, more = 1;
    for (int pass = 0; pass < 1000 && (more || rx); ++pass) {
        gl_manage.runReceive(more, tx, notify);
        gl_manage.runSocketCallback(rx, tx);
    }
    REQUIRE_EQ(more, 0);
    char buf[LNDP_MAX_DATAGRAM];
    REQUIRE_EQ(vsock_wrappedSocketRecvUdp(sockId, buf, (int32_t)sizeof buf, nullptr), VSOCK_E_NODATA);
    gl_manage.notifyUpdateHostInfo();
    REQUIRE_EQ(reportsFor(1), 1);
}

TEST_CASE_FIXTURE(ManageFixture,
                  "socketFailureRecoversAndAnnouncesAgain" * doctest::skip(!loopbackAddressesBindApart()))
{
    const uint16_t port = freeUdpPort();
    const netc_addr local = lndpV4("127.0.1.22");
    UdpPeer peer("127.0.1.23", port);
    int id = -1;
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(2, local, port, "s")), LNDP_OK);
    interval(); // announcement queued, not sent yet
    REQUIRE_EQ(gl_manage.txQueueLength(local, port), 1);
    // A datagram too big for the receive buffer fails the socket.
    REQUIRE(peer.sendTo(std::vector<uint8_t>(1500, 'L'), "127.0.1.22", port));
    int32_t rx, tx, notify, more;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (gl_manage.socketStateOf(local, port) == 1 && std::chrono::steady_clock::now() < end) {
        gl_manage.runSocketCallback(rx, tx);
        gl_manage.runReceive(more, tx, notify);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    REQUIRE_EQ(gl_manage.socketStateOf(local, port), 0);
    REQUIRE_EQ(gl_manage.txQueueLength(local, port), 0);
    int32_t moreTx, other;
    gl_manage.runSend(moreTx, other);
    REQUIRE_EQ(gl_manage.runReceive(more, tx, notify), LNDP_E_SOCKET);
    interval(); // new socket; the announcement waits for its timer
    REQUIRE_EQ(gl_manage.socketStateOf(local, port), 1);
    REQUIRE_EQ(gl_manage.txQueueLength(local, port), 0);
    gNow += 1000;
    interval();
    REQUIRE(pump([&] { return gl_manage.txQueueLength(local, port) == 0; }));
    REQUIRE_EQ(peer.receive(2000).size(), size_t(34));
}

TEST_CASE_FIXTURE(ManageFixture, "sendPassIsBounded")
{
    const uint16_t port = freeUdpPort();
    const netc_addr local = lndpV4("127.0.1.24");
    int id = -1;
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(1, local, port, "r")), LNDP_OK);
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(2, local, port, "a1")), LNDP_OK);
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(2, local, port, "a2")), LNDP_OK);
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(2, local, port, "a3")), LNDP_OK);
    interval(); // three announcements queued
    std::vector<std::unique_ptr<UdpPeer>> peers;
    for (int i = 0; i < 32; ++i) {
        const std::string ip = "127.0.2." + std::to_string(100 + i);
        peers.push_back(std::make_unique<UdpPeer>(ip.c_str(), 0));
        REQUIRE(peers.back()->sendTo(lndpDatagram(2, ip.c_str(), "r"), "127.0.1.24", port));
    }
    int32_t rx, tx, notify, more, other;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (gl_manage.usedHostCount() < 32 && std::chrono::steady_clock::now() < end) {
        gl_manage.runSocketCallback(rx, tx);
        gl_manage.runReceive(more, tx, notify);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    REQUIRE_EQ(gl_manage.usedHostCount(), 32);
    REQUIRE_EQ(gl_manage.txQueueLength(local, port), 35); // every announcement and reply that can exist
    // With the socket gone every send fails at once: 3 steps per datagram,
    // so one pass of 100 steps cannot empty a queue of 35.
    REQUIRE_EQ(vsock_wrappedSocketDeleteSock(gl_manage.socketIdOf(local, port)), 0);
    gl_manage.runSend(more, other);
    REQUIRE_EQ(more, 1);
    REQUIRE_EQ(other, 0);
    REQUIRE_EQ(gl_manage.txQueueLength(local, port), 2);
    gl_manage.runSend(more, other);
    REQUIRE_EQ(more, 0);
    REQUIRE_EQ(gl_manage.txQueueLength(local, port), 0);
}

TEST_CASE_FIXTURE(ManageFixture, "removingOneOfTwoServicesKeepsQueueSound")
{
    const uint16_t port = freeUdpPort();
    const netc_addr local = lndpV4("127.0.1.25");
    UdpPeer peer("127.0.1.26", 0);
    int resp = -1, ann = -1;
    REQUIRE_EQ(gl_manage.setConfigCore(resp, prop(1, local, port, "d")), LNDP_OK);
    REQUIRE_EQ(gl_manage.setConfigCore(ann, prop(2, local, port, "d")), LNDP_OK);
    interval(); // the announcer's datagram is queued
    REQUIRE_EQ(gl_manage.txQueueLength(local, port), 1);
    REQUIRE(peer.sendTo(lndpDatagram(2, "127.0.1.26", "d"), "127.0.1.25", port));
    int32_t rx, tx, notify, more;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (gl_manage.txQueueLength(local, port) < 2 && std::chrono::steady_clock::now() < end) {
        gl_manage.runSocketCallback(rx, tx);
        gl_manage.runReceive(more, tx, notify);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    REQUIRE_EQ(gl_manage.txQueueLength(local, port), 2);
    // Removing the responder withdraws its queued reply; the announcer stays.
    REQUIRE_EQ(gl_manage.clearConfigCore(resp), LNDP_OK);
    REQUIRE_EQ(gl_manage.txQueueLength(local, port), 1);
    REQUIRE(pump([&] { return gl_manage.txQueueLength(local, port) == 0; }));
    REQUIRE(peer.receive(150).empty()); // no reply, and nothing zeroed on the wire
    // The host's reply slot is free again for a new responder.
    REQUIRE_EQ(gl_manage.setConfigCore(resp, prop(1, local, port, "d")), LNDP_OK);
    interval();
    REQUIRE(peer.sendTo(lndpDatagram(2, "127.0.1.26", "d"), "127.0.1.25", port));
    pump([] { return false; }, 50);
    const std::vector<uint8_t> r = peer.receive(2000);
    REQUIRE_EQ(r.size(), size_t(34));
    REQUIRE_EQ(r[6], uint8_t(0x80));
}

// A service removed while its finished send waits to be accounted takes its
// datagram out of the queue, but not the failure the socket reported for
// it: an unusable send still replaces the socket.
TEST_CASE_FIXTURE(ManageFixture, "withdrawnHeadKeepsItsStoredSendFailure")
{
    const uint16_t port = freeUdpPort();
    const netc_addr local = lndpV4("127.0.1.30"); // broadcast 127.0.1.31: nobody answers
    int resp = -1, ann = -1;
    REQUIRE_EQ(gl_manage.setConfigCore(resp, prop(1, local, port, "w")), LNDP_OK);
    REQUIRE_EQ(gl_manage.setConfigCore(ann, prop(2, local, port, "w")), LNDP_OK);
    interval();
    REQUIRE_EQ(gl_manage.socketStateOf(local, port), 1);
    REQUIRE_EQ(gl_manage.txQueueLength(local, port), 1);
    const int32_t sock = gl_manage.socketIdOf(local, port);
    gEvents = 0;
    int32_t more = 0, other = 0, rx = 0, tx = 0;
    gl_manage.runSend(more, other); // the announcement is in flight
    // Its completion is the only socket event this binding gets.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!(gEvents.load() & (1u << LNDP_EVENT_SOCKET)) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    REQUIRE((gEvents.load() & (1u << LNDP_EVENT_SOCKET)) != 0);
    // The socket layer reports the send as unusable (as for a bad destination).
    netc_sock_cb_prm failed = {NETC_SOCK_EV_SEND, VSOCK_E_PARAM};
    gl_manage.onSocketEvent(sock, &failed);
    gl_manage.runSocketCallback(rx, tx);
    REQUIRE_EQ(tx, 1);
    REQUIRE_EQ(gl_manage.clearConfigCore(ann), LNDP_OK);
    REQUIRE_EQ(gl_manage.txQueueLength(local, port), 0);
    gl_manage.runSend(more, other);
    REQUIRE_EQ(gl_manage.socketStateOf(local, port), 0); // closed, to be opened again
    interval();
    REQUIRE_EQ(gl_manage.socketStateOf(local, port), 1);
}

TEST_CASE_FIXTURE(ManageFixture, "statusAndInterval")
{
    const uint16_t port = freeUdpPort();
    const netc_addr local = lndpV4("127.0.1.27");
    int id = -1;
    _T_LNDP_NETWORK_SETUP_PROPERTY p = prop(2, local, port, "s", 1000, "255.255.255.255");
    REQUIRE_EQ(gl_manage.setConfigCore(id, p), LNDP_OK);
    REQUIRE_EQ(gl_manage.getStatusCore(id), 0);
    REQUIRE_EQ(gl_manage.changeStatusCore(id, 1), LNDP_OK);
    REQUIRE_EQ(gl_manage.getStatusCore(id), 1);
    REQUIRE_EQ(gl_manage.changeStatusCore(3, 1), LNDP_E_PARAM);
    REQUIRE_EQ(gl_manage.getStatusCore(3), LNDP_E_PARAM);
    REQUIRE_EQ(gl_manage.changeTimeCore(id, 5000), LNDP_OK);
    int r = -1;
    REQUIRE_EQ(gl_manage.setConfigCore(r, prop(1, local, port, "s")), LNDP_OK);
    REQUIRE_EQ(gl_manage.changeTimeCore(r, 5000), LNDP_E_PARAM); // responders have no timer

    // mask /32: the "broadcast" is the address itself, which the engine
    // drops as its own. The new interval applies from the first start.
    interval();
    pump([&] { return gl_manage.txQueueLength(local, port) == 0; });
    gNow += 1000;
    int32_t rx, tx = 0, notify;
    gl_manage.runInterval(rx, tx, notify);
    REQUIRE_EQ(tx, 0);
    gNow += 4000;
    gl_manage.runInterval(rx, tx, notify);
    REQUIRE_EQ(tx, 1);
}

TEST_CASE_FIXTURE(ManageFixture, "diagnosticDumps" * doctest::skip(!loopbackAddressesBindApart()))
{
    const uint16_t port = freeUdpPort();
    const netc_addr local = lndpV4("127.0.1.28");
    UdpPeer peer("127.0.1.29", 0);
    int id = -1;
    REQUIRE_EQ(gl_manage.setConfigCore(id, prop(2, local, port, "svc")), LNDP_OK);
    interval();
    REQUIRE(peer.sendTo(lndpDatagram(1, "10.1.2.3", "svc"), "127.0.1.28", port));
    REQUIRE(pump([&] { return reportsFor(1) == 1; }));
    gPrinted.clear();
    gl_manage.printHostList(capture);
    REQUIRE_EQ(gPrinted, std::string(" 0:(O) [ SERVICE:svc             , CPU IP:10.1.2.3            , "
                                     "COM IP:127.0.1.29          , ]\n"));
    gPrinted.clear();
    gl_manage.debugPrintStatus(capture);
    REQUIRE_EQ(gPrinted, std::string("[\n< 0:IP:127.0.1.28, ]\n"));
}

int main(int argc, char** argv)
{
    T_OSWRAP_CSEM sem = {0, 1, "TMAIN"};
    if (oswrap_init() != 0 || vsock_wrappedSocketInitModule() != 0 || oswrap_AcreSem(&gMainSem, &sem) != 0) {
        fprintf(stderr, "the OS wrapper or the socket module did not start\n");
        return 1;
    }
    sem.name = "TVSOCK";
    if (oswrap_AcreSem(&gVsockSem, &sem) != 0) {
        fprintf(stderr, "no semaphore for the socket lock\n");
        return 1;
    }
    oswrap_VsetClkSrc(testClock);
    doctest::Context context(argc, argv);
    const int result = context.run();
    oswrap_VsetClkSrc(nullptr);
    vsock_wrappedSocketEndModule();
    oswrap_exit();
    return result;
}
