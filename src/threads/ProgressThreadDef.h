#ifndef LUMO_PROGRESSTHREADDEF_H
#define LUMO_PROGRESSTHREADDEF_H

// Progress callback contract shared by every kernel and job.
//   arg     : opaque argument registered with the routine (a job, usually)
//   max     : total amount of work, in the reporter's own units
//   current : work done so far, in the same units (never decreases within a phase)
//   msgid   : phase code shown by R (0-5 clustering/orderings, 6-7 ODP, 8 time course)
typedef void update_progress_routine(void* arg, double max, double current, int msgid);

// Calls routine(arg, max, current, msgid) unless routine is null, so every kernel
// tolerates a null callback.
void do_callback(update_progress_routine* routine, void* arg, double max, double current, int msgid);

#endif
