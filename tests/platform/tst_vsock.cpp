// Socket wrapper on loopback only: validation, table limits, a UDP exchange
// between two managed sockets, send completion and the second-send refusal,
// the receive ring (full, too-small buffer, wrap-around, oversized
// datagrams), multicast join/leave on loopback, address text conversion,
// read-only local addresses, TCP, concurrency and module restart.
#include <doctest/doctest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "oswrap_api.h"
#include "vsock_wrappedSocketIf.h"

using namespace std::chrono;

namespace {

struct Event
{
    int32_t id;
    int32_t code;
    int32_t result;
};

// Collects socket events; the callback runs on the socket task.
struct Recorder
{
    std::mutex m;
    std::condition_variable cv;
    std::vector<Event> events;

    void add(int32_t id, const netc_sock_cb_prm* p)
    {
        std::lock_guard<std::mutex> g(m);
        events.push_back({id, p->event, p->result});
        cv.notify_all();
    }
    int count(int32_t id, int32_t code)
    {
        std::lock_guard<std::mutex> g(m);
        int n = 0;
        for (auto& e : events)
            n += e.id == id && e.code == code;
        return n;
    }
    // Waits until at least n events (id, code) have arrived.
    bool waitFor(int32_t id, int32_t code, int n, int timeoutMs = 10000)
    {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, milliseconds(timeoutMs), [&] {
            int c = 0;
            for (auto& e : events)
                c += e.id == id && e.code == code;
            return c >= n;
        });
    }
    std::vector<int32_t> results(int32_t id, int32_t code)
    {
        std::lock_guard<std::mutex> g(m);
        std::vector<int32_t> r;
        for (auto& e : events)
            if (e.id == id && e.code == code)
                r.push_back(e.result);
        return r;
    }
    void clear()
    {
        std::lock_guard<std::mutex> g(m);
        events.clear();
    }
};

Recorder gRec;
std::atomic<int> gStateCalls{0};
std::atomic<int> gLastState{-1};

void onEvent(int32_t id, netc_sock_cb_prm* p)
{
    gRec.add(id, p);
}
void onState(int32_t s)
{
    gStateCalls++;
    gLastState = s;
}

netc_addr ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    netc_addr x{};
    x.family = NETC_AF_INET;
    x.addr[0] = a;
    x.addr[1] = b;
    x.addr[2] = c;
    x.addr[3] = d;
    return x;
}

T_VSOCK_SOCK_OPTION opts()
{
    return {VSOCK_OPT_CALLBACK, 0, onEvent};
}

int32_t udpOnLoopback()
{
    T_VSOCK_CREATE_SOCK c{};
    c.type = VSOCK_TYPE_UDP;
    c.localAddr = ipv4(127, 0, 0, 1);
    T_VSOCK_SOCK_OPTION o = opts();
    return vsock_wrappedSocketCreateSock(&c, &o);
}

netc_endpoint endpointOf(int32_t id)
{
    netc_endpoint ep{};
    vsock_wrappedSocketGetLocalEndpoint(id, &ep);
    return ep;
}

std::string hex(int32_t v)
{
    char buf[16];
    snprintf(buf, sizeof buf, "%x", unsigned(v));
    return buf;
}

// The bytes a string of hex digits spells.
std::string fromHex(const char* digits)
{
    std::string bytes;
    for (const char* p = digits; p[0] && p[1]; p += 2)
        bytes += char(std::stoi(std::string(p, 2), nullptr, 16));
    return bytes;
}

std::string text(const netc_addr& a)
{
    char buf[64];
    return vsock_ntop(&a, buf, sizeof buf) == 0 ? std::string(buf) : std::string();
}

} // namespace

// Every case starts the socket module afresh and ends it; the OS wrapper
// runs for the whole program.
struct VsockFixture
{
    VsockFixture()
    {
        gRec.clear();
        REQUIRE_EQ(vsock_wrappedSocketInitModule(), 0);
    }
    ~VsockFixture() { vsock_wrappedSocketEndModule(); }
};

TEST_CASE_FIXTURE(VsockFixture, "callsBeforeStartAreRefused")
{
    REQUIRE_EQ(vsock_wrappedSocketEndModule(), 0);
    REQUIRE_EQ(udpOnLoopback(), VSOCK_E_NOTREADY);
    REQUIRE_EQ(vsock_wrappedSocketDeleteSock(0), VSOCK_E_NOTREADY);
    char b[4];
    REQUIRE_EQ(vsock_wrappedSocketRecvUdp(0, b, 4, nullptr), VSOCK_E_NOTREADY);
    T_VSOCK_LOCAL_ADDR la[2];
    REQUIRE_EQ(vsock_wrappedSocketGetLocalAddr(0, 4, la, 2), VSOCK_E_NOTREADY);
    netc_addr a{};
    REQUIRE_EQ(vsock_pton(4, "10.0.0.1", &a), 0); // conversions need no module
    REQUIRE_EQ(vsock_wrappedSocketInitModule(), 0);
    REQUIRE_EQ(vsock_wrappedSocketInitModule(), 0); // already started
    REQUIRE_EQ(vsock_wrappedSocketCanSendMulticast(), 1);
    // The address is checked before any system call.
    REQUIRE_EQ(vsock_wrappedSocketSendGARP(nullptr), VSOCK_E_PARAM);
    netc_addr v6{};
    v6.family = NETC_AF_INET6;
    REQUIRE_EQ(vsock_wrappedSocketSendGARP(&v6), VSOCK_E_PARAM);
#ifdef _WIN32
    // Only ever loopback here, so that no ARP leaves the machine: Windows
    // answers from its own table, Wine has no SendARP at all.
    const netc_addr lo = ipv4(127, 0, 0, 1);
    const int32_t r = vsock_wrappedSocketSendGARP(&lo);
    REQUIRE_MESSAGE((r == 0 || r == VSOCK_E_NOSPT || r == VSOCK_E_OTHER), hex(r));
#else
    REQUIRE_EQ(vsock_wrappedSocketSendGARP(&a), VSOCK_E_NOSPT);
#endif
}

TEST_CASE_FIXTURE(VsockFixture, "everyCallBeforeStartIsRefused")
{
    static const char d[] = "x";
    static netc_endpoint ep{};
    static netc_addr group = ipv4(239, 255, 0, 1);
    static T_VSOCK_SOCK_OPTION o = opts();
    const struct
    {
        const char* name;
        std::function<int32_t()> call;
    } rows[] = {
        {"create", [] { return udpOnLoopback(); }},
        {"delete", [] { return vsock_wrappedSocketDeleteSock(0); }},
        {"send", [] { return vsock_wrappedSocketSendUdp(0, d, 1, &ep, -1); }},
        {"local endpoint", [] { return vsock_wrappedSocketGetLocalEndpoint(0, &ep); }},
        {"join", [] { return vsock_wrappedSocketAddMulticastAddr(0, &group); }},
        {"leave", [] { return vsock_wrappedSocketDelMulticastAddr(0, &group); }},
        {"set option", [] { return vsock_wrappedSocketSetSockOption(0, &o); }},
        {"socket status", [] { return vsock_wrappedSocketGetSockStatus(0); }},
        {"state callback", [] { return vsock_wrappedSocketSetStateCallback(onState); }},
        {"can send multicast", [] { return vsock_wrappedSocketCanSendMulticast(); }},
        {"gratuitous ARP", [] { return vsock_wrappedSocketSendGARP(&group); }},
    };
    for (const auto& row : rows) {
        SUBCASE(row.name)
        {
            REQUIRE_EQ(vsock_wrappedSocketEndModule(), 0);
            REQUIRE_EQ(row.call(), VSOCK_E_NOTREADY);
        }
    }
}

TEST_CASE_FIXTURE(VsockFixture, "createValidatesItsArguments")
{
    T_VSOCK_CREATE_SOCK c{};
    c.type = VSOCK_TYPE_UDP;
    c.localAddr = ipv4(127, 0, 0, 1);
    T_VSOCK_SOCK_OPTION noFlag{0, 0, onEvent};
    T_VSOCK_SOCK_OPTION noCb{VSOCK_OPT_CALLBACK, 0, nullptr};
    T_VSOCK_SOCK_OPTION o = opts();
    REQUIRE_EQ(vsock_wrappedSocketCreateSock(&c, &noFlag), VSOCK_E_PARAM);
    REQUIRE_EQ(vsock_wrappedSocketCreateSock(&c, &noCb), VSOCK_E_PARAM);
    REQUIRE_EQ(vsock_wrappedSocketCreateSock(nullptr, &o), VSOCK_E_PARAM);
    REQUIRE_EQ(vsock_wrappedSocketCreateSock(&c, nullptr), VSOCK_E_PARAM);
    T_VSOCK_CREATE_SOCK bad = c;
    bad.type = 3;
    REQUIRE_EQ(vsock_wrappedSocketCreateSock(&bad, &o), VSOCK_E_PARAM);
    bad = c;
    bad.localAddr.family = NETC_AF_INET6;
    REQUIRE_EQ(vsock_wrappedSocketCreateSock(&bad, &o), VSOCK_E_PARAM);
    bad.localAddr.family = 0;
    REQUIRE_EQ(vsock_wrappedSocketCreateSock(&bad, &o), VSOCK_E_PARAM);

    int32_t id = vsock_wrappedSocketCreateSock(&c, &o);
    REQUIRE_EQ(id, 0);
    REQUIRE_EQ(vsock_wrappedSocketGetSockStatus(id), 1);
    REQUIRE_EQ(vsock_wrappedSocketGetSockStatus(1), 0);
    REQUIRE_EQ(vsock_wrappedSocketGetSockStatus(64), VSOCK_E_PARAM);
    T_VSOCK_SOCK_OPTION got{};
    REQUIRE_EQ(vsock_wrappedSocketGetSockOption(id, &got), 0);
    REQUIRE_EQ(got.flags, VSOCK_OPT_CALLBACK);
    REQUIRE((got.callback == onEvent)); // function pointers do not print
    T_VSOCK_SOCK_OPTION quiet{0, 7, onEvent};
    REQUIRE_EQ(vsock_wrappedSocketSetSockOption(id, &quiet), 0);
    REQUIRE_EQ(vsock_wrappedSocketGetSockOption(id, &got), 0);
    REQUIRE_EQ(got.option, 7u);
    REQUIRE_EQ(vsock_wrappedSocketSetSockOption(5, &quiet), VSOCK_E_NOTACTIVE);

    // The port is in use: the second bind fails and the entry stays free.
    netc_endpoint ep = endpointOf(id);
    REQUIRE(ep.port != 0);
    c.localPort = ep.port;
    REQUIRE_EQ(vsock_wrappedSocketCreateSock(&c, &o), VSOCK_E_OTHER);
    REQUIRE_EQ(vsock_wrappedSocketGetSockStatus(1), 0);
    REQUIRE_EQ(vsock_wrappedSocketDeleteSock(id), 0);
    REQUIRE_EQ(vsock_wrappedSocketDeleteSock(id), VSOCK_E_NOTACTIVE);
    REQUIRE_EQ(vsock_wrappedSocketDeleteSock(-1), VSOCK_E_PARAM);
    REQUIRE_EQ(vsock_wrappedSocketDeleteSock(64), VSOCK_E_PARAM);
}

TEST_CASE_FIXTURE(VsockFixture, "tableLimitsAndLowestFreeId")
{
    std::vector<int32_t> ids;
    for (int i = 0; i < VSOCK_MAX_OS_SOCKETS; ++i) {
        int32_t id = udpOnLoopback();
        REQUIRE_EQ(id, i);
        ids.push_back(id);
    }
    REQUIRE_EQ(udpOnLoopback(), VSOCK_E_NOSPACE); // 32 OS sockets at most
    REQUIRE_EQ(vsock_wrappedSocketDeleteSock(5), 0);
    REQUIRE_EQ(vsock_wrappedSocketDeleteSock(9), 0);
    REQUIRE_EQ(udpOnLoopback(), 5);
    REQUIRE_EQ(udpOnLoopback(), 9);
}

TEST_CASE_FIXTURE(VsockFixture, "udpExchangeOnLoopback")
{
    int32_t a = udpOnLoopback(), b = udpOnLoopback();
    REQUIRE((a >= 0 && b >= 0));
    netc_endpoint ea = endpointOf(a), eb = endpointOf(b);
    REQUIRE_EQ(text(eb.addr), std::string("127.0.0.1"));
    static const char ping[] = "ping from a";
    REQUIRE_EQ(vsock_wrappedSocketSendUdp(a, ping, sizeof ping, &eb, -1), VSOCK_E_INPROGRESS);
    REQUIRE(gRec.waitFor(a, NETC_SOCK_EV_SEND, 1));
    REQUIRE_EQ(gRec.results(a, NETC_SOCK_EV_SEND).at(0), int32_t(sizeof ping));
    REQUIRE(gRec.waitFor(b, NETC_SOCK_EV_RECV, 1));
    REQUIRE_EQ(gRec.results(b, NETC_SOCK_EV_RECV).at(0), int32_t(sizeof ping));
    char buf[64];
    netc_endpoint src{};
    REQUIRE_EQ(vsock_wrappedSocketRecvUdp(b, buf, sizeof buf, &src), int32_t(sizeof ping));
    REQUIRE_EQ(std::string(buf), std::string(ping));
    REQUIRE_EQ(src.port, ea.port);
    REQUIRE_EQ(text(src.addr), std::string("127.0.0.1"));
    REQUIRE_EQ(vsock_wrappedSocketRecvUdp(b, buf, sizeof buf, &src), VSOCK_E_NODATA);

    // And back, to the source the datagram reported; an empty datagram too.
    static const char pong[] = "pong";
    REQUIRE_EQ(vsock_wrappedSocketSendUdp(b, pong, 4, &src, 1000), VSOCK_E_INPROGRESS);
    REQUIRE(gRec.waitFor(a, NETC_SOCK_EV_RECV, 1));
    REQUIRE_EQ(vsock_wrappedSocketRecvUdp(a, buf, sizeof buf, nullptr), 4);
    REQUIRE_EQ(std::string(buf, 4), std::string("pong"));
    REQUIRE(gRec.waitFor(b, NETC_SOCK_EV_SEND, 1));
    REQUIRE_EQ(vsock_wrappedSocketSendUdp(b, nullptr, 0, &src, -1), VSOCK_E_INPROGRESS);
    REQUIRE(gRec.waitFor(a, NETC_SOCK_EV_RECV, 2));
    REQUIRE_EQ(vsock_wrappedSocketRecvUdp(a, nullptr, 0, nullptr), 0);

    // Without the callback flag nothing is reported, but data is stored.
    T_VSOCK_SOCK_OPTION quiet{0, 0, onEvent};
    REQUIRE_EQ(vsock_wrappedSocketSetSockOption(a, &quiet), 0);
    REQUIRE(gRec.waitFor(b, NETC_SOCK_EV_SEND, 2));
    REQUIRE_EQ(vsock_wrappedSocketSendUdp(b, pong, 4, &ea, -1), VSOCK_E_INPROGRESS);
    REQUIRE(gRec.waitFor(b, NETC_SOCK_EV_SEND, 3));
    int32_t r = VSOCK_E_NODATA;
    for (int i = 0; i < 1000 && r == VSOCK_E_NODATA; ++i) { // bounded: no event to wait on
        r = vsock_wrappedSocketRecvUdp(a, buf, sizeof buf, nullptr);
        if (r == VSOCK_E_NODATA)
            std::this_thread::sleep_for(milliseconds(5));
    }
    REQUIRE_EQ(r, 4);
    REQUIRE_EQ(gRec.count(a, NETC_SOCK_EV_RECV), 2);
}

TEST_CASE_FIXTURE(VsockFixture, "deletedSocketReleasesItsPortAtOnce")
{
    // The discovery engine recreates a failed socket on the same address and
    // port right after deleting it: the port must be free when delete returns,
    // even though the socket task was waiting on the old descriptor.
    int32_t id = udpOnLoopback();
    REQUIRE(id >= 0);
    T_VSOCK_CREATE_SOCK c{};
    c.type = VSOCK_TYPE_UDP;
    c.localAddr = ipv4(127, 0, 0, 1);
    c.localPort = endpointOf(id).port;
    T_VSOCK_SOCK_OPTION o = opts();
    for (int round = 0; round < 200; ++round) {
        REQUIRE_EQ(vsock_wrappedSocketDeleteSock(id), 0);
        id = vsock_wrappedSocketCreateSock(&c, &o);
        REQUIRE_MESSAGE(id >= 0, "round ", round, ": 0x", hex(id));
    }
    REQUIRE_EQ(vsock_wrappedSocketAbort(id), 0);
    id = vsock_wrappedSocketCreateSock(&c, &o);
    REQUIRE(id >= 0);
    REQUIRE_EQ(vsock_wrappedSocketDeleteSock(id), 0);
}

TEST_CASE_FIXTURE(VsockFixture, "secondSendIsRefusedUntilFirstReported")
{
    int32_t a = udpOnLoopback(), b = udpOnLoopback();
    netc_endpoint eb = endpointOf(b);
    static const char d1[] = "first", d2[] = "second";
    int refused = 0;
    for (int round = 0; round < 200; ++round) {
        int before = gRec.count(a, NETC_SOCK_EV_SEND);
        REQUIRE_EQ(vsock_wrappedSocketSendUdp(a, d1, 5, &eb, -1), VSOCK_E_INPROGRESS);
        int32_t second = vsock_wrappedSocketSendUdp(a, d2, 6, &eb, -1);
        if (second == VSOCK_E_NOTREADY) {
            ++refused;
            REQUIRE(gRec.waitFor(a, NETC_SOCK_EV_SEND, before + 1));
        } else {
            // Accepted only because the first had already been reported.
            REQUIRE_EQ(second, VSOCK_E_INPROGRESS);
            REQUIRE(gRec.count(a, NETC_SOCK_EV_SEND) >= before + 1);
            REQUIRE(gRec.waitFor(a, NETC_SOCK_EV_SEND, before + 2));
        }
        // Drain b so that its ring never fills.
        char buf[16];
        while (vsock_wrappedSocketRecvUdp(b, buf, sizeof buf, nullptr) >= 0) { }
    }
    REQUIRE_MESSAGE(refused > 0, "the second send was never refused");
    for (int32_t r : gRec.results(a, NETC_SOCK_EV_SEND))
        REQUIRE((r == 5 || r == 6));
}

TEST_CASE_FIXTURE(VsockFixture, "sendValidation")
{
    int32_t a = udpOnLoopback();
    netc_endpoint dst = endpointOf(a);
    char d[4] = {};
    REQUIRE_EQ(vsock_wrappedSocketSendUdp(a, d, -1, &dst, -1), VSOCK_E_PARAM);
    REQUIRE_EQ(vsock_wrappedSocketSendUdp(a, d, 65508, &dst, -1), VSOCK_E_PARAM);
    REQUIRE_EQ(vsock_wrappedSocketSendUdp(a, nullptr, 4, &dst, -1), VSOCK_E_PARAM);
    REQUIRE_EQ(vsock_wrappedSocketSendUdp(a, d, 4, nullptr, -1), VSOCK_E_PARAM);
    REQUIRE_EQ(vsock_wrappedSocketSendUdp(a, d, 4, &dst, -2), VSOCK_E_PARAM);
    netc_endpoint v6 = dst;
    v6.addr.family = NETC_AF_INET6;
    REQUIRE_EQ(vsock_wrappedSocketSendUdp(a, d, 4, &v6, -1), VSOCK_E_PARAM);
    REQUIRE_EQ(vsock_wrappedSocketSendUdp(40, d, 4, &dst, -1), VSOCK_E_NOTACTIVE);
    REQUIRE_EQ(vsock_wrappedSocketSendUdp(64, d, 4, &dst, -1), VSOCK_E_PARAM);
    REQUIRE_EQ(vsock_wrappedSocketRecvUdp(a, nullptr, 4, nullptr), VSOCK_E_PARAM);
    REQUIRE_EQ(vsock_wrappedSocketRecvUdp(a, d, 4, nullptr), VSOCK_E_NODATA);
    REQUIRE_EQ(vsock_wrappedSocketRecvUdp(41, d, 4, nullptr), VSOCK_E_NOTACTIVE);
    // A send to oneself completes and arrives.
    REQUIRE_EQ(vsock_wrappedSocketSendUdp(a, d, 4, &dst, 0), VSOCK_E_INPROGRESS);
    REQUIRE(gRec.waitFor(a, NETC_SOCK_EV_SEND, 1));
    REQUIRE_EQ(gRec.results(a, NETC_SOCK_EV_SEND).at(0), 4);
}

TEST_CASE_FIXTURE(VsockFixture, "bufferTooSmallKeepsTheDatagram")
{
    int32_t a = udpOnLoopback(), b = udpOnLoopback();
    netc_endpoint eb = endpointOf(b);
    std::string big(1500, '\0');
    for (int i = 0; i < int(big.size()); ++i)
        big[i] = char(i * 7);
    REQUIRE_EQ(vsock_wrappedSocketSendUdp(a, big.data(), big.size(), &eb, -1), VSOCK_E_INPROGRESS);
    REQUIRE(gRec.waitFor(b, NETC_SOCK_EV_RECV, 1));
    std::string buf(1500, 'x');
    REQUIRE_EQ(vsock_wrappedSocketRecvUdp(b, buf.data(), 1480, nullptr), VSOCK_E_BUFSMALL);
    REQUIRE_EQ(vsock_wrappedSocketRecvUdp(b, buf.data(), 1499, nullptr), VSOCK_E_BUFSMALL);
    REQUIRE_EQ(buf, std::string(1500, 'x')); // nothing written
    REQUIRE_EQ(vsock_wrappedSocketRecvUdp(b, buf.data(), 1500, nullptr), 1500);
    REQUIRE_EQ(buf, big);
    REQUIRE_EQ(vsock_wrappedSocketRecvUdp(b, buf.data(), 1500, nullptr), VSOCK_E_NODATA);
}

TEST_CASE_FIXTURE(VsockFixture, "fullRingLeavesDatagramsWaitingAndWraps")
{
    int32_t a = udpOnLoopback(), b = udpOnLoopback();
    netc_endpoint eb = endpointOf(b);
    // 2000-byte datagrams take 8 + 500 words: 32 fit into 0x4000 words.
    constexpr int kLen = 2000;
    static uint8_t out[kLen];
    auto sendSeq = [&](int seq, bool stored = true) {
        std::memset(out, seq & 0xFF, kLen);
        std::memcpy(out, &seq, sizeof seq);
        int before = gRec.count(b, NETC_SOCK_EV_RECV);
        int sent = gRec.count(a, NETC_SOCK_EV_SEND);
        if (vsock_wrappedSocketSendUdp(a, out, kLen, &eb, -1) != VSOCK_E_INPROGRESS)
            return false;
        // One at a time, so that the kernel never drops anything itself.
        return (!stored || gRec.waitFor(b, NETC_SOCK_EV_RECV, before + 1))
               && gRec.waitFor(a, NETC_SOCK_EV_SEND, sent + 1);
    };
    auto expectSeq = [&](int seq) {
        uint8_t in[kLen + 4];
        int32_t r = vsock_wrappedSocketRecvUdp(b, in, sizeof in, nullptr);
        int got = -1;
        std::memcpy(&got, in, sizeof got);
        return r == kLen && got == seq && in[kLen - 1] == uint8_t(seq & 0xFF);
    };
    for (int seq = 0; seq < 32; ++seq)
        REQUIRE(sendSeq(seq));
    // The ring is full: these two wait in the system's buffer, not dropped.
    REQUIRE(sendSeq(32, false));
    REQUIRE(sendSeq(33, false));
    // Read ten: the two waiting come in and wrap around the end, and more fit.
    for (int seq = 0; seq < 10; ++seq)
        REQUIRE_MESSAGE(expectSeq(seq), seq);
    REQUIRE(gRec.waitFor(b, NETC_SOCK_EV_RECV, 34));
    for (int seq = 100; seq < 108; ++seq)
        REQUIRE(sendSeq(seq));
    auto results = gRec.results(b, NETC_SOCK_EV_RECV);
    REQUIRE_EQ(int(results.size()), 42);
    for (int32_t r : results)
        REQUIRE_EQ(r, kLen);
    for (int seq = 10; seq < 34; ++seq)
        REQUIRE_MESSAGE(expectSeq(seq), seq);
    for (int seq = 100; seq < 108; ++seq)
        REQUIRE_MESSAGE(expectSeq(seq), seq);
    uint8_t in[8];
    REQUIRE_EQ(vsock_wrappedSocketRecvUdp(b, in, sizeof in, nullptr), VSOCK_E_NODATA);
}

TEST_CASE_FIXTURE(VsockFixture, "oversizedDatagramIsNotStoredCut")
{
    int32_t a = udpOnLoopback(), b = udpOnLoopback();
    netc_endpoint eb = endpointOf(b);
    static const std::string huge(VSOCK_RX_BUFFER + 1, 'h');
    REQUIRE_EQ(vsock_wrappedSocketSendUdp(a, huge.data(), huge.size(), &eb, -1), VSOCK_E_INPROGRESS);
    REQUIRE(gRec.waitFor(b, NETC_SOCK_EV_RECV, 1));
    REQUIRE_EQ(gRec.results(b, NETC_SOCK_EV_RECV).at(0), VSOCK_E_OTHER);
    std::string buf(4096, '\0');
    REQUIRE_EQ(vsock_wrappedSocketRecvUdp(b, buf.data(), buf.size(), nullptr), VSOCK_E_NODATA);
    // The largest accepted datagram still passes whole.
    REQUIRE(gRec.waitFor(a, NETC_SOCK_EV_SEND, 1));
    static const std::string max(VSOCK_RX_BUFFER, 'm');
    REQUIRE_EQ(vsock_wrappedSocketSendUdp(a, max.data(), max.size(), &eb, -1), VSOCK_E_INPROGRESS);
    REQUIRE(gRec.waitFor(b, NETC_SOCK_EV_RECV, 2));
    REQUIRE_EQ(vsock_wrappedSocketRecvUdp(b, buf.data(), buf.size(), nullptr), VSOCK_RX_BUFFER);
}

TEST_CASE_FIXTURE(VsockFixture, "multicastJoinAndLeaveOnLoopback")
{
    int32_t a = udpOnLoopback();
    REQUIRE(a >= 0);
    netc_addr group = ipv4(239, 255, 77, 1);
    REQUIRE_EQ(vsock_wrappedSocketAddMulticastAddr(0, &group), 0);
    REQUIRE_EQ(vsock_wrappedSocketAddMulticastAddr(0, &group), VSOCK_E_OTHER); // already a member
    REQUIRE_EQ(vsock_wrappedSocketDelMulticastAddr(0, &group), 0);
    REQUIRE(vsock_wrappedSocketDelMulticastAddr(0, &group) < 0); // no longer a member
    netc_addr v6{};
    v6.family = NETC_AF_INET6;
    REQUIRE_EQ(vsock_wrappedSocketAddMulticastAddr(0, &v6), 0); // ignored
    REQUIRE_EQ(vsock_wrappedSocketAddMulticastAddr(0, nullptr), VSOCK_E_PARAM);
    REQUIRE_EQ(vsock_wrappedSocketAddMulticastAddr(-1, &group), VSOCK_E_PARAM);

    // Four groups per socket; leaving one makes room for another.
    for (uint8_t g = 1; g <= 4; ++g) {
        const netc_addr member = ipv4(239, 255, 78, g);
        REQUIRE_EQ(vsock_wrappedSocketAddMulticastAddr(0, &member), 0);
    }
    const netc_addr fifth = ipv4(239, 255, 78, 5), second = ipv4(239, 255, 78, 2);
    REQUIRE_EQ(vsock_wrappedSocketAddMulticastAddr(0, &fifth), VSOCK_E_NOSPACE);
    REQUIRE_EQ(vsock_wrappedSocketDelMulticastAddr(0, &second), 0);
    REQUIRE_EQ(vsock_wrappedSocketAddMulticastAddr(0, &fifth), 0);
    REQUIRE_EQ(vsock_wrappedSocketAddMulticastAddr(0, &second), VSOCK_E_NOSPACE);
}

TEST_CASE_FIXTURE(VsockFixture, "ptonRules")
{
    struct Row
    {
        const char* name;
        int family;
        const char* input;
        int result;
        std::string bytes;
    };
    auto ok = [](const char* name, int fam, const char* in, std::string b) { return Row{name, fam, in, 0, b}; };
    auto bad = [](const char* name, int fam, const char* in) {
        return Row{name, fam, in, int(VSOCK_E_FAIL), std::string()};
    };
    const Row rows[] = {
        ok("v4", 4, "192.168.1.1", fromHex("c0a80101")),
        ok("v4 zeros", 4, "0.0.0.0", fromHex("00000000")),
        ok("v4 max", 4, "255.255.255.255", fromHex("ffffffff")),
        bad("leading zero", 4, "192.168.001.1"),
        bad("leading zero 2", 4, "01.2.3.4"),
        bad("three parts", 4, "1.2.3"),
        bad("five parts", 4, "1.2.3.4.5"),
        bad("256", 4, "1.2.3.256"),
        bad("empty part", 4, "1..3.4"),
        bad("trailing dot", 4, "1.2.3.4."),
        bad("sign", 4, "+1.2.3.4"),
        bad("space", 4, "1.2.3.4 "),
        bad("empty", 4, ""),
        bad("hex", 4, "0x1.2.3.4"),
        ok("v6 loopback", 6, "::1", fromHex("00000000000000000000000000000001")),
        ok("v6 any", 6, "::", std::string(16, '\0')),
        ok("v6 full", 6, "2001:db8:0:0:1:0:0:1", fromHex("20010db8000000000001000000000001")),
        ok("v6 gap", 6, "fe80::1:2", fromHex("fe800000000000000000000000010002")),
        ok("v6 tail", 6, "1::", fromHex("00010000000000000000000000000000")),
        ok("v6 mapped", 6, "::ffff:192.168.1.1", fromHex("00000000000000000000ffffc0a80101")),
        ok("v6 upper", 6, "ABCD::EF", fromHex("abcd00000000000000000000000000ef")),
        bad("v6 two gaps", 6, "1::2::3"),
        bad("v6 long group", 6, "12345::1"),
        bad("v6 nine groups", 6, "1:2:3:4:5:6:7:8:9"),
        bad("v6 seven groups", 6, "1:2:3:4:5:6:7"),
        bad("v6 gap for nothing", 6, "1:2:3:4::5:6:7:8"),
        bad("v6 triple colon", 6, ":::1"),
        bad("v6 single colon", 6, ":1::2"),
        bad("v6 trailing colon", 6, "1:2:3:4:5:6:7:"),
        bad("v6 bad v4 tail", 6, "::ffff:1.2.3.04"),
        bad("v6 scope", 6, "fe80::1%eth0"),
        {"family 5", 5, "1.2.3.4", int(VSOCK_E_PARAM), std::string()},
    };
    for (const Row& row : rows) {
        SUBCASE(row.name)
        {
            const int family = row.family;
            const int result = row.result;
            const std::string& bytes = row.bytes;
            netc_addr a;
            std::memset(&a, 0xAB, sizeof a);
            REQUIRE_EQ(vsock_pton(family, row.input, &a), int32_t(result));
            if (result == 0) {
                REQUIRE_EQ(a.family, family);
                REQUIRE_EQ(std::string(reinterpret_cast<const char*>(a.addr), family == 4 ? 4 : 16), bytes);
                if (family == 4)
                    REQUIRE_EQ(std::string(reinterpret_cast<const char*>(a.addr) + 4, 12), std::string(12, '\0'));
                REQUIRE_EQ(a.scopeId, 0u);
            } else {
                REQUIRE_EQ(uint8_t(a.addr[0]), uint8_t(0xAB)); // untouched on failure
            }
            REQUIRE_EQ(vsock_pton(4, nullptr, &a), VSOCK_E_PARAM);
            REQUIRE_EQ(vsock_pton(4, "1.2.3.4", nullptr), VSOCK_E_PARAM);
        }
    }
}

TEST_CASE_FIXTURE(VsockFixture, "ntopRules")
{
    char buf[64];
    netc_addr bc = ipv4(255, 255, 255, 255);
    REQUIRE_EQ(vsock_ntop(&bc, buf, 16), 0);
    REQUIRE_EQ(std::string(buf), std::string("255.255.255.255"));
    std::memset(buf, 'z', sizeof buf);
    REQUIRE_EQ(vsock_ntop(&bc, buf, 15), VSOCK_E_FAIL);
    REQUIRE_EQ(buf[0], 'z'); // nothing written
    netc_addr z = ipv4(10, 0, 0, 7);
    REQUIRE_EQ(vsock_ntop(&z, buf, sizeof buf), 0);
    REQUIRE_EQ(std::string(buf), std::string("10.0.0.7"));
    REQUIRE_EQ(vsock_ntop(nullptr, buf, 16), VSOCK_E_PARAM);
    REQUIRE_EQ(vsock_ntop(&z, nullptr, 16), VSOCK_E_PARAM);
    netc_addr none{};
    REQUIRE_EQ(vsock_ntop(&none, buf, sizeof buf), VSOCK_E_PARAM);

    struct
    {
        const char* hex;
        const char* text;
    } v6[] = {
        {"00000000000000000000000000000001", "::1"},
        {"00000000000000000000000000000000", "::"},
        {"20010db8000000000001000000000001", "2001:db8::1:0:0:1"}, // first of equal runs
        {"20010db8000000010000000000000001", "2001:db8:0:1::1"}, // longest run
        {"20010db8000100010001000100010001", "2001:db8:1:1:1:1:1:1"},
        {"20010db8000000010001000100010001", "2001:db8:0:1:1:1:1:1"}, // a single zero stays
        {"fe800000000000000000000000000000", "fe80::"},
        {"00000000000000000000ffffc0a80101", "::ffff:c0a8:101"},
        {"abcd00000000000000000000000000ef", "abcd::ef"},
    };
    for (auto& c : v6) {
        netc_addr a{};
        a.family = NETC_AF_INET6;
        std::string b = fromHex(c.hex);
        std::memcpy(a.addr, b.data(), 16);
        REQUIRE_EQ(vsock_ntop(&a, buf, sizeof buf), 0);
        REQUIRE_EQ(std::string(buf), std::string(c.text));
        // Round trip through pton.
        netc_addr back{};
        REQUIRE_EQ(vsock_pton(6, buf, &back), 0);
        REQUIRE_EQ(std::memcmp(back.addr, a.addr, 16), 0);
        REQUIRE_EQ(vsock_ntop(&a, buf, uint32_t(std::strlen(c.text))), VSOCK_E_FAIL);
    }
}

TEST_CASE_FIXTURE(VsockFixture, "localAddressesReadOnly")
{
    T_VSOCK_LOCAL_ADDR la[8];
    int32_t n = vsock_wrappedSocketGetLocalAddr(0, NETC_AF_INET, la, 8);
    REQUIRE_MESSAGE(n >= 1, "no loopback adapter that is up");
    bool sawLoopback = false;
    for (int i = 0; i < n; ++i) {
        REQUIRE_EQ(la[i].addr.family, NETC_AF_INET);
        if (text(la[i].addr) == "127.0.0.1") {
            sawLoopback = true;
            REQUIRE_EQ(text(la[i].netmask), std::string("255.0.0.0"));
        }
    }
    REQUIRE(sawLoopback);
    REQUIRE_EQ(vsock_wrappedSocketGetLocalAddr(0, NETC_AF_INET, la, 0), 0);
    REQUIRE_EQ(vsock_wrappedSocketGetLocalAddr(10000, 0, la, 8), VSOCK_E_NOTACTIVE);
    REQUIRE_EQ(vsock_wrappedSocketGetLocalAddr(0, 5, la, 8), VSOCK_E_PARAM);
    REQUIRE_EQ(vsock_wrappedSocketGetLocalAddr(-1, 0, la, 8), VSOCK_E_PARAM);
    REQUIRE_EQ(vsock_wrappedSocketGetLocalAddr(0, 0, nullptr, 8), VSOCK_E_PARAM);
    // Ethernet or wireless adapters, when present, carry a hardware address
    // and a contiguous IPv4 mask. Only read; nothing is sent on them.
    for (int index = 1; index < 16; ++index) {
        int32_t m = vsock_wrappedSocketGetLocalAddr(index, 0, la, 8);
        if (m == VSOCK_E_NOTACTIVE)
            break;
        REQUIRE(m >= 0);
        for (int i = 0; i < m; ++i) {
            REQUIRE_EQ(int(la[i].hwAddrLen), 6);
            if (la[i].addr.family == NETC_AF_INET) {
                uint32_t mask = uint32_t(la[i].netmask.addr[0]) << 24 | la[i].netmask.addr[1] << 16
                                | la[i].netmask.addr[2] << 8 | la[i].netmask.addr[3];
                REQUIRE_EQ(mask & (~mask >> 1), 0u); // ones then zeros
            }
        }
    }
}

TEST_CASE_FIXTURE(VsockFixture, "tcpClientListenerAndAccepted")
{
    T_VSOCK_SOCK_OPTION o = opts();
    T_VSOCK_CREATE_SOCK lc{};
    lc.type = VSOCK_TYPE_TCP_LISTENER;
    lc.localAddr = ipv4(127, 0, 0, 1);
    int32_t listener = vsock_wrappedSocketCreateSock(&lc, &o);
    REQUIRE(listener >= 0);
    netc_endpoint le = endpointOf(listener);
    REQUIRE(le.port != 0);
    T_VSOCK_CREATE_SOCK cc{};
    cc.type = VSOCK_TYPE_TCP_CLIENT;
    cc.localAddr = ipv4(0, 0, 0, 0);
    int32_t client = vsock_wrappedSocketCreateSock(&cc, &o);
    REQUIRE(client >= 0);
    static const char hello[] = "hello";
    REQUIRE_EQ(vsock_wrappedSocketSendTcp(client, hello, 5), VSOCK_E_NOTACTIVE); // not connected
    REQUIRE_EQ(vsock_wrappedSocketConnect(client, &le), VSOCK_E_INPROGRESS);
    REQUIRE_EQ(vsock_wrappedSocketConnect(client, &le), VSOCK_E_NOTREADY);
    REQUIRE(gRec.waitFor(client, NETC_SOCK_EV_CONNECT, 1));
    REQUIRE_EQ(gRec.results(client, NETC_SOCK_EV_CONNECT).at(0), 0);
    REQUIRE(gRec.waitFor(listener, NETC_SOCK_EV_RECV, 1));
    netc_endpoint peer{};
    int32_t conn = vsock_wrappedSocketAccept(listener, &o, &peer);
    REQUIRE(conn >= 0);
    REQUIRE_EQ(peer.port, endpointOf(client).port);
    REQUIRE_EQ(vsock_wrappedSocketAccept(listener, &o, &peer), VSOCK_E_NODATA);

    REQUIRE_EQ(vsock_wrappedSocketSendTcp(client, hello, 5), VSOCK_E_INPROGRESS);
    REQUIRE(gRec.waitFor(client, NETC_SOCK_EV_SEND, 1));
    REQUIRE_EQ(gRec.results(client, NETC_SOCK_EV_SEND).at(0), 5);
    REQUIRE(gRec.waitFor(conn, NETC_SOCK_EV_RECV, 1));
    char buf[16];
    REQUIRE_EQ(vsock_wrappedSocketRecvTcp(conn, buf, 3), 3);
    REQUIRE_EQ(vsock_wrappedSocketRecvTcp(conn, buf + 3, sizeof buf - 3), 2);
    REQUIRE_EQ(std::string(buf, 5), std::string("hello"));
    REQUIRE_EQ(vsock_wrappedSocketRecvTcp(conn, buf, sizeof buf), VSOCK_E_NODATA);

    static const char back[] = "back";
    REQUIRE_EQ(vsock_wrappedSocketSendTcp(conn, back, 4), VSOCK_E_INPROGRESS);
    REQUIRE(gRec.waitFor(client, NETC_SOCK_EV_RECV, 1));
    REQUIRE_EQ(vsock_wrappedSocketRecvTcp(client, buf, sizeof buf), 4);
    REQUIRE_EQ(std::string(buf, 4), std::string("back"));

    // Orderly close from the client: the accepted side reads 0.
    REQUIRE_EQ(vsock_wrappedSocketShutdown(client, 1), 0);
    REQUIRE(gRec.waitFor(conn, NETC_SOCK_EV_RECV, 2));
    REQUIRE_EQ(gRec.results(conn, NETC_SOCK_EV_RECV).back(), 0);
    REQUIRE_EQ(vsock_wrappedSocketRecvTcp(conn, buf, sizeof buf), 0);
    REQUIRE_EQ(vsock_wrappedSocketShutdown(client, 3), VSOCK_E_PARAM);
    REQUIRE_EQ(vsock_wrappedSocketAbort(conn), 0);
    REQUIRE_EQ(vsock_wrappedSocketGetSockStatus(conn), 0);
    REQUIRE_EQ(vsock_wrappedSocketDeleteSock(client), 0);

    // A refused connection is reported as a failed connect.
    int32_t lonely = vsock_wrappedSocketCreateSock(&cc, &o);
    REQUIRE(lonely >= 0);
    int before = gRec.count(lonely, NETC_SOCK_EV_CONNECT); // the id may be reused
    REQUIRE_EQ(vsock_wrappedSocketDeleteSock(listener), 0);
    REQUIRE_EQ(vsock_wrappedSocketConnect(lonely, &le), VSOCK_E_INPROGRESS);
    REQUIRE(gRec.waitFor(lonely, NETC_SOCK_EV_CONNECT, before + 1));
    REQUIRE(gRec.results(lonely, NETC_SOCK_EV_CONNECT).back() < 0);
}

TEST_CASE_FIXTURE(VsockFixture, "concurrentCreateSendDelete")
{
    // A steady pair exchanges datagrams while other threads create, use
    // and delete sockets of their own.
    int32_t a = udpOnLoopback(), b = udpOnLoopback();
    netc_endpoint eb = endpointOf(b);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> churn;
    for (int t = 0; t < 3; ++t) {
        churn.emplace_back([&] {
            static const char d[] = "churn";
            while (!stop) {
                int32_t s = udpOnLoopback();
                if (s < 0) {
                    if (s != VSOCK_E_NOSPACE)
                        bad++;
                    continue;
                }
                netc_endpoint self = endpointOf(s);
                int32_t r = vsock_wrappedSocketSendUdp(s, d, 5, &self, -1);
                if (r != VSOCK_E_INPROGRESS)
                    bad++;
                char buf[8];
                r = vsock_wrappedSocketRecvUdp(s, buf, sizeof buf, nullptr);
                if (r != 5 && r != VSOCK_E_NODATA)
                    bad++;
                // Deleting with a send in flight is allowed.
                if (vsock_wrappedSocketDeleteSock(s) != 0)
                    bad++;
            }
        });
    }
    static const char d[] = "steady";
    for (int i = 0; i < 300; ++i) {
        int before = gRec.count(a, NETC_SOCK_EV_SEND);
        REQUIRE_EQ(vsock_wrappedSocketSendUdp(a, d, 6, &eb, -1), VSOCK_E_INPROGRESS);
        REQUIRE(gRec.waitFor(a, NETC_SOCK_EV_SEND, before + 1));
        REQUIRE(gRec.waitFor(b, NETC_SOCK_EV_RECV, i + 1));
        char buf[8];
        REQUIRE_EQ(vsock_wrappedSocketRecvUdp(b, buf, sizeof buf, nullptr), 6);
    }
    stop = true;
    for (auto& t : churn)
        t.join();
    REQUIRE_EQ(bad.load(), 0);
    for (int32_t r : gRec.results(a, NETC_SOCK_EV_SEND))
        REQUIRE_EQ(r, 6);
    // Only the steady pair is left.
    for (int id = 0; id < VSOCK_MAX_SOCKETS; ++id)
        REQUIRE_EQ(vsock_wrappedSocketGetSockStatus(id), (id == a || id == b) ? 1 : 0);
}

TEST_CASE_FIXTURE(VsockFixture, "endClosesSocketsAndRestarts")
{
    gStateCalls = 0;
    vsock_wrappedSocketSetStateCallback(onState);
    int32_t a = udpOnLoopback();
    netc_endpoint ea = endpointOf(a);
    REQUIRE_EQ(vsock_wrappedSocketEndModule(), 0);
    REQUIRE_EQ(gLastState.load(), VSOCK_STATUS_STOPPED);
    REQUIRE_EQ(vsock_wrappedSocketGetSockStatus(a), VSOCK_E_NOTREADY);
    int32_t id = 0;
    REQUIRE_EQ(oswrap_VinqTsk(&id, "VSOCK"), OSWRAP_E_NONAME); // the task is gone
    REQUIRE_EQ(vsock_wrappedSocketInitModule(), 0);
    REQUIRE_EQ(gLastState.load(), VSOCK_STATUS_READY);
    REQUIRE_EQ(gStateCalls.load(), 2);
    REQUIRE_EQ(oswrap_VinqTsk(&id, "VSOCK"), OSWRAP_E_OK);
    // The port was released when the module ended.
    T_VSOCK_CREATE_SOCK c{};
    c.type = VSOCK_TYPE_UDP;
    c.localAddr = ipv4(127, 0, 0, 1);
    c.localPort = ea.port;
    T_VSOCK_SOCK_OPTION o = opts();
    REQUIRE_EQ(vsock_wrappedSocketCreateSock(&c, &o), 0);
    vsock_wrappedSocketSetStateCallback(nullptr);
}

namespace {

std::atomic<int> gQuietEvents{0};
void onQuietEvent(int32_t, netc_sock_cb_prm*)
{
    gQuietEvents++;
}

bool oneOf(int32_t r, std::initializer_list<int32_t> ok)
{
    for (int32_t x : ok)
        if (r == x)
            return true;
    return false;
}

// Count of the management lock semaphore: 1 when nobody holds it.
int32_t managementLockCount()
{
    int32_t id = 0, count = -1;
    if (oswrap_VinqSem(&id, "VSWSINT") != OSWRAP_E_OK || oswrap_RefSem(id, &count) != OSWRAP_E_OK)
        return -1;
    return count;
}

} // namespace

// One thread creates, sends on and deletes sockets while another ends and
// restarts the module. Every call must answer a result that fits the moment
// (never act on a half-torn module), and afterwards the management lock must
// not have been signalled by a caller that never held it. Meant to run under
// ThreadSanitizer as well.
TEST_CASE_FIXTURE(VsockFixture, "endAndRestartAgainstCallersInProgress")
{
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::atomic<int32_t> firstBad{0};
    std::atomic<int> created{0};
    auto check = [&](int32_t r, std::initializer_list<int32_t> ok) {
        if (!oneOf(r, ok) && bad.fetch_add(1) == 0)
            firstBad = r;
    };
    std::thread churn([&] {
        static const char d[] = "ping";
        T_VSOCK_CREATE_SOCK c{};
        c.type = VSOCK_TYPE_UDP;
        c.localAddr = ipv4(127, 0, 0, 1);
        const T_VSOCK_SOCK_OPTION o{VSOCK_OPT_CALLBACK, 0, onQuietEvent};
        while (!stop) {
            const int32_t s = vsock_wrappedSocketCreateSock(&c, &o);
            if (s < 0) {
                check(s, {VSOCK_E_NOTREADY});
                continue;
            }
            created++;
            netc_endpoint ep{};
            const int32_t le = vsock_wrappedSocketGetLocalEndpoint(s, &ep);
            check(le, {0, VSOCK_E_NOTREADY, VSOCK_E_NOTACTIVE});
            if (le == 0)
                check(vsock_wrappedSocketSendUdp(s, d, 4, &ep, 100),
                      {VSOCK_E_INPROGRESS, VSOCK_E_NOTREADY, VSOCK_E_NOTACTIVE});
            char buf[8];
            check(vsock_wrappedSocketRecvUdp(s, buf, sizeof buf, nullptr),
                  {4, VSOCK_E_NODATA, VSOCK_E_NOTREADY, VSOCK_E_NOTACTIVE});
            check(vsock_wrappedSocketGetSockStatus(s), {1, 0, VSOCK_E_NOTREADY});
            check(vsock_wrappedSocketDeleteSock(s), {0, VSOCK_E_NOTREADY, VSOCK_E_NOTACTIVE});
        }
    });
    const auto deadline = steady_clock::now() + seconds(4);
    int rounds = 0;
    int32_t endResult = 0, initResult = 0;
    for (; rounds < 200 && steady_clock::now() < deadline; ++rounds) {
        // Let the other thread get into the ready module before ending it.
        const int before = created.load();
        const auto patience = steady_clock::now() + milliseconds(200);
        while (created.load() == before && steady_clock::now() < patience)
            std::this_thread::yield();
        endResult = vsock_wrappedSocketEndModule();
        initResult = vsock_wrappedSocketInitModule();
        if (endResult != 0 || initResult != 0)
            break;
    }
    stop = true;
    churn.join();
    REQUIRE_EQ(endResult, 0);
    REQUIRE_EQ(initResult, 0);
    REQUIRE_MESSAGE(bad == 0, bad.load(), " unexpected results, first 0x", hex(firstBad.load()));
    REQUIRE(rounds >= 10);
    REQUIRE_MESSAGE(created >= rounds / 2, created.load(), " sockets in ", rounds, " rounds");
    // Idle again: the lock is free exactly once.
    REQUIRE_EQ(managementLockCount(), 1);
    // And the restarted module works.
    const int32_t a = udpOnLoopback();
    const int32_t b = udpOnLoopback();
    REQUIRE((a >= 0 && b >= 0));
    const netc_endpoint eb = endpointOf(b);
    static const char d[] = "after";
    REQUIRE_EQ(vsock_wrappedSocketSendUdp(a, d, 5, &eb, -1), VSOCK_E_INPROGRESS);
    REQUIRE(gRec.waitFor(b, NETC_SOCK_EV_RECV, 1));
    char buf[8];
    REQUIRE_EQ(vsock_wrappedSocketRecvUdp(b, buf, sizeof buf, nullptr), 5);
}

namespace {

// A receive callback that does not return until released (or 8 s passed).
struct StuckCallback
{
    std::mutex m;
    std::condition_variable cv;
    bool entered = false;
    bool release = false;
};
StuckCallback gStuck;

void onStuckEvent(int32_t, netc_sock_cb_prm* p)
{
    if (p->event != NETC_SOCK_EV_RECV)
        return;
    std::unique_lock<std::mutex> g(gStuck.m);
    gStuck.entered = true;
    gStuck.cv.notify_all();
    gStuck.cv.wait_for(g, seconds(8), [] { return gStuck.release; });
}

} // namespace

// The end gives the socket task 5 s. A task still inside a callback after
// that may touch its socket, the tables and the lock, so the end frees none
// of them: it reports the time-out, the module answers "not ready", and a
// later end completes once the callback has returned.
TEST_CASE_FIXTURE(VsockFixture, "endKeepsWhatAStuckCallbackStillUses")
{
    {
        std::lock_guard<std::mutex> g(gStuck.m);
        gStuck.entered = gStuck.release = false;
    }
    T_VSOCK_CREATE_SOCK c{};
    c.type = VSOCK_TYPE_UDP;
    c.localAddr = ipv4(127, 0, 0, 1);
    const T_VSOCK_SOCK_OPTION stuck{VSOCK_OPT_CALLBACK, 0, onStuckEvent};
    const int32_t s = vsock_wrappedSocketCreateSock(&c, &stuck);
    const int32_t t = udpOnLoopback();
    REQUIRE((s >= 0 && t >= 0));
    const netc_endpoint es = endpointOf(s);
    static const char d[] = "hold";
    REQUIRE_EQ(vsock_wrappedSocketSendUdp(t, d, 4, &es, -1), VSOCK_E_INPROGRESS);
    {
        std::unique_lock<std::mutex> g(gStuck.m);
        REQUIRE(gStuck.cv.wait_for(g, seconds(10), [] { return gStuck.entered; }));
    }
    const auto t0 = steady_clock::now();
    const int32_t first = vsock_wrappedSocketEndModule();
    const auto waited = duration_cast<milliseconds>(steady_clock::now() - t0).count();
    bool stillStuck;
    {
        std::lock_guard<std::mutex> g(gStuck.m);
        stillStuck = !gStuck.release;
    }
    const int32_t initWhileEnding = vsock_wrappedSocketInitModule();
    const int32_t statusWhileEnding = vsock_wrappedSocketGetSockStatus(s);
    {
        std::lock_guard<std::mutex> g(gStuck.m);
        gStuck.release = true;
    }
    gStuck.cv.notify_all();
    REQUIRE_EQ(first, VSOCK_E_TIMEOUT);
    REQUIRE_MESSAGE((waited >= 4900 && waited < 7900), waited);
    REQUIRE(stillStuck);
    REQUIRE_EQ(initWhileEnding, VSOCK_E_NOTREADY);
    REQUIRE_EQ(statusWhileEnding, VSOCK_E_NOTREADY);
    REQUIRE_EQ(vsock_wrappedSocketEndModule(), 0);
    int32_t task = 0;
    REQUIRE_EQ(oswrap_VinqTsk(&task, "VSOCK"), OSWRAP_E_NONAME);
    REQUIRE_EQ(vsock_wrappedSocketInitModule(), 0);
    REQUIRE_EQ(udpOnLoopback(), 0);
}

// A call that cannot take the management lock must not go on unlocked (and
// later signal a semaphore it never held): it answers "not ready".
TEST_CASE_FIXTURE(VsockFixture, "callsAnswerNotReadyWhenTheLockCannotBeTaken")
{
    const int32_t a = udpOnLoopback();
    REQUIRE(a >= 0);
    REQUIRE_EQ(vsock_wrappedSocketGetSockStatus(a), 1);
    int32_t lockId = 0;
    REQUIRE_EQ(oswrap_VinqSem(&lockId, "VSWSINT"), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_DelSem(lockId), OSWRAP_E_OK);
    REQUIRE_EQ(vsock_wrappedSocketGetSockStatus(a), VSOCK_E_NOTREADY);
    REQUIRE_EQ(udpOnLoopback(), VSOCK_E_NOTREADY);
    REQUIRE_EQ(vsock_wrappedSocketDeleteSock(a), VSOCK_E_NOTREADY);
    // The end still completes, and a new start brings a working module.
    REQUIRE_EQ(vsock_wrappedSocketEndModule(), 0);
    REQUIRE_EQ(vsock_wrappedSocketInitModule(), 0);
    REQUIRE_EQ(udpOnLoopback(), 0);
}

// Two threads start the module at the same time: each may use it as soon as
// its start has answered 0, also the one that found the start under way.
TEST_CASE_FIXTURE(VsockFixture, "startAnswersZeroOnlyOnceReady")
{
    int notReadyAfterZero = 0;
    for (int round = 0; round < 30; ++round) {
        REQUIRE_EQ(vsock_wrappedSocketEndModule(), 0);
        std::promise<void> go;
        std::shared_future<void> started = go.get_future().share();
        auto starter = [started] {
            started.wait();
            const int32_t r = vsock_wrappedSocketInitModule();
            return r == 0 ? vsock_wrappedSocketGetSockStatus(0) : r;
        };
        auto a = std::async(std::launch::async, starter);
        auto b = std::async(std::launch::async, starter);
        go.set_value();
        for (int32_t r : {a.get(), b.get()}) {
            REQUIRE_MESSAGE((r == 0 || r == VSOCK_E_NOTREADY), "0x", hex(r));
            notReadyAfterZero += r == VSOCK_E_NOTREADY;
        }
    }
    REQUIRE_EQ(notReadyAfterZero, 0);
}

int main(int argc, char** argv)
{
    if (oswrap_init() != OSWRAP_E_OK) {
        fprintf(stderr, "the OS wrapper did not start\n");
        return 1;
    }
    doctest::Context context(argc, argv);
    const int result = context.run();
    oswrap_exit();
    return result;
}
