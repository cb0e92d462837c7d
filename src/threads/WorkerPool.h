#ifndef LUMO_WORKERPOOL_H
#define LUMO_WORKERPOOL_H

// Threads inside one job.
//
// A job that splits its work captures the process-wide thread count when it is
// built (DefaultThreadCount), builds one CWorkerPool at the start of its run and
// hands it to every kernel it calls; a synchronous entry point builds one per
// call. Kernels take the pool by reference and never read the thread count
// themselves. Each pass over items goes to CWorkerPool::Run. Progress of all workers goes through
// one CSharedProgress, which sums the units, publishes a monotone total through
// the job's callback from the owning thread only, and turns a stop request (or
// another worker's failure) into an exception in every worker within one report.
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
{};

// One job's progress, shared by the workers of a pass.
//
// Only the owning thread (the one that built the object, which is worker 0 of
// the pool it is handed to) ever calls the job's callback: the other workers
// add their units to the shared total, and the owner publishes that total with
// its own reports and, while it waits for the others, from CWorkerPool::Run.
// So a callback that may only run on the caller's thread (one that talks to
// the R session in a synchronous run) is never entered from a worker. A stop
// request thrown by the callback fails the pass on the owner; the other
// workers then stop at their next Add.
class CSharedProgress
{
public:
    // routine/arg: the job's callback (may be null). max: the phase's total;
    // current: where the phase starts; msgid: the phase's code.
    CSharedProgress(update_progress_routine* routine, void* arg, double max, double current, int msgid);

    // Adds units of finished work (whole numbers keep the total exact);
    // on the owning thread also reports the new total. Thread-safe. Throws
    // what the callback throws (a stop request, owner only), or CWorkerAbort
    // once the pass has failed.
    void Add(double units);
    // Adds nothing: a stop check for loops that have nothing to count (on the
    // owner through the callback, on the others through a failed pass).
    void Check() { Add(0.0); }
    // Reports the current total if called on the owning thread; does nothing
    // on any other thread. Throws what the callback throws.
    void Publish();
    double Current() const;
    double Max() const { return m_max; }
    bool IsOwner() const { return std::this_thread::get_id() == m_owner; }

    void Abort() { m_aborted.store(true); }
    bool Aborted() const { return m_aborted.load(); }

private:
    void Report(double current);

    update_progress_routine* m_routine;
    void* m_arg;
    double m_max;
    int m_msgid;
    const std::thread::id m_owner;
    mutable std::mutex m_mutex;
    double m_current;
    std::atomic<bool> m_aborted;
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
    // whichever worker is free, and returns when all are done. Chunk bounds
    // are multiples of `grain` whatever the thread count. If a worker throws,
    // the others are told through `progress` (when given) and stop taking
    // chunks; once all have returned, the first exception is rethrown on the
    // calling thread (a stop request is rethrown as itself). With `progress`,
    // the calling thread publishes the total every 10 ms while it waits for
    // the other workers, and once more at the end of a successful pass.
    void Run(int64_t n, int64_t grain, const Body& body, CSharedProgress* progress = 0);

private:
    CWorkerPool(const CWorkerPool&);
    CWorkerPool& operator=(const CWorkerPool&);

    void WorkerLoop(int worker);
    void Work(int worker);
    void Fail(std::exception_ptr error);
    void PublishUnlocked(std::unique_lock<std::mutex>& lock);

    int32_t m_threads;
    std::vector<std::thread> m_workers;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    uint64_t m_generation;
    int m_running; // workers inside the current pass
    bool m_open;   // the current pass still takes workers
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
