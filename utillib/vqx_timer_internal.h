/*
 * vqx_timer_internal.h - library-internal diagnostics of the timing wheel
 * (for the tests; not a public contract).
 */
#ifndef VQX_TIMER_INTERNAL_H
#define VQX_TIMER_INTERNAL_H

#include "vqx_timer.h"

typedef struct _VQX_TIMER_STATS {
  u32 un32Capacity;  /* records that can be armed at once now */
  u32 un32NbArmed;   /* armed records, expired ones included */
  u32 un32NbExpired; /* expired, not yet handed out */
  u64 un64NowMs;     /* the wheel's current time, 64-bit */
} VQX_TIMER_STATS;

/* Figures of one wheel. 0x02000000; 0x82000009 null wheel or stats. */
VQX_RESULT VqxTimerGetStats(HVQXTIMER hTimer, VQX_TIMER_STATS* pStats);

/* Walks every list and checks links, slot maps, counts, the record index and
 * that each record sits in the slot its due tick calls for.
 * 0x02000000 sound; 0x8200000F broken; 0x82000009 null wheel. */
VQX_RESULT VqxTimerCheck(HVQXTIMER hTimer);

#endif
