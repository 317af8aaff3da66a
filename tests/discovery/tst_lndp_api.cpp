// LNDP C interface and engine task: start-up count and the host capacity
// chosen there, argument and state checks of both families and of the
// probe, subscription, host queries, the idle interval, and an end-to-end
// exchange on loopback where an announcer and a responder of the same engine
// find each other, refresh and age out.
#include <doctest/doctest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lndp_api.h"
#include "lndp_manage.h"
#include "lndp_task.h"
#include "LndpTestPeer.h"
#include "LoopbackAddresses.h"
#include "oswrap_api.h"
#include "vsock_wrappedSocketIf.h"

namespace {

struct Seen
{
    _LNDP_HOST_INFO host;
    uint8_t enabled;
    std::chrono::steady_clock::time_point at;
};

std::mutex gMutex;
std::condition_variable gCv;
std::vector<Seen> gSeen;

uint32_t onHost(const _LNDP_HOST_INFO* h, uint8_t enabled)
{
    std::lock_guard<std::mutex> g(gMutex);
    gSeen.push_back({*h, enabled, std::chrono::steady_clock::now()});
    gCv.notify_all();
    return 0;
}

uint32_t onHostOther(const _LNDP_HOST_INFO*, uint8_t)
{
    return 0;
}

bool waitSeen(const std::function<bool(const std::vector<Seen>&)>& pred, int timeoutMs)
{
    std::unique_lock<std::mutex> g(gMutex);
    return gCv.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return pred(gSeen); });
}

_T_LNDP_NETWORK_SETUP_PROPERTY prop(uint8_t role, const netc_addr& local, uint16_t port, const char* name,
                                    const std::vector<uint8_t>* exInfo = nullptr)
{
    _T_LNDP_NETWORK_SETUP_PROPERTY p;
    memset(&p, 0, sizeof p);
    p.role = role;
    const uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, role};
    memcpy(p.macAddr, mac, 6);
    p.ipVersion = 4;
    p.localAddr = local;
    p.netmask = lndpV4("255.255.255.254");
    p.port = port;
    p.serviceNameLen = (uint8_t)strlen(name);
    p.serviceName = (const uint8_t*)name;
    p.intervalMs = 1000;
    if (exInfo) {
        p.exInfo = exInfo->data();
        p.exInfoLen = (uint16_t)exInfo->size();
    }
    return p;
}

// The temporary lives until the end of the full expression.
const netc_addr* ptrOf(const netc_addr& a)
{
    return &a;
}

// The engine task changes the state under the main lock.
uint8_t engineState()
{
    LNDP::gl_manage.mainLock();
    const uint8_t s = LNDP::gl_manage.state();
    LNDP::gl_manage.mainUnlock();
    return s;
}

// Collects what the debug printers write, as printf would.
std::string gPrinted;
int capturePrint(const char* format, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, format);
    const int n = vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    gPrinted += buf;
    return n;
}

// The pieces between the separators, an empty last one after a final one.
std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts(1);
    for (const char c : text) {
        if (c == separator)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

// The entry number that starts a host list line (" 0" to "39" and a colon),
// or nothing.
std::string entryNumber(const std::string& line)
{
    if (line.size() < 3 || !(line[0] == ' ' || (line[0] >= '1' && line[0] <= '3')) || line[1] < '0' || line[1] > '9'
        || line[2] != ':')
        return std::string();
    return line.substr(0, 2);
}

// A subscriber callback that, once armed, stays inside its first call
// until released (or 8 s passed).
struct StuckSubscriber
{
    std::mutex m;
    std::condition_variable cv;
    bool armed = false;
    bool entered = false;
    bool release = false;
};
StuckSubscriber gStuck;

uint32_t onHostStuck(const _LNDP_HOST_INFO*, uint8_t)
{
    std::unique_lock<std::mutex> g(gStuck.m);
    if (!gStuck.armed || gStuck.entered)
        return 0;
    gStuck.entered = true;
    gStuck.cv.notify_all();
    gStuck.cv.wait_for(g, std::chrono::seconds(8), [] { return gStuck.release; });
    return 0;
}

// Id and subscription result of a new thread that has ended on return.
std::pair<int32_t, int32_t> subscribeFromNewThread()
{
    return std::async(std::launch::async,
                      [] {
                          int32_t id = 0;
                          oswrap_GetTskId(&id);
                          return std::make_pair(id, lndp_subscribe(onHostOther));
                      })
        .get();
}

} // namespace

// Every case starts with no host seen; a failed case must not leave the
// engine running for the next one.
struct ApiFixture
{
    ApiFixture()
    {
        std::lock_guard<std::mutex> g(gMutex);
        gSeen.clear();
    }
    ~ApiFixture()
    {
        while (lndp_cleanup() >= 0) { }
    }
};

TEST_CASE_FIXTURE(ApiFixture, "startupCount")
{
    int id = -1;
    const netc_addr local = lndpV4("127.0.3.2");
    const _T_LNDP_NETWORK_SETUP_PROPERTY p = prop(2, local, freeUdpPort(), "s");
    REQUIRE_EQ(lndp2_setup(&id, &p), LNDP_E_NOTREADY);
    REQUIRE_EQ(lndp_cleanup(), LNDP_E_ALREADY);
    REQUIRE_EQ(lndp_startup(), LNDP_OK);
    REQUIRE(lndp_taskId() != 0);
    REQUIRE_EQ(lndp_startup(), LNDP_E_ALREADY);
    REQUIRE_EQ(lndp_cleanup(), LNDP_I_USERS_REMAIN);
    REQUIRE(lndp_taskId() != 0);
    REQUIRE_EQ(lndp_cleanup(), LNDP_OK);
    REQUIRE_EQ(lndp_taskId(), 0);
    REQUIRE_EQ(lndp_cleanup(), LNDP_E_ALREADY);
    // The socket module lndp_startup started is ended again.
    REQUIRE_EQ(vsock_wrappedSocketGetSockStatus(0), VSOCK_E_NOTREADY);
    // Start-up leaves a module started by someone else running.
    REQUIRE_EQ(vsock_wrappedSocketInitModule(), 0);
    REQUIRE_EQ(lndp_startup(), LNDP_OK);
    REQUIRE_EQ(lndp_cleanup(), LNDP_OK);
    REQUIRE_EQ(vsock_wrappedSocketGetSockStatus(0), 0);
    REQUIRE_EQ(vsock_wrappedSocketEndModule(), 0);
}

TEST_CASE_FIXTURE(ApiFixture, "hostCapacityAtStartUp")
{
    const struct
    {
        const char* name;
        uint32_t capacity;
        int32_t expected;
    } rows[] = {
        {"none", 0, LNDP_E_PARAM},
        {"one", 1, LNDP_OK},
        {"largest", LNDP_HOSTS_MAX, LNDP_OK},
        {"above the largest", LNDP_HOSTS_MAX + 1, LNDP_E_PARAM},
    };
    for (const auto& row : rows) {
        SUBCASE(row.name)
        {
            REQUIRE_EQ(lndp_startupEx(row.capacity), row.expected);
            if (row.expected == LNDP_OK) {
                REQUIRE_EQ(LNDP::gl_manage.hostCapacity(), row.capacity);
                // A running engine keeps its table; a bad capacity does not
                // count as a start.
                REQUIRE_EQ(lndp_startupEx(64), LNDP_E_ALREADY);
                REQUIRE_EQ(lndp_startupEx(0), LNDP_E_PARAM);
                REQUIRE_EQ(LNDP::gl_manage.hostCapacity(), row.capacity);
                REQUIRE_EQ(lndp_cleanup(), LNDP_I_USERS_REMAIN);
            }
            REQUIRE_EQ(lndp_cleanup(), row.expected == LNDP_OK ? LNDP_OK : LNDP_E_ALREADY);
            REQUIRE_EQ(lndp_startup(), LNDP_OK);
            REQUIRE_EQ(LNDP::gl_manage.hostCapacity(), LNDP_HOSTS_DEFAULT);
            REQUIRE_EQ(lndp_cleanup(), LNDP_OK);
        }
    }
}

TEST_CASE_FIXTURE(ApiFixture, "probeChecks")
{
    constexpr uint32_t kTarget = 0x7F000315u; // 127.0.3.21
    const struct
    {
        const char* name;
        int engine; // 0 not started; 1 announcer (0) and responder (1) by id; 2 the same by array
        int id;
        uint32_t ipv4;
        int32_t expected;
    } rows[] = {
        {"announcer", 1, 0, kTarget, LNDP_OK},          {"not started", 0, 0, kTarget, LNDP_E_NOTREADY},
        {"negative id", 1, -1, kTarget, LNDP_E_PARAM},  {"no such service", 1, 3, kTarget, LNDP_E_PARAM},
        {"responder", 1, 1, kTarget, LNDP_E_PARAM},     {"no address", 1, 0, 0, LNDP_E_PARAM},
        {"multicast", 1, 0, 0xE0000001u, LNDP_E_PARAM}, {"limited broadcast", 1, 0, 0xFFFFFFFFu, LNDP_E_PARAM},
        {"array mode", 2, 0, kTarget, LNDP_E_MODE},
    };
    for (const auto& row : rows) {
        SUBCASE(row.name)
        {
            const uint16_t port = freeUdpPort();
            const _T_LNDP_NETWORK_SETUP_PROPERTY ps[2]
                = {prop(2, lndpV4("127.0.3.20"), port, "a"), prop(1, lndpV4("127.0.3.20"), port, "r")};
            if (row.engine != 0)
                REQUIRE_EQ(lndp_startup(), LNDP_OK);
            int ids[2] = {-1, -1};
            if (row.engine == 1) {
                REQUIRE_EQ(lndp2_setup(&ids[0], &ps[0]), LNDP_OK);
                REQUIRE_EQ(lndp2_setup(&ids[1], &ps[1]), LNDP_OK);
                REQUIRE_EQ(ids[1], 1);
            } else if (row.engine == 2) {
                REQUIRE_EQ(lndp_setup(ps, 2), LNDP_OK);
            }
            REQUIRE_EQ(lndp2_probe(row.id, row.ipv4), row.expected);
        }
    }
}

TEST_CASE_FIXTURE(ApiFixture, "setupBeforeTaskAttached")
{
    int32_t sem = 0;
    T_OSWRAP_CSEM c = {0, 1, "T1"};
    REQUIRE_EQ(oswrap_AcreSem(&sem, &c), 0);
    REQUIRE_EQ(LNDP::gl_manage.initialize(oswrap_WaiSem, oswrap_SigSem, sem, sem + 0), LNDP_OK);
    int id = 7;
    const _T_LNDP_NETWORK_SETUP_PROPERTY p = prop(2, lndpV4("127.0.3.2"), freeUdpPort(), "s");
    REQUIRE_EQ(lndp2_setup(&id, &p), LNDP_E_MODE);
    REQUIRE_EQ(lndp_setup(&p, 1), LNDP_E_MODE);
    LNDP::gl_manage.finalize();
    REQUIRE_EQ(oswrap_DelSem(sem), 0);
}

TEST_CASE_FIXTURE(ApiFixture, "idFamilyChecks")
{
    REQUIRE_EQ(lndp_startup(), LNDP_OK);
    const uint16_t port = freeUdpPort();
    int id = -1;
    _T_LNDP_NETWORK_SETUP_PROPERTY p = prop(2, lndpV4("127.0.3.4"), port, "s");
    REQUIRE_EQ(lndp2_setup(nullptr, &p), LNDP_E_PARAM);
    REQUIRE_EQ(lndp2_setup(&id, nullptr), LNDP_E_PARAM);
    REQUIRE_EQ(lndp2_changeStatus(0, 1), LNDP_E_NOTREADY);
    REQUIRE_EQ(lndp2_setup(&id, &p), LNDP_OK);
    REQUIRE_EQ(id, 0);
    REQUIRE_EQ(lndp2_changeTime(id, 99, 1), LNDP_E_PARAM);
    REQUIRE_EQ(lndp2_changeTime(id, 2000, 1), LNDP_E_PARAM);
    REQUIRE_EQ(lndp2_changeTime(id, 0x10000001u, 0xFFFFFFFFu), LNDP_E_PARAM);
    REQUIRE_EQ(lndp2_changeTime(id, 1000, 1), LNDP_OK);
    REQUIRE_EQ(lndp2_changeTime(id, 0x10000000u, 0xFFFFFFFFu), LNDP_OK); // no overflow in seconds * 1000
    REQUIRE_EQ(lndp2_changeTime(-1, 1000, 1), LNDP_E_PARAM);
    REQUIRE_EQ(lndp2_changeTime(3, 1000, 1), LNDP_E_PARAM);
    REQUIRE_EQ(lndp2_changeStatus(id, 2), LNDP_E_PARAM);
    REQUIRE_EQ(lndp2_changeStatus(-1, 1), LNDP_E_PARAM);
    REQUIRE_EQ(lndp2_getStatus(id), 0);
    REQUIRE_EQ(lndp2_changeStatus(id, 1), LNDP_OK);
    REQUIRE_EQ(lndp2_getStatus(id), 1);
    REQUIRE_EQ(lndp2_getStatus(-1), LNDP_E_PARAM);
    REQUIRE_EQ(lndp2_getStatus(2), LNDP_E_PARAM);
    // Array calls do not fit services set up by id.
    REQUIRE_EQ(lndp_changeStatus(0, 1), LNDP_E_MODE);
    REQUIRE_EQ(lndp_clear(), LNDP_E_MODE);
    REQUIRE_EQ(lndp_setup(&p, 1), LNDP_E_ALREADY);
    // A refused duplicate leaves the running service and the queries alone.
    int dup = 5;
    REQUIRE_EQ(lndp2_setup(&dup, &p), LNDP_E_ALREADY);
    REQUIRE_EQ(dup, -1);
    uint32_t count = 99;
    REQUIRE_EQ(lndp_getNumOfHost(&count), LNDP_OK);
    REQUIRE_EQ(lndp2_getStatus(id), 1);
    p.exInfoLen = 1025;
    REQUIRE_EQ(lndp2_setup(&dup, &p), LNDP_E_PARAM);
    REQUIRE_EQ(lndp2_clear(id), LNDP_OK);
    REQUIRE_EQ(lndp2_clear(id), LNDP_E_PARAM);
    REQUIRE_EQ(lndp_cleanup(), LNDP_OK);
}

TEST_CASE_FIXTURE(ApiFixture, "arrayFamily")
{
    REQUIRE_EQ(lndp_startup(), LNDP_OK);
    const uint16_t port = freeUdpPort();
    _T_LNDP_NETWORK_SETUP_PROPERTY ps[5]
        = {prop(2, lndpV4("127.0.3.6"), port, "a"), prop(1, lndpV4("127.0.3.6"), port, "b"),
           prop(1, lndpV4("127.0.3.6"), port, "b"), prop(1, lndpV4("127.0.3.6"), port, "c"),
           prop(1, lndpV4("127.0.3.6"), port, "d")};
    REQUIRE_EQ(lndp_setup(nullptr, 1), LNDP_E_PARAM);
    REQUIRE_EQ(lndp_setup(ps, 5), LNDP_E_PARAM);
    REQUIRE_EQ(lndp_clear(), LNDP_E_MODE);
    // The duplicate third record rolls back the first two.
    REQUIRE_EQ(lndp_setup(ps, 3), LNDP_E_ALREADY);
    REQUIRE_EQ(engineState(), uint8_t(LNDP::LNDP_STATE_READY));
    REQUIRE_EQ(lndp_changeStatus(0, 1), LNDP_E_MODE);
    REQUIRE_EQ(lndp_setup(ps, 2), LNDP_OK);
    REQUIRE_EQ(lndp_changeStatus(4, 1), LNDP_E_PARAM);
    REQUIRE_EQ(lndp_changeStatus(2, 1), LNDP_E_PARAM); // unmapped index
    REQUIRE_EQ(lndp_changeStatus(1, 1), LNDP_OK);
    REQUIRE_EQ(lndp_getStatus(1), 1);
    REQUIRE_EQ(lndp_getStatus(0), 0);
    REQUIRE_EQ(lndp_changeTime(0, 2000, 2), LNDP_OK);
    REQUIRE_EQ(lndp_changeTime(1, 2000, 2), LNDP_E_PARAM); // responder
    REQUIRE_EQ(lndp_changeTime(0, 99, 2), LNDP_E_PARAM);
    REQUIRE_EQ(lndp2_changeStatus(0, 1), LNDP_E_MODE);
    REQUIRE_EQ(lndp2_getStatus(0), LNDP_E_MODE);
    REQUIRE_EQ(lndp_setup(ps, 1), LNDP_E_ALREADY);
    REQUIRE_EQ(lndp_clear(), LNDP_OK);
    // The engine task processes the clear and returns to the ready state.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (engineState() != LNDP::LNDP_STATE_READY && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    REQUIRE_EQ(engineState(), uint8_t(LNDP::LNDP_STATE_READY));
    REQUIRE_EQ(lndp_clear(), LNDP_E_MODE);
    REQUIRE_EQ(lndp_setup(ps + 3, 2), LNDP_OK);
    REQUIRE_EQ(lndp_cleanup(), LNDP_OK);
}

TEST_CASE_FIXTURE(ApiFixture, "subscribeAndQueries")
{
    REQUIRE_EQ(lndp_subscribe(onHost), LNDP_E_NOTREADY);
    REQUIRE_EQ(lndp_startup(), LNDP_OK);
    REQUIRE_EQ(lndp_subscribe(nullptr), LNDP_E_PARAM);
    REQUIRE_EQ(lndp_subscribe(onHost), LNDP_OK);
    REQUIRE_EQ(lndp_subscribe(onHostOther), LNDP_E_ALREADY);
    // Other threads are other subscribers; the table holds five. The
    // threads stay alive meanwhile, so each keeps its own id.
    int results[5] = {};
    int done = 0;
    bool release = false;
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::thread> threads;
    for (int i = 0; i < 5; ++i) {
        threads.emplace_back([&, i] {
            const int r = lndp_subscribe(onHostOther);
            std::unique_lock<std::mutex> g(m);
            results[i] = r;
            ++done;
            cv.notify_all();
            cv.wait(g, [&] { return release; });
        });
        std::unique_lock<std::mutex> g(m);
        cv.wait(g, [&] { return done == i + 1; });
    }
    {
        std::lock_guard<std::mutex> g(m);
        release = true;
    }
    cv.notify_all();
    for (auto& t : threads)
        t.join();
    REQUIRE_EQ(results[0], LNDP_OK);
    REQUIRE_EQ(results[3], LNDP_OK);
    REQUIRE_EQ(results[4], LNDP_E_FULL);

    uint32_t count = 7;
    REQUIRE_EQ(lndp_getNumOfHost(nullptr), LNDP_E_PARAM);
    REQUIRE_EQ(lndp_getNumOfHost(&count), LNDP_E_NOTREADY); // nothing set up yet
    REQUIRE_EQ(count, 0u);
    _LNDP_HOST_INFO h;
    REQUIRE_EQ(lndp_getHostInfo(0, nullptr), LNDP_E_PARAM);
    REQUIRE_EQ(lndp_getHostInfo(0x10000, &h), LNDP_E_PARAM);
    REQUIRE_EQ(lndp_getHostInfo(0, &h), LNDP_E_NOTREADY);
    int id = -1;
    const _T_LNDP_NETWORK_SETUP_PROPERTY p = prop(2, lndpV4("127.0.3.8"), freeUdpPort(), "s");
    REQUIRE_EQ(lndp2_setup(&id, &p), LNDP_OK);
    REQUIRE_EQ(lndp_getNumOfHost(&count), LNDP_OK);
    REQUIRE_EQ(count, 0u);
    REQUIRE_EQ(lndp_getHostInfo(0, &h), LNDP_E_PARAM); // index == enabled count
    REQUIRE_EQ(lndp_debugPrintHostList(nullptr), LNDP_E_PARAM);
    REQUIRE_EQ(lndp_debugPrintStatus(nullptr), LNDP_E_PARAM);
    gPrinted.clear();
    REQUIRE_EQ(lndp_debugPrintStatus(capturePrint), LNDP_OK);
    REQUIRE_EQ(gPrinted, std::string("[\n< 0:IP:127.0.3.8, ]\n"));
    gPrinted.clear();
    REQUIRE_EQ(lndp_debugPrintHostList(capturePrint), LNDP_OK);
    REQUIRE_EQ(gPrinted, std::string()); // no host yet
    REQUIRE_EQ(lndp_cleanup(), LNDP_OK);
}

TEST_CASE_FIXTURE(ApiFixture, "idleTaskRunsIntervalEvery100ms")
{
    REQUIRE_EQ(lndp_startup(), LNDP_OK);
    LNDP::gl_manage.mainLock();
    const uint32_t before = LNDP::gl_manage.intervalPassCount();
    LNDP::gl_manage.mainUnlock();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    LNDP::gl_manage.mainLock();
    const uint32_t passes = LNDP::gl_manage.intervalPassCount() - before;
    LNDP::gl_manage.mainUnlock();
    const auto ms
        = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    // About one pass per 100 ms; never faster, and not starved.
    REQUIRE_MESSAGE((passes <= (uint32_t)(ms / 100) + 1 && passes >= 5), passes);
    REQUIRE_EQ(lndp_cleanup(), LNDP_OK);
}

TEST_CASE_FIXTURE(ApiFixture,
                  "announcerAndResponderFindEachOtherAndAgeOut" * doctest::skip(!loopbackAddressesBindApart()))
{
    // Announcer on 127.0.3.10/31 broadcasts to 127.0.3.11, where the
    // responder's binding listens on the same port.
    REQUIRE_EQ(lndp_startup(), LNDP_OK);
    REQUIRE_EQ(lndp_subscribe(onHost), LNDP_OK);
    const uint16_t port = freeUdpPort();
    std::vector<uint8_t> ex;
    uint32_t used = 0;
    ex.resize(64);
    lndp_exInfoAppend(ex.data(), 64, &used, nullptr, 0);
    lndp_exInfoAppend(ex.data(), 64, &used, (const uint8_t*)"TQ-730", 6);
    lndp_exInfoAppend(ex.data(), 64, &used, (const uint8_t*)"Desk", 4);
    ex.resize(used);
    int ann = -1, resp = -1;
    const _T_LNDP_NETWORK_SETUP_PROPERTY pr = prop(1, lndpV4("127.0.3.11"), port, "_zel-scp", &ex);
    const _T_LNDP_NETWORK_SETUP_PROPERTY pa = prop(2, lndpV4("127.0.3.10"), port, "_zel-scp");
    REQUIRE_EQ(lndp2_setup(&resp, &pr), LNDP_OK);
    REQUIRE_EQ(lndp2_setup(&ann, &pa), LNDP_OK);

    auto responderSeen = [](const std::vector<Seen>& v, uint8_t enabled, uint8_t status) {
        for (const auto& s : v)
            if (s.host.senderRole == 1 && s.enabled == enabled && s.host.status == status)
                return true;
        return false;
    };
    REQUIRE(waitSeen([&](const auto& v) { return responderSeen(v, 1, 0); }, 5000));
    {
        std::lock_guard<std::mutex> g(gMutex);
        const Seen* r = nullptr;
        for (const auto& s : gSeen)
            if (s.host.senderRole == 1)
                r = &s;
        REQUIRE(r);
        REQUIRE(lndp_addrEqual(&r->host.hostAddr, ptrOf(lndpV4("127.0.3.11"))));
        REQUIRE(lndp_addrEqual(&r->host.localAddr, ptrOf(lndpV4("127.0.3.10"))));
        REQUIRE_EQ(r->host.rawFlags, uint8_t(0x80));
        REQUIRE_EQ(std::string((const char*)r->host.exInfo, r->host.exInfoLen),
                   std::string((const char*)ex.data(), ex.size()));
    }
    uint32_t count = 0;
    REQUIRE_EQ(lndp_getNumOfHost(&count), LNDP_OK);
    REQUIRE_EQ(count, 2u); // each binding sees the other
    _LNDP_HOST_INFO h;
    REQUIRE_EQ(lndp_getHostInfo(1, &h), LNDP_OK);
    REQUIRE_EQ(lndp_getHostInfo(2, &h), LNDP_E_PARAM);
    // One line per host, numbered by its table entry.
    gPrinted.clear();
    REQUIRE_EQ(lndp_debugPrintHostList(capturePrint), LNDP_OK);
    std::vector<std::string> lines = split(gPrinted, '\n');
    REQUIRE_EQ(lines.size(), size_t(3));
    REQUIRE_EQ(lines.back(), std::string()); // the text ends with a line break
    lines.pop_back();
    std::set<std::string> numbers;
    for (std::string& line : lines) {
        const std::string number = entryNumber(line);
        REQUIRE_MESSAGE(!number.empty(), line);
        numbers.insert(number);
        line = line.substr(3);
    }
    REQUIRE_EQ(numbers.size(), size_t(2));
    std::sort(lines.begin(), lines.end());
    REQUIRE_EQ(lines, std::vector<std::string>({
                          "(O) [ SERVICE:_zel-scp        , CPU IP:127.0.3.10          , COM IP:127.0.3.10          , ]",
                          "(O) [ SERVICE:_zel-scp        , CPU IP:127.0.3.11          , COM IP:127.0.3.11          , ]",
                      }));
    gPrinted.clear();
    REQUIRE_EQ(lndp_debugPrintStatus(capturePrint), LNDP_OK);
    REQUIRE_MESSAGE((gPrinted == "[\n< 0:IP:127.0.3.11, < 1:IP:127.0.3.10, ]\n"
                     || gPrinted == "[\n< 1:IP:127.0.3.11, < 0:IP:127.0.3.10, ]\n"),
                    gPrinted);

    // Refresh: the responder's next answers carry its new status.
    REQUIRE_EQ(lndp2_changeStatus(resp, 1), LNDP_OK);
    REQUIRE(waitSeen([&](const auto& v) { return responderSeen(v, 1, 1); }, 5000));

    // The responder goes away; the announcer reports it lost about 7 s later.
    const auto stopped = std::chrono::steady_clock::now();
    REQUIRE_EQ(lndp2_clear(resp), LNDP_OK);
    REQUIRE(waitSeen([&](const auto& v) { return responderSeen(v, 0, 1); }, 15000));
    std::chrono::steady_clock::time_point lostAt;
    {
        std::lock_guard<std::mutex> g(gMutex);
        for (const auto& s : gSeen)
            if (s.host.senderRole == 1 && s.enabled == 0)
                lostAt = s.at;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(lostAt - stopped).count();
    REQUIRE_MESSAGE((ms >= 6000 && ms <= 9000), ms);
    REQUIRE_EQ(lndp_getNumOfHost(&count), LNDP_OK);
    REQUIRE_EQ(count, 0u); // the removed binding last heard the announcer no later, so it is gone too
    REQUIRE_EQ(lndp_cleanup(), LNDP_OK);
}

// A thread that ends leaves its foreign slot to the next new thread; that
// thread is another subscriber, not the dead one.
TEST_CASE_FIXTURE(ApiFixture, "threadTakingADeadSubscribersSlotSubscribes")
{
    REQUIRE_EQ(lndp_startup(), LNDP_OK);
    const auto first = subscribeFromNewThread();
    REQUIRE_EQ(first.second, LNDP_OK);
    const auto second = subscribeFromNewThread();
    // The second thread did take the first one's slot...
    const int32_t slotMask = (1 << OSWRAP_FOREIGN_SLOT_BITS) - 1;
    REQUIRE_EQ(second.first & slotMask, first.first & slotMask);
    // ...and is a subscriber of its own.
    REQUIRE_EQ(second.second, LNDP_OK);
    REQUIRE(second.first != first.first);
    REQUIRE_EQ(lndp_cleanup(), LNDP_OK);
}

// An engine that someone else initialised has other locks and tables in
// use: start-up must not take it over, and leaves nothing behind.
TEST_CASE_FIXTURE(ApiFixture, "startupRefusesAnEngineInitialisedElsewhere")
{
    int32_t sem = 0;
    T_OSWRAP_CSEM c = {0, 1, "T2"};
    REQUIRE_EQ(oswrap_AcreSem(&sem, &c), 0);
    REQUIRE_EQ(LNDP::gl_manage.initialize(oswrap_WaiSem, oswrap_SigSem, sem, sem), LNDP_OK);
    REQUIRE_EQ(lndp_startup(), LNDP_E_TASK);
    REQUIRE_EQ(lndp_taskId(), 0);
    REQUIRE_EQ(lndp_cleanup(), LNDP_E_ALREADY); // the count stayed 0
    int32_t id = 0;
    REQUIRE_EQ(oswrap_VinqSem(&id, "LNDPMAIN"), OSWRAP_E_NONAME);
    REQUIRE_EQ(oswrap_VinqTsk(&id, "LNDPSVC"), OSWRAP_E_NONAME);
    REQUIRE_EQ(vsock_wrappedSocketGetSockStatus(0), VSOCK_E_NOTREADY);
    REQUIRE_EQ(engineState(), uint8_t(LNDP::LNDP_STATE_INIT)); // untouched
    LNDP::gl_manage.finalize();
    REQUIRE_EQ(oswrap_DelSem(sem), 0);
    REQUIRE_EQ(lndp_startup(), LNDP_OK);
    REQUIRE_EQ(lndp_cleanup(), LNDP_OK);
}

// A call whose wait on the main lock fails holds nothing: it must answer
// "not ready" instead of reading the engine unlocked.
TEST_CASE_FIXTURE(ApiFixture, "callsAnswerNotReadyWhenTheMainLockIsGone")
{
    REQUIRE_EQ(lndp_startup(), LNDP_OK);
    int id = -1;
    const _T_LNDP_NETWORK_SETUP_PROPERTY p = prop(2, lndpV4("127.0.3.14"), freeUdpPort(), "s");
    REQUIRE_EQ(lndp2_setup(&id, &p), LNDP_OK);
    uint32_t count = 7;
    REQUIRE_EQ(lndp_getNumOfHost(&count), LNDP_OK);
    REQUIRE_EQ(lndp2_getStatus(id), 0);
    int32_t mainSem = 0;
    REQUIRE_EQ(oswrap_VinqSem(&mainSem, "LNDPMAIN"), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_DelSem(mainSem), OSWRAP_E_OK);
    count = 7;
    REQUIRE_EQ(lndp_getNumOfHost(&count), LNDP_E_NOTREADY);
    REQUIRE_EQ(count, 0u);
    REQUIRE_EQ(lndp2_getStatus(id), LNDP_E_NOTREADY);
    REQUIRE_EQ(lndp2_changeStatus(id, 1), LNDP_E_NOTREADY);
    REQUIRE_EQ(lndp_subscribe(onHost), LNDP_E_NOTREADY);
    REQUIRE_EQ(lndp_cleanup(), LNDP_OK);
    REQUIRE_EQ(lndp_startup(), LNDP_OK);
    REQUIRE_EQ(lndp_cleanup(), LNDP_OK);
}

// The clean-up gives the engine task 5 s. A task still inside a subscriber
// callback after that would run on freed tables, sockets and locks, so the
// clean-up releases none of them, says so, and refuses a new start until a
// later clean-up has finished the job.
TEST_CASE_FIXTURE(ApiFixture, "cleanupKeepsTheEngineForAStuckSubscriber" * doctest::skip(!loopbackAddressesBindApart()))
{
    {
        std::lock_guard<std::mutex> g(gStuck.m);
        gStuck.armed = true;
        gStuck.entered = gStuck.release = false;
    }
    REQUIRE_EQ(lndp_startup(), LNDP_OK);
    REQUIRE_EQ(lndp_subscribe(onHostStuck), LNDP_OK);
    const uint16_t port = freeUdpPort();
    int ann = -1, resp = -1;
    const _T_LNDP_NETWORK_SETUP_PROPERTY pr = prop(1, lndpV4("127.0.3.17"), port, "_zel-scp");
    const _T_LNDP_NETWORK_SETUP_PROPERTY pa = prop(2, lndpV4("127.0.3.16"), port, "_zel-scp");
    REQUIRE_EQ(lndp2_setup(&resp, &pr), LNDP_OK);
    REQUIRE_EQ(lndp2_setup(&ann, &pa), LNDP_OK);
    {
        std::unique_lock<std::mutex> g(gStuck.m);
        REQUIRE(gStuck.cv.wait_for(g, std::chrono::seconds(10), [] { return gStuck.entered; }));
    }
    const auto t0 = std::chrono::steady_clock::now();
    const int32_t first = lndp_cleanup();
    const auto waited
        = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    bool stillInside;
    {
        std::lock_guard<std::mutex> g(gStuck.m);
        stillInside = !gStuck.release;
    }
    const int32_t startWhilePending = lndp_startup();
    int32_t id = 0;
    const int32_t lockKept = oswrap_VinqSem(&id, "LNDPMAIN");
    {
        std::lock_guard<std::mutex> g(gStuck.m);
        gStuck.release = true;
        gStuck.armed = false;
    }
    gStuck.cv.notify_all();
    REQUIRE_EQ(first, LNDP_E_TASK);
    REQUIRE_MESSAGE((waited >= 4900 && waited < 7900), waited);
    REQUIRE(stillInside);
    REQUIRE_EQ(startWhilePending, LNDP_E_TASK);
    REQUIRE_EQ(lockKept, OSWRAP_E_OK);
    REQUIRE_EQ(lndp_cleanup(), LNDP_OK); // the callback has returned: finished now
    REQUIRE_EQ(lndp_taskId(), 0);
    REQUIRE_EQ(oswrap_VinqSem(&id, "LNDPMAIN"), OSWRAP_E_NONAME);
    REQUIRE_EQ(lndp_cleanup(), LNDP_E_ALREADY);
    REQUIRE_EQ(lndp_startup(), LNDP_OK);
    REQUIRE_EQ(lndp_cleanup(), LNDP_OK);
}

int main(int argc, char** argv)
{
    if (oswrap_init() != 0) {
        fprintf(stderr, "the OS wrapper did not start\n");
        return 1;
    }
    doctest::Context context(argc, argv);
    const int result = context.run();
    oswrap_exit();
    return result;
}
