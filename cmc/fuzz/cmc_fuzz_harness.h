/*
 * cmc_fuzz_harness.h - what the fuzz targets of the call/media control
 * client objects share: the framework's globals and host library opened
 * once, the core library over it with the client singleton installed, and
 * one received message built from the input (u8 id index into the target's
 * ids, u8 kind, then the payload) handed to an object that must take it; a
 * response answers a command the object has in flight unless bit 7 of the
 * kind byte is set (then the object drops it as answering nothing).
 * Random input fails on nearly every message, and each failure is a log
 * line: the client objects' and the messaging's lines are switched off, so
 * that a run does not write gigabytes of them to standard error. Crash and
 * sanitizer reports, and the foundation's diagnostics (leaks, pool misuse),
 * still go there.
 */
#ifndef CMC_FUZZ_HARNESS_H
#define CMC_FUZZ_HARNESS_H

#include <cstdlib>
#include <cstring>

#include "vqcafcomm.h"
#include "vqcaflog.h"
#include "vqcafglobals.h"
#include "vqcmclib.h"

namespace cmcfuzz {

using namespace VQCAF;

inline VQX_LIB_HANDLE& HostLib() {
  static VQX_LIB_HANDLE s_hVqx = nullptr;
  return s_hVqx;
}

/* Opens everything once per process; aborts when the set-up fails. */
inline void Open() {
  alignas(16) static char acGlobals[16];
  SetGlobals(reinterpret_cast<CVQCAFGlobals*>(acGlobals));
  for (_VQCAF_SUBMODULE_TYPE SubMod : {VQCAF_SUBMODULE_CMC, VQCAF_SUBMODULE_CALL, VQCAF_SUBMODULE_COMM}) {
    SetSubModTraceLevel(SubMod, VQDIS);
  }
  CVQCAFCommParams Params;
  if (CVQCAFComm::Init(Params) != VQX_RESULT_OK) abort();
  HostLib() = CVQCAFComm::GetHostLibInstance();
  _VQCMC_LIB_PARAMS p{};
  p.hVqxLib = HostLib();
  p.Callback.pFctCallback = [](VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE*) {};
  p.Threads.un32NbThread = 1;
  VQCMC_LIB_HANDLE hCmc = nullptr;
  if (VQCmcLibOpen(&p, &hCmc) != VQX_RESULT_OK || CVQCMCLib::TestInstall(hCmc) != VQX_RESULT_OK) abort();
}

/* The input as one received message into Object.HandleMessage, which must take it. */
template <size_t N, class T>
void Message(const u32 (&aIds)[N], const u8* pData, size_t nSize, T& Object) {
  if (nSize < 2) return;
  VQX_MSG_HANDLE h = nullptr;
  const u32 un32Payload = static_cast<u32>(nSize - 2);
  if (VQXGetMsg(HostLib(), un32Payload + 8, &h) != VQX_RESULT_API_OK) abort();
  h->un32MsgId = aIds[pData[0] % N];
  h->MsgType = pData[1] % 9;
  h->un32PayloadLength = un32Payload;
  memcpy(VQXMsgPayload(h), pData + 2, un32Payload);
  if (h->MsgType == 2 && (pData[1] & 0x80) == 0) Object.HandleRequest(h, nullptr);
  Object.HandleMessage(&h);
  if (h != nullptr) abort();  // the object takes every message
}

}  // namespace cmcfuzz

#endif
