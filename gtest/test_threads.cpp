// Job framework: job states and endings, registry, worker pool, interrupt
// checks, and a stress run for the sanitizer builds.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <numeric>
#include <stdexcept>
#include <unistd.h>

#include "helpers.h"
#include "threads/Clock.h"
#include "threads/InterruptCheck.h"
#include "threads/ProgressThread.h"

using namespace kh;

namespace
{
std::atomic<int> g_destroyed(0);

// A job that counts its destructions and cleanups.
class CCountedJob : public CProgressThread
{
public:
    ~CCountedJob() override { g_destroyed++; }
    void CleanupForTermination() override { m_cleanups++; }
    bool EndTimeSet() { return m_bEndTimeSet; }
    std::atomic<int> m_cleanups{0};
};

// Reports `steps` times (forever when negative), then returns status or
// throws what `ending` says (1: runtime_error, 2: bad_alloc).
class CTestJob : public CCountedJob
{
public:
    CTestJob(int steps, int status = 0, int ending = 0) : m_steps(steps), m_status(status), m_ending(ending) {}
    int Go(pthread_t) override
    {
        for (int i = 0; m_steps < 0 || i < m_steps; i++, m_reports++) {
            UpdateProgressThreadProgress(this, 100.0, (double)i, 8);
            if (m_steps < 0)
                usleep(100);
        }
        if (m_ending == 1)
            throw std::runtime_error("kernel failed");
        if (m_ending == 2)
            throw std::bad_alloc();
        return m_status;
    }
    const int m_steps, m_status, m_ending;
    std::atomic<int> m_reports{0};
};

// Runs `passes` passes (endless when negative) over `items` items on a pool;
// every item is one progress unit reported through the job by its worker.
class CPoolJob : public CCountedJob
{
public:
    CPoolJob(int threads, int passes, int64_t items = 5000) : m_threads(threads), m_passes(passes), m_items(items) {}
    int Go(pthread_t) override
    {
        lumo::CWorkerPool pool(m_threads);
        lumo::CSharedProgress progress(&UpdateProgressThreadProgress, this, 1e15, 0.0, 6);
        for (int p = 0; m_passes < 0 || p < m_passes; p++)
            pool.Run(
                m_items, 3,
                [&](int64_t b, int64_t e, int) {
                    for (int64_t i = b; i < e; i++, m_units++)
                        progress.Add(1.0);
                },
                &progress);
        return 0;
    }
    const int m_threads, m_passes;
    const int64_t m_items;
    std::atomic<int64_t> m_units{0};
};

void Destroy(CProgressThread* job)
{
    CProgressThreadManager::Erase(job->GetJobId());
    CProgressThreadManager::DestroyJob(job);
}

void StopAtHalf(void*, double max, double current, int)
{
    if (current * 2 >= max)
        throw CStopRequest();
}

struct SPollLog
{
    pthread_t owner = pthread_self();
    std::atomic<int> polls{0}, offOwner{0};
};

bool InterruptAtEighthPoll(void* arg)
{
    SPollLog* log = static_cast<SPollLog*>(arg);
    if (!pthread_equal(pthread_self(), log->owner))
        log->offOwner++;
    return ++log->polls >= 8;
}
} // namespace

// Catches wrong states, statuses, messages or cleanup counts of every way a job ends.
TEST(Job, EndingsGiveTheirStateStatusAndMessage)
{
    const struct
    {
        int ending, status;
        bool stopAfterwards;
        int wantStatus;
        const char* message;
    } cases[] = {{0, 7, false, 7, ""},
                 {0, 0, true, 0, ""},
                 {1, 0, false, LUMO_STATUS_EXCEPTION, "kernel failed"},
                 {2, 0, false, LUMO_STATUS_OUT_OF_MEMORY, "Out of memory"}};
    for (const auto& c : cases) {
        CTestJob* job = new CTestJob(5, c.status, c.ending);
        ASSERT_EQ(job->Start(), 0);
        const int id = job->GetJobId();
        EXPECT_GT(id, 0);
        EXPECT_EQ(CProgressThreadManager::GetProgressThread(id), job);
        while (!job->GetIsFinished())
            usleep(100);
        if (c.stopAfterwards) { // a finished job that is stopped counts as canceled
            EXPECT_EQ(job->Stop(), 0);
        }
        job->Join();
        EXPECT_TRUE(job->GetIsFinished() != c.stopAfterwards && job->GetIsCanceled() == c.stopAfterwards);
        EXPECT_EQ(job->GetReturnStatus(), c.wantStatus);
        EXPECT_EQ(job->GetErrorMessage(), c.message);
        EXPECT_TRUE(job->EndTimeSet() && job->m_cleanups == 1);
        EXPECT_EQ(job->Stop(), ESRCH); // the worker is gone for good
        const SProgressSnapshot s = job->GetSnapshot();
        EXPECT_TRUE(s.Current == 4.0 && s.JobId == id && s.Finished == !c.stopAfterwards);
        Destroy(job);
        EXPECT_EQ(CProgressThreadManager::GetProgressThread(id), (CProgressThread*)0);
    }
}

// Catches registered synchronous runs, duplicate ids, and a teardown missing or doubling a job.
TEST(Registry, IdsAreUniqueAndTeardownDestroysEveryJobOnce)
{
    CTestJob a(3, 0), b(0);
    EXPECT_EQ(a.Go(pthread_t()), 0); // a synchronous run is not registered and cannot be stopped
    EXPECT_EQ(CProgressThreadManager::Count(), 0);
    EXPECT_EQ(a.Stop(), ESRCH);
    EXPECT_EQ(get_time_diff_milliseconds(0, CLOCKS_PER_SEC - 1), 0UL); // whole seconds
    EXPECT_EQ(get_time_diff_milliseconds(100, 100 + CLOCKS_PER_SEC * 5 / 2), 2000UL);
    const int id = CProgressThreadManager::NextJobId();
    EXPECT_TRUE(CProgressThreadManager::SetProgressThread(id, &a));
    EXPECT_FALSE(CProgressThreadManager::SetProgressThread(id, &b));
    EXPECT_EQ(CProgressThreadManager::GetProgressThread(id), &a);
    CProgressThreadManager::Erase(id);
    CProgressThreadManager::Erase(id); // an unknown id does nothing
    EXPECT_EQ(CProgressThreadManager::GetProgressThread(id), (CProgressThread*)0);
    EXPECT_GT(CProgressThreadManager::NextJobId(), id);

    g_destroyed = 0;
    CTestJob* running = new CTestJob(-1);
    CTestJob* finished = new CTestJob(1);
    CPoolJob* pooled = new CPoolJob(3, -1);
    for (CProgressThread* j : {(CProgressThread*)running, (CProgressThread*)finished, (CProgressThread*)pooled})
        ASSERT_EQ(j->Start(), 0);
    while (running->m_reports < 3 || !finished->GetIsFinished() || pooled->m_units.load() == 0)
        usleep(100);
    CProgressThreadManager::DestroyAll();
    EXPECT_EQ(g_destroyed, 3);
    EXPECT_EQ(CProgressThreadManager::Count(), 0);
}

// Catches items skipped or repeated, and progress inexact, backwards or off the owner thread.
TEST(WorkerPool, EveryItemOnceAndExactProgressForAnyThreadCount)
{
    const int64_t n = 10007;
    for (int threads : {1, 2, 3, 8}) {
        for (int64_t grain : {1, 64, 20000}) {
            lumo::CWorkerPool pool(threads);
            std::vector<std::atomic<int>> hits(n);
            Recorder rec;
            lumo::CSharedProgress progress(Record, &rec, (double)n, 0.0, 6);
            for (int pass = 0; pass < 3; pass++) {
                pool.Run(
                    n, grain,
                    [&](int64_t b, int64_t e, int w) {
                        ASSERT_LT(w, threads);
                        for (int64_t i = b; i < e; i++)
                            hits[i]++;
                        progress.Add((double)(e - b));
                    },
                    &progress);
            }
            for (int64_t i = 0; i < n; i++)
                ASSERT_EQ(hits[i].load(), 3) << "threads " << threads << " grain " << grain;
            EXPECT_EQ(progress.Current(), 3.0 * n);
            ASSERT_FALSE(rec.reports.empty());
            EXPECT_EQ(rec.reports.back().current, 3.0 * n);
            for (size_t q = 1; q < rec.reports.size(); q++)
                ASSERT_GE(rec.reports[q].current, rec.reports[q - 1].current);
            EXPECT_EQ(rec.foreign, 0);
        }
    }
}

// Catches a failure or stop that does not end every worker and reach the caller.
TEST(WorkerPool, FailuresAndStopsReachTheCaller)
{
    for (int threads : {1, 2, 4}) {
        lumo::CWorkerPool pool(threads);
        std::atomic<int64_t> done(0);
        lumo::CSharedProgress progress(0, 0, 1e6, 0.0, 6);
        EXPECT_THROW(pool.Run(
                         1000000, 16,
                         [&](int64_t b, int64_t e, int) {
                             if (b >= 5000)
                                 throw std::runtime_error("kernel failed");
                             done += e - b;
                             progress.Add((double)(e - b));
                         },
                         &progress),
                     std::runtime_error);
        EXPECT_LT(done.load(), 1000000);
        lumo::CSharedProgress stopping(StopAtHalf, 0, 1e5, 0.0, 6);
        EXPECT_THROW(pool.Run(
                         100000, 7, [&](int64_t b, int64_t e, int) { stopping.Add((double)(e - b)); }, &stopping),
                     CStopRequest);
        std::atomic<int64_t> sum(0);
        pool.Run(100, 3, [&](int64_t b, int64_t e, int) { sum += e - b; });
        EXPECT_EQ(sum.load(), 100);
    }
    // The caller, done with its item, keeps publishing while it waits: a stop
    // raised there ends a worker that would otherwise run for a minute.
    lumo::CWorkerPool pool(2);
    lumo::CSharedProgress progress(StopAtHalf, 0, 40.0, 0.0, 6);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(pool.Run(
                     2, 1,
                     [&](int64_t b, int64_t, int worker) {
                         if (b == 0 && worker == 0) {
                             usleep(20000); // leaves item 1 to the other worker
                             return;
                         }
                         for (int i = 0; i < 60000; i++, usleep(1000))
                             progress.Add(1.0);
                     },
                     &progress),
                 CStopRequest);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0);
}

// Catches polls off the owner or too often, and an interrupt that leaves a worker running.
TEST(InterruptCheck, OwnerPollsAtABoundedRateAndTheInterruptStopsEveryWorker)
{
    const auto interval = std::chrono::milliseconds(5);
    for (int threads : {1, 3}) {
        SPollLog log;
        CPoolJob job(threads, -1);
        const auto t0 = std::chrono::steady_clock::now();
        CInterruptCheck check(&InterruptAtEighthPoll, &log, interval);
        job.SetInterruptCheck(&check);
        EXPECT_THROW(job.Go(pthread_t()), CStopRequest) << threads << " threads";
        EXPECT_GE(std::chrono::steady_clock::now() - t0, 8 * interval);
        job.SetInterruptCheck(0);
        EXPECT_TRUE(log.offOwner == 0 && log.polls == 8 && job.IsStopRequested());
        EXPECT_TRUE(check.Interrupted() && check.Polls() == 8); // stays set without polling again
        const int64_t units = job.m_units.load();
        usleep(2000);
        EXPECT_EQ(job.m_units.load(), units); // no worker is left
    }
}

// Catches races and use-after-free (sanitizer builds) in jobs stopped, polled, deleted at random.
TEST(JobStress, ManyJobsStoppedPolledAndDeletedAtRandomMoments)
{
    enum Action
    {
        DELETE_RUNNING,
        STOP_THEN_DELETE,
        STOP_JOIN_CHECK,
        FINISH
    };
    const int kJobs = 24, before = CProgressThreadManager::Count();
    for (unsigned seed : {1u, 2u, 3u}) {
        std::mt19937 rng(seed);
        auto pause = [&](int maxMicros) { usleep(std::uniform_int_distribution<int>(0, maxMicros)(rng)); };
        g_destroyed = 0;
        std::vector<CCountedJob*> jobs;
        for (int j = 0; j < kJobs; j++) {
            const int threads = 1 + j % 3;
            if (j % 4 == FINISH)
                jobs.push_back(j % 2 ? (CCountedJob*)new CPoolJob(threads, 2, 300) : new CTestJob(200));
            else
                jobs.push_back(j % 3 ? (CCountedJob*)new CPoolJob(threads, -1) : new CTestJob(-1));
            ASSERT_EQ(jobs.back()->Start(), 0);
        }
        std::vector<int> order(kJobs);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), rng);
        for (int j : order) {
            CCountedJob* job = jobs[j];
            pause(1500);
            const double first = job->GetSnapshot().Current; // reports of all threads arrive in order
            pause(200);
            EXPECT_GE(job->GetSnapshot().Current, first);
            switch ((Action)(j % 4)) {
            case DELETE_RUNNING:
                break;
            case STOP_THEN_DELETE:
                EXPECT_EQ(job->Stop(), 0);
                pause(500);
                break;
            case STOP_JOIN_CHECK: // canceled, not finished, no status, cleanup once
                EXPECT_EQ(job->Stop(), 0);
                EXPECT_TRUE(job->GetIsCanceled());
                job->Join();
                EXPECT_TRUE(job->GetIsCanceled() && !job->GetIsFinished() && job->EndTimeSet());
                EXPECT_EQ(job->GetReturnStatus(), 0);
                EXPECT_EQ(job->m_cleanups.load(), 1);
                break;
            case FINISH:
                job->Join();
                EXPECT_TRUE(job->GetIsFinished() && !job->GetIsCanceled());
                EXPECT_EQ(job->GetReturnStatus(), 0);
                EXPECT_EQ(job->m_cleanups.load(), 1);
                break;
            }
            Destroy(job);
        }
        EXPECT_EQ(g_destroyed.load(), kJobs) << "seed " << seed;
        EXPECT_EQ(CProgressThreadManager::Count(), before);
    }
}
