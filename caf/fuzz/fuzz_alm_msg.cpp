/*
 * fuzz_alm_msg.cpp - the management client's decoders on arbitrary payloads:
 * a record is read whole or refused, and a refused record is all zeros, so
 * nothing unread can be echoed back to the master.
 */
#include <cstring>
#include <string>

#include "vqcafservicealmmgmt.h"

namespace {

using namespace VQCAF;

class CBytes : public CVQCAFSerialize {
 public:
  CBytes(const uint8_t* p, size_t n) : mp(p), mn(n) {}
  using CVQCAFSerialize::Read;
  using CVQCAFSerialize::Write;
  VQX_RESULT Read(u32 n, void* pv) override {
    if (n > mn - mOff) return VQX_RESULT_OUT_OF_RESOURCE;
    if (pv != nullptr) memcpy(pv, mp + mOff, n);
    mOff += n;
    return VQX_RESULT_OK;
  }
  VQX_RESULT Write(u32, const void*) override { return VQX_RESULT_NOT_SUPPORTED; }
  VQX_RESULT Clear() override { return VQX_RESULT_OK; }
  VQX_RESULT Seek(u64 p) override { return p > mn ? VQX_RESULT_OUT_OF_RANGE : (mOff = p, VQX_RESULT_OK); }
  u64 GetCurrentSeek() override { return mOff; }
  const uint8_t* mp;
  size_t mn;
  size_t mOff = 0;
};

template <class M>
void Check(const uint8_t* p, size_t n) {
  M Msg;
  memset(&Msg.mRecord, 0xA5, sizeof(Msg.mRecord));
  CBytes s(p, n);
  const VQX_RESULT r = Msg.Unserialize(s);
  const auto* pRec = reinterpret_cast<const uint8_t*>(&Msg.mRecord);
  if (VQX_RESULT_FAILED(r)) {
    for (size_t i = 0; i < sizeof(Msg.mRecord); ++i)
      if (pRec[i] != 0) __builtin_trap();
  } else if (n < sizeof(Msg.mRecord) || memcmp(pRec, p, sizeof(Msg.mRecord)) != 0) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t un32Size) {
  Check<CVQCAFMsgAlmMgmtOpHeartbeat>(pData, un32Size);
  Check<CVQCAFMsgAlmMgmtOpShutdown>(pData, un32Size);
  return 0;
}
