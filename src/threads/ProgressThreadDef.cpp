#include "ProgressThreadDef.h"

void do_callback(update_progress_routine* routine, void* arg, double max, double current, int msgid)
{
    if (routine == 0)
        return;
    routine(arg, max, current, msgid);
}
