// The application's main-loop handlers over any message: the adapter-ready
// and activation messages, the five families' units and on/off answers, the
// remote hosts' path-down (a provider's link loss) and removed events.
// Input: byte 0 picks the message id, the rest is the payload. One board
// ("B1", handle 0) with an entity of each family stays attached to its group;
// the groups cannot open files here (the working directory is /proc), so
// every unit is counted and none written. The application must never read
// past the payload, and its counters must add up.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "sigtrace_app.h"
#include "vqcaflog.h"

namespace {

using namespace VQCAF;

constexpr u32 kIds[] = {QUELLAN_NOTIF_ADAPTER_READY, QUELLAN_NOTIF_ACTIVATE_MONITORING, 0x04210031, 0x04540031,
                        0x04080031, 0x04510031, 0x04390031, 0x04210030, 0x04390030,
                        VQX_MSG_ID_API_NOTIF_HOST_GW_DOWN, VQX_MSG_ID_API_NOTIF_HOST_REMOVED};

CVQSigTrace* App() {
  static std::unique_ptr<CVQSigTrace> s_pApp;
  if (s_pApp) return s_pApp.get();
  for (u32 i = 0; i < VQCAF_SUBMODULE_COUNT; i++) SetSubModTraceLevel(static_cast<_VQCAF_SUBMODULE_TYPE>(i), 0x7FFFFFFFu);
  if (chdir("/proc") != 0) abort();
  CVQSigTraceCfgCmdLine CmdLine;
  s_pApp = std::make_unique<CVQSigTrace>(CmdLine);
  CVQSigTrace& A = *s_pApp;
  CVQSigTraceAdapter* pAdapter = A.mAdapters.Alloc(CVQCAFDebugInfo(__FILE__, __LINE__), CVQCAFHashKeyString("B1"));
  /* Entities at the addresses of the seed units. */
  const struct {
    u32 un32Type, un32Trunk, un32Mask;
    const char* pszGroup;
  } aEntities[] = {{VQ_SIGTRACE_TYPE_SS7, 5, 0x00010002, "SS7"}, {VQ_SIGTRACE_TYPE_LAPD, 2, 0x00010000, "LAPD"},
                   {VQ_SIGTRACE_TYPE_ISDN, 1, 0x00010000, "ISDN"},  {VQ_SIGTRACE_TYPE_CASR2, 3, 0, "CASR2"},
                   {VQ_SIGTRACE_TYPE_IP, 0, 0, "IP"}};
  for (const auto& e : aEntities) {
    CVQSigTraceEntityParams E;
    E.mun32Type = e.un32Type, E.mun32Trunk = e.un32Trunk, E.mun32TimeslotMask = e.un32Mask;
    E.mstrGroupName = e.pszGroup, E.mstrName = e.pszGroup, E.mfCapFile = 1;
    A.AttachEntityToGroup(*pAdapter, E);
  }
  return s_pApp.get();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  if (nSize < 1) return 0;
  CVQSigTrace& A = *App();
  /* The message in a buffer of exactly its size, so that a read past it is caught. */
  std::vector<u8> v(VQX_MSG_HEADER_SIZE + nSize - 1);
  auto* h = reinterpret_cast<VQX_MSG_HEADER*>(v.data());
  h->un32MsgId = kIds[pData[0] % (sizeof(kIds) / sizeof(kIds[0]))];
  h->un32Length = static_cast<u32>(v.size());
  h->un32PayloadStart = VQX_MSG_HEADER_SIZE;
  h->un32PayloadLength = static_cast<u32>(nSize - 1);
  if (nSize > 1) memcpy(v.data() + VQX_MSG_HEADER_SIZE, pData + 1, nSize - 1);
  const u32 un32Before = A.mun32PacketCount;
  A.DispatchMsg(reinterpret_cast<unsigned int*>(v.data()));
  const bool fUnit = h->un32MsgId >> 16 != 0x0B08 && (h->un32MsgId & 0xFFFFu) == 0x0031u;
  if (A.mun32PacketCount != un32Before + (fUnit ? 1u : 0u)) abort();
  if (A.mun32LostUnits > A.mun32PacketCount) abort();
  return 0;
}
