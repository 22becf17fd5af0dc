/*
 * vqx_clitools_time.h - the console tools' wall-clock time stamp.
 *
 * Used where a value that differs from one run to the next is wanted (the
 * call/media control core library seeds its id counters with it at open).
 * Threads: any.
 */
#ifndef VQX_CLITOOLS_TIME_H
#define VQX_CLITOOLS_TIME_H

#include "vqx_types.h"

/* The current time of day in milliseconds since 1970-01-01 UTC. */
u64 VqxCliToolsGetTimestampMs(void);

#endif
