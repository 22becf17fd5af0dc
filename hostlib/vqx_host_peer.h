/*
 * vqx_host_peer.h - adapters and remote hosts as the application sees them:
 * their information records, the notifications the library posts to the
 * application's filters when they come and go, and the calls that list and
 * describe them and tune their paths.
 *
 * Peers. An adapter board (handle 0xCA......) or another host application
 * (0xCB......) found by the gateway transport. Each has two paths, gw0 and
 * gw1. The library posts to every active ordinary filter: added once per
 * presence, path up / down per path (states after the change), removed once
 * when the last path is lost. A filter activated later is first sent, for
 * each present peer, added, gw0 up and gw1 up.
 *
 * What a peer sends arrives in its sequence order: the other path's copy of
 * a message already delivered is dropped (RxMsgRedundant). A peer of build
 * at most 799 does not send again what a lost path carried, and may send its
 * next message on the other path: a message 2 to 65534 ahead of the sequence
 * is held, with the messages that follow it on its path, until the missing
 * one arrives, then all are delivered in order. Held at most 1000 ms or 256
 * messages per path; past either, or when the peer's last path goes (before
 * its removal notification), the missing ones are counted lost ("... message(s)
 * lost ...") and the held ones delivered. A path that skips while it holds
 * is a fault of the sender: "BUG! Double reception of message in the future
 * from gw0!" (or gw1), and what it held and the message are dropped and
 * counted. From a newer peer a gap is counted and logged, and delivery goes on.
 * An older peer's shorter header (payload start below 88) is widened to 88
 * bytes, its payload moved behind it untouched, before any of it is read.
 *
 * Results: 0x02010000 unless said otherwise; 0x82010206 a null library;
 * 0x82010009 a null out pointer; 0x8201000C an unknown peer handle.
 */
#ifndef VQX_HOST_PEER_H
#define VQX_HOST_PEER_H

#include "vqx_host.h"

/* ------------------------------------------------------------- message ids */

#define VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED 0x02010001u
#define VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED 0x02010002u
#define VQX_MSG_ID_API_NOTIF_ADAPTER_GW_UP 0x02010003u
#define VQX_MSG_ID_API_NOTIF_ADAPTER_GW_DOWN 0x02010004u
#define VQX_MSG_ID_API_NOTIF_HOST_ADDED 0x02010011u
#define VQX_MSG_ID_API_NOTIF_HOST_REMOVED 0x02010012u
#define VQX_MSG_ID_API_NOTIF_HOST_GW_UP 0x02010013u
#define VQX_MSG_ID_API_NOTIF_HOST_GW_DOWN 0x02010014u

/*
 * Gateway operations between libraries (group 0x020D). The remote-filter
 * requests CLEAR, CREATE, DESTROY and DONE are handled and answered for remote
 * hosts only; one from an adapter is logged ("Error: Not supposed to recevie
 * this msg from an adapter") and dropped without an answer, since an adapter
 * is never sent a response.
 */
#define VQX_MSG_ID_GW_OP_PURE_ACK 0x020D0012u
#define VQX_MSG_ID_GW_OP_PURE_ACK2 0x020D0015u
#define VQX_MSG_ID_GW_OP_HOST_FILTER_CLEAR 0x020D0100u
#define VQX_MSG_ID_GW_OP_HOST_FILTER_CREATE 0x020D0101u
#define VQX_MSG_ID_GW_OP_HOST_FILTER_DESTROY 0x020D0102u
#define VQX_MSG_ID_GW_OP_PEER_VALUE 0x020D0103u
#define VQX_MSG_ID_GW_OP_FLOW_CONTROL_LEVEL 0x020D0104u
#define VQX_MSG_ID_GW_OP_HOST_LIST 0x020D0105u
#define VQX_MSG_ID_GW_OP_ADAPTER_MSG_DELAY 0x020D0106u
#define VQX_MSG_ID_GW_OP_HOST_FILTER_DONE 0x020D0107u

/* ------------------------------------------------------------- records */

/* Adapter information (412 bytes). */
typedef struct _VQX_ADAPTER_INFO {
  u32 un32StructVersion;    /* 1 */
  u32 hAdapter;
  u32 aun32Discovery[4];    /* copied unchanged from the board's advertisement */
  char szIpAddress0[64];    /* gw0 */
  char szIpAddress1[64];    /* gw1 */
  char szName[128];         /* first name from discovery */
  char szName2[128];        /* second name from discovery (the board's serial) */
  u32 un32BuildNumber;
} VQX_ADAPTER_INFO;
static_assert(sizeof(VQX_ADAPTER_INFO) == 412);
static_assert(offsetof(VQX_ADAPTER_INFO, szIpAddress0) == 24);
static_assert(offsetof(VQX_ADAPTER_INFO, szIpAddress1) == 88);
static_assert(offsetof(VQX_ADAPTER_INFO, szName) == 152);
static_assert(offsetof(VQX_ADAPTER_INFO, szName2) == 280);
static_assert(offsetof(VQX_ADAPTER_INFO, un32BuildNumber) == 408);

/* Further adapter information (132 bytes). */
typedef struct _VQX_ADAPTER_INFO_MORE {
  u32 un32StructVersion;    /* 1 */
  char szName[128];         /* a further name from discovery */
} VQX_ADAPTER_INFO_MORE;
static_assert(sizeof(VQX_ADAPTER_INFO_MORE) == 132);

/* Host information (424 bytes): a remote host, or this application. */
typedef struct _VQX_HOST_INFO {
  u32 un32StructVersion;    /* 1 */
  u32 hAdapter;             /* the host's handle */
  u64 aun64HostContext[2];
  char szIpAddress0[64];    /* gw0 */
  char szIpAddress1[64];    /* gw1 */
  char szHostName[128];
  char szApplicationName[128];
  u32 un32BuildNumber;
  u32 un32Reserved;
  u64 un64UniqueHostId;     /* IPv4 address << 32 | process id */
} _VQX_HOST_INFO;
static_assert(sizeof(_VQX_HOST_INFO) == 424);
static_assert(offsetof(_VQX_HOST_INFO, aun64HostContext) == 8);
static_assert(offsetof(_VQX_HOST_INFO, szIpAddress0) == 24);
static_assert(offsetof(_VQX_HOST_INFO, szIpAddress1) == 88);
static_assert(offsetof(_VQX_HOST_INFO, szHostName) == 152);
static_assert(offsetof(_VQX_HOST_INFO, szApplicationName) == 280);
static_assert(offsetof(_VQX_HOST_INFO, un32BuildNumber) == 408);
static_assert(offsetof(_VQX_HOST_INFO, un64UniqueHostId) == 416);

/* Network redundancy state of one peer: the transport's seven words, then the API flow-control level. */
typedef struct _VQX_NETWORK_REDUNDANCY_STATE {
  u32 fValid;
  u32 un32PollDelayMs;
  u32 un32NetworkDownDelayMs;
  u32 un32AdapterDownDelayMs;
  u32 fUseGw0;
  u32 fUseGw1;
  u32 un32PreferredGateway;
  u32 un32FlowControlLevel; /* 0xFFFFFFFF when none was set */
} _VQX_NETWORK_REDUNDANCY_STATE;
static_assert(sizeof(_VQX_NETWORK_REDUNDANCY_STATE) == 32);

/* One TCP link to a remote host, as this library's socket sees it: addresses
 * in network order, ports in host order. */
#define VQX_PEER_MAX_LINKS 4u /* receive and send links of gw0 and gw1 */
typedef struct _VQX_PEER_LINK {
  u32 un32LocalAddr;
  u32 un32RemoteAddr;
  u16 un16LocalPort;
  u16 un16RemotePort;
} _VQX_PEER_LINK;
static_assert(sizeof(_VQX_PEER_LINK) == 12);

/*
 * Notification payloads, offsets from the payload start (bytes 0..7 are the
 * library's link area). Path states are those after the change.
 *  added (adapter 424 bytes): 8 the adapter record; (host 432) 8 _VQX_HOST_INFO.
 *  removed (adapter 424): 8 handle, 12 the record; (host 440) 8 handle, 12 0, 16 _VQX_HOST_INFO.
 *  path up (152): 8 handle, 12 gw0 up, 16 gw1 up, 20 gw0 address[64], 84 gw1 address[64].
 *  path down (160): as path up, then 148 the cause (0..11), 152 the messages
 *   lost with that path: those of a batch its link's closing cut short (the
 *   transport's "link closed within a batch"), 0 when another path of a peer
 *   that sends again what it has not seen acknowledged stays up (they come
 *   again there).
 */
#define VQX_NOTIF_OFFSET_INFO 8u
#define VQX_NOTIF_OFFSET_HANDLE 8u
#define VQX_NOTIF_OFFSET_GW0_UP 12u
#define VQX_NOTIF_OFFSET_GW1_UP 16u
#define VQX_NOTIF_OFFSET_GW0_ADDRESS 20u
#define VQX_NOTIF_OFFSET_GW1_ADDRESS 84u
#define VQX_NOTIF_OFFSET_CAUSE 148u
#define VQX_NOTIF_OFFSET_LOST 152u

/* ---------------------------------------------------------- operations */

/* The first adapter whose names (second, first, further) equal pszAdapter; 0x82010015 none. */
VQX_RESULT VQXFindAdapter(VQX_LIB_HANDLE hLib, const char* pszAdapter, VQX_ADAPTER_INFO* pInfo);
/* An adapter's records ("127.0.0.1" replaced by this library's address of that path when known). */
VQX_RESULT VQXGetAdapterInfo(VQX_LIB_HANDLE hLib, u32 hAdapter, VQX_ADAPTER_INFO* pInfo);
VQX_RESULT VQXGetAdapterInfoMore(VQX_LIB_HANDLE hLib, u32 hAdapter, VQX_ADAPTER_INFO_MORE* pInfo);
/* A remote host's record; 0xDA000000..0xDA00FFFF describe this application. */
VQX_RESULT VQXGetRemoteHostInfo(VQX_LIB_HANDLE hLib, u32 hHost, _VQX_HOST_INFO* pInfo);
/* The TCP links this library holds to a remote host now, each once: up to
 * VQX_PEER_MAX_LINKS in paLinks, their number in *pun32Count (0 while none is
 * open). Lets a caller find the process at the other end of a link (the
 * launch library believes a local host's pid only from that). 0x8201000C an
 * unknown host. */
VQX_RESULT VQXGetRemoteHostLinks(VQX_LIB_HANDLE hLib, u32 hHost, u32* pun32Count, _VQX_PEER_LINK* paLinks);
/* The peers a transport instance could not link for want of a record (every
 * one taken; each is linked once one frees, the longest waiting first), in
 * that order, then those that found its queue of 256 full: boards (fHosts 0,
 * serial numbers) or hosts (fHosts 1, "<host>.<application>"). Up to un32Capacity names of
 * VQX_PEER_WAITING_NAME_SIZE bytes into paszNames (null with a capacity of 0);
 * *pun32Count the number waiting, which may be more (0 without that
 * instance). */
#define VQX_PEER_WAITING_NAME_SIZE 256u
VQX_RESULT VQXGetPeersWaitingForRecord(VQX_LIB_HANDLE hLib, u32 fHosts, u32 un32Capacity, u32* pun32Count,
                                       char (*paszNames)[VQX_PEER_WAITING_NAME_SIZE]);
/* The host with that unique id; 0x82010015 none. */
VQX_RESULT VQXFindRemoteHostById(VQX_LIB_HANDLE hLib, u64 un64UniqueId, _VQX_HOST_INFO* pInfo);
/*
 * Handles of the present adapters (hosts), ascending. More than
 * un32Capacity: the first un32Capacity and 0x42010203 (a warning).
 */
VQX_RESULT VQXGetAdaptersList(VQX_LIB_HANDLE hLib, u32 un32Capacity, u32* pun32Count, u32* pahAdapters);
VQX_RESULT VQXGetRemoteHostsList(VQX_LIB_HANDLE hLib, u32 un32Capacity, u32* pun32Count, u32* pahHosts);
/* Validates a redundancy record and applies it to one peer (hAdapter), or to every peer (0). */
VQX_RESULT VQXConfigureNetworkRedundancy(VQX_LIB_HANDLE hLib, u32 hAdapter,
                                         _VQX_NETWORK_REDUNDANCY_PARAMETERS* pParams);
/* The peer's redundancy state (pState may be null) and whether each path is up. */
VQX_RESULT VQXGetNetworkRedundancyState(VQX_LIB_HANDLE hLib, u32 hAdapter, _VQX_NETWORK_REDUNDANCY_STATE* pState,
                                        u32* pfGw0Up, u32* pfGw1Up);
/* Asks an adapter to space its messages by un32DelayMs (at most 250). */
VQX_RESULT VQXAdapterMsgDelay(VQX_LIB_HANDLE hLib, u32 hAdapter, u32 un32DelayMs);

/* A peer's send fifo: the messages queued into it since its record was made (un64Queued) and those in it now
   (un32Waiting). The fifo keeps its order, so the message queued as the Nth has left it (handed to the transport,
   or dropped) once un64Queued - un32Waiting reaches N: a sender that notes un64Queued after its send knows when
   its message left. 0x02010000; 0x82010206 null library; 0x82010009 null record; 0x8201000C unknown peer. */
typedef struct _VQX_PEER_SEND_QUEUE {
  u64 un64Queued;
  u32 un32Waiting;
  u32 un32Reserved;
} VQX_PEER_SEND_QUEUE;
VQX_RESULT VQXGetPeerSendQueue(VQX_LIB_HANDLE hLib, u32 hPeer, VQX_PEER_SEND_QUEUE* pQueue);

/* The caller no longer waits for the answer to its request of that serial number to an adapter (it sent the request
   again, or gave it up): the request stops counting among those awaiting an answer, which hold the flow control
   towards the adapter, as the 60 s time-out would make it, without that time-out's line; an answer that still comes
   is taken quietly (the last 256 such requests of the adapter are remembered). 0x02010000; 0x82010206 null library;
   0x8201000C unknown adapter; 0x82010015 no such request awaited. */
VQX_RESULT VQXAbandonAwaitedResponse(VQX_LIB_HANDLE hLib, u32 hAdapter, u32 un32Serial);

#endif
