/*
 * vqcafservicesigtraceserver.h - the sig-trace server service: offers
 * 0x0B0D0100, detects the trace providers' service 0x0B0D0200, takes the
 * messages of group 0x0B0D. The application's handler makes one instance per
 * provider (docs/sigtrace-service.md); there is no default instance.
 * Stop it (or destroy it) without holding a lock its instances' callbacks take.
 */
#ifndef VQCAFSERVICESIGTRACESERVER_H
#define VQCAFSERVICESIGTRACESERVER_H

#include "vqcafmsgsigtrace.h"
#include "vqcafservice.h"

namespace VQCAF {

constexpr u32 VQCAF_SERVICE_ID_SIGTRACE_SERVER = 0x0B0D0100u;
constexpr u32 VQCAF_SERVICE_ID_SIGTRACE_PROVIDER = 0x0B0D0200u;

class CVQCAFServiceSigTraceServer : public CVQCAFService {
 public:
  explicit CVQCAFServiceSigTraceServer(::VQCAF::IVQCAFServiceHandler* pHandler);
  ~CVQCAFServiceSigTraceServer() override;
  using CVQCAFService::Start;
  /* Registers without a default instance. */
  VQX_RESULT Start() { return CVQCAFService::Start(nullptr); }
};

}  // namespace VQCAF

#endif
