#ifndef LUMO_PROGRESSTHREADDEF_H
#define LUMO_PROGRESSTHREADDEF_H

// Progress callback contract shared by every kernel and job.
//   arg     : opaque argument registered with the routine (a job, usually)
//   max     : total amount of work, in the reporter's own units
//   current : work done so far, in the same units (never decreases within a phase)
//   msgid   : phase code shown by R (ELumoPhase)
typedef void update_progress_routine(void* arg, double max, double current, int msgid);

// Calls routine(arg, max, current, msgid) unless routine is null, so every kernel
// tolerates a null callback.
void do_callback(update_progress_routine* routine, void* arg, double max, double current, int msgid);

// Phase codes of the progress reports. R shows a phase by its name, which it
// reads from PhaseName through the entry point GetPhaseNames.
enum ELumoPhase
{
    kPhaseDistances = 0,
    kPhaseMerging = 1,
    kPhaseOptimalCosts = 2,
    kPhaseOptimalPairs = 3,
    kPhaseOptimalOrienting = 4,
    kPhaseWeightOrdering = 5,
    kPhaseOdpObserved = 6,
    kPhaseOdpNull = 7,
    kPhaseTimecourse = 8,
    kPhaseCount = 9
};

// Name of a phase code ("computing distances", ...); null outside 0..kPhaseCount - 1.
const char* PhaseName(int msgid);

#endif
