#ifndef LUMO_IPROGRESSTHREADCALLBACK_H
#define LUMO_IPROGRESSTHREADCALLBACK_H

#include "ProgressThreadDef.h"

// Holder of one progress callback and its argument; base of the clustering
// engine and of the leaf orderings.
class IProgressThreadCallback
{
public:
    IProgressThreadCallback();
    virtual ~IProgressThreadCallback();

    virtual void SetCallback(update_progress_routine* routine, void* arg);
    virtual update_progress_routine* GetCallback();
    virtual void* GetCallbackArg();
    // Reports (max, current, msgid) through the callback; nothing without one.
    virtual void DoCallback(double max, double current, int msgid);

protected:
    update_progress_routine* m_ptCallback;
    void* m_pArg;
};

#endif
