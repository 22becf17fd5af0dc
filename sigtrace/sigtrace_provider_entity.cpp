/*
 * sigtrace_provider_entity.cpp - one remote trace provider: its messages in
 * (services thread, application mutex held) and the capture request out.
 */
#include "sigtrace_provider_entity.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "sigtrace_app.h"
#include "vqcafexception.h"
#include "vqcaflog.h"
#include "vqcafservicedetector.h"

namespace VQCAF {

namespace {

constexpr const char* kSource = "CVQSigTraceProviderEntity";
constexpr const char* kOnMsg = "CVQSigTraceProviderEntity::OnMsgReceived";
constexpr const char* kSendCapture = "CVQSigTraceProviderEntity::SendCaptureRequest";
constexpr const char* kNotSupported = "not supported MsgId";
constexpr int kHostField = static_cast<int>(sizeof(_VQX_HOST_INFO::szHostName));
constexpr int kAppField = static_cast<int>(sizeof(_VQX_HOST_INFO::szApplicationName));

void LogFailure(const char* pszOperation, const char* pszText, VQX_RESULT r, int nLine) {
  SubModLogTrace(VQCAF_SUBMODULE_VQLT, VQERR, "%s",
                 VqcafFormatFailureLine(pszOperation, pszText, r, kSource, nLine).c_str());
}

}  // namespace

CVQCAFString VqSigTraceLeftOutText(u32 un32LeftOut, const std::string& strFrom) {
  CVQCAFString str;
  if (un32LeftOut == 0) return str;
  if (strFrom.empty()) str.Format(" (and %u more since the last line)", un32LeftOut);
  else str.Format(" (and %u more since the last line, providers %s)", un32LeftOut, strFrom.c_str());
  return str;
}

CVQCAFString VqSigTraceRefusalText(const char* pszText, const CVQCAFString& strProvider, const char* pszGroup,
                                   u32 un32LeftOut, const std::string& strFrom) {
  CVQCAFString str;
  if (pszGroup != nullptr) str.Format("%s (provider %s, group \"%s\")", pszText, strProvider.c_str(), pszGroup);
  else str.Format("%s (provider %s)", pszText, strProvider.c_str());
  str += VqSigTraceLeftOutText(un32LeftOut, strFrom);
  return str;
}

void CVQSigTraceProviderEntity::Refuse(const char* pszText, const char* pszGroup, VQX_RESULT r, int nLine) {
  u32 un32LeftOut = 0;
  std::string strFrom;
  if (mpSigTrace != nullptr && !mpSigTrace->AllowProviderRefusal(pszText, GetKey(), un32LeftOut, strFrom)) return;
  LogFailure(kOnMsg, VqSigTraceRefusalText(pszText, GetKey(), pszGroup, un32LeftOut, strFrom).c_str(), r, nLine);
}

CVQSigTraceProviderEntity::CVQSigTraceProviderEntity() {
  Clear();
  memset(&mHostInfo, 0, sizeof(mHostInfo));
  memset(&mRegisterInfo, 0, sizeof(mRegisterInfo));
}

void CVQSigTraceProviderEntity::Clear() {
  mfConnected = 0;
  mfRegistered = 0;
  mun32Capture = 0;
  mvRegistered.clear();
}

CVQCAFString CVQSigTraceProviderEntity::KeyOf(const _VQX_HOST_INFO& Host) {
  CVQCAFString str;
  str.Format("%.*s.%.*s", kHostField, Host.szHostName, kAppField, Host.szApplicationName);
  return str;
}

/* The log prefix's two names, each read within its field of the host record. */
#define VQ_PROVIDER_NAMES kHostField, mHostInfo.szHostName, kAppField, mHostInfo.szApplicationName

void CVQSigTraceProviderEntity::OnMsgReceived(CVQCAFService* /*pService*/, CVQCAFMsgBuffer& Msg) {
  try {
    CVQCAFMutexAutoGetGive Lock(mpAppMutex);
    const u32 un32Id = Msg.GetMsgId();
    switch (un32Id) {
      case VQCAF_MSG_SIGTRACE_REGISTER:
      case VQCAF_MSG_SIGTRACE_UNREGISTER: {
        const bool fRegister = un32Id == VQCAF_MSG_SIGTRACE_REGISTER;
        CVQCAFMsgSigtraceRegister Reg;
        CVQCAFMsgSigtraceUnRegister Unreg;
        CVQCAFMsg& Typed = fRegister ? static_cast<CVQCAFMsg&>(Reg) : static_cast<CVQCAFMsg&>(Unreg);
        VQCAF_SIGTRACE_REGISTER_INFO& Info = fRegister ? Reg.mInfo : Unreg.mInfo;
        const VQX_RESULT r = Msg.UnserializeToMsg(Typed, nullptr);
        /* The name read (terminated within its field) when the record was whole, else empty. */
        if (VQX_RESULT_FAILED(r)) {
          Refuse(fRegister ? "Failed to unserialize MsgSigtraceRegister" : "Failed to unserialize MsgSigtraceUnRegister",
                 Info.szName, r, __LINE__);
          return;
        }
        if (Info.szName[0] == '\0') {
          Refuse(fRegister ? "Register refused: empty name" : "Unregister refused: empty name", Info.szName,
                 VQX_RESULT_INVALID_PARAM, __LINE__);
          return;
        }
        if (fRegister) {
          mfRegistered = 1;
          mRegisterInfo = Info;
          auto it = std::find_if(mvRegistered.begin(), mvRegistered.end(), [&](const VQCAF_SIGTRACE_REGISTER_INFO& R) {
            return strncmp(R.szName, Info.szName, sizeof(R.szName)) == 0;
          });
          if (it != mvRegistered.end()) *it = Info;
          else if (mvRegistered.size() < kMaxRegistered) mvRegistered.push_back(Info);
        }
        SubModLogTrace(VQCAF_SUBMODULE_VQLT, VQMSG, "\033[33mOnMsgReceived (%.*s.%.*s): %s type=%u name=%s desc=%s",
                       VQ_PROVIDER_NAMES, fRegister ? "Register" : "Unregister", Info.un32Type, Info.szName,
                       Info.szDescription);
        if (mpSigTrace == nullptr) return;
        if (fRegister) mpSigTrace->OnRegister(this, Info.un32Type, Info.szName, Info.szDescription);
        else mpSigTrace->OnUnregister(this, Info.un32Type, Info.szName, Info.szDescription);
        return;
      }
      case VQCAF_MSG_SIGTRACE_DATA: {
        /* 10 KiB: on the heap, not on the services thread's stack. */
        std::unique_ptr<CVQCAFMsgSigtraceData> pData(new CVQCAFMsgSigtraceData);
        /* Data coming in, refused or not: the close waits until the provider stopped. */
        if (mpSigTrace != nullptr) mpSigTrace->mun64LastProviderDataMs = std::max<u64>(VQXGetClock(), 1);
        const VQX_RESULT r = Msg.UnserializeToMsg(*pData, nullptr);
        VQCAF_SIGTRACE_DATA_INFO& Info = pData->mInfo;
        if (VQX_RESULT_FAILED(r)) {
          Refuse("Failed to unserialize MsgSigtraceData", Info.szName, r, __LINE__);
          return;
        }
        if (Info.szName[0] == '\0') {
          Refuse("Data refused: empty name", Info.szName, VQX_RESULT_INVALID_PARAM, __LINE__);
          return;
        }
        SubModLogTrace(VQCAF_SUBMODULE_VQLT, VQLV0, "\033[33mOnMsgReceived (%.*s.%.*s): Data received", VQ_PROVIDER_NAMES);
        if (mpSigTrace != nullptr)
          mpSigTrace->OnTraceMsgReceived(this, Info.un32Type, Info.szName, Info.un32Direction, Info.abyData,
                                         Info.un32DataLength);
        return;
      }
      case VQCAF_MSG_SERVICE_CONNECTED:
        mfConnected = 1;
        SubModLogTrace(VQCAF_SUBMODULE_VQLT, VQLV2, "\033[33mOnMsgReceived (%.*s.%.*s): service connected",
                       VQ_PROVIDER_NAMES);
        return;
      case VQCAF_MSG_SERVICE_DISCONNECTED:
        mfConnected = 0;
        mun32Capture = 0;
        SubModLogTrace(VQCAF_SUBMODULE_VQLT, VQLV2, "\033[33mOnMsgReceived (%.*s.%.*s): service disconnected",
                       VQ_PROVIDER_NAMES);
        return;
      default: {
        u32 un32LeftOut = 0;
        std::string strFrom;
        if (mpSigTrace != nullptr && !mpSigTrace->AllowProviderRefusal(kNotSupported, GetKey(), un32LeftOut, strFrom))
          return;
        SubModLogTrace(VQCAF_SUBMODULE_VQLT, VQERR, "OnMsgReceived %.*s.%.*s: %s=0x%08x%s", VQ_PROVIDER_NAMES,
                       kNotSupported, un32Id, VqSigTraceLeftOutText(un32LeftOut, strFrom).c_str());
        return;
      }
    }
  } catch (...) {
    const VQCAF_FAILURE F = VqcafCatchCurrentException(kOnMsg, kSource, __LINE__);
    SubModLogTrace(VQCAF_SUBMODULE_VQLT, VQERR, "%s", F.strLine.c_str());
  }
}

VQX_RESULT CVQSigTraceProviderEntity::SendCaptureRequest(unsigned int un32Capture) {
  return SendCapture(un32Capture, mRegisterInfo.un32Type, mRegisterInfo.szName);
}

VQX_RESULT CVQSigTraceProviderEntity::SendCaptureRequest(unsigned int un32Capture, const char* pszGroup) {
  if (pszGroup == nullptr) return VQX_RESULT_NULL_PARAM;
  u32 un32Type = mRegisterInfo.un32Type;
  for (const VQCAF_SIGTRACE_REGISTER_INFO& R : mvRegistered)
    if (strncmp(R.szName, pszGroup, sizeof(R.szName)) == 0) un32Type = R.un32Type;
  return SendCapture(un32Capture, un32Type, pszGroup);
}

VQX_RESULT CVQSigTraceProviderEntity::SendCapture(unsigned int un32Capture, u32 un32Type, const char* pszName) {
  try {
    if (mfRegistered == 0) {
      if (un32Capture != 0) LogFailure(kSendCapture, "Entity not yet registered", VQX_RESULT_NOT_READY, __LINE__);
      return VQX_RESULT_NOT_READY;
    }
    SubModLogTrace(VQCAF_SUBMODULE_VQLT, VQMSG, "SendCaptureRequest (%.*s.%.*s): capture=%u", VQ_PROVIDER_NAMES,
                   un32Capture);
    mun32Capture = un32Capture;
    CVQCAFMsgSigtraceCapture Capture;
    Capture.mInfo.un32Type = un32Type;
    /* At most 31 characters, terminated within the field. */
    snprintf(Capture.mInfo.szName, sizeof(Capture.mInfo.szName), "%.*s",
             static_cast<int>(sizeof(mRegisterInfo.szName) - 1), pszName);
    Capture.mInfo.un32Capture = un32Capture;
    CVQCAFMsgBuffer Buffer;
    VQX_RESULT r = Buffer.SerializeFromMsg(Capture, nullptr);
    if (VQX_RESULT_FAILED(r)) {
      LogFailure(kSendCapture, "Failed to serialize MsgSigtraceCapture", r, __LINE__);
      return r;
    }
    r = SendMsg(Buffer, 0);
    if (VQX_RESULT_FAILED(r)) {
      LogFailure(kSendCapture, "Failed to send MsgSigtraceCapture", r, __LINE__);
      return r;
    }
    return VQX_RESULT_OK;
  } catch (...) {
    const VQCAF_FAILURE F = VqcafCatchCurrentException(kSendCapture, kSource, __LINE__);
    SubModLogTrace(VQCAF_SUBMODULE_VQLT, VQERR, "%s", F.strLine.c_str());
    return F.un32Result;
  }
}

#undef VQ_PROVIDER_NAMES

}  // namespace VQCAF
