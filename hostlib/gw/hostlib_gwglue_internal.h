/*
 * gw/hostlib_gwglue_internal.h - inside the host library: the glue to the
 * two gateway transport instances (adapters' and hosts') and the receive
 * callbacks they are given. The local addresses and the environment are the
 * core's (core/vqx_host_internal.h), the send path towards peers the peer
 * module's (peer/vqx_host_peer_internal.h).
 *
 * Only the library's own .cpp files and its tests include this header.
 * Unless said otherwise everything runs with the library lock held.
 */
#ifndef HOSTLIB_GWGLUE_INTERNAL_H
#define HOSTLIB_GWGLUE_INTERNAL_H

#include "peer/vqx_host_peer_internal.h"
#include "vqx_gwlib.h"

/* ------------------------------------------------------ transport glue */

VQX_RESULT VqxGatewayLibInit(VQX_LIB_HANDLE hLib);
void VqxGatewayLibUninit(VQX_LIB_HANDLE hLib);
/* Destroys one instance (fHosts 0 adapters, 1 hosts), without the library lock. */
void VqxGwDestroy(VQX_LIB_HANDLE hLib, u32 fHosts);
/* Fills one transport parameter record (fHosts 0 adapters, 1 hosts); subnets
 * allocated into *ppaun32Subnets. */
void VqxGwFillParams(VQX_LIB_HANDLE hLib, u32 fHosts, VqxGwLibParams *pGwParams, u32 **ppaun32Subnets);

/* Receive callbacks given to both instances. */
void VqxHostGwLibRxHandler(void *pCtx, u32 hPeer, u32 fIsGw0, void *pMsg, u32 un32Size, u32 *pfStop);
void VqxHostGwLibRxHandlerMultiple(void *pCtx, u32 hPeer, u32 fIsGw0, u32 un32Count, void **apMsgs,
                                   const u32 *aun32Sizes, u32 *pfStop);
u32 VqxHostGwLibCanConnectTo(void *pCtx, u32 hPeer);

#endif
