/*
 * The typed message wrappers (CVQCAFBasicApiMsg.h, vqcmc_message.h) and
 * their one explicit instantiation per named catalogue row.
 */
#include "vqcmc_message.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "vqcaflog.h"
#include "vqcafcomm.h"
#include "vqcmc_msg_internal.h"
#include "vqx_host_filter.h"
#include "vqx_msg_element.h"

namespace VQCAF {

namespace {

/* Logged as the base name of the wrappers' header. */
constexpr const char* kBaseName = "CVQCAFBasicApiMsg";
constexpr const char* kCtor = "CVQCAFBasicApiMsg::CVQCAFBasicApiMsg";
constexpr const char* kDtor = "CVQCAFBasicApiMsg::~CVQCAFBasicApiMsg";

void LogFailure(const char* pszOperation, const char* pszText, VQX_RESULT Result, int nLine) {
  LogTrace(VQERR, "%s: %s (%X) %s:%d\n", pszOperation, pszText, Result, kBaseName, nLine);
}

/* Runs fn; the three standard exceptions the wrappers map are logged with
 * their type name, any other passes on. */
template <class F>
void Guarded(const char* pszOperation, F&& fn) {
  try {
    fn();
  } catch (const std::bad_alloc&) {
    LogFailure(pszOperation, "std::bad_alloc", VQX_RESULT_NOT_ENOUGH_MEMORY, __LINE__);
  } catch (const std::length_error&) {
    LogFailure(pszOperation, "std::length_error", VQX_RESULT_INVALID_PARAM, __LINE__);
  } catch (const std::out_of_range&) {
    LogFailure(pszOperation, "std::out_of_range", VQX_RESULT_OUT_OF_RANGE, __LINE__);
  }
}

}  // namespace

template <class T, u32 id>
CVQCAFBasicApiMsg<T, id>::CVQCAFBasicApiMsg(u32 un32Extra) {
  Guarded(kCtor, [&] {
    const CVQCAFHostLibPin Pin;
    VQX_LIB_HANDLE hLib = Pin.Get();
    if (hLib == nullptr) {
      LogFailure(kCtor, "CVQCAFComm::Init() must be called first!", VQX_RESULT_INVALID_STATE, __LINE__);
      return;
    }
    // A size past 32 bits asks for what the host library refuses, never a wrapped small buffer.
    const u64 un64Size = (u64{un32Extra} + sizeof(T) + 7u) & ~u64{7};
    const u32 un32Size = un64Size > 0xFFFFFFF8ull ? 0xFFFFFFF8u : static_cast<u32>(un64Size);
    const VQX_RESULT Result = VQXGetMsgDbg(hLib, un32Size, &mpMsg, __FILE__, __LINE__);
    if (VQX_RESULT_FAILED(Result) || mpMsg == nullptr) {
      mpMsg = nullptr;
      LogFailure(kCtor, "Failed to alloc message", Result, __LINE__);
    } else {
      mpPayload = reinterpret_cast<T*>(reinterpret_cast<u8*>(mpMsg) + mpMsg->un32PayloadStart);
      mpMsg->un32MsgId = id;
      mpMsg->MsgType = VQX_MSG_TYPE_REQUEST;
      mpMsg->un32PayloadLength = std::min<u32>(mpMsg->un32PayloadMaxLength, sizeof(T));
      mpMsg->hAdapter = VQX_HOSTLIB_ADAPTER_HANDLE;
      mpMsg->un64UserContext1 = 0;
      mpMsg->un64UserContext2 = 0;
      if (un32Extra == 0) {
        memset(mpPayload, 0, std::min(un32Size, mpMsg->un32PayloadMaxLength));
      } else {
        VQXMsgElementInit(mpMsg, sizeof(T));
      }
      mfOwned = 1;
    }
  });
}

template <class T, u32 id>
CVQCAFBasicApiMsg<T, id>::CVQCAFBasicApiMsg(VQX_MSG_HANDLE hMsg, u32 fOwned) : mpMsg(hMsg), mfOwned(fOwned) {
  // A message of this id too short for T (or claiming more than it holds) shows no payload.
  if (hMsg == nullptr || hMsg->un32MsgId != id) return;
  T* pPayload = reinterpret_cast<T*>(reinterpret_cast<u8*>(hMsg) + hMsg->un32PayloadStart);
  if (VQX_RESULT_SUCCEEDED(VqCmcCheckRecord(hMsg, pPayload, sizeof(T)))) {
    mpPayload = pPayload;
  }
}

template <class T, u32 id>
CVQCAFBasicApiMsg<T, id>::~CVQCAFBasicApiMsg() {
  Guarded(kDtor, [&] {
    const CVQCAFHostLibPin Pin;
    VQX_LIB_HANDLE hLib = Pin.Get();
    if (hLib == nullptr) {
      LogFailure(kDtor, "CVQCAFComm::Init() must be called first!", VQX_RESULT_INVALID_STATE, __LINE__);
      return;
    }
    if (mpMsg != nullptr && mfOwned != 0) {
      VQXReleaseMsgDbg(hLib, &mpMsg, __FILE__, __LINE__);
      mpMsg = nullptr;
      mpPayload = nullptr;
    }
  });
}

template <class T, u32 id>
CVQCMCMessage<T, id>::CVQCMCMessage(u32 un32Extra) : CVQCAFBasicApiMsg<T, id>(un32Extra), mhCmcLib(VqCmcLiveLibHandle()) {}

template <class T, u32 id>
CVQCMCMessage<T, id>::CVQCMCMessage(VQX_MSG_HANDLE hMsg, u32 fOwned)
    : CVQCAFBasicApiMsg<T, id>(hMsg, fOwned), mhCmcLib(VqCmcLiveLibHandle()), mfProcessed(1) {}

template <class T, u32 id>
VQX_RESULT CVQCMCMessage<T, id>::HandOver(PFCT_PROCESS pfnProcess, u32 un32Id, u32 un32UserValue) {
  if (this->mpPayload == nullptr || mfProcessed != 0) return VQX_RESULT_INVALID_STATE;
  const VQX_RESULT Result = pfnProcess(mhCmcLib, un32Id, un32UserValue, &this->mpMsg);
  mfProcessed = 1;
  // Only a refusal before the library looked at the message leaves it here: released at destruction.
  this->mfOwned = this->mpMsg != nullptr ? 1u : 0u;
  if (this->mpMsg == nullptr) this->mpPayload = nullptr;
  return Result;
}

template <class T, u32 id>
VQX_RESULT CVQCMCMessage<T, id>::LegMsgProcess(u32 un32LegId, u32 un32UserValue) {
  return HandOver(VQCmcLibLegMsgProcess, un32LegId, un32UserValue);
}

template <class T, u32 id>
VQX_RESULT CVQCMCMessage<T, id>::MixerMsgProcess(u32 un32MixerId, u32 un32UserValue) {
  return HandOver(VQCmcLibMixerMsgProcess, un32MixerId, un32UserValue);
}

/* The 73 named pairs of the catalogue, once each. */
#define VQCMC_UNNAMED_ROW(id, entity, key)
#define VQCMC_ROW(id, name, kinds, dir, size, room, entity, key) \
  template class CVQCAFBasicApiMsg<_##name, name>;               \
  template class CVQCMCMessage<_##name, name>;
#include "vqcmc_msg_catalogue.def"
#undef VQCMC_ROW
#undef VQCMC_UNNAMED_ROW

}  // namespace VQCAF
