/*
 * vqcafmsg.cpp - the framework message buffer (see vqcafmsg.h): the stream
 * over a host message's payload, the envelope, and the buffer as a member.
 */
#include "vqcafmsg.h"

#include <string.h>

#include "vqcafcomm.h"
#include "vqcafexception.h"
#include "vqcaflog.h"

namespace VQCAF {

namespace {

constexpr const char* kNoComm = "CVQCAFComm::Init() must be called first!";

void PutBe32(u8* p, u32 v) {
  p[0] = static_cast<u8>(v >> 24), p[1] = static_cast<u8>(v >> 16), p[2] = static_cast<u8>(v >> 8), p[3] = static_cast<u8>(v);
}
u32 GetBe32(const u8* p) { return (u32{p[0]} << 24) | (u32{p[1]} << 16) | (u32{p[2]} << 8) | u32{p[3]}; }

/* The envelope as written: header, the id member, the end marker (24 bytes). */
void PutEnvelope(u8* p, u32 un32MsgId) {
  PutBe32(p, static_cast<u32>(CVQCAF_MSG_PUBLIC_HEADER >> 32));
  PutBe32(p + 4, static_cast<u32>(CVQCAF_MSG_PUBLIC_HEADER));
  PutBe32(p + 8, CVQCAF_MSG_SUB_MsgId);
  PutBe32(p + 12, 4);
  PutBe32(p + 16, un32MsgId);
  PutBe32(p + 20, CVQCAF_MSG_SUB_END);
}

}  // namespace

void CVQCAFMsgBuffer::Init() {
  mhServiceInstance = nullptr;
  mpMsg = nullptr;
  mun32Offset = 0;
  mfNextMagicRead = 0;
}

VQX_RESULT CVQCAFMsgBuffer::Fail(const char* pszOperation, const char* pszText, VQX_RESULT Result, int nLine) {
  LogTrace(VQERR, "%s", VqcafFormatFailureLine(pszOperation, pszText, Result, __FILE__, nLine).c_str());
  return Result;
}

VQX_MSG_HANDLE CVQCAFMsgBuffer::GetMsgHandle(u32 fDetach) {
  VQX_MSG_HANDLE h = mpMsg;
  if (fDetach != 0) {
    mpMsg = nullptr;
    mun32Offset = 0;
  }
  return h;
}

/* ------------------------------------------------------------ stream */

VQX_RESULT CVQCAFMsgBuffer::Seek(u64 un64Position) {
  if (mpMsg == nullptr) return un64Position == 0 ? VQX_RESULT_OK : VQX_RESULT_NOT_INITIALIZED;
  if (un64Position > mpMsg->un32PayloadMaxLength) return VQX_RESULT_OUT_OF_RANGE;
  mun32Offset = static_cast<u32>(un64Position);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCAFMsgBuffer::Read(u32 un32Count, void* pvDest) {
  if (mpMsg == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  const u32 un32InUse = mpMsg->un32PayloadLength;
  if (mun32Offset > un32InUse || un32Count > un32InUse - mun32Offset) return VQX_RESULT_OUT_OF_RESOURCE;
  if (pvDest != nullptr) memcpy(pvDest, VQXMsgPayload(mpMsg) + mun32Offset, un32Count);
  mun32Offset += un32Count;
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCAFMsgBuffer::Write(u32 un32Count, const void* pvSource) {
  if (mpMsg == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  try {
    const u32 un32Cap = mpMsg->un32PayloadMaxLength;
    if (static_cast<u64>(mun32Offset) + un32Count > un32Cap) {
      /* The library is borrowed only to grow: most writes fit. */
      CVQCAFHostLibPin Lib;
      if (Lib.Get() == nullptr) return Fail("CVQCAFMsgBuffer::Write", kNoComm, VQX_RESULT_INVALID_STATE, __LINE__);
      u64 un64New = static_cast<u64>(un32Cap) * 2;
      if (un64New < static_cast<u64>(mun32Offset) + un32Count) un64New = static_cast<u64>(mun32Offset) + un32Count;
      if (un64New > VQX_MSG_MAX_PAYLOAD_SIZE)
        return Fail("CVQCAFMsgBuffer::Write", "Message would exceed the largest host message", VQX_RESULT_OUT_OF_RANGE,
                    __LINE__);
      const u32 un32New = static_cast<u32>(un64New);
      LogTrace(VQLV0,
               "CVQCAFMsgBuffer::Write: Re-allocating msg 0x%08X, with new size %u.\n                        "
               "(Contained %u bytes, max was %u, writing %u at off %u)\n",
               mpMsg->un32MsgId, un32New, mpMsg->un32PayloadLength, un32Cap, un32Count, mun32Offset);
      VQX_MSG_HANDLE hNew = nullptr;
      VQX_RESULT r = VQXGetMsgDbg(Lib.Get(), un32New, &hNew, __FILE__, __LINE__);
      if (VQX_RESULT_FAILED(r)) return Fail("CVQCAFMsgBuffer::Write", "Failed to get message buffer", r, __LINE__);
      hNew->un32MsgId = mpMsg->un32MsgId;
      hNew->MsgType = mpMsg->MsgType;
      hNew->un64UserContext1 = mpMsg->un64UserContext1;
      hNew->un64UserContext2 = mpMsg->un64UserContext2;
      hNew->hAdapter = 0;
      hNew->un32PayloadLength =
          mpMsg->un32PayloadLength < hNew->un32PayloadMaxLength ? mpMsg->un32PayloadLength : hNew->un32PayloadMaxLength;
      memcpy(VQXMsgPayload(hNew), VQXMsgPayload(mpMsg), hNew->un32PayloadLength);
      r = VQXReleaseMsgDbg(Lib.Get(), &mpMsg, __FILE__, __LINE__);
      if (VQX_RESULT_FAILED(r)) {
        VQXReleaseMsgDbg(Lib.Get(), &hNew, __FILE__, __LINE__);
        return Fail("CVQCAFMsgBuffer::Write", "Failed to release message buffer", r, __LINE__);
      }
      mpMsg = hNew;
    }
    if (un32Count != 0) memcpy(VQXMsgPayload(mpMsg) + mun32Offset, pvSource, un32Count);
    mun32Offset += un32Count;
    if (mun32Offset > mpMsg->un32PayloadLength) mpMsg->un32PayloadLength = mun32Offset;
    return VQX_RESULT_OK;
  } catch (...) {
    return VqcafReportCurrentException("CVQCAFMsgBuffer::Write", __FILE__, __LINE__);
  }
}

VQX_RESULT CVQCAFMsgBuffer::Clear() {
  CVQCAFHostLibPin Lib;
  if (Lib.Get() == nullptr) {
    if (mpMsg != nullptr) {
      LogTrace(VQERR, "CVQCAFMsgBuffer::~CVQCAFMsgBuffer: CVQCAFComm::Init() must be called first!");
    }
    mpMsg = nullptr;
    mun32Offset = 0;
    return VQX_RESULT_INVALID_STATE;
  }
  if (mpMsg != nullptr) VQXReleaseMsgDbg(Lib.Get(), &mpMsg, __FILE__, __LINE__);
  mpMsg = nullptr;
  mun32Offset = 0;
  return VQX_RESULT_OK;
}

/* ------------------------------------------------------- to and from objects */

VQX_RESULT CVQCAFMsgBuffer::SerializeFromMsg(CVQCAFMsg& Msg, CVQCAFBuffer* pReplacement) {
  const u32 un32Size = Msg.SerializeSize();
  if (un32Size >= Msg.mun32MinSize) Msg.mun32MinSize = un32Size;
  if (Msg.mun32MinSize < 8) Msg.mun32MinSize = 8;
  mhServiceInstance = Msg.mhServiceInstance;
  return SerializeToVqxMsg(Msg.mun32MsgId, Msg, Msg.mun32MinSize, Msg.mMsgType, Msg.mun64UserContext1,
                           Msg.mun64UserContext2, pReplacement);
}

VQX_RESULT CVQCAFMsgBuffer::SerializeToVqxMsg(u32 un32MsgId, IVQCAFSerializable& Object, u32 un32Size, u32 MsgType,
                                              u64 un64Uc1, u64 un64Uc2, CVQCAFBuffer* pReplacement) {
  static const char* const kOp = "CVQCAFMsgBuffer::SerializeToVqxMsg";
  try {
    if (mpMsg != nullptr) Clear();
    {
      CVQCAFHostLibPin Lib;
      if (Lib.Get() == nullptr) return Fail(kOp, kNoComm, VQX_RESULT_INVALID_STATE, __LINE__);
      const u64 un64Ask = static_cast<u64>(SerializeSizeBase()) + un32Size;
      if (un64Ask > VQX_MSG_MAX_PAYLOAD_SIZE) return Fail(kOp, "Failed to get message buffer", VQX_RESULT_OUT_OF_RANGE, __LINE__);
      const VQX_RESULT r = VQXGetMsgDbg(Lib.Get(), static_cast<u32>(un64Ask), &mpMsg, __FILE__, __LINE__);
      if (VQX_RESULT_FAILED(r)) return Fail(kOp, "Failed to get message buffer", r, __LINE__);
    }
    mun32Offset = 0;
    mfNextMagicRead = 0;
    mpMsg->un32MsgId = un32MsgId;
    mpMsg->MsgType = MsgType;
    mpMsg->un32PayloadLength = 0;
    mpMsg->hAdapter = 0;
    mpMsg->un64UserContext1 = un64Uc1;
    mpMsg->un64UserContext2 = un64Uc2;
    VQX_RESULT r;
    if (VqcafMsgHasEnvelope(un32MsgId)) {
      /* The message was just sized for the envelope: written in place, in one go. */
      PutEnvelope(VQXMsgPayload(mpMsg), un32MsgId);
      mpMsg->un32PayloadLength = mun32Offset = CVQCAF_MSG_ENVELOPE_SIZE;
    }
    if (pReplacement != nullptr) {
      if (VQX_RESULT_FAILED(r = CVQCAFSerialize::Write(static_cast<IVQCAFSerializable&>(*pReplacement))))
        return Fail(kOp, "Failed to serialize passed message replacement buffer", r, __LINE__);
    } else if (VQX_RESULT_FAILED(r = Object.Serialize(*this))) {
      return Fail(kOp, "Failed to serialize passed message object", r, __LINE__);
    }
    return VQX_RESULT_OK;
  } catch (...) {
    return VqcafReportCurrentException(kOp, __FILE__, __LINE__);
  }
}

VQX_RESULT CVQCAFMsgBuffer::UnserializeToMsg(CVQCAFMsg& Msg, CVQCAFBuffer* pReplacement) {
  Msg.mhServiceInstance = mhServiceInstance;
  return UnserializeFromVqxMsg(Msg.mun32MsgId, Msg, Msg.mMsgType, Msg.mun64UserContext1, Msg.mun64UserContext2,
                               pReplacement);
}

VQX_RESULT CVQCAFMsgBuffer::UnserializeFromVqxMsg(u32 un32MsgId, IVQCAFSerializable& Object, u32& MsgType,
                                                  u64& un64Uc1, u64& un64Uc2, CVQCAFBuffer* pReplacement) {
  static const char* const kOp = "CVQCAFMsgBuffer::UnserializeFromVqxMsg";
  if (mpMsg == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  try {
    MsgType = mpMsg->MsgType;
    un64Uc1 = mpMsg->un64UserContext1;
    un64Uc2 = mpMsg->un64UserContext2;
    u32 un32Serialized = mpMsg->un32MsgId;
    VQX_RESULT r;
    const u8* p = VQXMsgPayload(mpMsg) + mun32Offset;
    if (VqcafMsgHasEnvelope(un32MsgId) && mun32Offset <= mpMsg->un32PayloadLength &&
        mpMsg->un32PayloadLength - mun32Offset >= CVQCAF_MSG_ENVELOPE_SIZE && GetBe32(p + 8) == CVQCAF_MSG_SUB_MsgId &&
        GetBe32(p + 12) == 4 && GetBe32(p + 20) == CVQCAF_MSG_SUB_END) {
      /* The envelope as this framework writes it, read in one go. */
      un32Serialized = GetBe32(p + 16);
      mun32Offset += CVQCAF_MSG_ENVELOPE_SIZE;
    } else if (VqcafMsgHasEnvelope(un32MsgId)) {
      un32Serialized = 0;
      if (VQX_RESULT_FAILED(r = Read(8, nullptr))) return Fail(kOp, "Failed to read public header (8 bytes)", r, __LINE__);
      for (;;) {
        u32 un32Member = 0, un32Size = 0;
        if (VQX_RESULT_FAILED(r = CVQCAFSerialize::Read(un32Member))) return Fail(kOp, "Failed to read MemberType", r, __LINE__);
        if (un32Member == CVQCAF_MSG_SUB_END) break;
        if (VQX_RESULT_FAILED(r = CVQCAFSerialize::Read(un32Size))) return Fail(kOp, "Failed to read un32MemberSize", r, __LINE__);
        if (un32Member == CVQCAF_MSG_SUB_MsgId) {
          /* The id is the member's first 4 bytes; a longer member's rest is skipped. */
          if (un32Size < 4) return Fail(kOp, "Member un32MsgId shorter than 4 bytes", VQX_RESULT_INVALID_MESSAGE, __LINE__);
          if (VQX_RESULT_FAILED(r = CVQCAFSerialize::Read(un32Serialized))) return Fail(kOp, "Failed to read un32MsgId", r, __LINE__);
          un32Size -= 4;
        }
        if (un32Size != 0 && VQX_RESULT_FAILED(r = Read(un32Size, nullptr)))
          return Fail(kOp, "Failed to skip unknown member type", r, __LINE__);
      }
    }
    if (un32Serialized != un32MsgId) {
      LogTrace(VQERR,
               "CVQCAFMsgBuffer::UnserializeToMsg: MsgId mismatch. Serialized data is for MsgId 0x%08X, object is for "
               "MsgId 0x%08X!",
               un32Serialized, un32MsgId);
      return VQX_RESULT_INVALID_MESSAGE;
    }
    if (pReplacement != nullptr) {
      if (VQX_RESULT_FAILED(r = CVQCAFSerialize::Read(static_cast<IVQCAFSerializable&>(*pReplacement))))
        return Fail(kOp, "Failed to unserialize to passed replacement buffer", r, __LINE__);
    } else if (VQX_RESULT_FAILED(r = Object.Unserialize(*this))) {
      return Fail(kOp, "Failed to unserialize to passed message object", r, __LINE__);
    }
    return VQX_RESULT_OK;
  } catch (...) {
    return VqcafReportCurrentException(kOp, __FILE__, __LINE__);
  }
}

/* --------------------------------------------------- buffer as a member */

u32 CVQCAFMsgBuffer::SerializeSize() {
  return mpMsg == nullptr ? 0 : 12 + (8 + mpMsg->un32PayloadLength) + 4;
}

VQX_RESULT CVQCAFMsgBuffer::Serialize(CVQCAFSerialize& Out) {
  if (mpMsg == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  VQX_RESULT r = Out.WriteWithIdAndSize(CVQCAFMSGBUF_ELEMENT_SUB_Magic, CVQCAFMSGBUF_MAGIC);
  /* Only the bytes in use: the rest of the capacity holds stale bytes. */
  if (!VQX_RESULT_FAILED(r))
    r = Out.WriteWithIdAndSize(CVQCAFMSGBUF_ELEMENT_SUB_Data, mpMsg->un32PayloadLength, VQXMsgPayload(mpMsg));
  if (!VQX_RESULT_FAILED(r)) r = Out.Write(CVQCAFMSGBUF_ELEMENT_SUB_END);
  return r;
}

VQX_RESULT CVQCAFMsgBuffer::Unserialize(CVQCAFSerialize& In) {
  static const char* const kOp = "CVQCAFMsgBuffer::Unserialize";
  try {
    if (mpMsg != nullptr) Clear();
    VQX_RESULT r;
    u32 un32Member = 0, un32Size = 0, un32Magic = 0;
    if (mfNextMagicRead == 0) {
      if (VQX_RESULT_FAILED(r = In.Read(un32Member))) return Fail(kOp, "Failed to read MemberType", r, __LINE__);
      if (VQX_RESULT_FAILED(r = In.Read(un32Size))) return Fail(kOp, "Failed to read un32MemberSize", r, __LINE__);
      if (un32Member != CVQCAFMSGBUF_ELEMENT_SUB_Magic) {
        CVQCAFString str;
        str.Format("Invalid starting data 0x%08x != 0x%08x CVQCAFMSGBUF_ELEMENT_SUB_Magic", un32Member,
                   CVQCAFMSGBUF_ELEMENT_SUB_Magic);
        return Fail(kOp, str.c_str(), VQX_RESULT_FAIL, __LINE__);
      }
      if (VQX_RESULT_FAILED(r = In.Read(un32Magic)))
        return Fail(kOp, "Failed to read CVQCAFMSGBUF_ELEMENT_SUB_Magic", r, __LINE__);
      if (un32Magic != CVQCAFMSGBUF_MAGIC) {
        CVQCAFString str;
        str.Format("Invalid magic id 0x%08x != 0x%08x", un32Magic, CVQCAFMSGBUF_MAGIC);
        return Fail(kOp, str.c_str(), VQX_RESULT_FAIL, __LINE__);
      }
    }
    mfNextMagicRead = 0;
    for (;;) {
      if (VQX_RESULT_FAILED(r = In.Read(un32Member))) return Fail(kOp, "Failed to read MemberType", r, __LINE__);
      if (un32Member == CVQCAFMSGBUF_ELEMENT_SUB_END) break;
      if (VQX_RESULT_FAILED(r = In.Read(un32Size))) return Fail(kOp, "Failed to read un32MemberSize", r, __LINE__);
      if (un32Member == CVQCAFMSGBUF_ELEMENT_SUB_Data) {
        if (mpMsg != nullptr) return Fail(kOp, "Second CVQCAFMSGBUF_ELEMENT_SUB_Data member", VQX_RESULT_INVALID_MESSAGE, __LINE__);
        if (un32Size > VQX_MSG_MAX_PAYLOAD_SIZE)
          return Fail(kOp, "CVQCAFMSGBUF_ELEMENT_SUB_Data larger than a host message", VQX_RESULT_OUT_OF_RANGE, __LINE__);
        /* The declared size must be in the stream before a message that big is taken. */
        const u64 un64Data = In.GetCurrentSeek();
        r = In.Read(un32Size, nullptr);
        In.Seek(un64Data);
        if (VQX_RESULT_FAILED(r)) return Fail(kOp, "Failed to read CVQCAFMSGBUF_ELEMENT_SUB_Data", r, __LINE__);
        {
          CVQCAFHostLibPin Lib;
          if (Lib.Get() == nullptr) return Fail(kOp, kNoComm, VQX_RESULT_INVALID_STATE, __LINE__);
          r = VQXGetMsgDbg(Lib.Get(), un32Size, &mpMsg, __FILE__, __LINE__);
          if (VQX_RESULT_FAILED(r)) return Fail(kOp, "Failed to get message buffer", r, __LINE__);
        }
        mpMsg->un32MsgId = 0x7CAF7000u;
        mpMsg->MsgType = VQX_MSG_TYPE_EVENT;
        mpMsg->un32PayloadLength = un32Size < mpMsg->un32PayloadMaxLength ? un32Size : mpMsg->un32PayloadMaxLength;
        mpMsg->hAdapter = 0;
        mpMsg->un64UserContext1 = mpMsg->un64UserContext2 = 0;
        mun32Offset = 0;
        if (VQX_RESULT_FAILED(r = In.Read(un32Size, VQXMsgPayload(mpMsg)))) {
          Clear();  // no half-filled message is kept
          return Fail(kOp, "Failed to read CVQCAFMSGBUF_ELEMENT_SUB_Data", r, __LINE__);
        }
      } else if (un32Member == CVQCAFMSGBUF_ELEMENT_SUB_Magic) {
        return Fail(kOp, "Bug: Received unexpected CVQCAFMSGBUF_ELEMENT_SUB_Magic!", VQX_RESULT_INVALID_MESSAGE, __LINE__);
      } else if (un32Size != 0 && VQX_RESULT_FAILED(r = In.Read(un32Size, nullptr))) {
        return Fail(kOp, "Failed to skip unknown member type", r, __LINE__);
      }
    }
    /* Look ahead for a further buffer; anything else is left to the caller. */
    const u64 un64Mark = In.GetCurrentSeek();
    if (VQX_RESULT_FAILED(In.Read(un32Member))) {
      In.Seek(un64Mark);
      return VQX_RESULT_OK;
    }
    if (un32Member != CVQCAFMSGBUF_ELEMENT_SUB_Magic) {
      In.Seek(un64Mark);
      return VQX_RESULT_OK;
    }
    if (VQX_RESULT_FAILED(r = In.Read(un32Size))) return Fail(kOp, "Failed to read next un32MemberSize", r, __LINE__);
    if (VQX_RESULT_FAILED(r = In.Read(un32Magic)))
      return Fail(kOp, "Failed to read CVQCAFMSGBUF_ELEMENT_SUB_Magic", r, __LINE__);
    if (un32Magic != CVQCAFMSGBUF_MAGIC) {
      CVQCAFString str;
      str.Format("Invalid next magic id 0x%08x != 0x%08x", un32Magic, CVQCAFMSGBUF_MAGIC);
      return Fail(kOp, str.c_str(), VQX_RESULT_FAIL, __LINE__);
    }
    mfNextMagicRead = 1;
    return VQX_RESULT_OK;
  } catch (...) {
    return VqcafReportCurrentException(kOp, __FILE__, __LINE__);
  }
}

}  // namespace VQCAF
