/*
 * svclib_proto.h - the services library's messages between hosts
 * (docs/services-protocol.md): the service list and the list request, as
 * plain records, encoded into and decoded from host-message payloads.
 * Internal to the library; pure functions, any thread.
 */
#ifndef SVCLIB_PROTO_H
#define SVCLIB_PROTO_H

#include <string>
#include <vector>

#include "vqx_types.h"

#define VQX_SVC_PROTO_GROUP 0x0A5Eu
#define VQX_SVC_MSG_ID_LIST 0x0A5E0001u
#define VQX_SVC_MSG_ID_LIST_REQUEST 0x0A5E0002u
#define VQX_SVC_PROTO_VERSION 1u
#define VQX_SVC_PROTO_LINK_AREA 8u /* payload bytes 0..7 belong to the host library while queued */
#define VQX_SVC_PROTO_MAX_SERVICES 64u
#define VQX_SVC_PROTO_MAX_USER_CONTEXT 4096u

/* One service of a list. */
struct VqxSvcProtoService {
  u32 un32Key;     /* the sender's number for it, never reused by that process */
  u32 un32ServiceId;
  u32 aun32Detected[2];
  std::string strUserContext;
  bool operator==(const VqxSvcProtoService&) const = default;
};

struct VqxSvcProtoList {
  u64 un64SenderUniqueId; /* the sending host library's unique id */
  std::vector<VqxSvcProtoService> aServices;
};

/* Payload bytes of a list (at most 64 services, contexts at most 4096 bytes: the caller's guarantee). */
std::string VqxSvcProtoEncodeList(const VqxSvcProtoList& List);
/* Payload bytes of a list request. */
std::string VqxSvcProtoEncodeRequest();
/*
 * Decodes a list payload. 0x02000000; 0x82000020 another version;
 * 0x82000010 truncated, a count over 64, a context over 4096, a duplicate
 * key, or bytes left over. *pList is filled only on success.
 */
u32 VqxSvcProtoDecodeList(const u8* pbyPayload, u32 un32Length, VqxSvcProtoList* pList);
/* 0x02000000 or 0x82000010 / 0x82000020 as above. */
u32 VqxSvcProtoDecodeRequest(const u8* pbyPayload, u32 un32Length);

#endif
