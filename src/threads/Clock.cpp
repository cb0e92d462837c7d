#include "Clock.h"

clock_t get_time()
{
    return clock();
}

unsigned long get_time_diff_milliseconds(clock_t a, clock_t b)
{
    unsigned long ticks = (unsigned long)(b - a);
    return ticks / (unsigned long)CLOCKS_PER_SEC * 1000UL;
}
