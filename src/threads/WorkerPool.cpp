#include "WorkerPool.h"

#include <chrono>

namespace lumo
{

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

CSharedProgress::CSharedProgress(update_progress_routine* routine, void* arg, double max, double current,
                                 int msgid)
    : m_routine(routine), m_arg(arg), m_max(max), m_msgid(msgid), m_current(current), m_aborted(false),
      m_owner(std::this_thread::get_id())
{
}

void CSharedProgress::Add(double units)
{
    if (m_aborted.load())
        throw CWorkerAbort();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_current += units;
    if (m_routine != 0 && std::this_thread::get_id() == m_owner)
        m_routine(m_arg, m_max, m_current, m_msgid);
}

double CSharedProgress::Current() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_current;
}

// ----------------------------------------------------------- CWorkerPool

CWorkerPool::CWorkerPool(int32_t threads)
    : m_threads(threads < 1 ? 1 : threads), m_generation(0), m_running(0), m_quit(false), m_body(0),
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
        if (!m_error)
            m_error = std::current_exception();
        m_failed.store(true);
        if (m_progress != 0)
            m_progress->Abort();
    }
}

// The owner's report while the others work: a stop request (or any failure
// of the callback) is recorded as the pass's error and stops the workers.
void CWorkerPool::PollOwner(std::unique_lock<std::mutex>& lock)
{
    if (m_progress == 0 || m_failed.load())
        return;
    lock.unlock();
    std::exception_ptr error;
    try {
        m_progress->Check();
    } catch (const CWorkerAbort&) {
    } catch (...) {
        error = std::current_exception();
    }
    lock.lock();
    if (error) {
        if (!m_error)
            m_error = error;
        m_failed.store(true);
        m_progress->Abort();
    }
}

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
        }
        Work(worker);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (--m_running == 0)
                m_done.notify_all();
        }
    }
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
        m_running = (int)m_workers.size();
        m_generation++;
    }
    if (!m_workers.empty())
        m_wake.notify_all();
    Work(0);
    std::exception_ptr error;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const std::chrono::milliseconds poll(kPollMilliseconds);
        while (!m_done.wait_for(lock, poll, [&] { return m_running == 0; }))
            PollOwner(lock);
        if (progress != 0 && !m_failed.load())
            PollOwner(lock);
        error = m_error;
        m_error = std::exception_ptr();
        m_body = 0;
        m_progress = 0;
    }
    if (error)
        std::rethrow_exception(error);
}

} // namespace lumo
