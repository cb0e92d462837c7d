#include "ProgressThread.h"
#include "Clock.h"
#include "InterruptCheck.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>

// ---------------------------------------------------------------- CMutex

CMutex::CMutex()
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(&m_mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

CMutex::~CMutex()
{
    pthread_mutex_destroy(&m_mutex);
}

int CMutex::Lock()
{
    return pthread_mutex_lock(&m_mutex);
}

int CMutex::Unlock()
{
    return pthread_mutex_unlock(&m_mutex);
}

// ------------------------------------------------------- CProgressThread

CProgressThread::CProgressThread()
    : m_pArg(0), m_pReturnData(0), m_returnDataSize(0), m_returnStatus(0), m_bFinished(false), m_bCanceled(false),
      m_tid(), m_progressInfo(), m_pData(0), m_startTime(0), m_endTime(0), m_bStarted(false), m_sErrMsg(), m_jobId(0),
      m_bJoined(false), m_bEndTimeSet(false), m_bStopRequested(false), m_pInterruptCheck(0)
{
    std::memset(&m_tid, 0, sizeof(m_tid));
}

CProgressThread::~CProgressThread()
{
    // Last line of defence: the owner normally stops and joins the worker
    // before the derived parts are destroyed (CProgressThreadManager::DestroyJob).
    if (m_bStarted && !m_bJoined) {
        m_bStopRequested.store(true);
        Join();
    }
}

void CProgressThread::CleanupForTermination() {}

int CProgressThread::SetProperty(void** pProperty, void* value)
{
    int rc = m_mutex.Lock();
    if (rc != 0)
        return rc;
    *pProperty = value;
    return m_mutex.Unlock();
}

int CProgressThread::GetProperty(void* pProperty, void** value)
{
    int rc = m_mutex.Lock();
    if (rc != 0)
        return rc;
    *value = pProperty;
    return m_mutex.Unlock();
}

int CProgressThread::Start()
{
    int id = CProgressThreadManager::NextJobId();
    if (id <= 0)
        return EAGAIN;
    SetField(m_jobId, id);

    pthread_t tid;
    int rc = pthread_create(&tid, 0, ProgressThread, this);
    if (rc != 0)
        return rc;
    SetIsStarted(true);
    rc = SetField(m_tid, tid);
    if (rc != 0)
        return rc;
    if (!CProgressThreadManager::SetProgressThread(id, this))
        return -1;
    return 0;
}

int CProgressThread::Stop()
{
    int rc = m_mutex.Lock();
    if (rc != 0)
        return rc;
    if (!m_bStarted || m_bJoined) {
        m_mutex.Unlock();
        return ESRCH;
    }
    m_bStopRequested.store(true);
    m_bFinished = false;
    m_bCanceled = true;
    m_mutex.Unlock();
    return 0;
}

int CProgressThread::Join()
{
    if (!m_bStarted || m_bJoined)
        return 0;
    pthread_t tid = GetThreadId();
    int rc = pthread_join(tid, 0);
    m_bJoined = true;
    return rc;
}

void CProgressThread::UpdateProgressInfo(double max, double current, int msgid)
{
    // An interrupt seen by the owner reaches every other reporting thread
    // through the stop flag.
    CInterruptCheck* check = m_pInterruptCheck.load();
    if (check != 0 && check->Interrupted())
        m_bStopRequested.store(true);
    if (m_bStopRequested.load())
        throw CStopRequest();
    if (m_mutex.Lock() != 0)
        return;
    m_progressInfo.MsgId = msgid;
    m_progressInfo.Max = max;
    m_progressInfo.Current = current;
    m_mutex.Unlock();
}

int CProgressThread::SetReturnData(void* pData, int returnDataSize)
{
    int rc = m_mutex.Lock();
    if (rc != 0)
        return rc;
    m_returnDataSize = returnDataSize;
    m_pData = pData;
    return m_mutex.Unlock();
}

void* CProgressThread::GetReturnData()
{
    return GetField(m_pData);
}

int CProgressThread::SetErrorMessage(const std::string& msg)
{
    return SetField(m_sErrMsg, msg);
}

int CProgressThread::SetErrorMessage(const char* msg)
{
    return SetErrorMessage(std::string(msg ? msg : ""));
}

std::string CProgressThread::GetErrorMessage()
{
    return GetField(m_sErrMsg);
}

int CProgressThread::LockAll()
{
    return m_mutex.Lock();
}

int CProgressThread::UnlockAll()
{
    return m_mutex.Unlock();
}

SProgressSnapshot CProgressThread::GetSnapshot()
{
    SProgressSnapshot s;
    int rc = LockAll();
    s.Max = m_progressInfo.Max;
    s.Current = m_progressInfo.Current;
    s.MsgId = m_progressInfo.MsgId;
    s.Finished = m_bFinished;
    s.Canceled = m_bCanceled;
    s.JobId = m_jobId;
    if (rc == 0)
        UnlockAll();
    return s;
}

pthread_t CProgressThread::GetThreadId()
{
    return GetField(m_tid);
}
int CProgressThread::GetJobId()
{
    return GetField(m_jobId);
}
bool CProgressThread::GetIsFinished()
{
    return GetField(m_bFinished);
}
bool CProgressThread::GetIsCanceled()
{
    return GetField(m_bCanceled);
}
bool CProgressThread::GetIsStarted()
{
    return GetField(m_bStarted);
}
int CProgressThread::GetReturnStatus()
{
    return GetField(m_returnStatus);
}
int CProgressThread::GetReturnDataSize()
{
    return GetField(m_returnDataSize);
}
double CProgressThread::GetProgressInfoMax()
{
    return GetField(m_progressInfo.Max);
}
double CProgressThread::GetProgressInfoCurrent()
{
    return GetField(m_progressInfo.Current);
}
int CProgressThread::GetProgressInfoMsgId()
{
    return GetField(m_progressInfo.MsgId);
}

void CProgressThread::SetIsFinished(bool value)
{
    SetField(m_bFinished, value);
}
void CProgressThread::SetIsStarted(bool value)
{
    SetField(m_bStarted, value);
}
void CProgressThread::SetThreadId(pthread_t tid)
{
    SetField(m_tid, tid);
}
void CProgressThread::SetReturnStatus(int status)
{
    SetField(m_returnStatus, status);
}
void CProgressThread::SetStartTime()
{
    SetField(m_startTime, get_time());
}

void CProgressThread::SetEndTime()
{
    if (m_mutex.Lock() != 0)
        return;
    m_endTime = get_time();
    m_bEndTimeSet = true;
    m_mutex.Unlock();
}

unsigned long CProgressThread::GetElapsedTimeMilliseconds()
{
    int rc = m_mutex.Lock();
    clock_t start = m_startTime;
    clock_t end = m_bEndTimeSet ? m_endTime : get_time();
    if (rc == 0)
        m_mutex.Unlock();
    return get_time_diff_milliseconds(start, end);
}

void CProgressThread::SetArg(void* pArg)
{
    SetProperty(&m_pArg, pArg);
}
void* CProgressThread::GetArg()
{
    return GetField(m_pArg);
}

void CProgressThread::FinishRun(int status, const std::string& err)
{
    if (m_mutex.Lock() != 0)
        return;
    // A stop request that arrived after the last progress report still wins:
    // the job stays canceled and its result is not offered.
    if (!m_bCanceled) {
        m_returnStatus = status;
        if (!err.empty())
            m_sErrMsg = err;
        m_bFinished = true;
    }
    m_mutex.Unlock();
}

// ------------------------------------------------------- worker functions

void CleanupProgressThreadForTermination(void* arg)
{
    if (arg == 0)
        return;
    CProgressThread* job = static_cast<CProgressThread*>(arg);
    job->SetEndTime();
    job->CleanupForTermination();
}

void* ProgressThread(void* arg)
{
    if (arg == 0)
        return reinterpret_cast<void*>(1);
    CProgressThread* job = static_cast<CProgressThread*>(arg);
    job->SetStartTime();

    int status = 0;
    bool stopped = false;
    std::string err;
    try {
        status = job->Go(pthread_self());
    } catch (const CStopRequest&) {
        stopped = true;
    } catch (const std::bad_alloc&) {
        status = LUMO_STATUS_OUT_OF_MEMORY;
        err = "Out of memory";
    } catch (const std::exception& e) {
        status = LUMO_STATUS_EXCEPTION;
        err = e.what();
    } catch (...) {
        status = LUMO_STATUS_EXCEPTION;
        err = "Unknown error";
    }
    if (!stopped)
        job->FinishRun(status, err);
    try {
        CleanupProgressThreadForTermination(job);
    } catch (...) {
        // Nothing may escape a worker thread.
    }
    return 0;
}

void UpdateProgressThreadProgress(void* arg, double max, double current, int msgid)
{
    if (arg == 0)
        return;
    static_cast<CProgressThread*>(arg)->UpdateProgressInfo(max, current, msgid);
}

// ------------------------------------------------ CProgressThreadManager

CProgressThreadManager CProgressThreadManager::Instance;

CProgressThreadManager::CProgressThreadManager() : m_lastId(0) {}

CProgressThreadManager::~CProgressThreadManager()
{
    int_DestroyAll();
}

CProgressThread* CProgressThreadManager::int_GetProgressThread(int id)
{
    std::map<int, CProgressThread*>::iterator it = m_threads.find(id);
    return it == m_threads.end() ? 0 : it->second;
}

bool CProgressThreadManager::int_SetProgressThread(int id, CProgressThread* progThread)
{
    if (m_threads.find(id) != m_threads.end())
        return false;
    m_threads[id] = progThread;
    return true;
}

void CProgressThreadManager::int_Erase(int id)
{
    m_threads.erase(id);
}

void CProgressThreadManager::int_DestroyAll()
{
    // Detach the map first so that a job's destructor never sees a half-torn registry.
    std::map<int, CProgressThread*> jobs;
    jobs.swap(m_threads);
    for (std::map<int, CProgressThread*>::iterator it = jobs.begin(); it != jobs.end(); ++it) {
        if (it->second != 0)
            DestroyJob(it->second);
    }
}

CProgressThread* CProgressThreadManager::GetProgressThread(int id)
{
    return Instance.int_GetProgressThread(id);
}

bool CProgressThreadManager::SetProgressThread(int id, CProgressThread* progThread)
{
    return Instance.int_SetProgressThread(id, progThread);
}

void CProgressThreadManager::Erase(int id)
{
    Instance.int_Erase(id);
}

int CProgressThreadManager::NextJobId()
{
    if (Instance.m_lastId == INT_MAX)
        return 0;
    return ++Instance.m_lastId;
}

void CProgressThreadManager::DestroyJob(CProgressThread* job)
{
    if (job == 0)
        return;
    if (!job->GetIsFinished())
        job->Stop();
    job->Join();
    delete job;
}

void CProgressThreadManager::DestroyAll()
{
    Instance.int_DestroyAll();
}

int CProgressThreadManager::Count()
{
    return (int)Instance.m_threads.size();
}
