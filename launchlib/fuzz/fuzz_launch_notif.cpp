/*
 * fuzz_launch_notif.cpp - the launch library's notification handler on
 * arbitrary messages: first byte picks the id (ready, shutdown, host added,
 * host removed, other), the next four the peer handle, the rest is the
 * payload of its own length. Two contexts (never processes: pid 0 and a
 * pid above the system's range) wait for them; the attach flag lets host
 * notifications make more. Nothing is sent and nothing is killed: there is
 * no host library and the periodic task is not run.
 */
#include <cstring>

#include "launchlib_internal.h"

namespace {

void NoPrint(void*, u32, const char*, const char*, va_list) {}

VQX_LAUNCH_LIB_HANDLE Lib() {
  static VQX_LAUNCH_LIB_HANDLE h = [] {
    _VQX_LAUNCH_LIB_PARAMS P{};
    P.pFctPrint = NoPrint;
    P.un32MaxApplication = 4;
    P.fAttach = 1;
    VQX_LAUNCH_LIB_HANDLE p = nullptr;
    VQXLaunchLibOpen(&P, &p);
    return p;
  }();
  return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t un32Size) {
  static const u32 aIds[] = {VQX_LAUNCH_MSG_ID_NOTIF_READY, VQX_LAUNCH_MSG_ID_NOTIF_SHUTDOWN,
                             VQX_MSG_ID_API_NOTIF_HOST_ADDED, VQX_MSG_ID_API_NOTIF_HOST_REMOVED, 0x08250002u};
  if (un32Size < 5) return 0;
  VQX_LAUNCH_LIB_HANDLE p = Lib();
  std::unique_lock<std::recursive_mutex> Lock(p->Mutex);
  p->Ctx.clear();
  for (u32 i = 0; i < 2; ++i) {
    VqxLaunchCtx C;
    C.un32Id = p->un32NextId++;
    C.Pid = i == 0 ? 0 : 0x7FFFFFF0;
    C.hHost = i == 0 ? 0xCB000001u : 0;
    C.un32State = i == 0 ? VQX_LAUNCH_STATE_MGMT_SHUTDOWN : VQX_LAUNCH_STATE_STARTING;
    p->Ctx.emplace(C.un32Id, C);
  }
  snprintf(p->szLocalHost, sizeof(p->szLocalHost), "localhost");
  VQX_MSG_HEADER Hdr{};
  Hdr.un32MsgId = aIds[pData[0] % 5];
  memcpy(&Hdr.hAdapter, pData + 1, 4);
  /* The payload in a buffer of exactly its length, so any over-read shows. */
  std::vector<u8> a(pData + 5, pData + un32Size);
  VqxLaunchHandleMsg(p, &Hdr, a.data(), static_cast<u32>(a.size()));
  for (auto& [k, C] : p->Ctx)
    if (C.fAttached && C.Pid == 0) __builtin_trap();
  p->aPending.clear();
  return 0;
}
