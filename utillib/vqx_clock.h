/*
 * vqx_clock.h - the millisecond clock behind every time stamp of the
 * procedural libraries.
 *
 * VQXGetClock reads the monotonic clock (falling back to the real-time clock,
 * then to gettimeofday, when a clock cannot be read) and smooths small
 * backward steps: a reading less than VQX_CLOCK_BACKSTEP_TOLERANCE_MS behind
 * the previous result returns the previous result again; a larger step, in
 * either direction, is taken as it is (the clock was really set). The
 * previous result is one process-wide atomic, so every thread may call it.
 * Callers that keep 32-bit times use the low 32 bits.
 *
 * Tests replace the time source with VqxClockSetSource so that time can be
 * stepped by hand.
 */
#ifndef VQX_CLOCK_H
#define VQX_CLOCK_H

#include "vqx_types.h"

#define VQX_CLOCK_BACKSTEP_TOLERANCE_MS 1000u

/* Current time in milliseconds (see above). Never fails. */
u64 VQXGetClock(void);

/* A raw time source in milliseconds, as VQXGetClock would read it. */
typedef u64 (*PFN_VQX_CLOCK_SOURCE)(void);

/*
 * Replaces the time source (null restores the system clocks) and forgets the
 * previous result, so the next VQXGetClock takes its reading as it is.
 * Meant for tests; not to be called while other threads read the clock.
 */
void VqxClockSetSource(PFN_VQX_CLOCK_SOURCE pFctSource);

/* The system source used by default: monotonic, real-time, gettimeofday. */
u64 VqxClockReadSystem(void);

#endif
