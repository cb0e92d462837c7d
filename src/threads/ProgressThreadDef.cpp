#include "ProgressThreadDef.h"

void do_callback(update_progress_routine* routine, void* arg, double max, double current, int msgid)
{
    if (routine == 0)
        return;
    routine(arg, max, current, msgid);
}

const char* PhaseName(int msgid)
{
    static const char* const names[kPhaseCount] = {
        "computing distances",         "merging clusters",   "optimal ordering: costs", "optimal ordering: best pairs",
        "optimal ordering: orienting", "ordering by weight", "ODP statistics",          "ODP statistics",
        "time-course statistics"};
    return msgid >= 0 && msgid < kPhaseCount ? names[msgid] : 0;
}
