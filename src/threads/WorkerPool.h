#ifndef LUMO_WORKERPOOL_H
#define LUMO_WORKERPOOL_H

// Threads inside one job.
//
// A job that splits its work captures the process-wide thread count when it is
// built (DefaultThreadCount), owns a CWorkerPool for its run, and hands each
// pass over its items to CWorkerPool::Run. Progress of all workers goes through
// one CSharedProgress, which sums the units, publishes a monotone total through
// the job's callback and turns a stop request (or another worker's failure)
// into an exception in every worker within one report.
//
// Reports reach the job's callback only from the thread that owns the
// progress (the one that built it and calls Run): the callback may need that
// thread (an interrupt check on R's thread). Other workers add their units and
// learn of a stop or failure through the shared flag; the owner publishes the
// summed total when it adds, and every kPollMilliseconds while it waits for
// the others.
//
// Determinism: Run hands out index ranges, never splits an item, so a result
// that is computed per item is the same for any thread count.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "ProgressThreadDef.h"

namespace lumo
{

// Thread count new jobs use; at least 1. Set from R; 1 until then.
int32_t DefaultThreadCount();
// Clamps n to [1, 1024] and stores it.
void SetDefaultThreadCount(int32_t n);

// Thrown in the other workers once one worker has failed, so that they stop at
// their next report; the pool rethrows the first worker's own exception.
struct CWorkerAbort
{
};

// One job's progress, shared by the workers of a pass.
class CSharedProgress
{
public:
    // routine/arg: the job's callback (may be null). max: the phase's total;
    // current: where the phase starts; msgid: the phase's code.
    CSharedProgress(update_progress_routine* routine, void* arg, double max, double current, int msgid);

    // Adds units of finished work (whole numbers keep the total exact); on
    // the owning thread also reports the new total. Thread-safe. Throws what
    // the callback throws (a stop request), or CWorkerAbort once another
    // worker has failed.
    void Add(double units);
    // Reports the current total again without adding: a stop check for loops
    // that have nothing to count.
    void Check() { Add(0.0); }
    double Current() const;
    double Max() const { return m_max; }

    void Abort() { m_aborted.store(true); }
    bool Aborted() const { return m_aborted.load(); }

private:
    update_progress_routine* m_routine;
    void* m_arg;
    double m_max;
    int m_msgid;
    mutable std::mutex m_mutex; // orders the reports, so the published total never decreases
    double m_current;
    std::atomic<bool> m_aborted;
    std::thread::id m_owner;
};

// A fixed set of worker threads that run passes over index ranges. The thread
// that calls Run takes part as worker 0, so a pool of one thread starts none.
// Not reentrant: one Run at a time, from the thread that owns the pool.
class CWorkerPool
{
public:
    // body(begin, end, worker): processes items [begin, end); worker is in [0, Threads()).
    typedef std::function<void(int64_t, int64_t, int)> Body;

    explicit CWorkerPool(int32_t threads);
    // Waits for every worker thread.
    ~CWorkerPool();

    int32_t Threads() const { return m_threads; }

    // Processes items [0, n) in chunks of `grain` items handed out in order to
    // whichever worker is free, and returns when all are done. If a worker
    // throws, the others are told through `progress` (when given) and stop
    // taking chunks; once all have returned, the first exception is rethrown
    // on the calling thread (a stop request is rethrown as itself). While the
    // calling thread waits for the others it reports through `progress`
    // every kPollMilliseconds, and once more when the pass is complete, so a
    // stop request reaches the pass however long its chunks are.
    void Run(int64_t n, int64_t grain, const Body& body, CSharedProgress* progress = 0);

    static const int kPollMilliseconds = 20;

private:
    CWorkerPool(const CWorkerPool&);
    CWorkerPool& operator=(const CWorkerPool&);

    void WorkerLoop(int worker);
    void PollOwner(std::unique_lock<std::mutex>& lock);
    void Work(int worker);

    int32_t m_threads;
    std::vector<std::thread> m_workers;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    uint64_t m_generation;
    int m_running; // workers still in the current pass
    bool m_quit;

    // The current pass.
    const Body* m_body;
    CSharedProgress* m_progress;
    int64_t m_n;
    int64_t m_grain;
    std::atomic<int64_t> m_next;
    std::atomic<bool> m_failed;
    std::exception_ptr m_error;
};

} // namespace lumo

#endif
