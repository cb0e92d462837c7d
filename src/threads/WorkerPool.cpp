#include "WorkerPool.h"

#include <chrono>

namespace lumo
{

// How often Run publishes the progress while the caller waits for the others.
static const std::chrono::milliseconds kPublishEvery(10);

static std::atomic<int32_t> g_defaultThreads(1);

int32_t DefaultThreadCount()
{
    return g_defaultThreads.load();
}

void SetDefaultThreadCount(int32_t n)
{
    g_defaultThreads.store(n < 1 ? 1 : (n > 1024 ? 1024 : n));
}

// ------------------------------------------------------- CSharedProgress

CSharedProgress::CSharedProgress(update_progress_routine* routine, void* arg, double max, double current, int msgid)
    : m_routine(routine), m_arg(arg), m_max(max), m_msgid(msgid), m_owner(std::this_thread::get_id()),
      m_current(current), m_aborted(false)
{}

void CSharedProgress::Add(double units)
{
    if (m_aborted.load())
        throw CWorkerAbort();
    double total;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_current += units;
        total = m_current;
    }
    if (IsOwner())
        Report(total);
}

void CSharedProgress::Publish()
{
    if (IsOwner())
        Report(Current());
}

// Owner only: its snapshots of the total are taken in order, so the reports
// never go backwards.
void CSharedProgress::Report(double current)
{
    if (m_routine != 0)
        m_routine(m_arg, m_max, current, m_msgid);
}

double CSharedProgress::Current() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_current;
}

// ----------------------------------------------------------- CWorkerPool

CWorkerPool::CWorkerPool(int32_t threads)
    : m_threads(threads < 1 ? 1 : threads), m_generation(0), m_running(0), m_open(false), m_quit(false), m_body(0),
      m_progress(0), m_n(0), m_grain(1), m_next(0), m_failed(false)
{
    m_workers.reserve(m_threads - 1);
    try {
        for (int w = 1; w < m_threads; w++)
            m_workers.push_back(std::thread(&CWorkerPool::WorkerLoop, this, w));
    } catch (...) {
        // Fewer threads than asked for: run with those that started.
        m_threads = (int32_t)m_workers.size() + 1;
    }
}

CWorkerPool::~CWorkerPool()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_all();
    for (size_t i = 0; i < m_workers.size(); i++)
        m_workers[i].join();
}

void CWorkerPool::Work(int worker)
{
    try {
        for (;;) {
            if (m_failed.load())
                break;
            int64_t begin = m_next.fetch_add(m_grain);
            if (begin >= m_n)
                break;
            int64_t end = m_n - begin < m_grain ? m_n : begin + m_grain;
            (*m_body)(begin, end, worker);
        }
    } catch (const CWorkerAbort&) {
        // Another worker failed first; its exception is the one reported.
    } catch (...) {
        std::lock_guard<std::mutex> lock(m_mutex);
        Fail(std::current_exception());
    }
}

// With m_mutex held: records the pass's first failure and tells the workers.
void CWorkerPool::Fail(std::exception_ptr error)
{
    if (!m_error)
        m_error = error;
    m_failed.store(true);
    if (m_progress != 0)
        m_progress->Abort();
}

// A worker joins a pass only while it is open: one that wakes after the
// calling thread has taken the last chunk and closed the pass goes back to
// sleep, so the pass never waits for a thread that the system has not
// scheduled yet.
void CWorkerPool::WorkerLoop(int worker)
{
    uint64_t seen = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [&] { return m_quit || m_generation != seen; });
            if (m_quit)
                return;
            seen = m_generation;
            if (!m_open)
                continue;
            ++m_running;
        }
        Work(worker);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (--m_running == 0)
                m_done.notify_all();
        }
    }
}

// Publishes the pass's progress with m_mutex released (the callback may take
// its time); a stop request it throws fails the pass.
void CWorkerPool::PublishUnlocked(std::unique_lock<std::mutex>& lock)
{
    lock.unlock();
    std::exception_ptr error;
    try {
        m_progress->Publish();
    } catch (...) {
        error = std::current_exception();
    }
    lock.lock();
    if (error)
        Fail(error);
}

void CWorkerPool::Run(int64_t n, int64_t grain, const Body& body, CSharedProgress* progress)
{
    if (n <= 0)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_body = &body;
        m_progress = progress;
        m_n = n;
        m_grain = grain < 1 ? 1 : grain;
        m_next.store(0);
        m_failed.store(false);
        m_error = std::exception_ptr();
        m_running = 0;
        m_open = true;
        m_generation++;
    }
    if (!m_workers.empty())
        m_wake.notify_all();
    Work(0);
    std::exception_ptr error;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_open = false; // every chunk is taken: late workers stay out
        for (;;) {
            if (m_done.wait_for(lock, kPublishEvery, [&] { return m_running == 0; })) {
                // The whole pass is counted: let the callback see the final total.
                if (progress != 0 && !m_failed.load())
                    PublishUnlocked(lock);
                break;
            }
            if (progress != 0 && !m_failed.load())
                PublishUnlocked(lock);
        }
        error = m_error;
        m_error = std::exception_ptr();
        m_body = 0;
        m_progress = 0;
    }
    if (error)
        std::rethrow_exception(error);
}

} // namespace lumo
