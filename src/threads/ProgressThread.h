#ifndef LUMO_PROGRESSTHREAD_H
#define LUMO_PROGRESSTHREAD_H

#include <pthread.h>
#include <ctime>
#include <atomic>
#include <map>
#include <string>

#include "ProgressThreadDef.h"

class CInterruptCheck;

// Error-checking mutex: a second lock by the owner, or an unlock by another
// thread, fails with an error code instead of deadlocking.
class CMutex
{
public:
    CMutex();
    ~CMutex();
    int Lock();
    int Unlock();

    pthread_mutex_t m_mutex;

private:
    CMutex(const CMutex&);
    CMutex& operator=(const CMutex&);
};

// Thrown by a progress report once the job has been asked to stop. It unwinds
// the job's work up to the worker's entry function, which ends the job as
// canceled. It is deliberately not a std::exception, so that handlers for
// ordinary failures let it pass; code that must catch everything rethrows it.
struct CStopRequest
{};

// Status a job ends with when an exception other than a stop request escapes Go.
enum
{
    LUMO_STATUS_OUT_OF_MEMORY = 12,
    LUMO_STATUS_EXCEPTION = -2
};

// Copy of the values R polls, taken under the job's lock in one go.
struct SProgressSnapshot
{
    double Max;
    double Current;
    int MsgId;
    bool Finished;
    bool Canceled;
    int JobId;
};

// Base class of every background job. A job owns its inputs and results, runs
// Go on a worker thread of its own, publishes progress under its mutex and
// stops cooperatively at its next progress report after Stop.
class CProgressThread
{
public:
    struct SProgressInfo
    {
        double Max;
        double Current;
        int MsgId;
        SProgressInfo() : Max(0.0), Current(0.0), MsgId(0) {}
        SProgressInfo(double max, double current, int msgid) : Max(max), Current(current), MsgId(msgid) {}
    };

    CProgressThread();
    virtual ~CProgressThread();

    // Runs on the worker when it ends, whether Go returned or the job was stopped.
    virtual void CleanupForTermination();
    // The job's whole computation; tid is the worker's id, or a null id when
    // the host's thread runs the job synchronously. Returns 0 on success.
    virtual int Go(pthread_t tid) = 0;

    // Creates the worker and registers the job under a fresh job id. Returns 0,
    // the pthread_create error, or -1 when the registry refused the id.
    int Start();
    // Asks the worker to stop at its next progress report and marks the job
    // canceled. Returns 0, or ESRCH when there is no worker to stop.
    int Stop();
    // Waits for the worker to end; does nothing when there is none or it was
    // already joined. Host's thread only.
    int Join();

    // Stores a progress report; throws CStopRequest when a stop was requested
    // or the interrupt check (if any) reports an interrupt.
    void UpdateProgressInfo(double max, double current, int msgid);
    bool IsStopRequested() const { return m_bStopRequested.load(); }
    // For a synchronous run: every progress report then consults check, which
    // the caller owns and keeps alive until it sets null again after Go.
    void SetInterruptCheck(CInterruptCheck* check) { m_pInterruptCheck.store(check); }

    int SetReturnData(void* pData, int returnDataSize);
    void* GetReturnData();
    int SetErrorMessage(const std::string& msg);
    int SetErrorMessage(const char* msg);
    std::string GetErrorMessage();

    int LockAll();
    int UnlockAll();
    // The six values R polls, read under one lock.
    SProgressSnapshot GetSnapshot();

    pthread_t GetThreadId();
    int GetJobId();
    bool GetIsFinished();
    bool GetIsCanceled();
    bool GetIsStarted();
    int GetReturnStatus();
    int GetReturnDataSize();
    double GetProgressInfoMax();
    double GetProgressInfoCurrent();
    int GetProgressInfoMsgId();

    void SetIsFinished(bool value);
    void SetIsStarted(bool value);
    void SetThreadId(pthread_t tid);
    void SetReturnStatus(int status);
    void SetStartTime();
    void SetEndTime();
    // Processor time between the worker's start and its end (or now, while it runs).
    unsigned long GetElapsedTimeMilliseconds();

    void SetArg(void* pArg);
    void* GetArg();

protected:
    virtual int SetProperty(void** pProperty, void* value);
    virtual int GetProperty(void* pProperty, void** value);

    // Stores one field of type T while holding the mutex.
    template <class T> int SetField(T& field, const T& value)
    {
        int rc = m_mutex.Lock();
        if (rc != 0)
            return rc;
        field = value;
        return m_mutex.Unlock();
    }
    // Reads one field under the mutex (or directly when this thread already holds it).
    template <class T> T GetField(const T& field)
    {
        int rc = m_mutex.Lock();
        T value = field;
        if (rc == 0)
            m_mutex.Unlock();
        return value;
    }

    CMutex m_mutex;
    void* m_pArg;
    void* m_pReturnData;
    int m_returnDataSize;
    int m_returnStatus;
    bool m_bFinished;
    bool m_bCanceled;
    pthread_t m_tid;
    SProgressInfo m_progressInfo;
    void* m_pData;
    clock_t m_startTime;
    clock_t m_endTime;
    bool m_bStarted;
    std::string m_sErrMsg;

    int m_jobId;
    bool m_bJoined;
    bool m_bEndTimeSet;
    std::atomic<bool> m_bStopRequested;
    std::atomic<CInterruptCheck*> m_pInterruptCheck;

private:
    CProgressThread(const CProgressThread&);
    CProgressThread& operator=(const CProgressThread&);

    // Called by the worker once Go has returned (not when it was stopped).
    void FinishRun(int status, const std::string& err);

    friend void* ProgressThread(void* arg);
    friend void CleanupProgressThreadForTermination(void* arg);
};

// The worker thread's entry function; arg is the job.
void* ProgressThread(void* arg);
// Worker cleanup: records the end time and runs the job's CleanupForTermination.
void CleanupProgressThreadForTermination(void* arg);
// The callback jobs hand to kernels, with the job as arg.
void UpdateProgressThreadProgress(void* arg, double max, double current, int msgid);

// Registry of background jobs by job id. Used from the host's thread only.
class CProgressThreadManager
{
public:
    ~CProgressThreadManager();

    static CProgressThread* GetProgressThread(int id);
    static bool SetProgressThread(int id, CProgressThread* progThread);
    static void Erase(int id);
    // Next job id: positive, never reused in the life of the process; 0 once exhausted.
    static int NextJobId();
    // Stops the job if it has not finished, waits for its worker and destroys it.
    static void DestroyJob(CProgressThread* job);
    // Destroys every registered job (each stopped and joined first).
    static void DestroyAll();
    static int Count();

private:
    CProgressThreadManager();

    CProgressThread* int_GetProgressThread(int id);
    bool int_SetProgressThread(int id, CProgressThread* progThread);
    void int_Erase(int id);
    void int_DestroyAll();

    CMutex m_mutex;
    std::map<int, CProgressThread*> m_threads;
    int m_lastId;

    static CProgressThreadManager Instance;
};

#endif
