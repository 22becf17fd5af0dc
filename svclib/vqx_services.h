/*
 * vqx_services.h - the services library: an application registers services
 * (an id, the ids of the remote services it wants, filters for its
 * messages); the library tells it when matching services of other hosts come
 * and go, hands it their messages, and sends its messages to them.
 *
 * Model. One library per host library. Hosts exchange their service lists
 * (docs/services-protocol.md); a list replaces what was known of that host,
 * a removed host takes its services with it. Each pair (local service,
 * remote service) is a link, told with pFctRemoteServiceConnected(1) and
 * ended with pFctRemoteServiceConnected(0).
 *
 * Threads. One receive thread reads the host library and routes, in arrival
 * order, into one queue per service; each service's own thread delivers its
 * queue. A queue holds at most 1024 messages and 2 MiB of them: past either,
 * the receive thread waits until the service took it down to half, and what
 * comes meanwhile waits in the host library (whose bound of the remote hosts'
 * backlog then holds their senders back). Per service, one callback runs at a time, in order: the connection
 * of a remote service, its messages, its disconnection; nothing about that
 * link after its disconnection. Callbacks run with no library lock held and
 * may call any operation, Unregister of their own service included (it then
 * does not wait for itself).
 *
 * Rule for callers: never unregister (or close) while holding a lock that
 * this service's callbacks take: Unregister waits for a callback in progress
 * on another thread, and logs what it waits for every 5 s.
 *
 * Results: 0x02000000 unless said otherwise; failures have bit 31 set.
 */
#ifndef VQX_SERVICES_H
#define VQX_SERVICES_H

#include <stdarg.h>

#include "vqx_host.h"
#include "vqx_host_peer.h"

#define VQX_SERVICES_LIB_MAX_FILTERS 8u
#define VQX_SERVICES_LIB_DEFAULT_MAX_SERVICES 16u
#define VQX_SERVICES_LIB_MAX_USER_CONTEXT 4096u

typedef struct _VQX_SERVICES_LIB* VQX_SERVICES_LIB_HANDLE;

/* A service: its id, the remote ids it detects, the offering host, an opaque user context. */
typedef struct _VQX_SERVICES_LIB_SERVICE_INFO {
  u32 un32ServiceId;
  u32 aun32DetectedRemoteServiceId[2]; /* 0: none */
  _VQX_HOST_INFO HostInfo;
  u32 un32ServiceUserContextSize;      /* at most 4096 */
  u8* pbyServiceUserContext;           /* not owned by the record */
} _VQX_SERVICES_LIB_SERVICE_INFO;

/* A service to register: its information and up to 8 filter sets for its messages. */
typedef struct _VQX_SERVICES_LIB_SERVICE_PARAMS {
  _VQX_SERVICES_LIB_SERVICE_INFO Info;
  u32 un32NbFilters;
  _VQX_FILTER_PARAMS aFilters[VQX_SERVICES_LIB_MAX_FILTERS];
} _VQX_SERVICES_LIB_SERVICE_PARAMS;

/* A remote service came (fConnected 1, pInfo valid during the call) or went (0, pInfo null). */
typedef void (*PFCT_VQX_SERVICES_LIB_REMOTE_SERVICE_CONNECTED)(void* pvContext, u32* hLib, u32* hService,
                                                                void* pvServiceContext, u32* hRemoteService,
                                                                _VQX_SERVICES_LIB_SERVICE_INFO* pInfo,
                                                                u32 fConnected);
/* A message for the service; hRemoteService null when no remote service is known for it.
 * A message left in *pphMsg is released by the library afterwards. */
typedef void (*PFCT_VQX_SERVICES_LIB_MSG_RECEIVED)(void* pvContext, u32* hLib, u32* hService,
                                                    void* pvServiceContext, u32* hRemoteService, u32** pphMsg);
/* A log line: level (0 most detailed, 0x7FFFFFFE errors), text (unused, null), format and arguments. */
typedef void (*PFCT_VQX_SERVICES_LIB_PRINT)(void* pvContext, u32 un32Level, char* pszText, char* pszFormat,
                                             va_list args);

typedef struct _VQX_SERVICES_LIB_OPEN_PARAMS {
  u32 un32MaxServices; /* 0: 16 */
  PFCT_VQX_SERVICES_LIB_REMOTE_SERVICE_CONNECTED pFctRemoteServiceConnected;
  void* pvRemoteServiceConnectedContext;
  PFCT_VQX_SERVICES_LIB_MSG_RECEIVED pFctMsgReceived;
  void* pvMsgReceivedContext;
  PFCT_VQX_SERVICES_LIB_PRINT pFctPrint; /* may be null */
  void* pvPrintContext;
  u32 un32TraceLevel; /* lines below it are not printed */
} _VQX_SERVICES_LIB_OPEN_PARAMS;

/*
 * Opens the library over an open host library and asks the other hosts for
 * their lists. 0x82000009 null record or out handle; 0x8200000C null host
 * library; 0x82000013 a null callback; 0x82000012 / 0x82000007 resources
 * (handle null then).
 */
VQX_RESULT VQXServicesOpenLib(const _VQX_SERVICES_LIB_OPEN_PARAMS* pParams, VQX_LIB_HANDLE hHostLib,
                              VQX_SERVICES_LIB_HANDLE* phLib);
/* Unregisters every service (their disconnections delivered), stops the threads, frees the library. */
VQX_RESULT VQXServicesCloseLib(VQX_SERVICES_LIB_HANDLE hLib);
/*
 * Registers a service (record and user context copied), announces it, and
 * links it to the known remote services it detects. 0x8200000C no library;
 * 0x82000009 null record or out handle; 0x8200000A more than 8 filters, a
 * user context over 4096 bytes or a null one with a size; 0x82000005
 * "ServiceId already registered."; 0x82000008 "Maximum number of registered
 * services reached." (or no room left in the library's filter).
 */
VQX_RESULT VQXServicesServiceRegister(VQX_SERVICES_LIB_HANDLE hLib, const _VQX_SERVICES_LIB_SERVICE_PARAMS* pParams,
                                      void* pvServiceContext, u32** phService);
/*
 * Sends *pphMsg: with fBroadcast as an event to every host, else to the host
 * of hRemoteService. Early refusals (0x8200000C no library, or an unknown or
 * null remote without broadcast; 0x82000009 null message) leave the message
 * with the caller; otherwise the message is taken (*pphMsg null) and the host
 * library's result returned.
 */
VQX_RESULT VQXServicesServiceSendMsg(VQX_SERVICES_LIB_HANDLE hLib, u32* hRemoteService, u32** pphMsg,
                                     i32 fBroadcast);
/*
 * Unregisters: no more messages or connections for it; pending messages are
 * released; the disconnection of every linked remote service is delivered on
 * the calling thread (after a callback in progress on another thread ends)
 * before it returns. 0x8200000C unknown library or service.
 */
VQX_RESULT VQXServicesServiceUnregister(VQX_SERVICES_LIB_HANDLE hLib, u32* hService);

#endif
