/*
 * Callgrind region marks for the Python side of the instruction counts: loaded with ctypes by
 * bench/instructions.py. Under valgrind's callgrind tool `region_start` zeroes the counters and
 * `region_end` dumps them with a label; elsewhere both do nothing.
 */
#include <valgrind/callgrind.h>

void region_start(void) {
    CALLGRIND_ZERO_STATS;
}

void region_end(const char* label) {
    CALLGRIND_DUMP_STATS_AT(label);
}
