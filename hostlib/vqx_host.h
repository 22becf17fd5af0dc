/*
 * vqx_host.h - the host messaging library: host messages, the library
 * instance, pools of messages and the names of result codes.
 *
 * Model. One process opens the library once (VQXOpenLib) and lends the handle
 * to every thread. Messages are single buffers: an 88-byte header
 * (_VQX_MSG_HEADER) followed by the payload. A message belongs to exactly one
 * party at a time: the application after VQXGetMsg / VQXGetMsgFromPool or a
 * receive, the library after a send or VQXReleaseMsgEx.
 *
 * Threads. Every operation may be called from any thread. The library keeps
 * one re-entrant lock; releases and event signals are batched to the moment
 * the outermost holder gives it back, and log lines are printed by the
 * library's own log thread, never under the lock. A line that a peer's bad
 * input repeats (a stream of bad message headers) is printed once a second
 * per kind at most; the next one ends in " (N similar line(s) left out)", or
 * the count comes on a line of its own once the second is over.
 *
 * Results. 0x02010000 (VQX_RESULT_API_OK) on success unless said otherwise;
 * a failure has bit 31 set (VQX_RESULT_FAILED). Names and texts of all codes:
 * VQXGetErrorString / VQXGetErrorDescription.
 *
 * Handles are opaque pointers; a message handle is the address of its header.
 */
#ifndef VQX_HOST_H
#define VQX_HOST_H

#include <stddef.h>
#include <stdio.h>

#include "vqx_msg_layout.h"
#include "vqx_result.h"
#include "vqx_types.h"

/* ------------------------------------------------------------- constants */

#define VQX_HOSTLIB_BUILD_NUMBER 0x02070B04u
#define VQX_HOSTLIB_RELEASE_TAG "quellan-hostlib-2.7.11.4"
#define VQX_HOSTLIB_RELEASE_TAG_SIZE 128u

/* Local destinations: the filters of this process. */
#define VQX_HOSTLIB_ADAPTER_HANDLE 0xDA000000u
#define VQX_ADAPTER_TYPE_HOST 6u

#define VQX_MSG_MIN_BUFFER_SIZE 96u        /* smallest buffer: 8 payload bytes */
#define VQX_MSG_MAX_BUFFER_SIZE 0xA00000u  /* 10485760, header included */
#define VQX_MSG_MAX_PAYLOAD_SIZE (VQX_MSG_MAX_BUFFER_SIZE - VQX_MSG_HEADER_SIZE)
#define VQX_MSG_ID_NOT_SET 0x0201DEADu     /* id of a message never filled */
#define VQX_MSG_TRACK_MAGIC_DEFAULT 1u
#define VQX_MSG_FIXED_TWO 2u

#define VQX_API_MAX_PREALLOC_BUF_POOLS 8u
#define VQX_MAX_EXTRA_GW_ADDR 256u

/* _VQX_MSG_TYPE */
typedef enum _VQX_MSG_TYPE {
  VQX_MSG_TYPE_NOT_SET = 0,
  VQX_MSG_TYPE_REQUEST = 1,
  VQX_MSG_TYPE_RESPONSE = 2,
  VQX_MSG_TYPE_EVENT = 4
} _VQX_MSG_TYPE;

/* ---------------------------------------------------------- host message */

/*
 * The header at the start of every message buffer. In memory the layout is
 * the wire layout. While an application holds a message every field is in
 * host byte order; on the wire every field is big-endian except
 * un32SerialNumber and the two user contexts (sender's order, never swapped),
 * and un32LocalWord travels as 0.
 */
typedef struct _VQX_MSG_HEADER {
  u32 un32MsgId;            /* group in the upper 16 bits */
  u32 MsgType;              /* _VQX_MSG_TYPE */
  u32 un32Length;           /* whole buffer, header included */
  u32 un32PayloadLength;    /* payload bytes in use */
  u32 un32PayloadMaxLength; /* un32Length - 88 */
  u32 un32PayloadStart;     /* 88 */
  u32 un32SerialNumber;     /* library-wide serial; responses carry the request's */
  u32 hAdapter;             /* destination on send, source on receive */
  u64 un64UserContext1;
  u32 un32TrackMagic;       /* 1, or "HMSG" while tracked by the verifying layer */
  u32 un32FixedTwo;         /* 2 at allocation */
  u64 un64UserContext2;
  u32 un32TimeStamp;        /* set when queued for a peer */
  u32 un32LocalWord;        /* not carried: 0 on the wire */
  u32 un32TxSeq;            /* per-peer transmit sequence, 0 outside it */
  u32 un32TrackMark;        /* 0xDB00DB00 while tracked, else 0 */
  u64 un64SourceUniqueId;   /* unique id of the sending library */
  u16 un16FragInfo;         /* fragment information, 0 when not fragmented */
  u16 un16ConnectionCount;  /* sender's connection count towards the peer */
  u32 un32PiggyAck;         /* highest sequence received from the destination */
} _VQX_MSG_HEADER;

typedef _VQX_MSG_HEADER VQX_MSG_HEADER;
typedef _VQX_MSG_HEADER* VQX_MSG_HANDLE;

static_assert(sizeof(_VQX_MSG_HEADER) == VQX_MSG_HEADER_SIZE, "host header is 88 bytes");
static_assert(offsetof(_VQX_MSG_HEADER, un32MsgId) == VQX_MSG_OFFSET_MSG_ID);
static_assert(offsetof(_VQX_MSG_HEADER, MsgType) == VQX_MSG_OFFSET_MSG_TYPE);
static_assert(offsetof(_VQX_MSG_HEADER, un32Length) == VQX_MSG_OFFSET_LENGTH);
static_assert(offsetof(_VQX_MSG_HEADER, un32PayloadLength) == VQX_MSG_OFFSET_PAYLOAD_LENGTH);
static_assert(offsetof(_VQX_MSG_HEADER, un32PayloadMaxLength) == VQX_MSG_OFFSET_PAYLOAD_MAX_LENGTH);
static_assert(offsetof(_VQX_MSG_HEADER, un32PayloadStart) == VQX_MSG_OFFSET_PAYLOAD_START);
static_assert(offsetof(_VQX_MSG_HEADER, un32SerialNumber) == 24);
static_assert(offsetof(_VQX_MSG_HEADER, hAdapter) == VQX_MSG_OFFSET_ADAPTER);
static_assert(offsetof(_VQX_MSG_HEADER, un64UserContext1) == VQX_MSG_OFFSET_USER_CONTEXT1);
static_assert(offsetof(_VQX_MSG_HEADER, un32TrackMagic) == 40);
static_assert(offsetof(_VQX_MSG_HEADER, un32FixedTwo) == 44);
static_assert(offsetof(_VQX_MSG_HEADER, un64UserContext2) == VQX_MSG_OFFSET_USER_CONTEXT2);
static_assert(offsetof(_VQX_MSG_HEADER, un32TimeStamp) == 56);
static_assert(offsetof(_VQX_MSG_HEADER, un32LocalWord) == 60);
static_assert(offsetof(_VQX_MSG_HEADER, un32TxSeq) == 64);
static_assert(offsetof(_VQX_MSG_HEADER, un32TrackMark) == 68);
static_assert(offsetof(_VQX_MSG_HEADER, un64SourceUniqueId) == 72);
static_assert(offsetof(_VQX_MSG_HEADER, un16FragInfo) == 80);
static_assert(offsetof(_VQX_MSG_HEADER, un16ConnectionCount) == 82);
static_assert(offsetof(_VQX_MSG_HEADER, un32PiggyAck) == 84);
static_assert(VQX_MSG_OFFSET_PAYLOAD == VQX_MSG_HEADER_SIZE);

/* Start of a message's payload (the header size). */
static inline u8* VQXMsgPayload(VQX_MSG_HANDLE hMsg) {
  return reinterpret_cast<u8*>(hMsg) + VQX_MSG_HEADER_SIZE;
}

/* -------------------------------------------------------------- handles */

typedef struct _VQX_LIB_CONTEXT* VQX_LIB_HANDLE;
typedef struct _VQX_FILTER_CONTEXT* VQX_FILTER_HANDLE;
typedef struct _VQX_POOL_OF_MESSAGES* VQX_POOL_OF_MESSAGES_HANDLE;

/* ------------------------------------------------------ library parameters */

/* Path redundancy delays, eight 32-bit words. */
typedef struct _VQX_NETWORK_REDUNDANCY_PARAMETERS {
  u32 fValid;                  /* 0: validation puts the defaults */
  u32 un32PollDelayMs;         /* default 2000, 100..5000 */
  u32 un32NetworkDownDelayMs;  /* default 4500, >= 500 and >= poll delay */
  u32 un32AdapterDownDelayMs;  /* default 10000, > 2 x network-down, <= 15000 */
  u32 fUseGw0;                 /* default 1 */
  u32 fUseGw1;                 /* default 1 */
  u32 un32PreferredGateway;    /* 0 gw0, 1 gw1 */
  i32 FlowControlMode;         /* > 32 becomes 0, 17..32 becomes 16 */
} _VQX_NETWORK_REDUNDANCY_PARAMETERS;
static_assert(sizeof(_VQX_NETWORK_REDUNDANCY_PARAMETERS) == 32);

#define VQX_NETWORK_REDUNDANCY_DEFAULT_POLL_DELAY_MS 2000u
#define VQX_NETWORK_REDUNDANCY_DEFAULT_NETWORK_DOWN_DELAY_MS 4500u
#define VQX_NETWORK_REDUNDANCY_DEFAULT_ADAPTER_DOWN_DELAY_MS 10000u
#define VQX_NETWORK_REDUNDANCY_MIN_POLL_DELAY_MS 100u
#define VQX_NETWORK_REDUNDANCY_MAX_POLL_DELAY_MS 5000u
#define VQX_NETWORK_REDUNDANCY_MIN_NETWORK_DOWN_DELAY_MS 500u
#define VQX_NETWORK_REDUNDANCY_MAX_ADAPTER_DOWN_DELAY_MS 15000u

/* One extra gateway address (140 bytes). */
typedef struct _VQX_EXTRA_GW_ADDR {
  char szIpAddress0[64]; /* gw0 address or host name */
  char szIpAddress1[64]; /* gw1 address or host name; empty when not given */
  u32 un32IpAddress0;    /* 0 when parsed */
  u32 un32IpAddress1;    /* 0 when parsed */
  u16 un16Port;          /* 0 means the gateway port */
  u16 un16Reserved;
} _VQX_EXTRA_GW_ADDR;
static_assert(sizeof(_VQX_EXTRA_GW_ADDR) == 140);

/* One size class: buffer or payload size and number of buffers. */
typedef struct _VQX_PREALLOC_BUF_POOL {
  u32 un32BufSize;
  u32 un32NbBuf;
} _VQX_PREALLOC_BUF_POOL;

/* Status events handed to the status callback (un32Cause). */
#define VQX_LIB_STATUS_RX_OVERFLOW 3u
#define VQX_LIB_STATUS_TX_FIFO_FULL 2u
#define VQX_LIB_STATUS_RX_FLOW_CONTROL 4u
#define VQX_LIB_STATUS_TX_WATERMARK 5u

typedef struct _VQX_LIB_ERROR_INFO {
  u32 un32Cause;    /* VQX_LIB_STATUS_... */
  u32 un32MsgCount; /* messages in the fifo concerned */
  u32 un32Value;    /* event-specific: elapsed ms, flag */
  u32 hAdapter;     /* the peer concerned */
} _VQX_LIB_ERROR_INFO;

typedef struct _VQX_LIB_ERROR_ACTION {
  u32 un32Action; /* preset by the library; the callback may change it */
} _VQX_LIB_ERROR_ACTION;

/* Line printers: (context, library, one formatted line). */
typedef void (*PFCT_VQX_LIB_PRINT)(void* pvContext, VQX_LIB_HANDLE hLib, const char* pszLine);
/* Peer status events, called outside the library lock. */
typedef void (*PFCT_VQX_LIB_STATUS)(void* pvContext, VQX_LIB_HANDLE hLib, u32 hAdapter,
                                    _VQX_LIB_ERROR_INFO* pInfo, _VQX_LIB_ERROR_ACTION* pAction);
/* Called with a message to a peer before it is queued. */
typedef void (*PFCT_VQX_LIB_SEND_HOOK)(void* pvContext, VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg);

/*
 * Open parameters (840 bytes), owned by the caller. VQXOpenLib copies them
 * and writes defaults, the build number and the release tag back into the
 * caller's record; a name or address filling its field ends at the field's
 * last byte.
 */
typedef struct _VQX_LIB_PARAMS {
  u32 un32StructVersion;                 /* 1 */
  char szHostName[128];                  /* empty: system host name at open */
  char szApplicationName[128];           /* empty: "Unnamed_app_%08X" at open */
  char szGw0Address[64];                 /* local gw0 address or subnet */
  char szGw1Address[64];                 /* local gw1 address or subnet */
  u16 un16GwPort;                        /* 0: from the environment at open */
  u8 abyGwBlock[32];                     /* handed unchanged to the transport */
  u32 un32NbExtraGwAddr;                 /* at most 256 */
  _VQX_EXTRA_GW_ADDR* paExtraGwAddr;     /* copied at open */
  u32 fGwPortOnly;                       /* drop extra addresses on other ports */
  u32 un32GwOption;                      /* passed to both transport instances */
  u32 fHostsGwOn;                        /* create and enable the hosts' instance */
  u32 fAdaptersGwOff;                    /* do not create the adapters' instance */
  u64 aun64HostContext[2];               /* for the hosts' instance */
  u32 un32TransportType;                 /* must be 1 */
  _VQX_NETWORK_REDUNDANCY_PARAMETERS NetworkRedundancy;
  u32 un32RxThreadPriority;              /* 0 or 1 */
  u32 un32ReceiveFifoSize;               /* 0 -> 32768; 2..512000 */
  u32 un32SendFifoSize;                  /* 0 -> 32768; 2..65535 */
  u32 un32NbPreAllocBufferPools;         /* at most 8; 0: default classes */
  _VQX_PREALLOC_BUF_POOL aPreAllocBufferPools[VQX_API_MAX_PREALLOC_BUF_POOLS];
  u32 un32PostingCount;                  /* 0 -> 1 */
  FILE* pErrorFile;                      /* error lines; null: callback, else stderr */
  FILE* pTraceFile;                      /* trace lines; null: none */
  PFCT_VQX_LIB_PRINT pFctErrorCallback;
  void* pvErrorContext;
  PFCT_VQX_LIB_PRINT pFctTraceCallback;
  void* pvTraceContext;
  u32 un32TraceLevel;                    /* traces below it are dropped */
  u32 fPrintThroughLogThread;            /* 0 -> 1 */
  PFCT_VQX_LIB_STATUS pFctStatusCallback;
  void* pvStatusContext;
  PFCT_VQX_LIB_SEND_HOOK pFctSendHook;
  void* pvSendHookContext;
  u32 fSendHookAlways;
  u32 HostType;                          /* 0 or VQX_ADAPTER_TYPE_HOST */
  u32 un32BuildNumber;                   /* written by VQXOpenLib */
  char szReleaseTag[VQX_HOSTLIB_RELEASE_TAG_SIZE]; /* written by VQXOpenLib */
  u32 fForwardAllGroupsToHosts;          /* remote filters: forward every group */
  u32 aun32Reserved[4];
} _VQX_LIB_PARAMS;
static_assert(sizeof(void*) == 8, "the parameter record assumes 64-bit pointers");
static_assert(sizeof(_VQX_LIB_PARAMS) == 840, "library parameters are 840 bytes");
static_assert(offsetof(_VQX_LIB_PARAMS, szHostName) == 4);
static_assert(offsetof(_VQX_LIB_PARAMS, un16GwPort) == 388);
static_assert(offsetof(_VQX_LIB_PARAMS, abyGwBlock) == 390);
static_assert(offsetof(_VQX_LIB_PARAMS, NetworkRedundancy) == 476);
static_assert(offsetof(_VQX_LIB_PARAMS, szReleaseTag) == 692);

/* Library information record (VQXGetLibInfo). */
typedef struct _VQX_LIB_INFO {
  u32 un32StructVersion;                 /* 1 */
  u32 un32BuildNumber;                   /* VQX_HOSTLIB_BUILD_NUMBER */
  u32 un32BuildNumber2;
  char szReleaseTag[VQX_HOSTLIB_RELEASE_TAG_SIZE];
  _VQX_LIB_PARAMS LibParams;             /* current parameters */
  u32 un32LibBuildNumber;
  char szLibReleaseTag[VQX_HOSTLIB_RELEASE_TAG_SIZE];
  u64 un64UniqueHostId;
  u32 un32LocalHandleVersion;            /* 1 */
  u32 hLocalHandleBase;                  /* VQX_HOSTLIB_ADAPTER_HANDLE */
  u64 aun64HostContext[2];
  char szLocalGw0Address[64];
  char szLocalGw1Address[64];
  char szHostName[128];
  char szApplicationName[128];
  u32 un32HostBuildNumber;
  u64 un64HostUniqueId;
} _VQX_LIB_INFO;

/* One pre-allocated pool in the statistics. */
typedef struct _VQX_LIB_STATS_BUF_POOL {
  u32 un32BufSize;
  u32 un32NbInPool;      /* free buffers now */
  u32 un32NbMax;         /* configured count */
  u32 un32Hit;           /* taken from the class */
  u32 un32HitRelease;    /* returned to it */
  u32 un32MissAlloc;     /* requests it could not serve */
  u32 un32MissFree;      /* heap buffers it could have held */
} _VQX_LIB_STATS_BUF_POOL;

/* Library statistics (VQXLibGetStats), 496 bytes. */
typedef struct _VQX_LIB_STATS {
  u32 un32StructVersion; /* 1 */
  u32 un32NbBufPools;
  u64 un64BufPoolHit;
  u64 un64BufPoolHitRelease;
  u64 un64BufPoolMissAlloc;
  u64 un64BufPoolMissFree;
  _VQX_LIB_STATS_BUF_POOL aBufPool[VQX_API_MAX_PREALLOC_BUF_POOLS];
  u32 CurrentAllocated;  /* hits + alloc misses - free misses - release hits */
  u32 un32Reserved;
  u64 RxMsg, RxMsgRedundant, RxMsgQueued, RxMsgNotQueued, RxMsgConsumedByApp, RxMsgDroppedFilter;
  u64 TxMsg, TxMsgQueued, TxMsgDropped, TxRetransmit, TxPureAck, RxOverflow, RxMsgMatchNoQ;
  u64 SignoMatchNoQ, RxMsgCopy, RxPureAck, MsgSerial, FilterAlloc, FilterFreed, ImpFilterAlloc;
  u64 ImpFilterFreed, FilterOwned, AdapterList, AdapterAdd, AdapterHAAdd, AdapterRem;
  u64 DebugHashItems;
  u64 un64Reserved;
} _VQX_LIB_STATS;
static_assert(sizeof(_VQX_LIB_STATS) == 496, "statistics record is 496 bytes");

/* Parameters of a pool of messages: 1 to 8 classes of payload size and count. */
typedef struct _VQX_POOL_OF_MESSAGES_PARAMS {
  u32 un32NbPreAllocBufferPools;
  _VQX_PREALLOC_BUF_POOL aPreAllocBufferPools[VQX_API_MAX_PREALLOC_BUF_POOLS];
} _VQX_POOL_OF_MESSAGES_PARAMS;

/* ------------------------------------------------------------- messages */

/*
 * Allocates a message with a payload capacity of un32PayloadSize (at least 8)
 * under the library lock. The header is set as at allocation: id 0x0201DEAD,
 * type 0, payload length 0, payload start 88, a new serial number, track magic
 * 1, fixed two 2, all else 0; payload bytes 4..7 are 0.
 * Results: 0x02010000; 0x82010206 null library; 0x82010009 null out handle;
 * 0x8201020E a size that wraps 32 bits; 0x8201020B over 10485760 bytes in all;
 * 0x82010012 no memory. *phMsg is null on failure.
 */
VQX_RESULT VQXGetMsg(VQX_LIB_HANDLE hLib, u32 un32PayloadSize, VQX_MSG_HANDLE* phMsg);

/*
 * Takes a message of at least un32PayloadSize from a pool of messages; falls
 * back to VQXGetMsg without a pool or a class large enough. 0x02000000 when
 * taken from the pool; VQXGetMsg's results otherwise; 0x82010206 null library.
 */
VQX_RESULT VQXGetMsgFromPool(VQX_LIB_HANDLE hLib, VQX_POOL_OF_MESSAGES_HANDLE hPool,
                             u32 un32PayloadSize, VQX_MSG_HANDLE* phMsg);

/*
 * Gives a message back; it is freed at the next leave of the library lock
 * (at once when 2048 releases already wait). The caller's handle is cleared.
 * 0x02000000 when queued (or the free's result when freed at once);
 * 0x82010206 null library; 0x82010207 null handle, a buffer this library does
 * not hold, or one already released.
 */
VQX_RESULT VQXReleaseMsgEx(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE* phMsg);

/* Checks a message buffer's integrity: 0x02010000, or 0x82010207 / 0x82010001. */
VQX_RESULT VQXTestMsgEx(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg, u32 un32Value1, u32 un32Value2);

/*
 * Creates a pool of pre-allocated messages (1 to 8 classes of payload size and
 * count). 0x02010000; 0x82010206 null library; 0x82010009 null params or out
 * pool; 0x8201000A a class count, size or count of 0; 0x82010012 no memory.
 */
VQX_RESULT VQXPoolOfMessagesAllocDbg(VQX_LIB_HANDLE hLib, const _VQX_POOL_OF_MESSAGES_PARAMS* pParams,
                                     VQX_POOL_OF_MESSAGES_HANDLE* phPool, const char* pszFile, u32 un32Line);
#define VQXPoolOfMessagesAlloc(hLib, pParams, phPool) \
  VQXPoolOfMessagesAllocDbg(hLib, pParams, phPool, __FILE__, __LINE__)

/* Releases every message of the pool and frees it. 0x02010000, 0x82010206, 0x82010009. */
VQX_RESULT VQXPoolOfMessagesDestroy(VQX_LIB_HANDLE hLib, VQX_POOL_OF_MESSAGES_HANDLE hPool);

/* ------------------------------------------------------------ error texts */

/*
 * Writes the name of a result into pszBuf, cut to un32BufSize - 1 characters
 * and terminated. 0x02010000; 0x82010009 null buffer; 0x8201000A size 0.
 */
VQX_RESULT VQXGetErrorString(VQX_RESULT Result, u32 un32BufSize, char* pszBuf);

/*
 * Points *ppszDescription at a static "NAME : text" for results of the
 * common and API sources, else at a fixed text. 0x02010000; 0x82010009.
 */
VQX_RESULT VQXGetErrorDescription(VQX_RESULT Result, const char** ppszDescription);

/* -------------------------------------------------------- library instance */

/*
 * Validates and fills defaults in pParams (hLib may be null: errors then go
 * to standard error). 0x02010000 or the first failure: 0x8201020D transport
 * type, 0x82010006 too many extra addresses, 0x82010216 Rx priority,
 * 0x82010217 send fifo size, 0x8201021A receive fifo size, 0x8201021C
 * too many pools, 0x8201000A host type or redundancy.
 */
VQX_RESULT VQXValidateLibParams(VQX_LIB_HANDLE hLib, _VQX_LIB_PARAMS* pParams);

/* Validates and clamps a redundancy record: 0x02010000 or 0x8201000A. */
VQX_RESULT VQXValidateNetworkRedundancyParams(VQX_LIB_HANDLE hLib, _VQX_NETWORK_REDUNDANCY_PARAMETERS* pParams);

/*
 * Opens an instance: validates, builds locks, pools and the log thread. Fills
 * empty names and writes the build number (on success the low 32 bits of the
 * unique host id) and release tag into *pParams. Everything is undone on
 * failure and *phLib cleared. 0x02010000, 0x82010009, validation results,
 * 0x82010012, 0x82000001.
 */
VQX_RESULT VQXOpenLib(_VQX_LIB_PARAMS* pParams, VQX_LIB_HANDLE* phLib);

/* Stops the library's threads, frees the instance and clears *phLib. */
VQX_RESULT VQXCloseLibEx(VQX_LIB_HANDLE* phLib);

/* Applies changed parameters to an open instance (stops at the first failure). */
VQX_RESULT VQXModifLibParams(VQX_LIB_HANDLE hLib, _VQX_LIB_PARAMS* pParams);

/* Copies the current parameters; two empty addresses read "ANY". */
VQX_RESULT VQXGetLibParams(VQX_LIB_HANDLE hLib, _VQX_LIB_PARAMS* pParams);

/* Fills the information record; a null library leaves only the constant parts. */
VQX_RESULT VQXGetLibInfo(VQX_LIB_HANDLE hLib, _VQX_LIB_INFO* pInfo);

/* Passes once through the library's locks and polls the gateway transport. */
VQX_RESULT VQXPollLibrary(VQX_LIB_HANDLE hLib);
/* Forces a discovery round on the gateway transport instances. */
VQX_RESULT VQXPollAdapters(VQX_LIB_HANDLE hLib);
/*
 * Closes the adapters' gateway transport instance (unlike switching it off
 * with fAdaptersGwOff, which keeps its links): every adapter link is closed,
 * each adapter reported removed as for a lost link, and once this returns
 * nothing more is received from an adapter. The parameters then read
 * fAdaptersGwOff 1; VQXModifLibParams turning it on opens a new instance.
 * Not to be called with the library lock held. 0x02010000; 0x82010206 null
 * library.
 */
VQX_RESULT VQXCloseAdaptersGw(VQX_LIB_HANDLE hLib);
/*
 * The same for the hosts' instance: every link to a remote host closed, what
 * its TCP had acknowledged read and delivered first (the messages of a batch
 * the close cuts told in the path-down notification), each host reported
 * removed. The parameters then read fHostsGwOn 0. Not to be called with the
 * library lock held. 0x02010000; 0x82010206 null library.
 */
VQX_RESULT VQXCloseHostsGw(VQX_LIB_HANDLE hLib);

/* Not supported: 0x82010013. */
VQX_RESULT VQXCreateAssociation(VQX_LIB_HANDLE hLib);
VQX_RESULT VQXDestroyAssociation(VQX_LIB_HANDLE hLib);

/* Logs the statistics printout as error lines. */
VQX_RESULT VQXLibStats(VQX_LIB_HANDLE hLib);
/* Copies the statistics record. */
VQX_RESULT VQXLibGetStats(VQX_LIB_HANDLE hLib, _VQX_LIB_STATS* pStats);

/* ------------------------------------------------------------- the lock */

/*
 * The library lock, for code that works on the library's state (the filters,
 * the peers, the transport callbacks). Re-entrant. Leaving it frees the
 * messages released meanwhile, and the outermost leave signals the events set
 * meanwhile (after the lock is given up).
 */
void VqxHostLibCriticalSectionEnter(VQX_LIB_HANDLE hLib);
void VqxHostLibCriticalSectionLeave(VQX_LIB_HANDLE hLib);
#define VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib) VqxHostLibCriticalSectionEnter(hLib)
#define VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib) VqxHostLibCriticalSectionLeave(hLib)

/* The one logging entry: level 0 is an error line, other levels are traces. */
void VqxHostLibLog(VQX_LIB_HANDLE hLib, u32 un32Level, const char* pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
#define VQX_LOG_V(hLib, un32Level, ...) VqxHostLibLog(hLib, un32Level, __VA_ARGS__)

/* Filters, receiving, local delivery and the verifying (...Dbg) entry points. */
#include "vqx_host_filter.h"

/* ----------------------------------------------- gateway address lists */

/*
 * Parses extra gateway addresses: groups "(gw0[/gw1]:port)", blanks allowed,
 * text between groups ignored; an address beginning with a digit must be a
 * dotted IPv4 address (gw0 not 0.0.0.0, neither 255.255.255.255), other
 * texts are names (looked for by specific discovery: a board's serial number
 * or name, a host and its application). paAddr null: only counts. *pun32Count: in the room in
 * paAddr (parsing stops when full), out the groups read. pszError (256
 * bytes, optional) receives the error line. 0x02010000 groups read;
 * 0x02000000 none; 0x8201000A syntax error, or a text longer than 1024
 * characters (refused whole, nothing read); 0x82010009 null count.
 */
VQX_RESULT VQXParseExtraGwAddr(const char* pszText, u32* pun32Count, _VQX_EXTRA_GW_ADDR* paAddr, char* pszError);
VQX_RESULT VqxIpExtraAttachAddrListParse(const char* pszText, u32* pun32Count, _VQX_EXTRA_GW_ADDR* paAddr,
                                         char* pszError);

#endif
