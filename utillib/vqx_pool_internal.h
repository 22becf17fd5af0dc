/*
 * vqx_pool_internal.h - library-internal diagnostics of the record pools
 * (for the tests; not a public contract).
 */
#ifndef VQX_POOL_INTERNAL_H
#define VQX_POOL_INTERNAL_H

#include "vqx_pool.h"

/* Walks the used list, the free stack and the indexes and checks that they
 * agree (links, counts, keys, record addresses). 0x02000000 sound;
 * 0x8200000F broken; 0x82000009 null pool; 0x8200000C wrong kind of handle. */
VQX_RESULT VqxPoolOfBuffersCheck(HVQXPOOLOFBUFFERS hPool);
VQX_RESULT VqxPoolOfBuffers64Check(HVQXPOOLOFBUFFERS64 hPool);

#endif
