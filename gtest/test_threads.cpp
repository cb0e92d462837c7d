// Job framework: progress contract, job states, cooperative stop, registry,
// worker pool, interrupt checks, and stress runs for the sanitizer builds.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <random>
#include <stdexcept>
#include <unistd.h>

#include "threads/Clock.h"
#include "threads/IProgressThreadCallback.h"
#include "threads/InterruptCheck.h"
#include "threads/ProgressThread.h"
#include "threads/WorkerPool.h"

namespace
{
struct Report
{
    void* arg;
    double max, current;
    int msgid;
    int calls;
};

void Record(void* arg, double max, double current, int msgid)
{
    Report* r = static_cast<Report*>(arg);
    r->arg = arg;
    r->max = max;
    r->current = current;
    r->msgid = msgid;
    r->calls++;
}

std::atomic<int> g_destroyed(0);

// A job that counts its destructions and its cleanups.
class CCountedJob : public CProgressThread
{
public:
    CCountedJob() : m_cleanups(0) {}
    ~CCountedJob() override { g_destroyed++; }
    void CleanupForTermination() override { m_cleanups++; }
    bool EndTimeSet() { return m_bEndTimeSet; }

    std::atomic<int> m_cleanups;
};

// A job whose Go reports progress `steps` times (forever when steps < 0), then
// returns `status` or throws the configured exception.
class CTestJob : public CCountedJob
{
public:
    enum Ending { RETURN, THROW_RUNTIME, THROW_BAD_ALLOC };

    CTestJob(int steps, int status = 0, Ending ending = RETURN)
        : m_steps(steps), m_status(status), m_ending(ending), m_reports(0)
    {
    }

    int Go(pthread_t) override
    {
        for (int i = 0; m_steps < 0 || i < m_steps; i++) {
            UpdateProgressThreadProgress(this, 100.0, (double)i, 8);
            m_reports++;
            if (m_steps < 0)
                usleep(100);
        }
        if (m_ending == THROW_RUNTIME)
            throw std::runtime_error("kernel failed");
        if (m_ending == THROW_BAD_ALLOC)
            throw std::bad_alloc();
        return m_status;
    }

    int m_steps, m_status;
    Ending m_ending;
    std::atomic<int> m_reports;
};

// A job whose Go runs `passes` passes (endless when negative) over `items`
// items on a pool of `threads`; every item is one progress unit reported
// through the job by whichever worker did it.
class CPoolJob : public CCountedJob
{
public:
    CPoolJob(int threads, int passes, int64_t items = 5000)
        : m_threads(threads), m_passes(passes), m_items(items), m_units(0)
    {
    }

    int Go(pthread_t) override
    {
        lumo::CWorkerPool pool(m_threads);
        lumo::CSharedProgress progress(&UpdateProgressThreadProgress, this, 1e15, 0.0, 6);
        for (int p = 0; m_passes < 0 || p < m_passes; p++) {
            pool.Run(m_items, 3, [&](int64_t b, int64_t e, int) {
                for (int64_t i = b; i < e; i++) {
                    m_units++;
                    progress.Add(1.0);
                }
            }, &progress);
        }
        return 0;
    }

    const int m_threads, m_passes;
    const int64_t m_items;
    std::atomic<int64_t> m_units;
};

void WaitForReports(CTestJob& job, int n)
{
    while (job.m_reports < n)
        usleep(200);
}
} // namespace

TEST(ProgressCallback, DoCallbackPassesValuesAndToleratesNull)
{
    do_callback(0, 0, 1.0, 2.0, 3); // must simply return
    Report r = {0, 0, 0, 0, 0};
    do_callback(Record, &r, 10.5, 2.25, 7);
    EXPECT_EQ(r.arg, &r);
    EXPECT_EQ(r.max, 10.5);
    EXPECT_EQ(r.current, 2.25);
    EXPECT_EQ(r.msgid, 7);
    EXPECT_EQ(r.calls, 1);
    UpdateProgressThreadProgress(0, 1, 1, 1); // a null job is ignored
}

TEST(ProgressCallback, HolderCallsOnlyWhenSet)
{
    IProgressThreadCallback holder;
    holder.DoCallback(1, 1, 1);
    Report r = {0, 0, 0, 0, 0};
    holder.SetCallback(Record, &r);
    EXPECT_EQ(holder.GetCallback(), &Record);
    EXPECT_EQ(holder.GetCallbackArg(), &r);
    holder.DoCallback(4, 3, 2);
    EXPECT_EQ(r.calls, 1);
    EXPECT_EQ(r.max, 4);
    EXPECT_EQ(r.msgid, 2);
}

TEST(Clock, WholeSecondsInMilliseconds)
{
    EXPECT_EQ(get_time_diff_milliseconds(0, CLOCKS_PER_SEC - 1), 0UL);
    EXPECT_EQ(get_time_diff_milliseconds(100, 100 + CLOCKS_PER_SEC * 5 / 2), 2000UL);
}

TEST(Job, SynchronousRunReportsWithoutRegistration)
{
    int before = CProgressThreadManager::Count();
    CTestJob job(3, 0);
    EXPECT_EQ(job.Go(pthread_t()), 0);
    EXPECT_EQ(job.GetProgressInfoMax(), 100.0);
    EXPECT_EQ(job.GetProgressInfoCurrent(), 2.0);
    EXPECT_EQ(job.GetProgressInfoMsgId(), 8);
    EXPECT_FALSE(job.GetIsStarted());
    EXPECT_EQ(CProgressThreadManager::Count(), before);
    EXPECT_EQ(job.Stop(), ESRCH); // nothing to stop
}

TEST(Job, FinishedJobState)
{
    CTestJob* job = new CTestJob(5, 7);
    ASSERT_EQ(job->Start(), 0);
    int id = job->GetJobId();
    EXPECT_GT(id, 0);
    EXPECT_EQ(CProgressThreadManager::GetProgressThread(id), job);
    job->Join();
    EXPECT_TRUE(job->GetIsFinished());
    EXPECT_FALSE(job->GetIsCanceled());
    EXPECT_EQ(job->GetReturnStatus(), 7);
    EXPECT_TRUE(job->EndTimeSet());
    EXPECT_EQ(job->m_cleanups, 1);
    SProgressSnapshot s = job->GetSnapshot();
    EXPECT_EQ(s.Current, 4.0);
    EXPECT_EQ(s.JobId, id);
    EXPECT_TRUE(s.Finished);
    CProgressThreadManager::Erase(id);
    CProgressThreadManager::DestroyJob(job);
    EXPECT_EQ(CProgressThreadManager::GetProgressThread(id), (CProgressThread*)0);
}

TEST(Job, StopOfFinishedJobMarksItCanceled)
{
    CTestJob* job = new CTestJob(1);
    ASSERT_EQ(job->Start(), 0);
    while (!job->GetIsFinished())
        usleep(100);
    EXPECT_EQ(job->Stop(), 0);
    EXPECT_TRUE(job->GetIsCanceled());
    EXPECT_FALSE(job->GetIsFinished());
    job->Join();
    EXPECT_EQ(job->Stop(), ESRCH); // the worker is gone for good
    CProgressThreadManager::Erase(job->GetJobId());
    CProgressThreadManager::DestroyJob(job);
}

TEST(Job, EscapingExceptionsEndTheJobWithAStatus)
{
    CTestJob* failing = new CTestJob(2, 0, CTestJob::THROW_RUNTIME);
    CTestJob* oom = new CTestJob(2, 0, CTestJob::THROW_BAD_ALLOC);
    ASSERT_EQ(failing->Start(), 0);
    ASSERT_EQ(oom->Start(), 0);
    failing->Join();
    oom->Join();
    EXPECT_TRUE(failing->GetIsFinished());
    EXPECT_EQ(failing->GetReturnStatus(), LUMO_STATUS_EXCEPTION);
    EXPECT_EQ(failing->GetErrorMessage(), "kernel failed");
    EXPECT_EQ(failing->m_cleanups, 1);
    EXPECT_TRUE(oom->GetIsFinished());
    EXPECT_EQ(oom->GetReturnStatus(), LUMO_STATUS_OUT_OF_MEMORY);
    EXPECT_EQ(oom->GetErrorMessage(), "Out of memory");
    for (CTestJob* j : {failing, oom}) {
        CProgressThreadManager::Erase(j->GetJobId());
        CProgressThreadManager::DestroyJob(j);
    }
}

TEST(Registry, DuplicateAndUnknownIds)
{
    CTestJob a(0), b(0);
    int id = CProgressThreadManager::NextJobId();
    EXPECT_TRUE(CProgressThreadManager::SetProgressThread(id, &a));
    EXPECT_FALSE(CProgressThreadManager::SetProgressThread(id, &b));
    EXPECT_EQ(CProgressThreadManager::GetProgressThread(id), &a);
    CProgressThreadManager::Erase(id);
    EXPECT_EQ(CProgressThreadManager::GetProgressThread(id), (CProgressThread*)0);
    CProgressThreadManager::Erase(id); // erasing an unknown id does nothing
    EXPECT_EQ(CProgressThreadManager::GetProgressThread(-5), (CProgressThread*)0);
    EXPECT_GT(CProgressThreadManager::NextJobId(), id); // ids are never reused
}

TEST(Registry, TeardownStopsJoinsAndDestroysEveryJobOnce)
{
    g_destroyed = 0;
    CTestJob* running = new CTestJob(-1);
    CTestJob* finished = new CTestJob(1);
    CPoolJob* pooled = new CPoolJob(3, -1); // its pool's threads must end too
    ASSERT_EQ(running->Start(), 0);
    ASSERT_EQ(finished->Start(), 0);
    ASSERT_EQ(pooled->Start(), 0);
    WaitForReports(*running, 3);
    while (!finished->GetIsFinished() || pooled->m_units.load() == 0)
        usleep(100);
    CProgressThreadManager::DestroyAll();
    EXPECT_EQ(g_destroyed, 3);
    EXPECT_EQ(CProgressThreadManager::Count(), 0);
}

// ---------------------------------------------------------------- worker pool

namespace
{
// Reports must never go backwards, and only the thread that built the
// progress may send them (a synchronous job's callback talks to R).
struct Reports
{
    double last = 0;
    std::thread::id owner = std::this_thread::get_id();
    std::atomic<int> foreign{0};
};

void CountUnits(void* arg, double, double current, int)
{
    Reports* r = static_cast<Reports*>(arg);
    if (std::this_thread::get_id() != r->owner) {
        r->foreign++;
        return;
    }
    EXPECT_GE(current, r->last);
    r->last = current;
}

void StopAtHalf(void* arg, double max, double current, int)
{
    if (current * 2 >= max)
        throw CStopRequest();
    (void)arg;
}
} // namespace

TEST(WorkerPool, EveryItemOnceAndExactProgressForAnyThreadCount)
{
    const int64_t n = 10007;
    for (int threads : {1, 2, 3, 8}) {
        for (int64_t grain : {1, 64, 20000}) {
            lumo::CWorkerPool pool(threads);
            std::vector<std::atomic<int>> hits(n);
            Reports reports;
            lumo::CSharedProgress progress(CountUnits, &reports, (double)n, 0.0, 6);
            for (int pass = 0; pass < 3; pass++) {
                pool.Run(n, grain, [&](int64_t b, int64_t e, int w) {
                    ASSERT_LT(w, threads);
                    for (int64_t i = b; i < e; i++)
                        hits[i]++;
                    progress.Add((double)(e - b));
                }, &progress);
            }
            for (int64_t i = 0; i < n; i++)
                ASSERT_EQ(hits[i].load(), 3) << "threads " << threads << " grain " << grain;
            EXPECT_EQ(progress.Current(), 3.0 * n);
            EXPECT_EQ(reports.last, 3.0 * n);
            EXPECT_EQ(reports.foreign.load(), 0);
        }
    }
}

TEST(WorkerPool, FailuresAndStopsReachTheCaller)
{
    for (int threads : {1, 2, 4}) {
        lumo::CWorkerPool pool(threads);
        std::atomic<int64_t> done(0);
        lumo::CSharedProgress progress(0, 0, 1e6, 0.0, 6);
        EXPECT_THROW(pool.Run(1000000, 16, [&](int64_t b, int64_t e, int) {
            if (b >= 5000)
                throw std::runtime_error("kernel failed");
            done += e - b;
            progress.Add((double)(e - b));
        }, &progress), std::runtime_error);
        EXPECT_LT(done.load(), 1000000);

        lumo::CSharedProgress stopping(StopAtHalf, 0, 1e5, 0.0, 6);
        EXPECT_THROW(pool.Run(100000, 7, [&](int64_t b, int64_t e, int) { stopping.Add((double)(e - b)); },
                              &stopping),
                     CStopRequest);
        // The pool is usable after a failed pass.
        std::atomic<int64_t> sum(0);
        pool.Run(100, 3, [&](int64_t b, int64_t e, int) { sum += e - b; });
        EXPECT_EQ(sum.load(), 100);
    }
}

// The caller, done with its own items, keeps publishing while it waits: a stop
// request raised there ends a worker that would otherwise run for a minute.
TEST(WorkerPool, StopRequestedWhileTheCallerWaitsEndsTheOtherWorkers)
{
    lumo::CWorkerPool pool(2);
    lumo::CSharedProgress progress(StopAtHalf, 0, 40.0, 0.0, 6);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(pool.Run(2, 1, [&](int64_t b, int64_t, int worker) {
        if (b == 0 && worker == 0) {
            usleep(20000); // leaves item 1 to the other worker
            return;
        }
        for (int i = 0; i < 60000; i++) {
            progress.Add(1.0);
            usleep(1000);
        }
    }, &progress), CStopRequest);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0);
}

// ---------------------------------------------------------------- jobs with a pool, interrupts, stress

namespace
{
struct SPollLog
{
    pthread_t owner;
    std::atomic<int> polls;
    std::atomic<int> offOwner;
    int interruptAt;
};

bool LoggingPoll(void* arg)
{
    SPollLog* log = static_cast<SPollLog*>(arg);
    if (!pthread_equal(pthread_self(), log->owner))
        log->offOwner++;
    return ++log->polls >= log->interruptAt;
}
} // namespace

TEST(InterruptCheck, OwnerPollsAtABoundedRateAndTheInterruptStopsEveryWorker)
{
    const auto interval = std::chrono::milliseconds(5);
    for (int threads : {1, 3}) {
        SPollLog log;
        log.owner = pthread_self();
        log.polls = 0;
        log.offOwner = 0;
        log.interruptAt = 8;
        CPoolJob job(threads, -1);
        const auto t0 = std::chrono::steady_clock::now();
        CInterruptCheck check(&LoggingPoll, &log, interval);
        job.SetInterruptCheck(&check);
        EXPECT_THROW(job.Go(pthread_t()), CStopRequest) << threads << " threads";
        const auto elapsed = std::chrono::steady_clock::now() - t0;
        job.SetInterruptCheck(0);

        EXPECT_EQ(log.offOwner.load(), 0);
        EXPECT_EQ(log.polls.load(), 8);
        EXPECT_EQ(check.Polls(), 8);
        EXPECT_GE(elapsed, 8 * interval); // never two polls within one interval
        EXPECT_TRUE(job.IsStopRequested());
        EXPECT_TRUE(check.Interrupted()); // stays set, without polling again
        EXPECT_EQ(check.Polls(), 8);
        // Go has returned, so no worker is left: the count no longer moves.
        const int64_t units = job.m_units.load();
        usleep(2000);
        EXPECT_EQ(job.m_units.load(), units);
    }
}

// Many jobs at once, single-threaded and with pools, each polled and then
// deleted while it reports, stopped and deleted later, stopped and joined, or
// left to finish, at random moments. Run under ThreadSanitizer and
// AddressSanitizer this is where races and use-after-free show up.
TEST(JobStress, ManyJobsStoppedPolledAndDeletedAtRandomMoments)
{
    enum Action { DELETE_RUNNING, STOP_THEN_DELETE, STOP_JOIN_CHECK, FINISH };
    const int kJobs = 24;
    const int before = CProgressThreadManager::Count();
    for (unsigned seed : {1u, 2u, 3u}) {
        std::mt19937 rng(seed);
        auto pause = [&](int maxMicros) { usleep(std::uniform_int_distribution<int>(0, maxMicros)(rng)); };
        g_destroyed = 0;
        std::vector<CCountedJob*> jobs;
        std::vector<Action> actions;
        for (int j = 0; j < kJobs; j++) {
            Action a = (Action)(j % 4);
            const int threads = 1 + j % 3;
            CCountedJob* job;
            if (a == FINISH)
                job = j % 2 ? (CCountedJob*)new CPoolJob(threads, 2, 300) : new CTestJob(200);
            else
                job = j % 3 ? (CCountedJob*)new CPoolJob(threads, -1) : new CTestJob(-1);
            ASSERT_EQ(job->Start(), 0);
            jobs.push_back(job);
            actions.push_back(a);
        }
        std::vector<int> order(kJobs);
        for (int j = 0; j < kJobs; j++)
            order[j] = j;
        std::shuffle(order.begin(), order.end(), rng);
        for (int j : order) {
            CCountedJob* job = jobs[j];
            pause(1500);
            // Reports of all of a job's threads arrive in order.
            const double first = job->GetSnapshot().Current;
            pause(200);
            EXPECT_GE(job->GetSnapshot().Current, first);
            const int id = job->GetJobId();
            switch (actions[j]) {
            case DELETE_RUNNING:
                break;
            case STOP_THEN_DELETE:
                EXPECT_EQ(job->Stop(), 0);
                pause(500);
                break;
            case STOP_JOIN_CHECK:
                // Canceled, not finished, no status, but the cleanup ran once.
                EXPECT_EQ(job->Stop(), 0);
                EXPECT_TRUE(job->GetIsCanceled());
                job->Join();
                EXPECT_TRUE(job->GetIsCanceled());
                EXPECT_FALSE(job->GetIsFinished());
                EXPECT_EQ(job->GetReturnStatus(), 0);
                EXPECT_TRUE(job->EndTimeSet());
                EXPECT_EQ(job->m_cleanups.load(), 1);
                break;
            case FINISH:
                job->Join();
                EXPECT_TRUE(job->GetIsFinished());
                EXPECT_FALSE(job->GetIsCanceled());
                EXPECT_EQ(job->GetReturnStatus(), 0);
                EXPECT_EQ(job->m_cleanups.load(), 1);
                break;
            }
            CProgressThreadManager::Erase(id);
            CProgressThreadManager::DestroyJob(job);
        }
        EXPECT_EQ(g_destroyed.load(), kJobs) << "seed " << seed;
        EXPECT_EQ(CProgressThreadManager::Count(), before);
    }
}
