/*
 * fuzz_params.cpp - the configuration reader over arbitrary values: a store
 * that answers every count and attribute from the input (the XML store's own
 * parsing is fuzzed with it), values read by the store's number and boolean
 * rules, texts of any length (the 256-byte limit included). Checks the
 * records appended: names generated within their fields, timeslot masks of
 * one bit, interfaces among the five allowed, addresses dotted-quad.
 */
#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "sigtrace_params_dao_xml.h"
#include "vqcafdiag.h"

using namespace VQCAF;

namespace {

/* Every answer taken from the input in call order; past its end, absent. */
class CFuzzStore : public IVQCAFCfgFile {
 public:
  CFuzzStore(const uint8_t* p, size_t n) : mp(p), mn(n) {}
  VQX_RESULT Open() override { return VQX_RESULT_OK; }
  VQX_RESULT Close() override { return VQX_RESULT_OK; }
  VQX_RESULT Get(const char*, u32, char*, u32 un32Size, char* pszValue) override {
    pszValue[0] = 0;
    std::string s;
    if (!Value(&s)) return VQX_RESULT_NOT_FOUND;
    if (s.size() >= un32Size) return VQX_RESULT_BUFFER_TOO_SMALL;
    memcpy(pszValue, s.c_str(), s.size() + 1);
    return VQX_RESULT_OK;
  }
  VQX_RESULT Get(const char*, u32, char*, u8* pby) override {
    *pby = 0;
    std::string s;
    if (!Value(&s)) return VQX_RESULT_NOT_FOUND;
    *pby = VqcafCfgParseBool(s.c_str());
    return VQX_RESULT_OK;
  }
  VQX_RESULT Get(const char*, u32, char*, u32* pun32) override {
    *pun32 = 0;
    std::string s;
    if (!Value(&s)) return VQX_RESULT_NOT_FOUND;
    return VqcafCfgParseU32(s.c_str(), pun32);
  }
  VQX_RESULT GetCount(const char*, u32* pun32) override {
    *pun32 = 0;
    if (mn > 0) {
      *pun32 = mp[0] % 4;
      Skip(1);
    }
    return VQX_RESULT_OK;
  }
  VQX_RESULT GetLineNumber(const char*, u32 un32Index, char*, u32* pun32) override {
    *pun32 = un32Index + 1;
    return VQX_RESULT_OK;
  }
  const char* GetDbName() override { return "fuzz.xml"; }
  u32 IsOpened() override { return 1; }

 private:
  /* A length octet (0xFF: absent; above 0xF0: 300 characters) then the text. */
  bool Value(std::string* ps) {
    if (mn == 0) return false;
    const u8 un8Len = mp[0];
    Skip(1);
    if (un8Len == 0xFF) return false;
    if (un8Len > 0xF0) {
      ps->assign(300, 'x');
      return true;
    }
    const size_t n = un8Len < mn ? un8Len : mn;
    ps->assign(reinterpret_cast<const char*>(mp), n);
    Skip(n);
    return true;
  }
  void Skip(size_t n) {
    mp += n;
    mn -= n;
  }
  const uint8_t* mp;
  size_t mn;
};

struct Quiet {
  Quiet() { VqcafSetDiagPrinter([](void*, u32, const char*) {}, nullptr); }
} s_Quiet;

bool OneBit(u32 v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t un64Size) {
  CVQSigTraceParamsDaoXml Dao(CVQCAFPtr<IVQCAFCfgFile>(new CFuzzStore(pData, un64Size)), "quellan");
  CVQSigTraceParams P;
  (void)Dao.GetParams(P);
  for (const CVQSigTraceEntityParams& R : P) {
    const u32 t = R.mun32Type;
    if (t == VQ_SIGTRACE_TYPE_SS7 || t == VQ_SIGTRACE_TYPE_ISDN || t == VQ_SIGTRACE_TYPE_LAPD) {
      if (!OneBit(R.mun32TimeslotMask) || R.mstrAdapterName.IsEmpty()) abort();
    }
    if (t == VQ_SIGTRACE_TYPE_IP) {
      const char* e = R.mstrEthPort.c_str();
      if (strcmp(e, "eth0") && strcmp(e, "eth1") && strcmp(e, "voip0") && strcmp(e, "voip1") && strcmp(e, "any"))
        abort();
      struct in_addr a;
      if (inet_pton(AF_INET, R.mstrIpMask.c_str(), &a) != 1 || R.mstrIpMask.GetLength() > 15) abort();
    }
    if (t != VQ_SIGTRACE_TYPE_BY_NAME && t != VQ_SIGTRACE_TYPE_H248 && R.mstrName.IsEmpty()) abort();
    if (R.mstrName.GetLength() != strlen(R.mstrName.c_str())) abort();
  }
  return 0;
}
