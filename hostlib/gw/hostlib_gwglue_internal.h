/*
 * hostlib_gwglue_internal.h - inside the host library: the glue to the two
 * gateway transport instances (adapters' and hosts'), the local addresses
 * and the environment variables they are read from, and the send and
 * receive paths towards adapters and remote hosts.
 *
 * Only the library's own .cpp files and its tests include this header.
 * Unless said otherwise everything runs with the library lock held.
 */
#ifndef HOSTLIB_GWGLUE_INTERNAL_H
#define HOSTLIB_GWGLUE_INTERNAL_H

#include "filter/vqx_filter_internal.h"
#include "vqx_gwlib.h"
#include "core/vqx_host_internal.h"
#include "peer/vqx_host_peer_internal.h"

#define VQX_GW_ENV_VALUE_MAX 1024u
#define VQX_GW_ADDR_TEXT_MAX 63u
#define VQX_GW_SUBNET_ENTRY_MAX 62u
#define VQX_GW_ERROR_TEXT_SIZE 256u
#define VQX_GW_INVALID_ADDR 0xFFFFFFFFu
#define VQX_GW_MAX_LOCAL_IFACES 16u

/* ------------------------------------------------------------ parsers */

/*
 * Dotted IPv4 text (four decimal numbers 0..255) to a network-order value.
 * False for anything else.
 */
bool VqxParseIpv4(const char *pszText, u32 *pun32Addr);

/*
 * Subnet list "[!](a.b.c.d, ...)": an allocated array (free()) of network-
 * order addresses, 0, 255.255.255.255 and 127.0.0.1 left out; *pfExclude is
 * 1 with a leading "!". Null with *pun32Count 0 when the list is empty.
 */
u32 *VqxHostParseGwSubnets(const char *pszText, u32 *pun32Count, u32 *pfExclude);

/* The gateway port from VQX_GW_PORT (automatic base); 12358 absent or invalid
 * (warned). */
u16 VqxGwPortFromEnv(VQX_LIB_HANDLE hLib);

/* ------------------------------------------------------ local addresses */

/* Wanted address of gw0 (fGw1 0) or gw1 (network order), VQX_GW_INVALID_ADDR
 * for none. */
u32 VqxGetLocalIpAddrToUse(VQX_LIB_HANDLE hLib, const _VQX_LIB_PARAMS *pParams, u32 fGw1);
/* True for an address (network order) on 127.0.0.0/8. */
bool VqxIsLoopback(u32 un32Addr);
/* Settles the local addresses against the interface table. A wanted gw0 or
 * gw1 address on 127.0.0.0/8 first confines the process's transports to the
 * loopback interface (VqxGwLibSetLoopbackOnly); any other setting lifts it. */
VQX_RESULT VqxIpAddressesPrepare(VQX_LIB_HANDLE hLib, _VQX_LIB_PARAMS *pParams);
void VqxIpAddressesUpdate(VQX_LIB_HANDLE hLib);
VQX_RESULT VqxHostGuessLocalIPs(VQX_LIB_HANDLE hLib, const char *pszPeerGw0, const char *pszPeerGw1);
/* Interfaces (network order) from the transport's table, refreshed first;
 * count. */
u32 VqxLocalInterfaces(u32 *paun32Addr, u32 *paun32Mask);

/* ------------------------------------------------------ transport glue */

VQX_RESULT VqxGatewayLibInit(VQX_LIB_HANDLE hLib);
void VqxGatewayLibUninit(VQX_LIB_HANDLE hLib);
/* Transport instance of a peer handle: adapters' for 0xCA......, else hosts'.
 */
VqxGwLibContext VqxGwOfPeer(VQX_LIB_HANDLE hLib, u32 hPeer);
/* Fills one transport parameter record (fHosts 0 adapters, 1 hosts); subnets
 * allocated into *ppaun32Subnets. */
void VqxGwFillParams(VQX_LIB_HANDLE hLib, u32 fHosts, VqxGwLibParams *pGwParams, u32 **ppaun32Subnets);

/* Receive callbacks given to both instances. */
void VqxHostGwLibRxHandler(void *pCtx, u32 hPeer, u32 fIsGw0, void *pMsg, u32 un32Size, u32 *pfStop);
void VqxHostGwLibRxHandlerMultiple(void *pCtx, u32 hPeer, u32 fIsGw0, u32 un32Count, void **apMsgs,
                                   const u32 *aun32Sizes, u32 *pfStop);
u32 VqxHostGwLibCanConnectTo(void *pCtx, u32 hPeer);

/* ------------------------------------------------------------- sending */

/* Route to one peer or broadcast to remote hosts; takes the message. */
VQX_RESULT VqxMsgSendToPeers(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg);
/* Posts what is ready for one peer (retransmission, acknowledgement, up to 256 messages of its fifo). */
void VQXHostPostReadyMessagesToGwLib(VQX_LIB_HANDLE hLib, VQX_PEER *pPeer, u32 fWriteNow);
/* A response from an adapter completes its awaited request (flow control re-evaluated). */
void VqxPopRspAwaited(VQX_LIB_HANDLE hLib, VQX_PEER *pPeer, VQX_MSG_HANDLE hMsg);
/* Pushes every peer (fAll: posting and awaited-response time-outs) or the
 * queued ones. */
void VqxKickMsgSendToGwLib(VQX_LIB_HANDLE hLib, u32 fAll);

/*
 * The transport's send side for peers that have no transport instance (both
 * instances off): null by default, so that such peers are never posted to.
 * The fuzz targets put a stand-in here to drive numbering, acknowledgements
 * and awaited responses with no socket. pFctCanSend answers as
 * VqxGwLibCanSendMsg, pFctSend takes the records as VqxGwLibSendMsgs (it
 * frees those marked fFreeAfterSend). Set before any library is opened.
 */
typedef struct _VQX_GW_SEND_STANDIN {
  u32 (*pFctCanSend)(VQX_LIB_HANDLE hLib, u32 hPeer, u32 *pun32OldestSeq);
  VQX_RESULT (*pFctSend)(VQX_LIB_HANDLE hLib, u32 hPeer, u32 un32Count, const VqxGwLibSendRecord *pRecords);
} VQX_GW_SEND_STANDIN;
void VqxGwSetSendStandIn(const VQX_GW_SEND_STANDIN *pStandIn);

#endif
