// Job framework: progress contract, job states, cooperative stop, registry.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <new>
#include <stdexcept>
#include <unistd.h>

#include "threads/Clock.h"
#include "threads/IProgressThreadCallback.h"
#include "threads/ProgressThread.h"

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

// A job whose Go reports progress `steps` times (forever when steps < 0), then
// returns `status` or throws the configured exception.
class CTestJob : public CProgressThread
{
public:
    enum Ending { RETURN, THROW_RUNTIME, THROW_BAD_ALLOC };

    CTestJob(int steps, int status = 0, Ending ending = RETURN)
        : m_steps(steps), m_status(status), m_ending(ending), m_cleanups(0), m_reports(0)
    {
    }
    ~CTestJob() override { g_destroyed++; }

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
    void CleanupForTermination() override { m_cleanups++; }

    bool EndTimeSet() { return m_bEndTimeSet; }
    bool Joined() { return m_bJoined; }

    int m_steps, m_status;
    Ending m_ending;
    std::atomic<int> m_cleanups;
    std::atomic<int> m_reports;
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

TEST(Job, StopTakesEffectAtNextReport)
{
    CTestJob* job = new CTestJob(-1);
    ASSERT_EQ(job->Start(), 0);
    WaitForReports(*job, 10);
    EXPECT_EQ(job->Stop(), 0);
    EXPECT_TRUE(job->GetIsCanceled());
    EXPECT_FALSE(job->GetIsFinished());
    job->Join();
    EXPECT_TRUE(job->GetIsCanceled());
    EXPECT_FALSE(job->GetIsFinished());
    EXPECT_EQ(job->GetReturnStatus(), 0);
    EXPECT_TRUE(job->EndTimeSet());
    EXPECT_EQ(job->m_cleanups, 1);
    CProgressThreadManager::Erase(job->GetJobId());
    CProgressThreadManager::DestroyJob(job);
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
    ASSERT_EQ(running->Start(), 0);
    ASSERT_EQ(finished->Start(), 0);
    WaitForReports(*running, 3);
    while (!finished->GetIsFinished())
        usleep(100);
    CProgressThreadManager::DestroyAll();
    EXPECT_EQ(g_destroyed, 2);
    EXPECT_EQ(CProgressThreadManager::Count(), 0);
}

// ---------------------------------------------------------------- worker pool

#include "threads/WorkerPool.h"

namespace
{
void CountUnits(void* arg, double, double current, int)
{
    // Reports must never go backwards, whichever worker sends them.
    double* last = static_cast<double*>(arg);
    EXPECT_GE(current, *last);
    *last = current;
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
            double last = 0;
            lumo::CSharedProgress progress(CountUnits, &last, (double)n, 0.0, 6);
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
            EXPECT_EQ(last, 3.0 * n);
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

namespace
{
// Counts the reports, fails the test if one arrives on another thread than
// the owner's, and asks for a stop at the third.
struct OwnerOnly
{
    std::thread::id owner;
    int calls;
};

void StopAtThirdReport(void* arg, double, double, int)
{
    OwnerOnly* o = static_cast<OwnerOnly*>(arg);
    EXPECT_EQ(std::this_thread::get_id(), o->owner);
    if (++o->calls >= 3)
        throw CStopRequest();
}
} // namespace

TEST(WorkerPool, ReportsComeFromTheOwnerWhichPassesAStopOnWhileItWaits)
{
    // The owner's own chunks are short; another worker's chunk never ends by
    // itself, so only the owner's reports while it waits can stop it.
    OwnerOnly o = {std::this_thread::get_id(), 0};
    lumo::CWorkerPool pool(2);
    lumo::CSharedProgress progress(StopAtThirdReport, &o, 1.0, 0.0, 8);
    std::atomic<bool> endless(false);
    EXPECT_THROW(pool.Run(50, 1, [&](int64_t, int64_t, int w) {
        if (w == 0) {
            usleep(1000);
            return;
        }
        endless = true;
        for (;;) {
            progress.Check();
            usleep(1000);
        }
    }, &progress), CStopRequest);
    EXPECT_TRUE(endless.load());
    EXPECT_EQ(o.calls, 3);
}
