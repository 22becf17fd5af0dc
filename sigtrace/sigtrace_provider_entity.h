/*
 * sigtrace_provider_entity.h - CVQSigTraceProviderEntity, one remote
 * application that pushes H.248 traces to this server over the sig-trace
 * service (docs/sigtrace-service.md).
 *
 * Model. The application makes one provider per remote application that
 * offers the provider service (its OnServiceConnected, pool of 20 keyed by
 * "<host name>.<application name>"), sets mpAppMutex, mpSigTrace and
 * mHostInfo, and hands it to the service as the link's instance. The service
 * then delivers, one at a time on its own thread, the connected message, the
 * provider's register, unregister and data messages and the disconnected
 * message to OnMsgReceived, which takes the application mutex for the whole
 * call and hands register, unregister and data to the application's
 * OnRegister, OnUnregister and OnTraceMsgReceived. The application answers
 * with SendCaptureRequest (its callers hold the application mutex).
 *
 * Input checks: every record is read within its fields (the messages
 * terminate their texts); a data length over 10240 is refused by the data
 * message itself; a register, unregister or data message with an empty trace
 * name is refused here (logged, nothing handed on): that name is the group's
 * name and so the base of its file names.
 *
 * Log lines go to the trace application's sub-module; failures in the
 * framework form "op: text (code) CVQSigTraceProviderEntity:line". A refused
 * message's line names the provider and the group its record names
 * (VqSigTraceRefusalText; the group empty when the record could not be
 * read) and is kept to once a second per kind by the application
 * (CVQSigTrace::AllowProviderRefusal), the count of those left out naming
 * their providers.
 */
#ifndef SIGTRACE_PROVIDER_ENTITY_H
#define SIGTRACE_PROVIDER_ENTITY_H

#include <string>
#include <vector>

#include "vqcafmsgsigtrace.h"
#include "vqcafmutex.h"
#include "vqcafservice.h"
#include "vqx_host_peer.h"

namespace VQCAF {

class CVQSigTrace;

class CVQSigTraceProviderEntity : public CVQCAFServiceInstance {
 public:
  /* Cleared, host and register records zero-filled. */
  CVQSigTraceProviderEntity();
  ~CVQSigTraceProviderEntity() override = default;
  CVQSigTraceProviderEntity(const CVQSigTraceProviderEntity&) = delete;
  CVQSigTraceProviderEntity& operator=(const CVQSigTraceProviderEntity&) = delete;

  /* Not connected, not registered, capture off. */
  void Clear();

  /* One message of this provider (services thread): register 0x0B0D0100,
   * unregister 0x0B0D0200, data 0x0B0D0400, service connected 0x0B000100,
   * service disconnected 0x0B000200; any other id is logged as not supported.
   * Takes *mpAppMutex throughout (when set). */
  void OnMsgReceived(CVQCAFService* pService, CVQCAFMsgBuffer& Msg) override;

  /* Sends the capture message (1 on, 0 off) with the registered type and
   * name (the last register record). 0x82000016 before the first register
   * message (logged only for capture on); the serialiser's or the send's
   * failure code (the new state is kept); 0x02000000. The caller holds the
   * application mutex. */
  VQX_RESULT SendCaptureRequest(unsigned int un32Capture);
  /* The same for the group pszGroup of a provider that registered several:
   * that name, with the type its record gave. */
  VQX_RESULT SendCaptureRequest(unsigned int un32Capture, const char* pszGroup);

  /* "<host name>.<application name>" of mHostInfo: the provider's pool key
   * and its entity name in groups, each part read within its field. */
  CVQCAFString GetKey() const { return KeyOf(mHostInfo); }
  static CVQCAFString KeyOf(const _VQX_HOST_INFO& Host);

  CVQCAFMutex* mpAppMutex = nullptr;      /* application mutex, set at creation */
  CVQSigTrace* mpSigTrace = nullptr;      /* owner, set at creation */
  u32 mfConnected = 0;                    /* 1 while the service reports the link up */
  _VQX_HOST_INFO mHostInfo;               /* the remote host's record, copied at creation */
  VQCAF_SIGTRACE_REGISTER_INFO mRegisterInfo; /* last register record */
  u32 mfRegistered = 0;                   /* 1 once a register message was taken */
  u32 mun32Capture = 0;                   /* capture state last requested */
  /* Every register record taken, one per name (a later one of a name replaces it; kMaxRegistered at most): each
   * group keeps its name, and a provider waiting for its name is registered with them once served. */
  static constexpr size_t kMaxRegistered = 64;
  std::vector<VQCAF_SIGTRACE_REGISTER_INFO> mvRegistered;
  /* Why a linked provider is not served: its name is another process's, no place is left among the
   * QUELLAN_MAX_PROVIDERS served, or it linked once the server's close had begun (never served). Either way it is
   * in no group and its data is refused, with a line. */
  static constexpr u32 kServed = 0, kWaitingForName = 1, kWaitingForPlace = 2, kLinkedDuringClose = 3;
  u32 mfWaiting = kServed;                /* kServed or why it waits */

 private:
  /* Sends one capture message of this type and name. */
  VQX_RESULT SendCapture(unsigned int un32Capture, u32 un32Type, const char* pszName);
  /* The refusal line of pszText for a message naming pszGroup, under the application's limit. */
  void Refuse(const char* pszText, const char* pszGroup, VQX_RESULT r, int nLine);
};

/* " (and N more since the last line)" for N lines left out, "" for none;
 * with the providers they were about: " (and N more since the last line,
 * providers a, b)". */
CVQCAFString VqSigTraceLeftOutText(u32 un32LeftOut, const std::string& strFrom = std::string());
/* A provider refusal's text: "<text> (provider <key>, group "<name>")", or
 * without the group when pszGroup is null, then the lines left out. */
CVQCAFString VqSigTraceRefusalText(const char* pszText, const CVQCAFString& strProvider, const char* pszGroup,
                                   u32 un32LeftOut, const std::string& strFrom = std::string());

}  // namespace VQCAF

#endif
