/*
 * vqx_pool.h - pools of fixed-size records with an ordered used list and a
 * key index.
 *
 * A pool holds at most a fixed number of records of one size. A record is
 * taken with Alloc under a key and given back with Free. Records in use are
 * kept on one ordered list: a new record goes to the head, so First is the
 * newest record, Next walks towards older ones and Last is the oldest record
 * still in use. Each record keeps one index (0 .. count-1) for its whole life,
 * through which it can be found again.
 *
 * Two kinds of pool share one behaviour: HVQXPOOLOFBUFFERS (the plain pool,
 * whose callers mostly use 32-bit keys) and HVQXPOOLOFBUFFERS64 (64-bit keys).
 * Both take keys as u64, so a caller with 32-bit keys passes them unchanged;
 * both compare the full 64 bits.
 *
 * Storage: by default all records live in one block taken at creation. In
 * heap mode (fHeapMode = 1) each record is taken from the heap when its slot
 * is first used and kept for that slot's later uses; the pool holds only the
 * bookkeeping until records are used, and gives every record back when it is
 * destroyed.
 *
 * Threads: a pool has no lock of its own. Callers that share one pool between
 * threads serialise every call on it.
 *
 * Errors: the pools print their errors through a print hook (below). Result
 * codes are those of vqx_result.h. A handle of the other pool kind, or of a
 * destroyed pool, is refused where it is recognised: calls returning a
 * result give 0x8200000C (VQX_RESULT_INVALID_HANDLE), the others null.
 */
#ifndef VQX_POOL_H
#define VQX_POOL_H

#include <stdarg.h>

#include "vqx_result.h"
#include "vqx_types.h"

/* Opaque pool handles; the layouts are private to the library. */
typedef struct VQX_POOL_OF_BUFFERS* HVQXPOOLOFBUFFERS;
typedef struct VQX_POOL_OF_BUFFERS64* HVQXPOOLOFBUFFERS64;

/*
 * Key function of a pool: (key context given at creation, record) -> the
 * record's key. A non-null key function makes the pool keyed: Alloc files the
 * record under the key it is given (the record does not hold its key yet at
 * that moment) and refuses a key already in use, Find looks records up by
 * key. The pool keeps the function with the pool and does not call it itself.
 * A null key function makes an unkeyed pool: keys are ignored, Find always
 * returns null.
 */
typedef u64 (*PFN_VQX_POOL_GET_KEY)(void* pKeyContext, const void* pRecord);

/*
 * Print hooks: vprintf-like (context, format, argument list); the return value
 * is ignored. g_pFctVqxPoolOfBuffersvPrintf serves the plain pools,
 * g_pFctVqxPoolOfBuffers64vPrintf the 64-bit pools; each is called with its
 * own context pointer. While a hook is null the pools print to standard error.
 * A library that installs its printer sets the hook (and context) when the
 * hook is null, and puts back null when it closes. Set them while no pool is
 * in use on another thread.
 * Lines printed: "\nProcess 0x%X: VQXPool:Error: Caller trying to allocate two
 * elements with the same hashing key (0x%08X)!!!\n" (process id, low 32 bits
 * of the key) when Alloc is given a key already in use.
 */
typedef int (*PFN_VQX_POOL_VPRINTF)(void* pContext, const char* pszFormat, va_list vaArgs);

extern PFN_VQX_POOL_VPRINTF g_pFctVqxPoolOfBuffersvPrintf;
extern void* g_pVqxPoolOfBuffersvPrintfContext;
extern PFN_VQX_POOL_VPRINTF g_pFctVqxPoolOfBuffers64vPrintf;
extern void* g_pVqxPoolOfBuffers64vPrintfContext;

/* Key kinds of VQXPoolOfBuffersCreatePrivate: only integer keys exist. */
#define VQX_POOL_KEY_TYPE_INTEGER 0u

/* Largest record count a pool accepts (indexes are u32, 0xFFFFFFFF is "none"). */
#define VQX_POOL_MAX_BUFFERS 0x10000000u

/*
 * VQXPoolOfBuffersCreatePrivate: creates a pool.
 *  un32NbBuffers   maximum number of records; 0 refused; 1 is taken as 2;
 *                  above VQX_POOL_MAX_BUFFERS refused.
 *  un32BufferSize  size of one record, rounded up to a multiple of 8; 0 refused.
 *  pFctGetKey      key function (see PFN_VQX_POOL_GET_KEY) or null (unkeyed).
 *  pKeyContext     first argument of the key function; kept, not owned.
 *  un32Reserved    must be 0.
 *  un32KeyType     VQX_POOL_KEY_TYPE_INTEGER (0); anything else refused.
 *  pszFile, un32Line  creating source position (kept as a pointer: pass a
 *                  string literal, as __FILE__ is).
 *  fHeapMode       0: records in one block taken now; 1: each record taken
 *                  from the heap at its slot's first Alloc, kept until Destroy.
 * Returns the pool, or null when an argument is refused or memory runs out.
 * The caller owns the pool and frees it with VQXPoolOfBuffersDestroy.
 */
HVQXPOOLOFBUFFERS VQXPoolOfBuffersCreatePrivate(u32 un32NbBuffers, u32 un32BufferSize,
                                                PFN_VQX_POOL_GET_KEY pFctGetKey, void* pKeyContext,
                                                u32 un32Reserved, u32 un32KeyType, const char* pszFile,
                                                u32 un32Line, u32 fHeapMode);

/*
 * VQXPoolOfBuffersAllocPrivate: takes a free record and files it under the key.
 * The record's bytes are zeroed. It becomes the head of the used list.
 * Returns the record (8-byte aligned, un32BufferSize bytes rounded up to 8,
 * owned by the pool, lent to the caller until Free), or null when the pool is
 * null, already holds its maximum, the key is in use in a keyed pool (the
 * duplicate-key line is printed through the hook) or memory runs out (heap
 * mode). pszFile/un32Line: the caller's source position (not kept).
 */
void* VQXPoolOfBuffersAllocPrivate(HVQXPOOLOFBUFFERS hPool, u64 un64Key, const char* pszFile, u32 un32Line);

/*
 * VQXPoolOfBuffersFreePrivate: gives a record back and removes its key.
 * Returns 0x02000000; 0x82000009 (VQX_RESULT_NULL_PARAM) for a null pool or
 * record; 0x8200000C for a handle of the other kind; 0x8200000A (VQX_RESULT_INVALID_PARAM) for a pointer that is not a
 * record of this pool in use (outside the pool, not at a record boundary,
 * already free, or never allocated): nothing is changed then.
 * In heap mode the record's memory stays with its slot for the next Alloc.
 */
VQX_RESULT VQXPoolOfBuffersFreePrivate(HVQXPOOLOFBUFFERS hPool, void* pRecord, const char* pszFile, u32 un32Line);

/*
 * VQXPoolOfBuffersFreeAtIndexPrivate: the same for a record whose index the
 * caller has (from GetBufferIndex): no address lookup. The same results;
 * 0x8200000A also when the index is not that of pRecord in use.
 */
VQX_RESULT VQXPoolOfBuffersFreeAtIndexPrivate(HVQXPOOLOFBUFFERS hPool, u32 un32Index, void* pRecord,
                                              const char* pszFile, u32 un32Line);

/* VQXPoolOfBuffersFind: the used record filed under the key, or null (also
 * for a null or unkeyed pool). */
void* VQXPoolOfBuffersFind(HVQXPOOLOFBUFFERS hPool, u64 un64Key);

/*
 * Walk of the used records, newest first:
 *  VQXPoolOfBuffersFirst (pool): the head of the used list (the newest record).
 *  VQXPoolOfBuffersNext (pool, record): the record after this one (one older);
 *    null at the end, and null when the record given is not in use.
 *  VQXPoolOfBuffersLast (pool): the tail (the oldest record still in use).
 * All give null for a null or empty pool. During a walk records may be
 * allocated or freed, except the current one: call Next on it before freeing
 * it (take Next, then Free the current record, then go on with the next).
 */
void* VQXPoolOfBuffersFirst(HVQXPOOLOFBUFFERS hPool);
void* VQXPoolOfBuffersNext(HVQXPOOLOFBUFFERS hPool, const void* pRecord);
void* VQXPoolOfBuffersLast(HVQXPOOLOFBUFFERS hPool);

/*
 * VQXPoolOfBuffersGetUsage: (pool, out free count or null, out used count or
 * null) -> 0x02000000 with the counts; 0x82000009 for a null pool (the counts
 * are then set to 0 when given). free + used = the pool's record count.
 * A caller that only asks whether records are in use calls it as
 * (pool, 0, &used): the free count is optional.
 */
VQX_RESULT VQXPoolOfBuffersGetUsage(HVQXPOOLOFBUFFERS hPool, u32* pun32NbFree, u32* pun32NbUsed);

/*
 * VQXPoolOfBuffersGetBufferIndex: (pool, used record, out index) -> the
 * record's index (0 .. count-1), stable while the record is in use.
 * 0x82000009 for a null argument, 0x8200000A for a pointer that is not a used
 * record of the pool (the index is then set to 0xFFFFFFFF).
 */
VQX_RESULT VQXPoolOfBuffersGetBufferIndex(HVQXPOOLOFBUFFERS hPool, const void* pRecord, u32* pun32Index);

/* VQXPoolOfBuffersFindBufferByIndex: the record at that index if it is in use,
 * else null (also for an index beyond the pool or a null pool). */
void* VQXPoolOfBuffersFindBufferByIndex(HVQXPOOLOFBUFFERS hPool, u32 un32Index);

/*
 * VQXPoolOfBuffersDestroy: frees the pool, its index and every record still in
 * it (pointers to them become invalid). 0x02000000; 0x82000009 for a null pool;
 * 0x8200000C (VQX_RESULT_INVALID_HANDLE) for a handle that is not a live pool
 * of this kind (a best-effort check; never pass freed handles).
 */
VQX_RESULT VQXPoolOfBuffersDestroy(HVQXPOOLOFBUFFERS hPool);

/*
 * The 64-bit pool: same behaviour and codes as the plain pool above.
 * VQXPoolOfBuffers64CreatePrivate has no reserved and key-type arguments:
 * (count, record size, key function, key context, file, line, heap mode).
 */
HVQXPOOLOFBUFFERS64 VQXPoolOfBuffers64CreatePrivate(u32 un32NbBuffers, u32 un32BufferSize,
                                                    PFN_VQX_POOL_GET_KEY pFctGetKey, void* pKeyContext,
                                                    const char* pszFile, u32 un32Line, u32 fHeapMode);
void* VQXPoolOfBuffers64AllocPrivate(HVQXPOOLOFBUFFERS64 hPool, u64 un64Key, const char* pszFile, u32 un32Line);
VQX_RESULT VQXPoolOfBuffers64FreePrivate(HVQXPOOLOFBUFFERS64 hPool, void* pRecord, const char* pszFile,
                                         u32 un32Line);
VQX_RESULT VQXPoolOfBuffers64FreeAtIndexPrivate(HVQXPOOLOFBUFFERS64 hPool, u32 un32Index, void* pRecord,
                                                const char* pszFile, u32 un32Line);
void* VQXPoolOfBuffers64Find(HVQXPOOLOFBUFFERS64 hPool, u64 un64Key);
void* VQXPoolOfBuffers64First(HVQXPOOLOFBUFFERS64 hPool);
void* VQXPoolOfBuffers64Next(HVQXPOOLOFBUFFERS64 hPool, const void* pRecord);
void* VQXPoolOfBuffers64Last(HVQXPOOLOFBUFFERS64 hPool);
VQX_RESULT VQXPoolOfBuffers64GetUsage(HVQXPOOLOFBUFFERS64 hPool, u32* pun32NbFree, u32* pun32NbUsed);
VQX_RESULT VQXPoolOfBuffers64GetBufferIndex(HVQXPOOLOFBUFFERS64 hPool, const void* pRecord, u32* pun32Index);
void* VQXPoolOfBuffers64FindBufferByIndex(HVQXPOOLOFBUFFERS64 hPool, u32 un32Index);
VQX_RESULT VQXPoolOfBuffers64Destroy(HVQXPOOLOFBUFFERS64 hPool);

/* Convenience forms that pass the caller's source position. */
#define VQXPoolOfBuffersCreate(nb, size, keyfct, keyctx, heap) \
  VQXPoolOfBuffersCreatePrivate((nb), (size), (keyfct), (keyctx), 0, VQX_POOL_KEY_TYPE_INTEGER, __FILE__, \
                                __LINE__, (heap))
#define VQXPoolOfBuffersAlloc(pool, key) VQXPoolOfBuffersAllocPrivate((pool), (key), __FILE__, __LINE__)
#define VQXPoolOfBuffersFree(pool, rec) VQXPoolOfBuffersFreePrivate((pool), (rec), __FILE__, __LINE__)
#define VQXPoolOfBuffers64Create(nb, size, keyfct, keyctx, heap) \
  VQXPoolOfBuffers64CreatePrivate((nb), (size), (keyfct), (keyctx), __FILE__, __LINE__, (heap))
#define VQXPoolOfBuffers64Alloc(pool, key) VQXPoolOfBuffers64AllocPrivate((pool), (key), __FILE__, __LINE__)
#define VQXPoolOfBuffers64Free(pool, rec) VQXPoolOfBuffers64FreePrivate((pool), (rec), __FILE__, __LINE__)

#endif
