#include "InterruptCheck.h"
#include "ProgressThread.h"

// At most this many reports between two looks at the clock.
static const int kMaxStride = 64;

CInterruptCheck::CInterruptCheck(HostPoll poll, void* arg, std::chrono::milliseconds interval)
    : m_owner(pthread_self()), m_poll(poll), m_arg(arg), m_interval(interval),
      m_lastPoll(std::chrono::steady_clock::now()), m_lastRead(m_lastPoll), m_polls(0), m_calls(0), m_stride(1),
      m_interrupted(false)
{}

bool CInterruptCheck::Interrupted()
{
    if (m_interrupted.load(std::memory_order_relaxed))
        return true;
    if (m_poll == 0 || !pthread_equal(pthread_self(), m_owner))
        return false;
    if (++m_calls < m_stride)
        return false;
    m_calls = 0;
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    const std::chrono::steady_clock::duration sinceRead = now - m_lastRead;
    m_lastRead = now;
    if (sinceRead < m_interval / 64 && m_stride < kMaxStride)
        m_stride *= 2;
    else if (sinceRead > m_interval)
        m_stride = 1; // reports have slowed down: look at the clock at every one again
    else if (sinceRead > m_interval / 8 && m_stride > 1)
        m_stride /= 2;
    if (now - m_lastPoll < m_interval)
        return false;
    m_lastPoll = now;
    m_polls++;
    if (m_poll(m_arg))
        m_interrupted.store(true);
    return m_interrupted.load();
}

void CInterruptCheck::ThrowIfInterrupted()
{
    if (Interrupted())
        throw CStopRequest();
}

void InterruptCheckCallback(void* arg, double, double, int)
{
    static_cast<CInterruptCheck*>(arg)->ThrowIfInterrupted();
}
