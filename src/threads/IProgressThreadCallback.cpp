#include "IProgressThreadCallback.h"

IProgressThreadCallback::IProgressThreadCallback() : m_ptCallback(0), m_pArg(0) {}

IProgressThreadCallback::~IProgressThreadCallback() {}

void IProgressThreadCallback::SetCallback(update_progress_routine* routine, void* arg)
{
    m_ptCallback = routine;
    m_pArg = arg;
}

update_progress_routine* IProgressThreadCallback::GetCallback()
{
    return m_ptCallback;
}

void* IProgressThreadCallback::GetCallbackArg()
{
    return m_pArg;
}

void IProgressThreadCallback::DoCallback(double max, double current, int msgid)
{
    if (m_ptCallback != 0)
        m_ptCallback(m_pArg, max, current, msgid);
}
