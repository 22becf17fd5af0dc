/*
 * vqx_hash.h - open-addressing hash tables of u64 keys to u64 values.
 *
 * Values are pointer-sized words: store a pointer as (u64)(uintptr_t)p. The
 * table never owns what a value points to. The value with all bits set is
 * refused (it marks unused slots inside the table).
 *
 * Two kinds share all calls but creation:
 *  - keyed at insertion (VQXHashCreateWithKeyInternal): the caller gives the
 *    key of every entry;
 *  - key function (VQXHashCreateInternal): the key of an entry is read from its
 *    value by the key function (context, value) -> u64 key, for instance a
 *    serial number held in the record the value points to.
 * Both are filled with VQXHashInsert(hash, key, value). In a key-function
 * table the key is the key function's answer for the value; the key argument
 * must equal it (a mismatch is refused with 0x8200000A), so that a caller
 * never files an entry under a key that Find would not use.
 *
 * Size: the slot count is always one of the library's table of primes, chosen
 * from the size hint at creation; the table moves to a larger prime by itself
 * when it fills, and drops removed-entry markers when it rebuilds. An optional
 * maximum bounds the number of entries.
 *
 * Threads: no lock inside; callers that share a table serialise the calls.
 * Result codes: 0x02000000 success, 0x82000005 key already present,
 * 0x82000008 table at its maximum, 0x82000009 null table (also a handle
 * recognised as destroyed), 0x8200000A invalid value or key, 0x82000012 no
 * memory to grow, 0x82000015 key absent.
 *
 * Memory: the table keeps entries at most at half of its slots (a third right
 * after growing), 16 bytes a slot; tables of 2 MiB and more are asked to use
 * huge pages.
 */
#ifndef VQX_HASH_H
#define VQX_HASH_H

#include "vqx_result.h"
#include "vqx_types.h"

/* Opaque table handle. */
typedef struct VQX_HASH* HVQXHASH;

/* Key function of a key-function table: (context given at creation, stored
 * value) -> the value's key. Called at insertion only. */
typedef u64 (*PFN_VQX_HASH_GET_KEY)(void* pContext, u64 un64Value);

/* The value a table refuses to store. */
#define VQX_HASH_INVALID_VALUE 0xFFFFFFFFFFFFFFFFull

/*
 * VQXHashCreateInternal: creates a key-function table.
 *  un32MaxEntries  maximum number of entries (Insert answers 0x82000008
 *                  beyond it), 0 = no limit; also sizes the first table.
 *                  It is a limit, not a bucket count: a caller that thinks
 *                  of it as a bucket count (32 reassembly contexts, 128 peer
 *                  handles) and must not be capped there passes 0; the slot
 *                  count follows the entries by itself either way.
 *  pFctGetKey      key function; null refused.
 *  pReserved1, pReserved2  two callbacks of no use here: must be null.
 *  pContext        first argument of the key function; kept, not owned.
 *  pszName         name of the table for diagnostics (copied; null allowed).
 *  un32Flags       must be 0.
 * Returns the table, or null when an argument is refused or memory runs out.
 * The caller frees it with VQXHashDestroy.
 */
HVQXHASH VQXHashCreateInternal(u32 un32MaxEntries, PFN_VQX_HASH_GET_KEY pFctGetKey, void* pReserved1,
                               void* pReserved2, void* pContext, const char* pszName, u32 un32Flags);

/*
 * VQXHashCreateWithKeyInternal: creates a table whose keys are given at
 * insertion. un32MaxEntries, pszName, un32Flags as above.
 * Returns the table, or null (flags not 0, no memory).
 */
HVQXHASH VQXHashCreateWithKeyInternal(u32 un32MaxEntries, const char* pszName, u32 un32Flags);

/*
 * VQXHashInsert: (table, key, value) adds one entry. Callers with 32-bit keys
 * pass them unchanged (zero-extended); pointers are stored as
 * (u64)(uintptr_t)p.
 * 0x02000000; 0x82000009 null table; 0x8200000A value all ones, or (key
 * function table) key not the key function's answer; 0x82000005 key already
 * present (the stored value stays); 0x82000008 the table holds its maximum;
 * 0x82000012 the table must grow and memory runs out (nothing changed).
 */
VQX_RESULT VQXHashInsert(HVQXHASH hHash, u64 un64Key, u64 un64Value);

/*
 * VQXHashFind: (table, key, out value or null). The out value is set to 0
 * first, then to the stored value when found.
 * 0x02000000 found; 0x82000015 absent; 0x82000009 null table.
 */
VQX_RESULT VQXHashFind(HVQXHASH hHash, u64 un64Key, u64* pun64Value);

/*
 * VQXHashRemove: (table, key, out value or null) removes the entry and writes
 * the value it held. 0x02000000; 0x82000015 absent (out value untouched);
 * 0x82000009 null table (out value untouched).
 */
VQX_RESULT VQXHashRemove(HVQXHASH hHash, u64 un64Key, u64* pun64Value);

/* VQXHashDestroy: frees the table (not what its values point to).
 * 0x02000000; 0x82000009 for a null table; 0x8200000C for a handle recognised
 * as destroyed already (a best-effort check; never pass freed handles). */
VQX_RESULT VQXHashDestroy(HVQXHASH hHash);

/* VQXHashSetCreateFileLine: records the creating source position (file kept as
 * a pointer: pass a string literal) for diagnostics; changes nothing else.
 * 0x02000000; 0x82000009 for a null table. */
VQX_RESULT VQXHashSetCreateFileLine(HVQXHASH hHash, const char* pszFile, u32 un32Line);

#endif
