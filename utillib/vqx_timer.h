/*
 * vqx_timer.h - hierarchical timing wheel over the caller's timer records.
 *
 * A timer record is any memory of the caller's; the wheel keeps a pointer to
 * it while it is armed and never reads or writes it, except the optional
 * usage-flag byte (VQXTimerSetUsageFlagOffset). The caller keeps each armed
 * record alive until it has been removed or returned by a poll.
 *
 * Time is the caller's millisecond clock as u32, which wraps every 2^32 ms:
 * every due time and poll time is taken relative to the wheel's current time
 * (the last polled time, or the start time) as a signed 32-bit difference, so
 * the wrap is invisible as long as the wheel is polled at least every 2^31 ms
 * and due times lie within the maximum delay. A record expires at the first
 * poll whose time is at or after its due time, rounded up to the resolution
 * (it may fire up to one resolution late, never early). A due time at or
 * before the wheel's current time expires at the next poll.
 *
 * Polling is two-step: VQXTimerPoll with no array advances the wheel and
 * counts the expired records (they stay armed); a second call with an array
 * hands them out in the order they expired and disarms them.
 *
 * Capacity: the number of records armed at once. A wheel created with
 * capacity 0 starts at 64 and doubles when full, up to VQX_TIMER_MAX_CAPACITY.
 *
 * Threads: no lock inside; callers serialise the calls on one wheel.
 */
#ifndef VQX_TIMER_H
#define VQX_TIMER_H

#include "vqx_result.h"
#include "vqx_types.h"

/* Opaque wheel handle. */
typedef struct VQX_TIMER* HVQXTIMER;

/* Largest capacity a wheel accepts or grows to. */
#define VQX_TIMER_MAX_CAPACITY 0x100000u
/* Start capacity of a growable wheel (created with capacity 0). */
#define VQX_TIMER_GROWABLE_START_CAPACITY 64u
/* Usage-flag offset meaning "no usage flag" (the default). */
#define VQX_TIMER_NO_USAGE_FLAG 0xFFFFFFFFu

/*
 * VQXTimerCreate: (initial capacity, resolution in ms, maximum delay in ms,
 * start time in ms) -> the wheel, or null.
 *  un32InitialCapacity  0: growable, starts with 64 records; 1 .. 0x100000:
 *                       fixed capacity; above 0x100000 refused.
 *  un32ResolutionMs     tick length; 0 refused.
 *  n32MaxDelayMs        largest accepted distance between the wheel's current
 *                       time and a due time; 0 or negative refused.
 *  un32StartTimeMs      the wheel's current time until the first poll.
 * The caller frees the wheel with VQXTimerDestroy.
 */
HVQXTIMER VQXTimerCreate(u32 un32InitialCapacity, u32 un32ResolutionMs, i32 n32MaxDelayMs, u32 un32StartTimeMs);

/*
 * VQXTimerSetUsageFlagOffset: (wheel, offset) from now on the wheel writes 1
 * in the byte at that offset of a record when it arms it and 0 when it
 * disarms it (remove, or handed out by a poll). VQX_TIMER_NO_USAGE_FLAG turns
 * it off. Records must be at least offset+1 bytes long. Set it before the
 * first insertion. 0x02000000; 0x82000009 null wheel.
 */
VQX_RESULT VQXTimerSetUsageFlagOffset(HVQXTIMER hTimer, u32 un32Offset);

/*
 * VQXTimerInsertNormalized: (wheel, due time in ms, record, flag) arms the
 * record. un32Flag is reserved and must be 0.
 * 0x02000000; 0x82000009 null wheel or record; 0x8200000A flag not 0, or due
 * time further than the maximum delay from the wheel's current time;
 * 0x82000005 the record is already armed (it stays armed as it was);
 * 0x82000008 the wheel is full and cannot grow (fixed capacity, or already
 * 0x100000); 0x82000012 growing failed for lack of memory.
 */
VQX_RESULT VQXTimerInsertNormalized(HVQXTIMER hTimer, u32 un32DueTimeMs, void* pRecord, u32 un32Flag);

/* VQXTimerInsert: VQXTimerInsertNormalized with flag 0. */
VQX_RESULT VQXTimerInsert(HVQXTIMER hTimer, u32 un32DueTimeMs, void* pRecord);

/*
 * VQXTimerRemove: (wheel, record) disarms the record, also when it has
 * expired but not been handed out yet. 0x02000000; 0x82000015 not armed;
 * 0x82000009 null wheel or record.
 */
VQX_RESULT VQXTimerRemove(HVQXTIMER hTimer, void* pRecord);

/*
 * VQXTimerPoll: (wheel, current time in ms, in/out count, array or null).
 * Advances the wheel to the time (a time before the wheel's current time
 * leaves it where it is), then:
 *  - null array: *pun32Count receives the number of expired records not yet
 *    handed out; they stay armed;
 *  - array of *pun32Count pointers: up to that many expired records are
 *    written, in the order they expired, and disarmed; *pun32Count receives the
 *    number written. The others stay for the next poll.
 * 0x02000000; 0x82000009 null wheel or count; 0x82000012 memory ran out while
 * moving records inside the wheel: it advanced only part of the way (nothing
 * is lost; records already expired are still counted or handed out, and the
 * next poll goes on).
 */
VQX_RESULT VQXTimerPoll(HVQXTIMER hTimer, u32 un32NowMs, u32* pun32Count, void** apRecords);

/* VQXTimerDestroy: frees the wheel (not the records; it does not touch them,
 * so the usage flags of records still armed stay set). 0x02000000;
 * 0x82000009 null wheel; 0x8200000C a handle that is not a live wheel
 * (best-effort check; never pass freed handles). */
VQX_RESULT VQXTimerDestroy(HVQXTIMER hTimer);

#endif
