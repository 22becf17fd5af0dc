/*
 * vqx_hash_internal.h - library-internal diagnostics of the hash tables
 * (used by the pools, the timing wheel and the tests; not a public contract).
 */
#ifndef VQX_HASH_INTERNAL_H
#define VQX_HASH_INTERNAL_H

#include "vqx_hash.h"

typedef struct _VQX_HASH_STATS {
  u32 un32NbEntries;      /* live entries */
  u32 un32NbSlots;        /* current prime slot count */
  u32 un32NbRemoved;      /* removed-entry markers still in the table */
  u32 un32NbRebuildSizes; /* index of the current prime in the size table */
  const char* pszName;    /* the table's copy of its name */
  const char* pszCreateFile;
  u32 un32CreateLine;
} VQX_HASH_STATS;

/* Figures of one table. 0x02000000; 0x82000009 null table or stats. */
VQX_RESULT VqxHashGetStats(HVQXHASH hHash, VQX_HASH_STATS* pStats);

/* Walks the whole table and checks its invariants: counts match, every entry
 * is reachable from its home slot, at least one slot is empty, the maximum
 * holds. 0x02000000 sound; 0x8200000F broken; 0x82000009 null table. */
VQX_RESULT VqxHashCheck(HVQXHASH hHash);

#endif
