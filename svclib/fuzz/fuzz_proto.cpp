// libFuzzer target: the services protocol's decoders over arbitrary payloads.
// A decoded list must keep its bounds (64 services, contexts of 4096 bytes)
// and decode again, equal, from its own encoding.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../svclib_proto.h"
#include "vqx_result.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbyData, size_t nSize) {
  VqxSvcProtoDecodeRequest(pbyData, static_cast<u32>(nSize));
  VqxSvcProtoList List;
  if (VqxSvcProtoDecodeList(pbyData, static_cast<u32>(nSize), &List) != VQX_RESULT_OK) return 0;
  if (List.aServices.size() > VQX_SVC_PROTO_MAX_SERVICES) abort();
  for (const VqxSvcProtoService& e : List.aServices) {
    if (e.strUserContext.size() > VQX_SVC_PROTO_MAX_USER_CONTEXT) abort();
  }
  const std::string s = VqxSvcProtoEncodeList(List);
  VqxSvcProtoList Again;
  if (VqxSvcProtoDecodeList(reinterpret_cast<const u8*>(s.data()), static_cast<u32>(s.size()), &Again) != VQX_RESULT_OK ||
      Again.aServices != List.aServices || Again.un64SenderUniqueId != List.un64SenderUniqueId || s.size() % 8 != 0)
    abort();
  return 0;
}
