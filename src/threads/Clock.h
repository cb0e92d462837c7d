#ifndef LUMO_CLOCK_H
#define LUMO_CLOCK_H

#include <ctime>

// Processor time of the whole process, in clock ticks.
clock_t get_time();

// Whole seconds between two readings a <= b, expressed in milliseconds:
// (b - a) / CLOCKS_PER_SEC * 1000 in unsigned arithmetic, dividing first.
unsigned long get_time_diff_milliseconds(clock_t a, clock_t b);

#endif
