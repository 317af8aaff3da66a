// OS wrapper: id ranges, names, semaphores, flags, mailboxes, tasks and their
// termination, foreign thread ids, timers, interlocked operations, load, and
// concurrent create/wait/delete of the same objects.
#include <doctest/doctest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "oswrap_api.h"

using namespace std::chrono;

namespace {

constexpr auto kGenerous = seconds(10);

std::atomic<uint32_t> gFakeMs{0};
uint32_t fakeClock()
{
    return gFakeMs.load();
}

std::string hex(int32_t v)
{
    char buf[16];
    snprintf(buf, sizeof buf, "%x", unsigned(v));
    return buf;
}

int64_t msSince(steady_clock::time_point t0)
{
    return duration_cast<milliseconds>(steady_clock::now() - t0).count();
}

// Task bodies report through this record; the test waits on a semaphore.
struct TaskProbe
{
    int32_t doneSem = 0;
    std::atomic<int32_t> waitResult{0};
    std::atomic<uint32_t> waitOut{0xFFFFFFFF};
    std::atomic<int32_t> secondWait{0};
    std::atomic<int32_t> checkTerm{0};
    std::atomic<int32_t> ownId{0};
    std::atomic<int64_t> waitedMs{0};
    int32_t startedSem = 0;
};

void timedFlagWaitTask(void* p)
{
    auto* probe = static_cast<TaskProbe*>(p);
    int32_t id = 0;
    oswrap_GetTskId(&id);
    probe->ownId = id;
    uint32_t out = 0xFFFFFFFF;
    auto t0 = steady_clock::now();
    probe->waitResult = oswrap_VtwaiTfl(&out, 0x1, 100);
    probe->waitedMs = msSince(t0);
    probe->waitOut = out;
    oswrap_SigSem(probe->doneSem);
}

// Waits without limit until asked to terminate, then checks that the request
// is still visible, and ends itself.
void terminableTask(void* p)
{
    auto* probe = static_cast<TaskProbe*>(p);
    probe->checkTerm = oswrap_CheckReqTerminate(); // not yet: E_OBJ
    oswrap_SigSem(probe->startedSem);
    uint32_t out = 0;
    int32_t r;
    do {
        r = oswrap_VtwaiTfl(&out, 0x1, OSWRAP_TMO_FEVR);
    } while (r == OSWRAP_E_OK);
    probe->waitResult = r;
    probe->waitOut = out;
    uint32_t again = 0;
    probe->secondWait = oswrap_VtwaiTfl(&again, 0x1, OSWRAP_TMO_FEVR);
    if (oswrap_CheckReqTerminate() == OSWRAP_E_OK)
        oswrap_ExtTsk();
    probe->checkTerm = -1; // not reached
}

void returningTask(void* p)
{
    static_cast<std::atomic<int>*>(p)->fetch_add(1);
}

void busyTask(void* p)
{
    auto* stop = static_cast<std::atomic<bool>*>(p);
    volatile uint64_t x = 0;
    while (!stop->load(std::memory_order_relaxed))
        x = x + 1;
}

T_OSWRAP_CTSK taskRecord(oswrap_TaskEntry entry, const char* name = "T")
{
    T_OSWRAP_CTSK c{};
    c.entry = entry;
    c.priority = 15;
    c.stackSize = 4096;
    c.name = name;
    return c;
}

} // namespace

// Every case starts the module afresh and ends it, whatever it left behind.
struct OswrapFixture
{
    OswrapFixture() { REQUIRE_EQ(oswrap_init(), OSWRAP_E_OK); }
    ~OswrapFixture()
    {
        oswrap_VsetClkSrc(nullptr);
        oswrap_exit();
    }
};

TEST_CASE_FIXTURE(OswrapFixture, "moduleStartAndEnd")
{
    REQUIRE_EQ(oswrap_init(), OSWRAP_E_OBJ);
    REQUIRE_EQ(oswrap_exit(), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_exit(), OSWRAP_E_OBJ);
    T_OSWRAP_CSEM c{0, 1, "S"};
    REQUIRE_EQ(oswrap_CreSem(1, &c), OSWRAP_E_NOEXS); // not initialised
    int32_t id = 0;
    REQUIRE_EQ(oswrap_GetTskId(&id), OSWRAP_E_NOEXS);
    REQUIRE_EQ(oswrap_init(), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_os_start(), OSWRAP_E_NOSPT);
    REQUIRE_EQ(oswrap_SigSemFromISR(1), OSWRAP_E_NOSPT);
    REQUIRE_EQ(oswrap_SetFlgFromISR(1, 1), OSWRAP_E_NOSPT);
    REQUIRE_EQ(oswrap_SndMsgFromISR(1, nullptr), OSWRAP_E_NOSPT);
    REQUIRE_EQ(oswrap_VsetTflFromISR(1, 1), OSWRAP_E_NOSPT);
    REQUIRE_EQ(oswrap_CnvSysClk(1234), 1234u);
    REQUIRE_EQ(oswrap_CnvSysClkToMsec(77), 77u);
    REQUIRE_EQ(oswrap_VsysClk(), 0);
    REQUIRE_EQ(oswrap_RotRdq(), 0);
    REQUIRE_EQ(oswrap_RefSys(), 0);
}

TEST_CASE_FIXTURE(OswrapFixture, "idRangesOfEveryFamily")
{
    // Semaphores: automatic ids 100 down to 50, then none.
    T_OSWRAP_CSEM cs{0, 0, "S"};
    int32_t id = 0;
    REQUIRE_EQ(oswrap_AcreSem(&id, &cs), OSWRAP_E_OK);
    REQUIRE_EQ(id, 100);
    REQUIRE_EQ(oswrap_AcreSem(&id, &cs), OSWRAP_E_OK);
    REQUIRE_EQ(id, 99);
    for (int n = 3; n <= 51; ++n)
        REQUIRE_EQ(oswrap_AcreSem(&id, &cs), OSWRAP_E_OK);
    REQUIRE_EQ(id, 50);
    REQUIRE_EQ(oswrap_AcreSem(&id, &cs), OSWRAP_E_NOID);
    REQUIRE_EQ(oswrap_CreSem(50, &cs), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_CreSem(0, &cs), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_CreSem(49, &cs), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_CreSem(49, &cs), OSWRAP_E_OBJ);
    REQUIRE_EQ(oswrap_CreSem(1, nullptr), OSWRAP_E_PAR);
    T_OSWRAP_CSEM negative{0, -1, "N"};
    REQUIRE_EQ(oswrap_CreSem(2, &negative), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_DelSem(100), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_DelSem(100), OSWRAP_E_NOEXS);
    REQUIRE_EQ(oswrap_DelSem(101), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_AcreSem(&id, &cs), OSWRAP_E_OK); // the freed id is reused
    REQUIRE_EQ(id, 100);
    REQUIRE_EQ(oswrap_AcreSem(nullptr, &cs), OSWRAP_E_PAR);

    // Event flags and mailboxes follow the same ranges.
    T_OSWRAP_CFLG cf{0, 0, "F"};
    T_OSWRAP_CMBX cm{0, "M"};
    for (int n = 0; n < 51; ++n) {
        REQUIRE_EQ(oswrap_AcreFlg(&id, &cf), OSWRAP_E_OK);
        REQUIRE_EQ(id, 100 - n);
        REQUIRE_EQ(oswrap_AcreMbx(&id, &cm), OSWRAP_E_OK);
        REQUIRE_EQ(id, 100 - n);
    }
    REQUIRE_EQ(oswrap_AcreFlg(&id, &cf), OSWRAP_E_NOID);
    REQUIRE_EQ(oswrap_AcreMbx(&id, &cm), OSWRAP_E_NOID);
    REQUIRE_EQ(oswrap_CreFlg(50, &cf), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_CreMbx(50, &cm), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_CreFlg(1, &cf), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_CreMbx(1, &cm), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_DelFlg(0), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_DelMbx(101), OSWRAP_E_PAR);

    // Tasks: fixed 1..24, automatic 50 down to 25.
    T_OSWRAP_CTSK ct = taskRecord(returningTask);
    for (int n = 0; n < 26; ++n) {
        REQUIRE_EQ(oswrap_AcreTsk(&id, &ct), OSWRAP_E_OK);
        REQUIRE_EQ(id, 50 - n);
    }
    REQUIRE_EQ(oswrap_AcreTsk(&id, &ct), OSWRAP_E_NOID);
    REQUIRE_EQ(oswrap_CreTsk(25, &ct), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_CreTsk(24, &ct), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_CreTsk(24, &ct), OSWRAP_E_OBJ);
    T_OSWRAP_CTSK noEntry = taskRecord(nullptr);
    REQUIRE_EQ(oswrap_CreTsk(1, &noEntry), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_DelTsk(51), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_DelTsk(50), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_DelTsk(50), OSWRAP_E_NOEXS);
}

TEST_CASE_FIXTURE(OswrapFixture, "namesAreTruncatedToEight")
{
    T_OSWRAP_CSEM cs{0, 1, "VSWSINTERNAL"};
    REQUIRE_EQ(oswrap_CreSem(3, &cs), OSWRAP_E_OK);
    int32_t id = 0;
    REQUIRE_EQ(oswrap_VinqSem(&id, "VSWSINTERNAL"), OSWRAP_E_NONAME);
    REQUIRE_EQ(oswrap_VinqSem(&id, "VSWSINTE"), OSWRAP_E_OK);
    REQUIRE_EQ(id, 3);
    REQUIRE_EQ(oswrap_VinqSem(&id, "VSWSINT"), OSWRAP_E_NONAME);
    REQUIRE_EQ(oswrap_VinqSem(&id, ""), OSWRAP_E_NONAME);
    REQUIRE_EQ(oswrap_VinqSem(nullptr, "X"), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_VinqSem(&id, nullptr), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_DelSem(3), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_VinqSem(&id, "VSWSINTE"), OSWRAP_E_NONAME); // gone with the object

    T_OSWRAP_CFLG cf{0, 0, "EXACTLY8"};
    REQUIRE_EQ(oswrap_CreFlg(4, &cf), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_VinqFlg(&id, "EXACTLY8"), OSWRAP_E_OK);
    REQUIRE_EQ(id, 4);
    T_OSWRAP_CMBX cm{0, "MAILBOXES"};
    REQUIRE_EQ(oswrap_CreMbx(5, &cm), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_VinqMbx(&id, "MAILBOXE"), OSWRAP_E_OK);
    REQUIRE_EQ(id, 5);

    T_OSWRAP_CTSK ct = taskRecord(returningTask, "LNDPSVCTASK");
    REQUIRE_EQ(oswrap_CreTsk(6, &ct), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_VinqTsk(&id, "LNDPSVCT"), OSWRAP_E_OK);
    REQUIRE_EQ(id, 6);
    T_OSWRAP_RTSK info{};
    REQUIRE_EQ(oswrap_RefTsk(&info, 6), OSWRAP_E_OK);
    REQUIRE_EQ(std::string(info.name), std::string("LNDPSVCT"));
    REQUIRE_EQ(info.state, OSWRAP_TTS_DMT);
    REQUIRE_EQ(int(info.basePriority), 15);
    REQUIRE_EQ(int(info.currentPriority), 15);
    REQUIRE_EQ(info.stackSize, 4096u);
    REQUIRE((info.entry == returningTask)); // function pointers do not print
}

TEST_CASE_FIXTURE(OswrapFixture, "semaphoreCountsAndTimesOut")
{
    T_OSWRAP_CSEM cs{0, 2, "CNT"};
    REQUIRE_EQ(oswrap_CreSem(1, &cs), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_TwaiSem(1, OSWRAP_TMO_POL), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_WaiSem(1), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_TwaiSem(1, OSWRAP_TMO_POL), OSWRAP_E_TMOUT);
    auto t0 = steady_clock::now();
    REQUIRE_EQ(oswrap_TwaiSem(1, 60), OSWRAP_E_TMOUT);
    REQUIRE_MESSAGE(msSince(t0) >= 55, "timed wait returned early");
    REQUIRE_EQ(oswrap_TwaiSem(1, -2), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_SigSem(1), OSWRAP_E_OK);
    int32_t count = -1;
    REQUIRE_EQ(oswrap_RefSem(1, &count), OSWRAP_E_OK);
    REQUIRE_EQ(count, 1);
    REQUIRE_EQ(oswrap_TwaiSem(1, 60), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_SigSem(2), OSWRAP_E_NOEXS);
    REQUIRE_EQ(oswrap_WaiSem(0), OSWRAP_E_PAR);

    T_OSWRAP_CSEM full{0, 0x7FFFFFFF, "FULL"};
    REQUIRE_EQ(oswrap_CreSem(2, &full), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_SigSem(2), OSWRAP_E_SYS); // never wraps negative
    REQUIRE_EQ(oswrap_RefSem(2, &count), OSWRAP_E_OK);
    REQUIRE_EQ(count, 0x7FFFFFFF);
}

TEST_CASE_FIXTURE(OswrapFixture, "semaphoreWakesWaiterInOtherThread")
{
    T_OSWRAP_CSEM cs{0, 0, "WAKE"};
    REQUIRE_EQ(oswrap_CreSem(1, &cs), OSWRAP_E_OK);
    auto waiter = std::async(std::launch::async, [] { return oswrap_TwaiSem(1, 10000); });
    REQUIRE_EQ(oswrap_SigSem(1), OSWRAP_E_OK);
    REQUIRE_EQ(waiter.wait_for(kGenerous), std::future_status::ready);
    REQUIRE_EQ(waiter.get(), OSWRAP_E_OK);
    int32_t count = -1;
    REQUIRE_EQ(oswrap_RefSem(1, &count), OSWRAP_E_OK);
    REQUIRE_EQ(count, 0);
}

TEST_CASE_FIXTURE(OswrapFixture, "flagAndOrWaitsAndClearOnWake")
{
    T_OSWRAP_CFLG keep{0, 0x5, "KEEP"};
    REQUIRE_EQ(oswrap_CreFlg(1, &keep), OSWRAP_E_OK);
    uint32_t out = 0xFFFF;
    REQUIRE_EQ(oswrap_PolFlg(&out, 1, 0x3, OSWRAP_TWF_ANDW), OSWRAP_E_TMOUT);
    REQUIRE_EQ(out, 0u);
    REQUIRE_EQ(oswrap_PolFlg(&out, 1, 0x3, OSWRAP_TWF_ORW), OSWRAP_E_OK);
    REQUIRE_EQ(out, 0x5u);
    REQUIRE_EQ(oswrap_PolFlg(&out, 1, 0x5, OSWRAP_TWF_ANDW), OSWRAP_E_OK);
    REQUIRE_EQ(out, 0x5u); // not cleared without the attribute
    REQUIRE_EQ(oswrap_ClrFlg(1, ~0x4u), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_PolFlg(&out, 1, 0x4, OSWRAP_TWF_ORW), OSWRAP_E_TMOUT);
    REQUIRE_EQ(oswrap_SetFlg(1, 0x8), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_WaiFlg(&out, 1, 0x9, OSWRAP_TWF_ANDW), OSWRAP_E_OK);
    REQUIRE_EQ(out, 0x9u);
    REQUIRE_EQ(oswrap_PolFlg(&out, 1, 0, OSWRAP_TWF_ORW), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_PolFlg(&out, 1, 1, 7), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_PolFlg(nullptr, 1, 1, OSWRAP_TWF_ORW), OSWRAP_E_PAR);

    // Clear-on-wake clears the whole word, not only the tested bits.
    T_OSWRAP_CFLG clr{OSWRAP_TA_CLR, 0x30, "CLR"};
    REQUIRE_EQ(oswrap_CreFlg(2, &clr), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_TwaiFlg(&out, 2, 0x10, OSWRAP_TWF_ORW, 50), OSWRAP_E_OK);
    REQUIRE_EQ(out, 0x30u);
    REQUIRE_EQ(oswrap_PolFlg(&out, 2, 0x20, OSWRAP_TWF_ORW), OSWRAP_E_TMOUT);

    // AND wait in another thread is satisfied only by the last bit.
    auto waiter = std::async(std::launch::async, [] {
        uint32_t o = 0;
        int32_t r = oswrap_TwaiFlg(&o, 2, 0x3, OSWRAP_TWF_ANDW, 10000);
        return std::make_pair(r, o);
    });
    REQUIRE_EQ(oswrap_SetFlg(2, 0x1), OSWRAP_E_OK);
    REQUIRE_EQ(waiter.wait_for(milliseconds(30)), std::future_status::timeout);
    REQUIRE_EQ(oswrap_SetFlg(2, 0x2), OSWRAP_E_OK);
    REQUIRE_EQ(waiter.wait_for(kGenerous), std::future_status::ready);
    auto res = waiter.get();
    REQUIRE_EQ(res.first, OSWRAP_E_OK);
    REQUIRE_EQ(res.second, 0x3u);
}

TEST_CASE_FIXTURE(OswrapFixture, "flagTimeoutIsNotRestartedByUnrelatedSets")
{
    T_OSWRAP_CFLG cf{0, 0, "BUSY"};
    REQUIRE_EQ(oswrap_CreFlg(1, &cf), OSWRAP_E_OK);
    std::atomic<bool> stop{false};
    std::thread setter([&] {
        while (!stop)
            oswrap_SetFlg(1, 0x100), std::this_thread::sleep_for(milliseconds(5));
    });
    uint32_t out = 1;
    auto t0 = steady_clock::now();
    int32_t r = oswrap_TwaiFlg(&out, 1, 0x1, OSWRAP_TWF_ORW, 100);
    int64_t took = msSince(t0);
    stop = true;
    setter.join();
    REQUIRE_EQ(r, OSWRAP_E_TMOUT);
    REQUIRE_EQ(out, 0u);
    REQUIRE_MESSAGE((took >= 95 && took < 2000), took);
}

// One set that satisfies several waiters, each on its own bits, wakes every
// one of them, not only the first.
TEST_CASE_FIXTURE(OswrapFixture, "everyFlagWaiterIsWoken")
{
    T_OSWRAP_CFLG cf{0, 0, "MANY"};
    REQUIRE_EQ(oswrap_CreFlg(2, &cf), OSWRAP_E_OK);
    T_OSWRAP_CSEM cs{0, 0, "READY"};
    int32_t ready = 0;
    REQUIRE_EQ(oswrap_AcreSem(&ready, &cs), OSWRAP_E_OK);
    constexpr int kWaiters = 4;
    std::vector<std::future<int32_t>> waits;
    for (int i = 0; i < kWaiters; ++i)
        waits.push_back(std::async(std::launch::async, [i, ready] {
            uint32_t out = 0;
            oswrap_SigSem(ready);
            const int32_t r = oswrap_TwaiFlg(&out, 2, 1u << i, OSWRAP_TWF_ANDW, 5000);
            return r == OSWRAP_E_OK && (out & (1u << i)) ? int32_t(OSWRAP_E_OK) : r;
        }));
    for (int i = 0; i < kWaiters; ++i)
        REQUIRE_EQ(oswrap_TwaiSem(ready, 10000), OSWRAP_E_OK);
    // Time for the waiters to block: a waiter still on its way sees the bits
    // at once and cannot make this pass by itself.
    std::this_thread::sleep_for(milliseconds(50));
    const auto t0 = steady_clock::now();
    REQUIRE_EQ(oswrap_SetFlg(2, (1u << kWaiters) - 1), OSWRAP_E_OK);
    for (auto& w : waits) {
        REQUIRE_EQ(w.wait_for(kGenerous), std::future_status::ready);
        REQUIRE_EQ(w.get(), OSWRAP_E_OK);
    }
    REQUIRE_MESSAGE(msSince(t0) < 2000, msSince(t0));
}

TEST_CASE_FIXTURE(OswrapFixture, "mailboxOrderTimeoutsAndIds")
{
    T_OSWRAP_CMBX cm{0, "MBX"};
    REQUIRE_EQ(oswrap_CreMbx(1, &cm), OSWRAP_E_OK);
    T_OSWRAP_MSG m[3]{};
    T_OSWRAP_MSG* got = nullptr;
    REQUIRE_EQ(oswrap_IsMsgBoxEmpty(1), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_TrcvMsg(&got, 1, OSWRAP_TMO_POL), OSWRAP_E_TMOUT);
    auto t0 = steady_clock::now();
    REQUIRE_EQ(oswrap_TrcvMsg(&got, 1, 40), OSWRAP_E_TMOUT);
    REQUIRE(msSince(t0) >= 35);
    for (auto& x : m)
        REQUIRE_EQ(oswrap_SndMsg(1, &x), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_IsMsgBoxEmpty(1), OSWRAP_E_FAIL);
    for (auto& x : m) {
        REQUIRE_EQ(oswrap_TrcvMsg(&got, 1, OSWRAP_TMO_POL), OSWRAP_E_OK);
        REQUIRE_EQ(got, &x);
    }
    REQUIRE_EQ(oswrap_IsMsgBoxEmpty(1), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_SndMsg(0, &m[0]), OSWRAP_E_MBXID);
    REQUIRE_EQ(oswrap_SndMsg(101, &m[0]), OSWRAP_E_MBXID);
    REQUIRE_EQ(oswrap_RcvMsg(&got, 101), OSWRAP_E_MBXID);
    REQUIRE_EQ(oswrap_SndMsg(1, nullptr), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_SndMsg(2, &m[0]), OSWRAP_E_NOEXS);
    REQUIRE_EQ(oswrap_IsMsgBoxEmpty(0), OSWRAP_E_FAIL);
    REQUIRE_EQ(oswrap_IsMsgBoxEmpty(2), OSWRAP_E_FAIL);
}

TEST_CASE_FIXTURE(OswrapFixture, "mailboxReceiverWokenBySender")
{
    T_OSWRAP_CMBX cm{0, "MBX"};
    REQUIRE_EQ(oswrap_CreMbx(7, &cm), OSWRAP_E_OK);
    T_OSWRAP_MSG msg{};
    // Two receivers, one message: one gets it, the other keeps waiting for
    // its own deadline instead of giving up early.
    auto recv = [] {
        T_OSWRAP_MSG* g = nullptr;
        auto t0 = steady_clock::now();
        int32_t r = oswrap_TrcvMsg(&g, 7, 300);
        return std::make_tuple(r, g, msSince(t0));
    };
    auto a = std::async(std::launch::async, recv);
    auto b = std::async(std::launch::async, recv);
    REQUIRE_EQ(oswrap_SndMsg(7, &msg), OSWRAP_E_OK);
    REQUIRE_EQ(a.wait_for(kGenerous), std::future_status::ready);
    REQUIRE_EQ(b.wait_for(kGenerous), std::future_status::ready);
    auto ra = a.get();
    auto rb = b.get();
    int ok = (std::get<0>(ra) == OSWRAP_E_OK) + (std::get<0>(rb) == OSWRAP_E_OK);
    REQUIRE_EQ(ok, 1);
    auto& loser = std::get<0>(ra) == OSWRAP_E_OK ? rb : ra;
    auto& winner = std::get<0>(ra) == OSWRAP_E_OK ? ra : rb;
    REQUIRE_EQ(std::get<1>(winner), &msg);
    REQUIRE_EQ(std::get<0>(loser), OSWRAP_E_TMOUT);
    REQUIRE(std::get<2>(loser) >= 290);
}

TEST_CASE_FIXTURE(OswrapFixture, "deletionWakesBlockedWaiters")
{
    T_OSWRAP_CSEM cs{0, 0, "S"};
    T_OSWRAP_CFLG cf{0, 0, "F"};
    T_OSWRAP_CMBX cm{0, "M"};
    REQUIRE_EQ(oswrap_CreSem(1, &cs), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_CreFlg(1, &cf), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_CreMbx(1, &cm), OSWRAP_E_OK);
    auto s = std::async(std::launch::async, [] { return oswrap_WaiSem(1); });
    auto f = std::async(std::launch::async, [] {
        uint32_t o = 0;
        return oswrap_WaiFlg(&o, 1, 1, OSWRAP_TWF_ORW);
    });
    auto m = std::async(std::launch::async, [] {
        T_OSWRAP_MSG* g = nullptr;
        return oswrap_RcvMsg(&g, 1);
    });
    // Whether a waiter is already blocked or arrives late, it must not hang
    // and must not report success on a deleted object.
    REQUIRE_EQ(s.wait_for(milliseconds(20)), std::future_status::timeout);
    REQUIRE_EQ(oswrap_DelSem(1), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_DelFlg(1), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_DelMbx(1), OSWRAP_E_OK);
    REQUIRE_EQ(s.wait_for(kGenerous), std::future_status::ready);
    REQUIRE_EQ(f.wait_for(kGenerous), std::future_status::ready);
    REQUIRE_EQ(m.wait_for(kGenerous), std::future_status::ready);
    REQUIRE_EQ(s.get(), OSWRAP_E_NOEXS);
    REQUIRE_EQ(f.get(), OSWRAP_E_NOEXS);
    REQUIRE_EQ(m.get(), OSWRAP_E_NOEXS);
}

TEST_CASE_FIXTURE(OswrapFixture, "taskFlagWaitTimesOut")
{
    TaskProbe probe;
    T_OSWRAP_CSEM cs{0, 0, "DONE"};
    REQUIRE_EQ(oswrap_AcreSem(&probe.doneSem, &cs), OSWRAP_E_OK);
    T_OSWRAP_CTSK ct = taskRecord(timedFlagWaitTask);
    int32_t tid = 0;
    REQUIRE_EQ(oswrap_AcreTsk(&tid, &ct), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_StaTsk(tid, &probe), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_TwaiSem(probe.doneSem, 10000), OSWRAP_E_OK);
    REQUIRE_EQ(probe.ownId.load(), tid);
    REQUIRE_EQ(probe.waitResult.load(), OSWRAP_E_TMOUT);
    REQUIRE_EQ(probe.waitOut.load(), 0u);
    REQUIRE_MESSAGE((probe.waitedMs >= 95 && probe.waitedMs < 2000), probe.waitedMs.load());

    // Bits set before the wait satisfy it at once and are consumed.
    REQUIRE_EQ(oswrap_WaiTsk(0), OSWRAP_E_OK);
    T_OSWRAP_RTSK info{};
    for (int i = 0; i < 1000; ++i) { // the entry returned; wait for dormancy
        REQUIRE_EQ(oswrap_RefTsk(&info, tid), OSWRAP_E_OK);
        if (info.state == OSWRAP_TTS_DMT)
            break;
        oswrap_WaiTsk(5);
    }
    REQUIRE_EQ(info.state, OSWRAP_TTS_DMT);
    REQUIRE_EQ(oswrap_VsetTfl(tid, 0x3), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_StaTsk(tid, &probe), OSWRAP_E_OK); // restart after return
    REQUIRE_EQ(oswrap_TwaiSem(probe.doneSem, 10000), OSWRAP_E_OK);
    REQUIRE_EQ(probe.waitResult.load(), OSWRAP_E_OK);
    REQUIRE_EQ(probe.waitOut.load(), 0x3u);

    uint32_t out = 0;
    REQUIRE_EQ(oswrap_VtwaiTfl(&out, 1, 0), OSWRAP_E_NOEXS); // not a task
    REQUIRE_EQ(oswrap_VsetTfl(0, 1), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_VsetTfl(3, 1), OSWRAP_E_NOEXS);
}

TEST_CASE_FIXTURE(OswrapFixture, "terminateWakesTaskFlagWait")
{
    TaskProbe probe;
    T_OSWRAP_CSEM cs{0, 0, "STARTED"};
    REQUIRE_EQ(oswrap_AcreSem(&probe.startedSem, &cs), OSWRAP_E_OK);
    T_OSWRAP_CTSK ct = taskRecord(terminableTask, "TERM");
    REQUIRE_EQ(oswrap_CreTsk(1, &ct), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_StaTsk(1, &probe), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_StaTsk(1, &probe), OSWRAP_E_OBJ); // already has a thread
    REQUIRE_EQ(oswrap_TwaiSem(probe.startedSem, 10000), OSWRAP_E_OK);
    REQUIRE_EQ(probe.checkTerm.load(), OSWRAP_E_OBJ);
    REQUIRE_EQ(oswrap_VsetTfl(1, 0x4), OSWRAP_E_OK); // not in the pattern
    REQUIRE_EQ(oswrap_TerTsk(1), OSWRAP_E_OK); // returns once the thread ended
    REQUIRE_EQ(probe.waitResult.load(), OSWRAP_E_TERM);
    REQUIRE_EQ(probe.waitOut.load(), 0x4u);
    REQUIRE_EQ(probe.secondWait.load(), OSWRAP_E_TERM); // the request stays visible
    REQUIRE_EQ(probe.checkTerm.load(), OSWRAP_E_OBJ); // ExtTsk really ended it
    T_OSWRAP_RTSK info{};
    REQUIRE_EQ(oswrap_RefTsk(&info, 1), OSWRAP_E_OK);
    REQUIRE_EQ(info.state, OSWRAP_TTS_DMT);
    REQUIRE_EQ(oswrap_TerTsk(1), OSWRAP_E_OBJ); // dormant
    REQUIRE_EQ(oswrap_DelTsk(1), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_TerTsk(1), OSWRAP_E_NOEXS);
}

TEST_CASE_FIXTURE(OswrapFixture, "taskLifecycleAndUnsupportedCalls")
{
    std::atomic<int> runs{0};
    T_OSWRAP_CTSK ct = taskRecord(returningTask, "RET");
    REQUIRE_EQ(oswrap_CreTsk(2, &ct), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_TerTsk(2), OSWRAP_E_OBJ); // never started
#ifdef _WIN32
    REQUIRE_EQ(oswrap_SusTsk(2), OSWRAP_E_OBJ); // not running
    REQUIRE_EQ(oswrap_RsmTsk(2), OSWRAP_E_OBJ); // not suspended
#else
    REQUIRE_EQ(oswrap_SusTsk(2), OSWRAP_E_NOSPT);
    REQUIRE_EQ(oswrap_RsmTsk(2), OSWRAP_E_NOSPT);
#endif
    REQUIRE_EQ(oswrap_StaTsk(2, &runs), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_DelTsk(2), OSWRAP_E_OK); // waits for the thread
    REQUIRE_EQ(runs.load(), 1);
    REQUIRE_EQ(oswrap_StaTsk(2, &runs), OSWRAP_E_NOEXS);
    REQUIRE_EQ(oswrap_ExtTsk(), OSWRAP_E_NOEXS); // a foreign thread cannot
    REQUIRE_EQ(oswrap_CheckReqTerminate(), OSWRAP_E_NOEXS);
    REQUIRE_EQ(oswrap_RefTsk(nullptr, 2), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_WaiTsk(-1), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_yield(), OSWRAP_E_OK);

    // Task 1 is the main task that oswrap_WaitForSysMainTaskFinished follows.
    REQUIRE_EQ(oswrap_WaitForSysMainTaskFinished(), OSWRAP_E_OK); // none recorded
    REQUIRE_EQ(oswrap_CreTsk(1, &ct), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_StaTsk(1, &runs), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_WaitForSysMainTaskFinished(), OSWRAP_E_OK);
    REQUIRE_EQ(runs.load(), 2);
}

#ifdef _WIN32
namespace {

// Counts its rounds until asked to terminate.
void countingTask(void* p)
{
    auto* rounds = static_cast<std::atomic<uint64_t>*>(p);
    while (oswrap_CheckReqTerminate() != OSWRAP_E_OK) {
        rounds->fetch_add(1);
        oswrap_yield();
    }
}

// Rounds once the count has stopped moving for 20 ms (at most 5 s).
uint64_t settledRounds(const std::atomic<uint64_t>& rounds)
{
    uint64_t last = rounds.load();
    for (int i = 0; i < 250; ++i) {
        std::this_thread::sleep_for(milliseconds(20));
        const uint64_t now = rounds.load();
        if (now == last)
            return now;
        last = now;
    }
    return ~uint64_t(0);
}

// Suspends itself between two rounds.
void selfSuspendingTask(void* p)
{
    auto* rounds = static_cast<std::atomic<uint64_t>*>(p);
    int32_t self = 0;
    oswrap_GetTskId(&self);
    rounds->store(1);
    if (oswrap_SusTsk(self) == OSWRAP_E_OK)
        rounds->store(2);
}

bool roundsPass(const std::atomic<uint64_t>& rounds, uint64_t mark)
{
    const auto t0 = steady_clock::now();
    while (rounds.load() <= mark && steady_clock::now() - t0 < kGenerous)
        oswrap_yield();
    return rounds.load() > mark;
}

} // namespace

// A suspended task makes no progress until resumed; terminating a suspended
// task resumes it so that it can end; a task can suspend itself.
TEST_CASE_FIXTURE(OswrapFixture, "suspendAndResume")
{
    std::atomic<uint64_t> rounds{0};
    T_OSWRAP_CTSK ct = taskRecord(countingTask, "COUNT");
    REQUIRE_EQ(oswrap_CreTsk(4, &ct), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_StaTsk(4, &rounds), OSWRAP_E_OK);
    REQUIRE(roundsPass(rounds, 0));
    REQUIRE_EQ(oswrap_SusTsk(4), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_SusTsk(4), OSWRAP_E_OBJ); // already suspended
    T_OSWRAP_RTSK info{};
    REQUIRE_EQ(oswrap_RefTsk(&info, 4), OSWRAP_E_OK);
    REQUIRE_EQ(info.state, OSWRAP_TTS_SUS);
    const uint64_t stopped = settledRounds(rounds);
    REQUIRE_NE(stopped, ~uint64_t(0));
    std::this_thread::sleep_for(milliseconds(100)); // a window for progress that must not come
    REQUIRE_EQ(rounds.load(), stopped);
    REQUIRE_EQ(oswrap_RsmTsk(4), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_RsmTsk(4), OSWRAP_E_OBJ); // running again
    REQUIRE_EQ(oswrap_RefTsk(&info, 4), OSWRAP_E_OK);
    REQUIRE_EQ(info.state, OSWRAP_TTS_RUN);
    REQUIRE(roundsPass(rounds, stopped));

    REQUIRE_EQ(oswrap_SusTsk(4), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_TerTsk(4), OSWRAP_E_OK); // resumed, noticed, ended
    REQUIRE_EQ(oswrap_RefTsk(&info, 4), OSWRAP_E_OK);
    REQUIRE_EQ(info.state, OSWRAP_TTS_DMT);
    REQUIRE_EQ(oswrap_SusTsk(4), OSWRAP_E_OBJ); // dormant
    REQUIRE_EQ(oswrap_SusTsk(0), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_RsmTsk(51), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_SusTsk(5), OSWRAP_E_NOEXS);

    rounds = 0;
    T_OSWRAP_CTSK self = taskRecord(selfSuspendingTask, "SELF");
    REQUIRE_EQ(oswrap_CreTsk(5, &self), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_StaTsk(5, &rounds), OSWRAP_E_OK);
    for (int i = 0; i < 2000 && (info.state != OSWRAP_TTS_SUS || rounds.load() != 1); ++i) {
        REQUIRE_EQ(oswrap_RefTsk(&info, 5), OSWRAP_E_OK);
        oswrap_WaiTsk(5);
    }
    REQUIRE_EQ(info.state, OSWRAP_TTS_SUS);
    REQUIRE_EQ(rounds.load(), 1u);
    REQUIRE_EQ(oswrap_RsmTsk(5), OSWRAP_E_OK);
    REQUIRE(roundsPass(rounds, 1));
    REQUIRE_EQ(oswrap_DelTsk(5), OSWRAP_E_OK);
}
#endif

TEST_CASE_FIXTURE(OswrapFixture, "foreignThreadIds")
{
    int32_t a = 0, b = 0;
    REQUIRE_EQ(oswrap_GetTskId(&a), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_GetTskId(&b), OSWRAP_E_OK);
    REQUIRE_EQ(a, b);
    REQUIRE((a >= OSWRAP_FOREIGN_ID_BASE && a <= 0xFFFF));
    REQUIRE((a & ((1 << OSWRAP_FOREIGN_SLOT_BITS) - 1)) < OSWRAP_MAX_FOREIGN);
    REQUIRE_EQ(oswrap_CheckReqTerminate(), OSWRAP_E_NOEXS);
    auto other = std::async(std::launch::async, [] {
        int32_t x = 0, y = 0;
        oswrap_GetTskId(&x);
        oswrap_GetTskId(&y);
        return x == y ? x : -1;
    });
    int32_t o = other.get();
    REQUIRE(o >= OSWRAP_FOREIGN_ID_BASE);
    REQUIRE(o != a);
    REQUIRE_EQ(oswrap_GetTskId(nullptr), OSWRAP_E_PAR);
}

TEST_CASE_FIXTURE(OswrapFixture, "foreignTableFullAndSlotsFreed")
{
    int32_t mine = 0;
    REQUIRE_EQ(oswrap_GetTskId(&mine), OSWRAP_E_OK); // holds one slot
    constexpr int kThreads = OSWRAP_MAX_FOREIGN;
    std::vector<std::thread> threads;
    std::vector<int32_t> results(kThreads), ids(kThreads, -1);
    std::atomic<int> arrived{0};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            results[i] = oswrap_GetTskId(&ids[i]);
            arrived++;
            released.wait();
        });
    }
    while (arrived < kThreads)
        std::this_thread::yield();
    int full = 0;
    std::set<int32_t> seen{mine};
    for (int i = 0; i < kThreads; ++i) {
        if (results[i] == OSWRAP_I_FULL) {
            ++full;
            REQUIRE_EQ(ids[i], 0);
        } else {
            REQUIRE_EQ(results[i], OSWRAP_E_OK);
            REQUIRE_EQ(seen.count(ids[i]), 0u);
            seen.insert(ids[i]);
        }
    }
    REQUIRE_EQ(full, 1);
    release.set_value();
    for (auto& t : threads)
        t.join();
    // Threads that ended gave their slots back.
    for (int i = 0; i < 3; ++i) {
        auto f = std::async(std::launch::async, [] {
            int32_t x = 0;
            return oswrap_GetTskId(&x);
        });
        REQUIRE_EQ(f.get(), OSWRAP_E_OK);
    }
}

TEST_CASE_FIXTURE(OswrapFixture, "foreignIdOfEndedThreadIsNotReused")
{
    int32_t mine = 0;
    REQUIRE_EQ(oswrap_GetTskId(&mine), OSWRAP_E_OK);
    auto idOfNewThread = [] {
        return std::async(std::launch::async,
                          [] {
                              int32_t x = 0;
                              return oswrap_GetTskId(&x) == OSWRAP_E_OK ? x : -1;
                          })
            .get();
    };
    // Each thread has ended (and given its slot back) before the next starts,
    // so all of them take the same slot.
    const int32_t slotMask = (1 << OSWRAP_FOREIGN_SLOT_BITS) - 1;
    std::set<int32_t> ids{mine};
    const int32_t first = idOfNewThread();
    REQUIRE(first >= OSWRAP_FOREIGN_ID_BASE);
    ids.insert(first);
    for (int i = 0; i < 5; ++i) {
        const int32_t next = idOfNewThread();
        REQUIRE((next >= OSWRAP_FOREIGN_ID_BASE && next <= 0xFFFF));
        REQUIRE_EQ(next & slotMask, first & slotMask);
        REQUIRE_MESSAGE(ids.count(next) == 0, "id 0x", hex(next));
        ids.insert(next);
    }
}

TEST_CASE_FIXTURE(OswrapFixture, "oneshotTimerModes")
{
    oswrap_VsetClkSrc(fakeClock);
    gFakeMs = 1000;
    T_OSWRAP_TIMER_MS t;
    REQUIRE_EQ(oswrap_svcInitTimerMs(&t), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_svcIsActiveTimerMs(&t), OSWRAP_E_OBJ);
    REQUIRE_EQ(oswrap_svcCheckOneshotTimerMs(&t), OSWRAP_E_OBJ);
    REQUIRE_EQ(oswrap_svcStartOneshotTimerMs(&t, 0), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_svcCheckOneshotTimerMs(&t), OSWRAP_I_EXPIRED);
    gFakeMs = 5000;
    REQUIRE_EQ(oswrap_svcCheckOneshotTimerMs(&t), OSWRAP_I_EXPIRED); // stays expired
    REQUIRE_EQ(int(t.mode), OSWRAP_TIMER_EXPIRED);
    REQUIRE_EQ(oswrap_svcIsActiveTimerMs(&t), OSWRAP_E_OBJ);

    REQUIRE_EQ(oswrap_svcStartOneshotTimerMs(&t, 100), OSWRAP_E_OK); // restart
    REQUIRE_EQ(oswrap_svcIsActiveTimerMs(&t), OSWRAP_E_OK);
    gFakeMs = 5099;
    REQUIRE_EQ(oswrap_svcCheckOneshotTimerMs(&t), OSWRAP_E_OK);
    gFakeMs = 5100;
    REQUIRE_EQ(oswrap_svcCheckOneshotTimerMs(&t), OSWRAP_I_EXPIRED);
    gFakeMs = 5101;
    REQUIRE_EQ(oswrap_svcCheckOneshotTimerMs(&t), OSWRAP_I_EXPIRED);
    REQUIRE_EQ(oswrap_svcStartFreerunTimerMs(&t), OSWRAP_E_OBJ); // expired one-shot
    REQUIRE_EQ(oswrap_svcStopTimerMs(&t), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_svcCheckOneshotTimerMs(&t), OSWRAP_E_OBJ);

    REQUIRE_EQ(oswrap_svcInitTimerMs(nullptr), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_svcStartOneshotTimerMs(nullptr, 1), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_svcCheckOneshotTimerMs(nullptr), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_svcIsActiveTimerMs(nullptr), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_svcStopTimerMs(nullptr), OSWRAP_E_PAR);
}

TEST_CASE_FIXTURE(OswrapFixture, "freerunTimerModes")
{
    oswrap_VsetClkSrc(fakeClock);
    gFakeMs = 200;
    T_OSWRAP_TIMER_MS t;
    oswrap_svcInitTimerMs(&t);
    uint32_t elapsed = 99;
    REQUIRE_EQ(oswrap_svcWatchFreerunTimerMs(&t, &elapsed, 10), OSWRAP_E_OBJ);
    REQUIRE_EQ(oswrap_svcStartFreerunTimerMs(&t), OSWRAP_E_OK);
    gFakeMs = 250;
    REQUIRE_EQ(oswrap_svcWatchFreerunTimerMs(&t, &elapsed, 51), OSWRAP_E_OK);
    REQUIRE_EQ(elapsed, 50u);
    REQUIRE_EQ(oswrap_svcWatchFreerunTimerMs(&t, &elapsed, 50), OSWRAP_I_EXPIRED);
    // A one-shot start is refused and the free-running timer keeps running.
    REQUIRE_EQ(oswrap_svcStartOneshotTimerMs(&t, 10), OSWRAP_E_OBJ);
    REQUIRE_EQ(int(t.mode), OSWRAP_TIMER_FREERUN);
    REQUIRE_EQ(oswrap_svcIsActiveTimerMs(&t), OSWRAP_E_OK);
    gFakeMs = 300;
    REQUIRE_EQ(oswrap_svcWatchFreerunTimerMs(&t, &elapsed, 1000), OSWRAP_E_OK);
    REQUIRE_EQ(elapsed, 100u);
    REQUIRE_EQ(oswrap_svcStartFreerunTimerMs(&t), OSWRAP_E_OK); // restart
    REQUIRE_EQ(oswrap_svcWatchFreerunTimerMs(&t, &elapsed, 1000), OSWRAP_E_OK);
    REQUIRE_EQ(elapsed, 0u);
    REQUIRE_EQ(oswrap_svcWatchFreerunTimerMs(&t, nullptr, 1), OSWRAP_E_PAR);

    T_OSWRAP_TIMER_MS o;
    oswrap_svcInitTimerMs(&o);
    oswrap_svcStartOneshotTimerMs(&o, 10);
    REQUIRE_EQ(oswrap_svcStartFreerunTimerMs(&o), OSWRAP_E_OBJ);
    REQUIRE_EQ(int(o.mode), OSWRAP_TIMER_ONESHOT);
}

TEST_CASE_FIXTURE(OswrapFixture, "timerCountWrapAround")
{
    oswrap_VsetClkSrc(fakeClock);
    gFakeMs = 0xFFFFFFF0u;
    T_OSWRAP_TIMER_MS t;
    oswrap_svcInitTimerMs(&t);
    REQUIRE_EQ(oswrap_svcStartOneshotTimerMs(&t, 32), OSWRAP_E_OK);
    gFakeMs = 0x0000000Eu; // 30 ms later, across the wrap
    REQUIRE_EQ(oswrap_svcCheckOneshotTimerMs(&t), OSWRAP_E_OK);
    gFakeMs = 0x00000010u; // 32 ms later
    REQUIRE_EQ(oswrap_svcCheckOneshotTimerMs(&t), OSWRAP_I_EXPIRED);

    // The real clock is monotonic and counts milliseconds.
    oswrap_VsetClkSrc(nullptr);
    uint32_t a = 0, b = 0, hi = 0, lo = 0;
    REQUIRE_EQ(oswrap_Get1msCount(&a), OSWRAP_E_OK);
    oswrap_WaiTsk(20);
    REQUIRE_EQ(oswrap_Get1msCount(&b), OSWRAP_E_OK);
    REQUIRE((uint32_t(b - a) >= 19 && uint32_t(b - a) < 5000));
    REQUIRE_EQ(oswrap_Get1usCount(&hi, &lo), OSWRAP_E_OK);
    REQUIRE((((uint64_t)hi << 32) | lo) / 1000 >= b - 1);
    REQUIRE_EQ(oswrap_Get1msCount(nullptr), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_Get1usCount(nullptr, &lo), OSWRAP_E_PAR);
}

TEST_CASE_FIXTURE(OswrapFixture, "interlockedOperations")
{
    volatile int32_t w = 5;
    REQUIRE_EQ(oswrap_InterlockedIncrement(&w), 5);
    REQUIRE_EQ(int(w), 6);
    REQUIRE_EQ(oswrap_InterlockedDecrement(&w), 6);
    REQUIRE_EQ(int(w), 5);
    REQUIRE_EQ(oswrap_InterlockedExchange(&w, 42), 5);
    REQUIRE_EQ(int(w), 42);
    REQUIRE_EQ(oswrap_InterlockedCompareExchange(&w, 7, 41), 42); // no match
    REQUIRE_EQ(int(w), 42);
    REQUIRE_EQ(oswrap_InterlockedCompareExchange(&w, 7, 42), 42);
    REQUIRE_EQ(int(w), 7);

    volatile int32_t counter = 0;
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i)
        ts.emplace_back([&] {
            for (int n = 0; n < 20000; ++n) {
                oswrap_InterlockedIncrement(&counter);
                if (n % 2)
                    oswrap_InterlockedDecrement(&counter);
            }
        });
    for (auto& t : ts)
        t.join();
    REQUIRE_EQ(int(counter), 4 * 10000);
}

TEST_CASE_FIXTURE(OswrapFixture, "interlockedOnNullAnswerParameterError")
{
    const struct
    {
        const char* name;
        int op;
    } rows[] = {{"increment", 0}, {"decrement", 1}, {"exchange", 2}, {"compare-exchange", 3}};
    for (const auto& row : rows) {
        SUBCASE(row.name)
        {
            int32_t r = 0;
            switch (row.op) {
            case 0:
                r = oswrap_InterlockedIncrement(nullptr);
                break;
            case 1:
                r = oswrap_InterlockedDecrement(nullptr);
                break;
            case 2:
                r = oswrap_InterlockedExchange(nullptr, 1);
                break;
            default:
                r = oswrap_InterlockedCompareExchange(nullptr, 1, 0);
                break;
            }
            REQUIRE_EQ(r, OSWRAP_E_PAR);
        }
    }
}

TEST_CASE_FIXTURE(OswrapFixture, "taskAndProcessLoad")
{
    std::atomic<bool> stop{false};
    T_OSWRAP_CTSK busy = taskRecord(busyTask, "BUSY");
    REQUIRE_EQ(oswrap_CreTsk(3, &busy), OSWRAP_E_OK);
    uint32_t load = 12345;
    REQUIRE_EQ(oswrap_GetTskLoad(&load, 3), OSWRAP_E_OBJ); // not running
    REQUIRE_EQ(oswrap_StaTsk(3, &stop), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_GetTskLoad(&load, 3), OSWRAP_E_OK);
    REQUIRE_EQ(load, 0u); // first call: no interval yet
    uint32_t proc = 12345;
    REQUIRE_EQ(oswrap_GetProcessLoad(&proc), OSWRAP_E_OK);
    REQUIRE_EQ(proc, 0u);
    oswrap_WaiTsk(300);
    REQUIRE_EQ(oswrap_GetTskLoad(&load, 3), OSWRAP_E_OK);
    stop = true;
    REQUIRE_EQ(oswrap_DelTsk(3), OSWRAP_E_OK);
    // A spinning thread on a shared machine still gets a good share of a core.
    REQUIRE_MESSAGE((load > 1500 && load <= 10000), load);
    REQUIRE_EQ(oswrap_GetTskLoad(nullptr, 3), OSWRAP_E_PAR);
    REQUIRE_EQ(oswrap_GetProcessLoad(nullptr), OSWRAP_E_PAR);
}

namespace {

int64_t processCpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t wallNs()
{
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

// One load reading with the process's CPU time and the wall clock read just
// before and just after it.
struct Reading
{
    int64_t cpuBefore, wallBefore, cpuAfter, wallAfter;
    uint32_t load;
};

Reading readLoad()
{
    Reading r{};
    r.load = 54321;
    r.cpuBefore = processCpuNs();
    r.wallBefore = wallNs();
    const int32_t rc = oswrap_GetProcessLoad(&r.load);
    r.wallAfter = wallNs();
    r.cpuAfter = processCpuNs();
    if (rc != OSWRAP_E_OK)
        r.load = 54321;
    return r;
}

} // namespace

// The reading lies between the shares the test measured around the two
// calls, whatever the machine's other load: CPU time and wall time are both
// taken before and after each call, which bounds the ratio the call saw.
static void burnShareAndRead(int threads, int cpuMs, int windowMs)
{
    const Reading first = readLoad();
    REQUIRE(first.load <= 10000);
    const int64_t cpuGoal = first.cpuAfter + int64_t(cpuMs) * 1000000;
    std::vector<std::thread> burners;
    for (int i = 0; i < threads; ++i)
        burners.emplace_back([cpuGoal] {
            volatile uint64_t x = 0;
            while (processCpuNs() < cpuGoal)
                x = x + 1;
        });
    for (auto& t : burners)
        t.join();
    // The rest of the window is idle.
    const int64_t windowEnd = first.wallAfter + int64_t(windowMs) * 1000000;
    if (wallNs() < windowEnd)
        std::this_thread::sleep_for(nanoseconds(windowEnd - wallNs()));
    const Reading second = readLoad();

    const double low
        = double(second.cpuBefore - first.cpuAfter) * 10000.0 / double(second.wallAfter - first.wallBefore);
    const double high
        = double(second.cpuAfter - first.cpuBefore) * 10000.0 / double(second.wallBefore - first.wallAfter);
    const double lowCapped = std::min(low, 10000.0);
    const double highCapped = std::min(high, 10000.0);
    INFO("load ", second.load, ", expected ", lowCapped, "..", highCapped);
    REQUIRE((second.load + 1 >= lowCapped && second.load <= highCapped + 1));
    // The share itself was burned: not an idle or a saturated reading by chance.
    REQUIRE(lowCapped >= 1000.0);
}

TEST_CASE_FIXTURE(OswrapFixture, "processLoadFollowsBurnedShare")
{
    const struct
    {
        const char* name;
        int threads;
        int cpuMs; // CPU time to burn, all threads together
        int windowMs;
    } rows[] = {
        {"a quarter of one processor", 1, 100, 400},
        {"three fifths of one processor", 1, 240, 400},
        {"two threads, capped at one processor", 2, 600, 400},
    };
    for (const auto& row : rows) {
        SUBCASE(row.name)
        burnShareAndRead(row.threads, row.cpuMs, row.windowMs);
    }
}

TEST_CASE_FIXTURE(OswrapFixture, "concurrentCreateWaitDelete")
{
    constexpr int kThreads = 6;
    constexpr int kRounds = 400;
    std::atomic<int> bad{0};
    std::atomic<int> acquired{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < kThreads; ++i) {
        ts.emplace_back([&, i] {
            T_OSWRAP_CSEM cs{0, 1, "RACE"};
            for (int n = 0; n < kRounds; ++n) {
                int32_t r = oswrap_CreSem(7, &cs);
                if (r != OSWRAP_E_OK && r != OSWRAP_E_OBJ)
                    bad++;
                r = oswrap_TwaiSem(7, (n + i) % 3);
                if (r == OSWRAP_E_OK) {
                    acquired++;
                    r = oswrap_SigSem(7);
                    if (r != OSWRAP_E_OK && r != OSWRAP_E_NOEXS)
                        bad++;
                } else if (r != OSWRAP_E_TMOUT && r != OSWRAP_E_NOEXS) {
                    bad++;
                }
                int32_t id = 0;
                r = oswrap_VinqSem(&id, "RACE");
                if (r == OSWRAP_E_OK && id != 7)
                    bad++;
                if ((n + i) % 4 == 0) {
                    r = oswrap_DelSem(7);
                    if (r != OSWRAP_E_OK && r != OSWRAP_E_NOEXS)
                        bad++;
                }
                // Automatic ids are never handed out twice at the same time.
                int32_t aid = 0;
                T_OSWRAP_CSEM other{0, 0, "AUTO"};
                if (oswrap_AcreSem(&aid, &other) == OSWRAP_E_OK) {
                    if (aid < 50 || aid > 100)
                        bad++;
                    if (oswrap_DelSem(aid) != OSWRAP_E_OK)
                        bad++;
                }
            }
        });
    }
    for (auto& t : ts)
        t.join();
    REQUIRE_EQ(bad.load(), 0);
    REQUIRE(acquired > 0);
    // The slot is coherent afterwards.
    oswrap_DelSem(7);
    T_OSWRAP_CSEM cs{0, 0, "AFTER"};
    REQUIRE_EQ(oswrap_CreSem(7, &cs), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_TwaiSem(7, OSWRAP_TMO_POL), OSWRAP_E_TMOUT);
    int32_t count = -1;
    REQUIRE_EQ(oswrap_RefSem(7, &count), OSWRAP_E_OK);
    REQUIRE_EQ(count, 0);
}

TEST_CASE_FIXTURE(OswrapFixture, "concurrentFlagsAndMailboxes")
{
    constexpr int kThreads = 4;
    std::atomic<int> bad{0};
    std::atomic<int> received{0};
    std::vector<std::thread> ts;
    static T_OSWRAP_MSG msgs[kThreads][50];
    for (int i = 0; i < kThreads; ++i) {
        ts.emplace_back([&, i] {
            T_OSWRAP_CFLG cf{(i % 2) ? OSWRAP_TA_CLR : 0u, 0, "RF"};
            T_OSWRAP_CMBX cm{0, "RM"};
            for (int n = 0; n < 300; ++n) {
                int32_t r = oswrap_CreFlg(9, &cf);
                if (r != OSWRAP_E_OK && r != OSWRAP_E_OBJ)
                    bad++;
                r = oswrap_SetFlg(9, 1u << (n % 8));
                if (r != OSWRAP_E_OK && r != OSWRAP_E_NOEXS)
                    bad++;
                uint32_t out = 0;
                r = oswrap_TwaiFlg(&out, 9, 0xFF, OSWRAP_TWF_ORW, 1);
                if (r == OSWRAP_E_OK && (out & 0xFF) == 0)
                    bad++;
                else if (r != OSWRAP_E_OK && r != OSWRAP_E_TMOUT && r != OSWRAP_E_NOEXS)
                    bad++;
                if (n % 7 == 0 && oswrap_DelFlg(9) == OSWRAP_E_PAR)
                    bad++;

                r = oswrap_CreMbx(9, &cm);
                if (r != OSWRAP_E_OK && r != OSWRAP_E_OBJ)
                    bad++;
                T_OSWRAP_MSG* m = &msgs[i][n % 50];
                // A message may be queued only once; only requeue our own
                // message after it came back out.
                if (n < 50)
                    r = oswrap_SndMsg(9, m);
                T_OSWRAP_MSG* got = nullptr;
                r = oswrap_TrcvMsg(&got, 9, 1);
                if (r == OSWRAP_E_OK) {
                    received++;
                    if (!got)
                        bad++;
                } else if (r != OSWRAP_E_TMOUT && r != OSWRAP_E_NOEXS) {
                    bad++;
                }
                if (n % 11 == 0)
                    oswrap_DelMbx(9);
            }
        });
    }
    for (auto& t : ts)
        t.join();
    REQUIRE_EQ(bad.load(), 0);
    REQUIRE(received > 0);
}

TEST_CASE_FIXTURE(OswrapFixture, "exitEndsRunningTasks")
{
    TaskProbe a, b;
    T_OSWRAP_CSEM cs{0, 0, "STARTED"};
    REQUIRE_EQ(oswrap_AcreSem(&a.startedSem, &cs), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_AcreSem(&b.startedSem, &cs), OSWRAP_E_OK);
    T_OSWRAP_CTSK ct = taskRecord(terminableTask, "EXIT");
    int32_t id = 0;
    REQUIRE_EQ(oswrap_CreTsk(10, &ct), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_AcreTsk(&id, &ct), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_StaTsk(10, &a), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_StaTsk(id, &b), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_TwaiSem(a.startedSem, 10000), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_TwaiSem(b.startedSem, 10000), OSWRAP_E_OK);
    REQUIRE_EQ(oswrap_exit(), OSWRAP_E_OK);
    REQUIRE_EQ(a.waitResult.load(), OSWRAP_E_TERM);
    REQUIRE_EQ(b.waitResult.load(), OSWRAP_E_TERM);
    REQUIRE_EQ(oswrap_init(), OSWRAP_E_OK);
    T_OSWRAP_RTSK info{};
    REQUIRE_EQ(oswrap_RefTsk(&info, 10), OSWRAP_E_NOEXS);
    REQUIRE_EQ(oswrap_RefTsk(&info, id), OSWRAP_E_NOEXS);
    int32_t found = 0;
    REQUIRE_EQ(oswrap_VinqSem(&found, "STARTED"), OSWRAP_E_NONAME);
}

int main(int argc, char** argv)
{
    return doctest::Context(argc, argv).run();
}
