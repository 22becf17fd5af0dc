/*
 * fuzz_intake.cpp - random server and host-library messages into the core
 * library's intake, with the clock and the peer table under the input's
 * control. Each input opens the library (single-thread jobs, intake driven
 * here), plays a few batches and closes; any read past a payload, leak or
 * double release is caught by the sanitizers.
 *
 * Input: a sequence of records {u8 kind, u8 peer, u16 clock step, u16 size,
 * then size payload bytes}; kind picks the message id from a table of what
 * the intake meets (host-library notifications, the control protocol,
 * catalogue ids, private ids) or takes a raw id from the payload.
 */
#include <cstring>
#include <vector>

#include "vqcmc_lib_internal.h"

namespace {

const u32 kIds[] = {0x02010001u, 0x02010011u, 0x02010012u, 0x02010013u, 0x02010014u, 0x0A020300u, 0x0A020301u,
                    0x0A020302u, 0x0A020305u, 0x0A020400u, 0x0A020401u, 0x0A020402u, 0x0A020403u, 0x0A020406u,
                    0x0A020410u, 0x0A020411u, 0x0A020412u, 0x0A020413u, 0x0A020414u, 0x0A020415u, 0x0A020416u,
                    0x0A010016u, 0x0A010017u, 0x0A010011u, 0x0A010030u, 0x0A020001u};

struct State {
  u32 un32Now = 1000;
  _VQX_HOST_INFO aPeers[4]{};
} s_State;

u32 Clock(void*) { return s_State.un32Now; }

VQX_RESULT HostInfo(VQX_LIB_HANDLE, u32 hHost, _VQX_HOST_INFO* pInfo) {
  for (const _VQX_HOST_INFO& info : s_State.aPeers) {
    if (info.hAdapter == hHost && hHost != 0) {
      *pInfo = info;
      return VQX_RESULT_API_OK;
    }
  }
  return VQX_RESULT_API_NOT_FOUND;
}

VQX_RESULT Redundancy(VQX_LIB_HANDLE, u32, u32* p0, u32* p1) {
  *p0 = *p1 = 1;
  return VQX_RESULT_API_OK;
}

void OnNotif(VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE* phMsg) {
  /* Read the whole payload the message claims, as an application would. */
  volatile u8 sum = 0;
  const u8* p = VQXMsgPayload(*phMsg);
  for (u32 i = 0; i < (*phMsg)->un32PayloadLength; i++) sum = sum + p[i];
}

VQX_LIB_HANDLE OpenHostLib() {
  static VQX_LIB_HANDLE s_hLib = nullptr;
  if (s_hLib == nullptr) {
    _VQX_LIB_PARAMS params{};
    params.un32StructVersion = 1;
    params.un32TransportType = 1;
    params.fAdaptersGwOff = 1;
    params.un32TraceLevel = 0x7FFFFFFF;
    VQXOpenLib(&params, &s_hLib);
  }
  return s_hLib;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8* pData, size_t nSize) {
  VQX_LIB_HANDLE hVqx = OpenHostLib();
  if (hVqx == nullptr) return 0;
  s_State = State{};
  for (u32 i = 0; i < 4; i++) {
    _VQX_HOST_INFO& info = s_State.aPeers[i];
    info.hAdapter = 0x100 + i;
    info.un64UniqueHostId = 0x1000 + i;
    snprintf(info.szApplicationName, sizeof(info.szApplicationName), i == 3 ? "other" : "cmc_server");
  }
  _VQCMC_LIB_SEAMS seams{Clock, nullptr, HostInfo, Redundancy, 1, 0, 0, nullptr};
  VqCmcLibSetSeams(&seams);
  _VQCMC_LIB_PARAMS p{};
  p.hVqxLib = hVqx;
  p.Callback.pFctCallback = OnNotif;
  p.Threads.un32NbThread = 1;
  p.un32JobsFifoMax = 64;
  p.un32MaxLegs = 64;
  VQCMC_LIB_HANDLE hCmc = nullptr;
  if (VQX_RESULT_FAILED(VQCmcLibOpen(&p, &hCmc))) return 0;
  std::vector<VQX_MSG_HANDLE> aBatch(VQCMC_COALESCING_SLOTS, nullptr);
  std::vector<VQX_MSG_HANDLE> aLoop;
  size_t nPos = 0;
  for (int nBatch = 0; nBatch < 16 && nPos + 6 <= nSize; nBatch++) {
    u32 un32Count = 0;
    for (VQX_MSG_HANDLE h : aLoop) aBatch[un32Count++] = h;
    aLoop.clear();
    for (int i = 0; i < 8 && nPos + 6 <= nSize && un32Count < 200; i++) {
      const u8 un8Kind = pData[nPos];
      const u8 un8Peer = pData[nPos + 1];
      u16 un16Step = 0, un16Len = 0;
      memcpy(&un16Step, pData + nPos + 2, 2);
      memcpy(&un16Len, pData + nPos + 4, 2);
      nPos += 6;
      const u32 un32Len = std::min<u32>(un16Len % 1024, static_cast<u32>(nSize - nPos));
      s_State.un32Now += un16Step;
      u32 un32Id = kIds[un8Kind % (sizeof(kIds) / sizeof(kIds[0]))];
      if ((un8Kind & 0x80) != 0 && un32Len >= 4) memcpy(&un32Id, pData + nPos, 4);
      VQX_MSG_HANDLE h = nullptr;
      if (VQXGetMsg(hVqx, std::max<u32>(un32Len, 8), &h) != VQX_RESULT_API_OK) break;
      memcpy(VQXMsgPayload(h), pData + nPos, un32Len);
      nPos += un32Len;
      h->un32MsgId = un32Id;
      h->MsgType = 1u << (un8Peer & 3) & 7;
      h->un32PayloadLength = un32Len;
      h->hAdapter = (un8Peer & 0x40) != 0 ? VQCMC_LOCAL_DELIVERY : 0x100u + ((un8Peer >> 2) & 7);
      if (un32Len >= 16) {
        memcpy(&h->un64UserContext1, pData + nPos - un32Len, 8);
        memcpy(&h->un64UserContext2, pData + nPos - un32Len + 8, 8);
      }
      aBatch[un32Count++] = h;
    }
    VqCmcMsgReceived(hCmc, hVqx, hCmc->hFilter, &un32Count, aBatch.data());
    for (u32 i = 0; i < un32Count; i++) {
      if (aBatch[i]->hAdapter == VQCMC_LOCAL_DELIVERY && aLoop.size() < 64) {
        aLoop.push_back(aBatch[i]);
      } else {
        VQXReleaseMsgEx(hVqx, &aBatch[i]);
      }
      aBatch[i] = nullptr;
    }
  }
  for (VQX_MSG_HANDLE& h : aLoop) VQXReleaseMsgEx(hVqx, &h);
  VQCmcLibClose(hCmc);
  VqCmcLibSetSeams(nullptr);
  return 0;
}
