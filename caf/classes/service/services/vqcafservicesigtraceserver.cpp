/* vqcafservicesigtraceserver.cpp - the sig-trace server service (see its header). */
#include "vqcafservicesigtraceserver.h"

namespace VQCAF {

CVQCAFServiceSigTraceServer::CVQCAFServiceSigTraceServer(::VQCAF::IVQCAFServiceHandler* pHandler)
    : CVQCAFService("SigTraceServer", pHandler) {
  mParams.mServiceInfo.mun32ServiceId = VQCAF_SERVICE_ID_SIGTRACE_SERVER;
  mParams.mServiceInfo.maun32DetectedRemoteServiceId[0] = VQCAF_SERVICE_ID_SIGTRACE_PROVIDER;
  _VQX_FILTER_PARAMS f{};
  f.un32Version = 1;
  f.un32Mask = VQX_FILTER_MASK_MSG_GROUP;
  f.MsgGroup = VQCAF_MSG_SIGTRACE_REGISTER >> 16;
  mParams.maFilters.push_back(f);
}

/* Stopped here, while the derived parts and the handler still exist. */
CVQCAFServiceSigTraceServer::~CVQCAFServiceSigTraceServer() { Stop(); }

}  // namespace VQCAF
