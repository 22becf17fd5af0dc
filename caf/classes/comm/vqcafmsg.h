/*
 * vqcafmsg.h - framework messages (CVQCAFMsg) and the host message that
 * carries one (CVQCAFMsgBuffer).
 *
 * Model. A CVQCAFMsg is a typed object with a message id that writes itself
 * into a big-endian stream. A CVQCAFMsgBuffer owns one host message and is
 * that stream over its payload: SerializeFromMsg builds a new host message
 * from an object (ready to send: GetMsgHandle(1)), UnserializeToMsg reads a
 * received one back into an object of the id it expects. Messages of the
 * framework's groups (0x0B00..0x0BFF) carry a 24-byte envelope first:
 *
 *   0  u64 public header 0xCCAFCCAFCCAFCCAF (not checked on reading)
 *   8  members (u32 id, u32 size, size bytes) up to the u32 end 0x0B0000FF;
 *      member 0x0B000001 (size 4 when written) holds the message id
 *
 * A buffer also writes itself as a member of another stream: member
 * 0x7CAF7001 (size 4, u32 0x1234CAFE), member 0x7CAF7002 (the payload bytes
 * in use), u32 end 0x7CAF70FF. docs/framework-messages.md has the layouts.
 *
 * Threads: a buffer is used by one thread at a time. Allocation and release
 * borrow the host library from the bridge (CVQCAFComm) for the moment.
 *
 * Results: 0x02000000; 0x82000014 no message; 0x8200000F no host library;
 * 0x82000010 wrong or malformed message; stream results otherwise.
 */
#ifndef VQCAFMSG_H
#define VQCAFMSG_H

#include "vqcafbuffer.h"
#include "vqcafserialize.h"
#include "vqx_host.h"

namespace VQCAF {

constexpr u64 CVQCAF_MSG_PUBLIC_HEADER = 0xCCAFCCAFCCAFCCAFull;
constexpr u32 CVQCAF_MSG_SUB_MsgId = 0x0B000001u;
constexpr u32 CVQCAF_MSG_SUB_END = 0x0B0000FFu;
constexpr u32 CVQCAF_MSG_ENVELOPE_SIZE = 24u;
constexpr u32 CVQCAFMSGBUF_ELEMENT_SUB_Magic = 0x7CAF7001u;
constexpr u32 CVQCAFMSGBUF_ELEMENT_SUB_Data = 0x7CAF7002u;
constexpr u32 CVQCAFMSGBUF_ELEMENT_SUB_END = 0x7CAF70FFu;
constexpr u32 CVQCAFMSGBUF_MAGIC = 0x1234CAFEu;
constexpr u32 CVQCAF_MSG_DEFAULT_MIN_SIZE = 128u;

/* True for the framework's own groups, which carry the envelope. */
inline bool VqcafMsgHasEnvelope(u32 un32MsgId) { return (un32MsgId >> 24) == 0x0Bu; }

/* Base of every framework message: id, header values and the size hint. */
class CVQCAFMsg : public virtual IVQCAFSerializable {
 public:
  explicit CVQCAFMsg(u32 un32MsgId) : mun32MsgId(un32MsgId) {}
  ~CVQCAFMsg() override = default;

  virtual u32* GetServiceInstanceHandle() { return mhServiceInstance; }
  virtual void SetServiceInstanceHandle(u32* h) { mhServiceInstance = h; }

  u32 GetMsgId() const { return mun32MsgId; }
  u32 GetMsgType() const { return mMsgType; }
  void SetMsgType(u32 Type) { mMsgType = Type; }
  u64 GetUserContext1() const { return mun64UserContext1; }
  u64 GetUserContext2() const { return mun64UserContext2; }
  void SetUserContexts(u64 un64Uc1, u64 un64Uc2) { mun64UserContext1 = un64Uc1, mun64UserContext2 = un64Uc2; }
  /* Smallest payload asked for; grows to the largest SerializeSize seen. */
  u32 GetMinSize() const { return mun32MinSize; }
  void SetMinSize(u32 un32Size) { mun32MinSize = un32Size; }

 private:
  friend class CVQCAFMsgBuffer;
  u32 mMsgType = VQX_MSG_TYPE_EVENT;
  u64 mun64UserContext1 = 0;
  u64 mun64UserContext2 = 0;
  u32 mun32MinSize = CVQCAF_MSG_DEFAULT_MIN_SIZE;
  u32* mhServiceInstance = nullptr;
  u32 mun32MsgId;
};

class CVQCAFMsgBuffer : public CVQCAFSerialize, public IVQCAFSerializable {
 public:
  CVQCAFMsgBuffer() { Init(); }
  /* Takes ownership of a received host message. */
  explicit CVQCAFMsgBuffer(VQX_MSG_HANDLE hMsg) {
    Init();
    mpMsg = hMsg;
  }
  ~CVQCAFMsgBuffer() override { Clear(); }
  CVQCAFMsgBuffer(const CVQCAFMsgBuffer&) = delete;
  CVQCAFMsgBuffer& operator=(const CVQCAFMsgBuffer&) = delete;

  /* ---- byte level over the payload ---- */
  using CVQCAFSerialize::Read;
  using CVQCAFSerialize::Write;
  /* 0x82000008 when fewer than un32Count bytes are in use past the offset. */
  VQX_RESULT Read(u32 un32Count, void* pvDest) override;
  /* Grows the message (at least doubling) when the bytes do not fit. */
  VQX_RESULT Write(u32 un32Count, const void* pvSource) override;
  /* Releases the message (0x8200000F without a host library: then only forgotten). */
  VQX_RESULT Clear() override;
  /* Up to the capacity (0x82000006 past it); without a message only 0 (0x82000014). */
  VQX_RESULT Seek(u64 un64Position) override;
  u64 GetCurrentSeek() override { return mun32Offset; }

  /* ---- the wrapped message ---- */
  u32* GetServiceInstanceHandle() { return mhServiceInstance; }
  void SetServiceInstanceHandle(u32* h) { mhServiceInstance = h; }
  u32 GetMsgId() const { return mpMsg != nullptr ? mpMsg->un32MsgId : 0; }
  u32 GetMsgType() const { return mpMsg != nullptr ? mpMsg->MsgType : 0; }
  u64 GetUserContext1() const { return mpMsg != nullptr ? mpMsg->un64UserContext1 : 0; }
  u64 GetUserContext2() const { return mpMsg != nullptr ? mpMsg->un64UserContext2 : 0; }
  /* The message; with fDetach the caller owns it and the buffer is empty. */
  VQX_MSG_HANDLE GetMsgHandle(u32 fDetach);

  /* ---- objects to and from host messages ---- */
  VQX_RESULT SerializeFromMsg(CVQCAFMsg& Msg, CVQCAFBuffer* pReplacement);
  /* 0x82000010 (both ids logged) when the message is not of Msg's id. */
  VQX_RESULT UnserializeToMsg(CVQCAFMsg& Msg, CVQCAFBuffer* pReplacement);
  VQX_RESULT SerializeToVqxMsg(u32 un32MsgId, IVQCAFSerializable& Object, u32 un32Size, u32 MsgType, u64 un64Uc1,
                               u64 un64Uc2, CVQCAFBuffer* pReplacement);
  VQX_RESULT UnserializeFromVqxMsg(u32 un32MsgId, IVQCAFSerializable& Object, u32& MsgType, u64& un64Uc1,
                                   u64& un64Uc2, CVQCAFBuffer* pReplacement);

  /* ---- the buffer as a member of another stream ---- */
  /* 0x82000014 without a message. */
  VQX_RESULT Serialize(CVQCAFSerialize& Out) override;
  /* Reads one buffer member (several may follow each other; something else
   * may follow the last). Refuses a second data member and a data member
   * larger than a host message can be, before allocating. */
  VQX_RESULT Unserialize(CVQCAFSerialize& In) override;
  /* 24 + the bytes in use; 0 without a message. */
  u32 SerializeSize() override;
  /* The envelope's size, 24. */
  static u32 SerializeSizeBase() { return CVQCAF_MSG_ENVELOPE_SIZE; }
  /* Forgets handle, message, offset and look-ahead without releasing. */
  void Init();

 private:
  VQX_RESULT Fail(const char* pszOperation, const char* pszText, VQX_RESULT Result, int nLine);
  u32* mhServiceInstance;
  VQX_MSG_HANDLE mpMsg;
  u32 mun32Offset;
  u32 mfNextMagicRead;
};

}  // namespace VQCAF

#endif
