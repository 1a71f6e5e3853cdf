// The time-bounded runner: in-time and late workers, the handler's single call
// on the calling thread, a late worker that must not reach the caller, and no
// thread left behind after many calls.
#include "tev-commons.h"

#include "test-support.h"

#include <QDir>
#include <QFile>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <thread>

using tev::thread::AsyncTask;
using tev::thread::completeAsyncTask;
using tev::thread::executeMethodWithTimeout;

namespace {

struct Job {
    int sleepMs = 0;              // work time of the worker
    int spuriousSignals = 0;      // wake the caller this often before finishing
    int result = 0;               // written by the worker only when in time
    std::atomic<int> handlerCalls{0};
    std::thread::id handlerThread;
    std::atomic<bool> workerEnded{false};
    std::atomic<bool> storedInTime{false};
};

// Every worker that returns, also one that found its caller gone at the start.
std::atomic<int> workersReturned{0};

struct CountReturn {
    ~CountReturn() { ++workersReturned; }
};

void* worker(void* record) {
    CountReturn counted;
    auto* task = static_cast<AsyncTask*>(record);
    // Inputs are read while the caller is known to wait: before the deadline
    // the caller holds the record's mutex or waits on it.
    pthread_mutex_lock(&task->mutex);
    Job* job = task->abandoned ? nullptr : static_cast<Job*>(task->argument);
    const int sleepMs = job ? job->sleepMs : 0;
    const int spurious = job ? job->spuriousSignals : 0;
    pthread_mutex_unlock(&task->mutex);
    if (!job) return nullptr;
    for (int i = 0; i < spurious; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pthread_mutex_lock(&task->mutex);
        pthread_cond_signal(&task->condition);  // a wake-up without completion
        pthread_mutex_unlock(&task->mutex);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
    const bool inTime = completeAsyncTask(task, [job] { job->result = 42; });
    // The test keeps `job` alive until workerEnded, so these two writes are ours.
    job->storedInTime = inTime;
    job->workerEnded = true;
    return nullptr;
}

void onTimeout(void* record) {
    auto* task = static_cast<AsyncTask*>(record);
    auto* job = static_cast<Job*>(task->argument);
    job->handlerThread = std::this_thread::get_id();
    ++job->handlerCalls;
    task->done = false;
}

// Virtual size of the process in kB: the stack of a thread that is neither
// detached nor joined stays mapped after the thread ends.
long virtualSizeKb() {
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmSize:")) return line.mid(7).trimmed().split(' ').first().toLong();
    return -1;
}

int threadCount() { return static_cast<int>(QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size()); }

bool waitFor(const std::function<bool()>& condition, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace

TEST(TimeoutRunner, InTimeCompletion) {
    corvane::test::clearLog();
    Job job;
    const int seconds = 5;
    EXPECT_EQ(executeMethodWithTimeout(worker, &job, seconds, onTimeout), 0);
    EXPECT_EQ(job.result, 42);
    EXPECT_EQ(job.handlerCalls, 0);
    ASSERT_TRUE(waitFor([&] { return job.workerEnded.load(); }, 5000));
    EXPECT_TRUE(job.storedInTime);

    const std::string log = corvane::test::readLog();
    const auto a = log.find("Creating async task");
    const auto b = log.find("started async task");
    const auto c = log.find("tev: async task result: 0");
    const auto d = log.find("Completed executing async task");
    ASSERT_NE(a, std::string::npos) << log;
    ASSERT_NE(b, std::string::npos) << log;
    ASSERT_NE(c, std::string::npos) << log;
    ASSERT_NE(d, std::string::npos) << log;
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_LT(c, d);
}

TEST(TimeoutRunner, LateWorkerTimesOutAndNeverReachesCaller) {
    Job job;
    job.sleepMs = 1500;
    const int seconds = 1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(executeMethodWithTimeout(worker, &job, seconds, onTimeout), ETIMEDOUT);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(990));
    EXPECT_EQ(job.handlerCalls, 1);
    EXPECT_EQ(job.handlerThread, std::this_thread::get_id());
    EXPECT_EQ(job.result, 0);

    // The worker finishes later: its record is still alive (the sanitizer build
    // would flag a use after free), and its result is refused.
    ASSERT_TRUE(waitFor([&] { return job.workerEnded.load(); }, 5000));
    EXPECT_FALSE(job.storedInTime);
    EXPECT_EQ(job.result, 0);
    EXPECT_EQ(job.handlerCalls, 1);
}

TEST(TimeoutRunner, ZeroSecondsTimesOutAtOnce) {
    Job job;
    job.sleepMs = 50;
    const int seconds = 0;
    const int returnedBefore = workersReturned;
    EXPECT_EQ(executeMethodWithTimeout(worker, &job, seconds, onTimeout), ETIMEDOUT);
    EXPECT_EQ(job.handlerCalls, 1);
    // The worker either found the caller gone at once or finished too late.
    ASSERT_TRUE(waitFor([&] { return workersReturned > returnedBefore; }, 5000));
    EXPECT_FALSE(job.storedInTime);
    EXPECT_EQ(job.result, 0);
}

TEST(TimeoutRunner, SpuriousWakeUpsDoNotEndTheWait) {
    Job job;
    job.spuriousSignals = 3;
    job.sleepMs = 100;
    const int seconds = 5;
    EXPECT_EQ(executeMethodWithTimeout(worker, &job, seconds, onTimeout), 0);
    EXPECT_EQ(job.result, 42);
    EXPECT_EQ(job.handlerCalls, 0);
    ASSERT_TRUE(waitFor([&] { return job.workerEnded.load(); }, 5000));
}

TEST(TimeoutRunner, NoMethodTakesTheTimeoutPath) {
    Job job;
    const int seconds = 0;
    EXPECT_EQ(executeMethodWithTimeout(nullptr, &job, seconds, onTimeout), ETIMEDOUT);
    EXPECT_EQ(job.handlerCalls, 1);
}

TEST(TimeoutRunner, TwoThousandCallsLeaveNoThreads) {
    const int before = threadCount();
    const int returnedBefore = workersReturned;
    const long sizeBefore = virtualSizeKb();
    constexpr int kCalls = 2000;
    static Job jobs[kCalls];  // outlive the late workers of this test
    int inTime = 0, timedOut = 0;
    for (int i = 0; i < kCalls; ++i) {
        Job& job = jobs[i];
        // Every fourth call gives up at once while its worker still sleeps.
        const bool late = i % 4 == 3;
        job.sleepMs = late ? 5 : 0;
        const int seconds = late ? 0 : 5;
        const int rc = executeMethodWithTimeout(worker, &job, seconds, onTimeout);
        if (rc == 0) {
            ++inTime;
            ASSERT_EQ(job.result, 42) << i;
            ASSERT_EQ(job.handlerCalls, 0) << i;
        } else {
            ASSERT_EQ(rc, ETIMEDOUT) << i;
            ++timedOut;
            // Either the handler ran, or completion came in at the deadline.
            ASSERT_TRUE((job.handlerCalls == 1 && job.result == 0) || (job.handlerCalls == 0 && job.result == 42)) << i;
        }
    }
    EXPECT_EQ(inTime + timedOut, kCalls);
    EXPECT_GE(timedOut, kCalls / 4 - 5);
    ASSERT_TRUE(waitFor([&] { return workersReturned - returnedBefore == kCalls; }, 10000))
        << workersReturned - returnedBefore;
    // Detached workers are gone once they return, stacks included.
    EXPECT_TRUE(waitFor([&] { return threadCount() <= before; }, 10000))
        << "threads before " << before << ", now " << threadCount();
    EXPECT_LT(virtualSizeKb() - sizeBefore, 1024L * 1024L) << "kB before " << sizeBefore;
    for (int i = 0; i < kCalls; ++i)
        if (jobs[i].handlerCalls == 1) {
            ASSERT_EQ(jobs[i].result, 0) << i;
        }
}
