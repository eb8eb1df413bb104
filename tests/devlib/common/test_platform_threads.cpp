// Mutexes, threads, time and the logger thread.
#include "aFile.h"
#include "aLogger.h"
#include "aMutex.h"
#include "aThread.h"
#include "aTime.h"

#include "platform_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/time.h>

using namespace platform_test;

#if defined(__SANITIZE_THREAD__)
#define UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define UNDER_TSAN 1
#endif
#endif

namespace {
constexpr auto kPatience = std::chrono::seconds(20);
}

TEST(PlatformMutex, NameLimits) {
    std::string longest(aMUTEX_MAX_NAME, 'm');
    aMutexHandle m = aMutex_Create(longest.c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(aMutex_Identifier(m), longest);
    EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
    EXPECT_EQ(m, nullptr);

    EXPECT_EQ(aMutex_Create(std::string(aMUTEX_MAX_NAME + 1, 'm').c_str()), nullptr);

    for (const char* name : {static_cast<const char*>(nullptr), ""}) {
        aMutexHandle anon = aMutex_Create(name);
        ASSERT_NE(anon, nullptr);
        EXPECT_STREQ(aMutex_Identifier(anon), "");
        EXPECT_EQ(aMutex_Destroy(&anon), aErrNone);
    }
}

TEST(PlatformMutex, RefusesNullAndInvalidHandles) {
    alignas(16) unsigned char zeros[512] = {};
    for (aMutexHandle bad :
         {static_cast<aMutexHandle>(nullptr), reinterpret_cast<aMutexHandle>(zeros)}) {
        EXPECT_EQ(aMutex_Lock(bad), aErrParam);
        EXPECT_EQ(aMutex_TryLock(bad), aErrParam);
        EXPECT_EQ(aMutex_Unlock(bad), aErrParam);
        EXPECT_STREQ(aMutex_Identifier(bad), "");
        aMutexHandle copy = bad;
        EXPECT_EQ(aMutex_Destroy(&copy), aErrParam);
        EXPECT_EQ(copy, nullptr);
    }
    EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
}

TEST(PlatformMutex, TryLockSeesAHolderInAnotherThread) {
    aMutexHandle m = aMutex_Create("held");
    ASSERT_EQ(aMutex_Lock(m), aErrNone);
    aErr seen = aErrNone;
    std::thread([&] { seen = aMutex_TryLock(m); }).join();
    EXPECT_EQ(seen, aErrBusy);
    ASSERT_EQ(aMutex_Unlock(m), aErrNone);
    std::thread([&] {
        seen = aMutex_TryLock(m);
        if (seen == aErrNone) aMutex_Unlock(m);
    }).join();
    EXPECT_EQ(seen, aErrNone);
    aMutex_Destroy(&m);
}

TEST(PlatformMutex, ExcludesConcurrentWriters) {
    aMutexHandle m = aMutex_Create("counter");
    long counter = 0; // guarded by m only
    constexpr int kThreads = 4, kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                ASSERT_EQ(aMutex_Lock(m), aErrNone);
                ++counter;
                ASSERT_EQ(aMutex_Unlock(m), aErrNone);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, long{kThreads} * kRounds);
    EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
}

TEST(PlatformMutex, DestroyOfAHeldMutexKeepsIt) {
#ifdef UNDER_TSAN
    GTEST_SKIP() << "the sanitizer reports destroying a held mutex by design";
#endif
    aMutexHandle m = aMutex_Create("busy");
    ASSERT_EQ(aMutex_Lock(m), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&m), aErrBusy);
    ASSERT_NE(m, nullptr) << "the holder still needs it";
    EXPECT_EQ(aMutex_Unlock(m), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
    EXPECT_EQ(m, nullptr);
}

TEST(PlatformThread, RunsJoinsAndClears) {
    struct Job {
        static void* Run(void* arg) {
            auto* v = static_cast<std::atomic<int>*>(arg);
            v->store(v->load() * 2 + 1);
            return nullptr;
        }
    };
    std::atomic<int> value{20};
    aThreadHandle t = aThread_Create(Job::Run, &value);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(aThread_Destroy(&t), 0);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(value.load(), 41) << "joined: the thread's work is done";

    EXPECT_EQ(aThread_Destroy(&t), EINVAL);
    EXPECT_EQ(aThread_Destroy(nullptr), EINVAL);
    EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
    aThread_Yield();
}

namespace {
void RecordSlice(uint32_t us, void* ref) {
    static_cast<std::vector<uint32_t>*>(ref)->push_back(us);
}
} // namespace

TEST(PlatformTime, SleepIsSlicedBelowOneSecond) {
    struct Case {
        uint64_t ms;
        std::vector<uint32_t> slices;
    } const cases[] = {
        {0, {}},
        {1, {1000}},
        {999, {999000}},
        {1000, {999999, 1}},
        {2500, {999999, 999999, 500002}},
        {3000, {999999, 999999, 999999, 3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ms);
        std::vector<uint32_t> slices;
        aTime_MSSleepSliced(c.ms, RecordSlice, &slices);
        EXPECT_EQ(slices, c.slices);
    }
    EXPECT_EQ(aTime_MSSleep(0), aErrNone);
    EXPECT_EQ(aTime_MSSleep(1), aErrNone);
}

TEST(PlatformTime, TicksFollowTheWallClock) {
    auto wallMs = [] {
        timeval tv;
        gettimeofday(&tv, nullptr);
        return uint64_t(tv.tv_sec) * 1000 + uint64_t(tv.tv_usec) / 1000;
    };
    uint64_t before = wallMs();
    uint64_t ticks = aTime_GetMSTicks();
    uint64_t after = wallMs();
    EXPECT_LE(before, ticks);
    EXPECT_LE(ticks, after);
}

// Logger: the callback reaches its test's state through the context number.
namespace {

struct LoggerState {
    std::mutex lock;
    std::condition_variable changed;
    int rounds = 0;
    aLoggerHandle self = nullptr; // for the callback that acts on its own logger
    int actAtRound = -1;
    aErr disableResult = aErrUnknown, destroyResult = aErrUnknown;
    std::thread::id thread;

    template <class Pred> bool WaitFor(Pred pred) {
        std::unique_lock<std::mutex> l(lock);
        return changed.wait_for(l, kPatience, pred);
    }
};

LoggerState gStates[4];

void LogRound(aFileHandle file, uint32_t context) {
    LoggerState& s = gStates[context];
    int round;
    {
        std::lock_guard<std::mutex> l(s.lock);
        round = ++s.rounds;
        s.thread = std::this_thread::get_id();
    }
    aFile_Printf(file, "round %d of %u\n", round, context);
    if (round == s.actAtRound) {
        aErr d = aLogger_Disable(s.self);
        aLoggerHandle h = s.self;
        aErr x = aLogger_Destroy(&h);
        std::lock_guard<std::mutex> l(s.lock);
        s.disableResult = d;
        s.destroyResult = x;
    }
    s.changed.notify_all();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

class PlatformLogger : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        for (auto& s : gStates) {
            std::lock_guard<std::mutex> l(s.lock);
            s.rounds = 0;
            s.self = nullptr;
            s.actAtRound = -1;
            s.disableResult = s.destroyResult = aErrUnknown;
        }
    }
    int Rounds(int context) {
        std::lock_guard<std::mutex> l(gStates[context].lock);
        return gStates[context].rounds;
    }
};

// The file as lines "round N of C": their count, checking that they run 1..N in order.
int CountRounds(const std::string& text, unsigned context) {
    int n = 0;
    size_t at = 0;
    for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
        std::string want = "round " + std::to_string(n + 1) + " of " + std::to_string(context);
        if (text.substr(at, nl - at) != want) return -1;
        ++n;
    }
    return at == text.size() ? n : -1;
}

} // namespace

TEST_F(PlatformLogger, StartsStopsAndRestarts) {
    std::string path = Path("packets.log");
    WriteAll(path, "");
    aLoggerHandle logger = aLogger_Create(1, LogRound, path.c_str());
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(Rounds(1), 0) << "created stopped";
    EXPECT_EQ(aLogger_Disable(logger), aErrNone) << "not running";

    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_EQ(aLogger_Enable(logger), aErrNone) << "already running";
    ASSERT_TRUE(gStates[1].WaitFor([] { return gStates[1].rounds >= 3; }));
    EXPECT_NE(gStates[1].thread, std::this_thread::get_id());
    ASSERT_EQ(aLogger_Disable(logger), aErrNone);
    int stopped = Rounds(1);
    // Unbuffered and joined: every round is on disk, and no round runs any more.
    EXPECT_EQ(CountRounds(ReadAll(path), 1), stopped);
    EXPECT_EQ(Rounds(1), stopped);

    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    ASSERT_TRUE(gStates[1].WaitFor([&] { return gStates[1].rounds >= stopped + 2; }));
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone) << "stops a running logger";
    EXPECT_EQ(logger, nullptr);
    int total = Rounds(1);
    EXPECT_EQ(CountRounds(ReadAll(path), 1), total) << "appended after the first run";
}

TEST_F(PlatformLogger, DisableAndDestroyFromItsOwnThreadDoNothing) {
    std::string path = Path("own.log");
    aLoggerHandle logger = aLogger_Create(2, LogRound, path.c_str());
    ASSERT_NE(logger, nullptr);
    {
        std::lock_guard<std::mutex> l(gStates[2].lock);
        gStates[2].self = logger;
        gStates[2].actAtRound = 2;
    }
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    // The logger goes on after its callback asked it to stop.
    ASSERT_TRUE(gStates[2].WaitFor([] { return gStates[2].rounds >= 5; }));
    {
        std::lock_guard<std::mutex> l(gStates[2].lock);
        EXPECT_EQ(gStates[2].disableResult, aErrNone);
        EXPECT_EQ(gStates[2].destroyResult, aErrBusy);
    }
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(logger, nullptr);
    EXPECT_EQ(CountRounds(ReadAll(path), 2), Rounds(2));
}

TEST_F(PlatformLogger, CreateRefusalsAndInvalidLoggers) {
    EXPECT_EQ(aLogger_Create(0, LogRound, Path("no/such/dir/log").c_str()), nullptr);
    EXPECT_EQ(aLogger_Create(0, LogRound, nullptr), nullptr);
    EXPECT_EQ(aLogger_Create(0, nullptr, Path("log").c_str()), nullptr);

    alignas(16) unsigned char zeros[128] = {};
    for (aLoggerHandle bad :
         {static_cast<aLoggerHandle>(nullptr), reinterpret_cast<aLoggerHandle>(zeros)}) {
        EXPECT_EQ(aLogger_Enable(bad), aErrParam);
        EXPECT_EQ(aLogger_Disable(bad), aErrParam);
        aLoggerHandle copy = bad;
        EXPECT_EQ(aLogger_Destroy(&copy), aErrNone) << "left alone";
        EXPECT_EQ(copy, bad);
    }

    // Destroying a logger that never ran closes its file.
    aLoggerHandle idle = aLogger_Create(3, LogRound, Path("idle.log").c_str());
    ASSERT_NE(idle, nullptr);
    EXPECT_TRUE(aFile_Exists(Path("idle.log").c_str()));
    EXPECT_EQ(aLogger_Destroy(&idle), aErrNone);
    EXPECT_EQ(idle, nullptr);
    EXPECT_EQ(Rounds(3), 0);
}
