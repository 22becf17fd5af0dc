/* vqcafmsgsigtrace.cpp - checks of the sig-trace records read from a peer. */
#include "vqcafmsgsigtrace.h"

#include "vqcafexception.h"

namespace VQCAF {

namespace {
VQX_RESULT TerminateTexts(VQCAF_SIGTRACE_REGISTER_INFO& i) {
  i.szName[sizeof(i.szName) - 1] = '\0';
  i.szDescription[sizeof(i.szDescription) - 1] = '\0';
  return VQX_RESULT_OK;
}
}  // namespace

VQX_RESULT CVQCAFMsgSigtraceRegister::Check() { return TerminateTexts(mInfo); }
VQX_RESULT CVQCAFMsgSigtraceUnRegister::Check() { return TerminateTexts(mInfo); }

VQX_RESULT CVQCAFMsgSigtraceData::Check() {
  mInfo.szName[sizeof(mInfo.szName) - 1] = '\0';
  if (mInfo.un32DataLength > VQCAF_SIGTRACE_MAX_DATA) {
    return VQCAF_REPORT_FAILURE("CVQCAFMsgSigtraceData::Unserialize", "Data length over 10240 bytes",
                                VQX_RESULT_INVALID_PARAM);
  }
  return VQX_RESULT_OK;
}

}  // namespace VQCAF
