/*
 * vqcafmsgsigtrace.h - the sig-trace service's messages (docs/sigtrace-service.md):
 * register (0x0B0D0100), unregister (0x0B0D0200), capture (0x0B0D0300) and
 * data (0x0B0D0400). Each carries one fixed record, raw in this host's byte
 * order, behind the framework envelope. Reading refuses a data length over
 * 10240 and terminates every text within its field.
 */
#ifndef VQCAFMSGSIGTRACE_H
#define VQCAFMSGSIGTRACE_H

#include <cstddef>

#include "vqcafmsg.h"

namespace VQCAF {

constexpr u32 VQCAF_MSG_SIGTRACE_REGISTER = 0x0B0D0100u;
constexpr u32 VQCAF_MSG_SIGTRACE_UNREGISTER = 0x0B0D0200u;
constexpr u32 VQCAF_MSG_SIGTRACE_CAPTURE = 0x0B0D0300u;
constexpr u32 VQCAF_MSG_SIGTRACE_DATA = 0x0B0D0400u;
constexpr u32 VQCAF_SIGTRACE_NAME_SIZE = 32u;
constexpr u32 VQCAF_SIGTRACE_DESCRIPTION_SIZE = 256u;
constexpr u32 VQCAF_SIGTRACE_MAX_DATA = 10240u;
constexpr u32 VQCAF_SIGTRACE_TYPE_H248 = 1u;

struct VQCAF_SIGTRACE_REGISTER_INFO {
  u32 un32Type;
  char szName[VQCAF_SIGTRACE_NAME_SIZE];
  char szDescription[VQCAF_SIGTRACE_DESCRIPTION_SIZE];
};
static_assert(sizeof(VQCAF_SIGTRACE_REGISTER_INFO) == 292);
static_assert(offsetof(VQCAF_SIGTRACE_REGISTER_INFO, szDescription) == 36);

struct VQCAF_SIGTRACE_CAPTURE_INFO {
  u32 un32Type;
  char szName[VQCAF_SIGTRACE_NAME_SIZE];
  u32 un32Capture;
};
static_assert(sizeof(VQCAF_SIGTRACE_CAPTURE_INFO) == 40);
static_assert(offsetof(VQCAF_SIGTRACE_CAPTURE_INFO, un32Capture) == 36);

struct VQCAF_SIGTRACE_DATA_INFO {
  u32 un32Type;
  char szName[VQCAF_SIGTRACE_NAME_SIZE];
  u32 un32Direction;
  u8 abyData[VQCAF_SIGTRACE_MAX_DATA];
  u32 un32DataLength;
};
static_assert(sizeof(VQCAF_SIGTRACE_DATA_INFO) == 10284);
static_assert(offsetof(VQCAF_SIGTRACE_DATA_INFO, abyData) == 40);
static_assert(offsetof(VQCAF_SIGTRACE_DATA_INFO, un32DataLength) == 10280);

/* One record behind the envelope; Check validates what was read. */
template <class R, u32 Id>
class CVQCAFMsgSigtraceBlock : public CVQCAFMsg {
 public:
  CVQCAFMsgSigtraceBlock() : CVQCAFMsg(Id), mInfo() {}
  VQX_RESULT Serialize(CVQCAFSerialize& s) override { return s.Write(sizeof(R), &mInfo); }
  VQX_RESULT Unserialize(CVQCAFSerialize& s) override {
    const VQX_RESULT r = s.Read(sizeof(R), &mInfo);
    return VQX_RESULT_FAILED(r) ? r : Check();
  }
  u32 SerializeSize() override { return sizeof(R); }
  R mInfo;

 protected:
  virtual VQX_RESULT Check() {
    mInfo.szName[sizeof(mInfo.szName) - 1] = '\0';
    return VQX_RESULT_OK;
  }
};

class CVQCAFMsgSigtraceRegister : public CVQCAFMsgSigtraceBlock<VQCAF_SIGTRACE_REGISTER_INFO, VQCAF_MSG_SIGTRACE_REGISTER> {
 public:
  CVQCAFMsgSigtraceRegister() { mInfo.un32Type = VQCAF_SIGTRACE_TYPE_H248; }

 protected:
  VQX_RESULT Check() override;
};

class CVQCAFMsgSigtraceUnRegister
    : public CVQCAFMsgSigtraceBlock<VQCAF_SIGTRACE_REGISTER_INFO, VQCAF_MSG_SIGTRACE_UNREGISTER> {
 public:
  CVQCAFMsgSigtraceUnRegister() { mInfo.un32Type = VQCAF_SIGTRACE_TYPE_H248; }

 protected:
  VQX_RESULT Check() override;
};

class CVQCAFMsgSigtraceCapture : public CVQCAFMsgSigtraceBlock<VQCAF_SIGTRACE_CAPTURE_INFO, VQCAF_MSG_SIGTRACE_CAPTURE> {};

class CVQCAFMsgSigtraceData : public CVQCAFMsgSigtraceBlock<VQCAF_SIGTRACE_DATA_INFO, VQCAF_MSG_SIGTRACE_DATA> {
 public:
  CVQCAFMsgSigtraceData() { mInfo.un32Direction = 2; }

 protected:
  /* 0x8200000A for a data length over 10240. */
  VQX_RESULT Check() override;
};

}  // namespace VQCAF

#endif
