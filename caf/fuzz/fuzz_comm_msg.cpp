// libFuzzer target: a received framework message. The input's first byte
// picks the reader: the envelope (UnserializeToMsg into a small object), a
// run of buffer members (CVQCAFMsgBuffer::Unserialize until it stops), the
// service information, one of the sig-trace records, or a
// configuration-management request (the second byte picks its id). The
// rest of the input is the payload. Readers must fail cleanly, never read
// outside the payload, and keep each message within its capacity.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "../tests/support/vqcaf_test_stream.h"
#include "vqcafcomm.h"
#include "vqcafglobals.h"
#include "vqcafdiag.h"
#include "vqcaflog.h"
#include "vqcafmsg.h"
#include "vqcafmsgsigtrace.h"
#include "vqcafservicecmmgmtclient.h"
#include "vqcafserviceinfo.h"

using namespace VQCAF;

namespace {

class CTwoWords : public CVQCAFMsg {
 public:
  explicit CTwoWords(u32 un32Id) : CVQCAFMsg(un32Id) {}
  VQX_RESULT Serialize(CVQCAFSerialize& s) override { return s.Write(a[0]) | s.Write(a[1]); }
  VQX_RESULT Unserialize(CVQCAFSerialize& s) override {
    VQX_RESULT r = s.Read(a[0]);
    return VQX_RESULT_FAILED(r) ? r : s.Read(a[1]);
  }
  u32 SerializeSize() override { return 8; }
  u32 a[2] = {};
};

VQX_LIB_HANDLE OpenOnce() {
  static VQX_LIB_HANDLE hLib = [] {
    alignas(16) static char acGlobals[16];
    SetGlobals(reinterpret_cast<CVQCAFGlobals*>(acGlobals));
    SetSubModTraceLevel(VQCAF_SUBMODULE_COMM, VQDIS);
    SetSubModTraceLevel(VQCAF_SUBMODULE_BASE, VQDIS);
    SetSubModTraceLevel(VQCAF_SUBMODULE_SERVICE, VQDIS);
    SetSubModTraceLevel(VQCAF_SUBMODULE_CM, VQDIS);
    VqcafSetDiagPrinter([](void*, u32, const char*) {}, nullptr);  // failure lines are expected here
    CVQCAFCommParams Params;
    Params.mun32HostLibTraceLevel = 0x7FFFFFFF;
    if (CVQCAFComm::Init(Params) != VQX_RESULT_OK) abort();
    return CVQCAFComm::GetHostLibInstance();
  }();
  return hLib;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbyData, size_t nSize) {
  VQX_LIB_HANDLE hLib = OpenOnce();
  if (nSize < 1) return 0;
  const u8 un8Reader = pbyData[0] % 6;
  if (un8Reader == 5) {
    if (nSize < 2) return 0;
    const u32 un32Id = VQCAF_MSG_CM_OP_VALIDATE + pbyData[1] % 3;
    VQX_MSG_HANDLE h = nullptr;
    if (VQX_RESULT_FAILED(VQXGetMsg(hLib, static_cast<u32>(nSize), &h))) abort();
    h->un32MsgId = un32Id;
    h->un32PayloadLength = static_cast<u32>(nSize - 2);
    memcpy(VQXMsgPayload(h), pbyData + 2, nSize - 2);
    CVQCAFMsgBuffer Buffer(h);
    CVQCAFMsgCmMgmt Request(un32Id);
    if (Request.ReadFrom(Buffer) == VQX_RESULT_OK &&
        (Buffer.GetCurrentSeek() != nSize - 2 || Request.mastrText[0].GetLength() > VQCAF_CM_MAX_TEXT ||
         Request.mastrText[1].GetLength() > VQCAF_CM_MAX_TEXT || !Request.mfNumberRead))
      abort();
    return 0;
  }
  if (un8Reader >= 2) {
    CVQCAFTestStream Stream(pbyData + 1, nSize - 1);
    if (un8Reader == 2) {
      CVQCAFServiceInfo Info;
      if (Info.Unserialize(Stream) == VQX_RESULT_OK &&
          (Info.mHostInfo.szApplicationName[127] != 0 || Info.mbufServiceUserContext.GetSize() > nSize))
        abort();
    } else if (un8Reader == 3) {
      CVQCAFMsgSigtraceData Data;
      if (Data.Unserialize(Stream) == VQX_RESULT_OK && (Data.mInfo.un32DataLength > 10240 || Data.mInfo.szName[31] != 0))
        abort();
    } else {
      CVQCAFMsgSigtraceRegister Reg;
      if (Reg.Unserialize(Stream) == VQX_RESULT_OK && Reg.mInfo.szDescription[255] != 0) abort();
    }
    return 0;
  }
  const bool fEnvelope = un8Reader == 0;
  if (fEnvelope) {
    VQX_MSG_HANDLE h = nullptr;
    if (VQX_RESULT_FAILED(VQXGetMsg(hLib, static_cast<u32>(nSize), &h))) abort();
    h->un32MsgId = 0x0B030100;
    h->un32PayloadLength = static_cast<u32>(nSize - 1);
    memcpy(VQXMsgPayload(h), pbyData + 1, nSize - 1);
    CVQCAFMsgBuffer Buffer(h);
    CTwoWords Msg(0x0B030100);
    if (Buffer.UnserializeToMsg(Msg, nullptr) == VQX_RESULT_OK && Buffer.GetCurrentSeek() > nSize - 1) abort();
  } else {
    CVQCAFTestStream Stream(pbyData + 1, nSize - 1);
    CVQCAFMsgBuffer Buffer;
    for (int i = 0; i < 64 && Buffer.Unserialize(Stream) == VQX_RESULT_OK; i++) {
      VQX_MSG_HANDLE h = Buffer.GetMsgHandle(0);
      if (h != nullptr && h->un32PayloadLength > h->un32PayloadMaxLength) abort();
      if (Stream.GetCurrentSeek() >= nSize - 1) break;
    }
  }
  return 0;
}
