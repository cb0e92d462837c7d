#ifndef LUMO_INTERRUPTCHECK_H
#define LUMO_INTERRUPTCHECK_H

#include <pthread.h>

#include <atomic>
#include <chrono>

// Lets the user interrupt a computation that runs synchronously on the host's
// thread. The thread that builds the check is its owner: only there, and at
// most once per interval of a monotonic clock, does Interrupted() ask the host
// (through poll) whether the user interrupted. Any other thread, such as a
// worker of the job's pool, never calls the host; it only sees an interrupt
// the owner has already noticed. Once seen, an interrupt stays set.
class CInterruptCheck
{
public:
    // Returns true when the user has interrupted. Called on the owner only.
    typedef bool (*HostPoll)(void* arg);

    CInterruptCheck(HostPoll poll, void* arg, std::chrono::milliseconds interval = std::chrono::milliseconds(50));

    // Cheap enough to call from every progress report, on any thread.
    bool Interrupted();
    // Throws CStopRequest once Interrupted() holds.
    void ThrowIfInterrupted();
    // Polls made so far (owner only).
    long Polls() const { return m_polls; }

private:
    CInterruptCheck(const CInterruptCheck&);
    CInterruptCheck& operator=(const CInterruptCheck&);

    const pthread_t m_owner;
    const HostPoll m_poll;
    void* const m_arg;
    const std::chrono::steady_clock::duration m_interval;
    std::chrono::steady_clock::time_point m_lastPoll; // owner only
    std::chrono::steady_clock::time_point m_lastRead; // owner only: last look at the clock
    long m_polls;                                     // owner only
    // Reports arrive in bursts of up to millions a second (the orderings);
    // the clock is read only every m_stride-th of them, a stride that grows
    // while reads come far faster than the interval and shrinks otherwise.
    int m_calls;  // owner only
    int m_stride; // owner only
    std::atomic<bool> m_interrupted;
};

// A progress callback (update_progress_routine) whose arg is a CInterruptCheck:
// throws CStopRequest once the user has interrupted. Lets a synchronous
// computation that reports progress be interrupted from the host's thread.
void InterruptCheckCallback(void* arg, double max, double current, int msgid);

#endif
