// A remote provider's messages as the services thread hands them over, into
// a real application (groups made by register, data written as H.248 text
// or pcap in a scratch directory, removed at exit). Input: a sequence of
// messages (see LLVMFuzzerTestOneInput), each of the five ids the provider
// handles or the capture id, as a record behind a well-formed envelope or as
// a whole payload.
// Checked: nothing read outside the message, every group the provider made
// is an H.248 group named by a non-empty text read within its field, whose
// one entity is this provider and counts no more than its group.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "sigtrace_app.h"
#include "sigtrace_provider_entity.h"
#include "vqcafcomm.h"
#include "vqcafdiag.h"
#include "vqcafglobals.h"
#include "vqcaflog.h"
#include "vqcafservicedetector.h"

using namespace VQCAF;

namespace {

constexpr u32 kIds[] = {VQCAF_MSG_SIGTRACE_REGISTER, VQCAF_MSG_SIGTRACE_UNREGISTER, VQCAF_MSG_SIGTRACE_DATA,
                        VQCAF_MSG_SERVICE_CONNECTED, VQCAF_MSG_SERVICE_DISCONNECTED, VQCAF_MSG_SIGTRACE_CAPTURE};

/* A framework message whose body is the given bytes. */
class CRaw : public CVQCAFMsg {
 public:
  CRaw(u32 un32Id, const u8* p, u32 n) : CVQCAFMsg(un32Id), mp(p), mn(n) {}
  VQX_RESULT Serialize(CVQCAFSerialize& s) override { return mn == 0 ? VQX_RESULT_OK : s.Write(mn, mp); }
  VQX_RESULT Unserialize(CVQCAFSerialize&) override { return VQX_RESULT_NOT_SUPPORTED; }
  u32 SerializeSize() override { return mn; }
  const u8* mp;
  u32 mn;
};

struct SWorld {
  VQX_LIB_HANDLE hLib = nullptr;
  std::unique_ptr<CVQSigTrace> pApp;
  CVQSigTraceProviderEntity* pProvider = nullptr;
  u32 un32Inputs = 0;
};

SWorld& World() {
  static SWorld* s_p = [] {
    alignas(16) static char acGlobals[16];
    SetGlobals(reinterpret_cast<CVQCAFGlobals*>(acGlobals));
    for (u32 m : {VQCAF_SUBMODULE_COMM, VQCAF_SUBMODULE_BASE, VQCAF_SUBMODULE_VQLT})
      SetSubModTraceLevel(static_cast<_VQCAF_SUBMODULE_TYPE>(m), VQDIS);
    VqcafSetDiagPrinter([](void*, u32, const char*) {}, nullptr);  // refusals are expected here
    CVQCAFCommParams Params;
    Params.mun32HostLibTraceLevel = 0x7FFFFFFF;
    if (CVQCAFComm::Init(Params) != VQX_RESULT_OK) abort();
    const std::filesystem::path Dir = std::filesystem::temp_directory_path() / ("fuzz_provider_" + std::to_string(getpid()));
    std::filesystem::create_directories(Dir);
    std::filesystem::current_path(Dir);
    static const std::filesystem::path s_Dir = Dir;
    atexit([] { std::filesystem::remove_all(s_Dir); });
    SWorld* p = new SWorld;
    p->hLib = CVQCAFComm::GetHostLibInstance();
    CVQSigTraceCfgCmdLine CmdLine;
    CmdLine.mfCapFormat = 0;
    p->pApp = std::make_unique<CVQSigTrace>(CmdLine);
    CVQCAFServiceInfo Info;
    strcpy(Info.mHostInfo.szHostName, "host");
    strcpy(Info.mHostInfo.szApplicationName, "app");
    p->pProvider = static_cast<CVQSigTraceProviderEntity*>(p->pApp->OnServiceConnected(nullptr, &Info));
    if (p->pProvider == nullptr) abort();
    return p;
  }();
  return *s_p;
}

void Check(bool f) {
  if (!f) abort();
}

/* One message: its id by pData[0], pData[1] bit 0 the whole payload (else the
 * record behind a well-formed envelope), then the body. */
void Deliver(SWorld& W, const u8* pHead, const u8* pBody, u32 n) {
  const u32 un32Id = kIds[pHead[0] % 6];
  VQX_MSG_HANDLE h = nullptr;
  if (pHead[1] & 1) {
    if (VQX_RESULT_FAILED(VQXGetMsg(W.hLib, n, &h))) abort();
    h->un32MsgId = un32Id;
    h->un32PayloadLength = n;
    memcpy(VQXMsgPayload(h), pBody, n);
  }
  CVQCAFMsgBuffer Buffer(h);
  CRaw Raw(un32Id, pBody, n);
  /* Built here, then read from its start as a received message is. */
  if (h == nullptr && (VQX_RESULT_FAILED(Buffer.SerializeFromMsg(Raw, nullptr)) || VQX_RESULT_FAILED(Buffer.Seek(0)))) return;
  W.pProvider->OnMsgReceived(nullptr, Buffer);
}

}  // namespace

/* The input is a sequence of messages: id byte, mode byte, u16 body length
 * (little-endian, cut to what is left), body; pData[0] bit 7 picks pcap for
 * the groups it makes instead of text. Groups live on for speed (a crash may
 * need the inputs before it); every 1000 inputs they are closed and removed. */
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  SWorld& W = World();
  CVQSigTrace& App = *W.pApp;
  if (nSize < 1) return 0;
  App.mCmdLine.mfCapFormat = pData[0] >> 7;
  for (size_t i = 1; i + 4 <= nSize;) {
    const u32 n = std::min<u32>(pData[i + 2] | pData[i + 3] << 8, static_cast<u32>(nSize - i - 4));
    Deliver(W, pData + i, pData + i + 4, n);
    i += 4 + n;
  }
  App.mGroups.ResetNext();
  for (CVQSigTraceGrp* g = App.mGroups.Next(); g != nullptr; g = App.mGroups.Next()) {
    Check(g->mun32Type == VQ_SIGTRACE_TYPE_H248 && g->mstrName.GetLength() > 0 && g->mstrName.GetLength() < 32);
    Check(g->mvEntities.size() <= 1);
    for (const CVQSigTraceEntityParams& e : g->mvEntities)
      Check(e.mstrName == "host.app" && e.mun32RxCount + e.mun32TxCount <= g->mun32RxCount + g->mun32TxCount);
  }
  if (++W.un32Inputs % 1000 == 0) {
    App.mGroups.Clear(VQCAF_DEBUG_INFO);
    for (const auto& f : std::filesystem::directory_iterator(std::filesystem::current_path())) std::filesystem::remove(f);
  }
  return 0;
}
