/*
 * svclib_proto.cpp - encoding and decoding of the services protocol
 * (svclib_proto.h). Every read goes through one bounded cursor.
 */
#include "svclib_proto.h"

#include <set>

#include "vqx_result.h"

namespace {

void Put32(std::string& s, u32 v) {
  const char a[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  s.append(a, 4);
}

/* Reads big-endian words and byte runs; a read past the end fails and stays failed. */
class Cursor {
 public:
  Cursor(const u8* p, u32 n) : mp(p), mnLeft(p != nullptr ? n : 0) {}
  bool Get32(u32* pv) {
    if (!mfOk || mnLeft < 4) return mfOk = false;
    *pv = (u32{mp[0]} << 24) | (u32{mp[1]} << 16) | (u32{mp[2]} << 8) | u32{mp[3]};
    mp += 4, mnLeft -= 4;
    return true;
  }
  bool GetBytes(u32 n, std::string* ps) {
    if (!mfOk || mnLeft < n) return mfOk = false;
    ps->assign(reinterpret_cast<const char*>(mp), n);
    mp += n, mnLeft -= n;
    return true;
  }
  u32 Left() const { return mnLeft; }

 private:
  const u8* mp;
  u32 mnLeft;
  bool mfOk = true;
};

/* What follows the last field: at most 7 zero bytes. */
bool PaddingOnly(Cursor& c) {
  std::string strRest;
  if (c.Left() > 7 || !c.GetBytes(c.Left(), &strRest)) return false;
  return strRest.find_first_not_of('\0') == std::string::npos;
}

}  // namespace

std::string VqxSvcProtoEncodeList(const VqxSvcProtoList& List) {
  std::string s(VQX_SVC_PROTO_LINK_AREA, '\0');
  Put32(s, VQX_SVC_PROTO_VERSION);
  Put32(s, static_cast<u32>(List.un64SenderUniqueId >> 32));
  Put32(s, static_cast<u32>(List.un64SenderUniqueId));
  Put32(s, static_cast<u32>(List.aServices.size()));
  for (const VqxSvcProtoService& e : List.aServices) {
    Put32(s, e.un32Key);
    Put32(s, e.un32ServiceId);
    Put32(s, e.aun32Detected[0]);
    Put32(s, e.aun32Detected[1]);
    Put32(s, static_cast<u32>(e.strUserContext.size()));
    s += e.strUserContext;
  }
  s.append((8 - s.size() % 8) % 8, '\0');  // host messages between hosts carry whole 64-bit words
  return s;
}

std::string VqxSvcProtoEncodeRequest() {
  std::string s(VQX_SVC_PROTO_LINK_AREA, '\0');
  Put32(s, VQX_SVC_PROTO_VERSION);
  s.append(4, '\0');
  return s;
}

u32 VqxSvcProtoDecodeList(const u8* pbyPayload, u32 un32Length, VqxSvcProtoList* pList) {
  Cursor c(pbyPayload, un32Length);
  std::string strLink;
  u32 un32Version = 0, un32Hi = 0, un32Lo = 0, un32Count = 0;
  if (!c.GetBytes(VQX_SVC_PROTO_LINK_AREA, &strLink) || !c.Get32(&un32Version)) return VQX_RESULT_INVALID_MESSAGE;
  if (un32Version != VQX_SVC_PROTO_VERSION) return VQX_RESULT_UNSUPPORTED_VERSION;
  if (!c.Get32(&un32Hi) || !c.Get32(&un32Lo) || !c.Get32(&un32Count)) return VQX_RESULT_INVALID_MESSAGE;
  if (un32Count > VQX_SVC_PROTO_MAX_SERVICES) return VQX_RESULT_INVALID_MESSAGE;
  VqxSvcProtoList List;
  List.un64SenderUniqueId = (u64{un32Hi} << 32) | un32Lo;
  std::set<u32> Keys;
  for (u32 i = 0; i < un32Count; i++) {
    VqxSvcProtoService e;
    u32 un32Size = 0;
    if (!c.Get32(&e.un32Key) || !c.Get32(&e.un32ServiceId) || !c.Get32(&e.aun32Detected[0]) ||
        !c.Get32(&e.aun32Detected[1]) || !c.Get32(&un32Size))
      return VQX_RESULT_INVALID_MESSAGE;
    if (un32Size > VQX_SVC_PROTO_MAX_USER_CONTEXT || !c.GetBytes(un32Size, &e.strUserContext))
      return VQX_RESULT_INVALID_MESSAGE;
    if (!Keys.insert(e.un32Key).second) return VQX_RESULT_INVALID_MESSAGE;
    List.aServices.push_back(std::move(e));
  }
  if (!PaddingOnly(c)) return VQX_RESULT_INVALID_MESSAGE;
  *pList = std::move(List);
  return VQX_RESULT_OK;
}

u32 VqxSvcProtoDecodeRequest(const u8* pbyPayload, u32 un32Length) {
  Cursor c(pbyPayload, un32Length);
  std::string strLink;
  u32 un32Version = 0;
  if (!c.GetBytes(VQX_SVC_PROTO_LINK_AREA, &strLink) || !c.Get32(&un32Version)) return VQX_RESULT_INVALID_MESSAGE;
  if (un32Version != VQX_SVC_PROTO_VERSION) return VQX_RESULT_UNSUPPORTED_VERSION;
  return PaddingOnly(c) ? VQX_RESULT_OK : VQX_RESULT_INVALID_MESSAGE;
}
