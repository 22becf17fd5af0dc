/*
 * comm_test_support.h - what the messaging and service tests share: the
 * globals slot filled, a bridge opened with no transport (or with the hosts'
 * transport on a loopback port), the log captured, and a test object that
 * writes n big-endian words.
 */
#ifndef COMM_TEST_SUPPORT_H
#define COMM_TEST_SUPPORT_H

#include <algorithm>
#include <string>
#include <vector>

#include "support/vqcaf_test_support.h"
#include "vqcafcomm.h"
#include "vqcafglobals.h"
#include "vqcafmsg.h"

namespace vqtest {

/* A stand-in object for the globals slot (the shell owns the real one). */
inline CVQCAFGlobals* FakeGlobals() {
  alignas(16) static char acGlobals[16];
  return reinterpret_cast<CVQCAFGlobals*>(acGlobals);
}

/* A framework message of any id whose body is un32Words words i * 0x01010101. */
class CWordsMsg : public CVQCAFMsg {
 public:
  CWordsMsg(u32 un32Id, u32 un32Words) : CVQCAFMsg(un32Id), mun32Words(un32Words) {}
  VQX_RESULT Serialize(CVQCAFSerialize& s) override {
    for (u32 i = 0; i < mun32Words; i++) {
      const VQX_RESULT r = s.Write(i * 0x01010101u);
      if (VQX_RESULT_FAILED(r)) return r;
    }
    return VQX_RESULT_OK;
  }
  VQX_RESULT Unserialize(CVQCAFSerialize& s) override {
    maun32Read.assign(mun32Words, 0);
    for (u32& v : maun32Read) {
      const VQX_RESULT r = s.Read(v);
      if (VQX_RESULT_FAILED(r)) return r;
    }
    return VQX_RESULT_OK;
  }
  u32 SerializeSize() override { return 4 * mun32Words; }
  u32 mun32Words;
  std::vector<u32> maun32Read;
};

/* A stream over a string, as another object's serialisation would hold a buffer member. */
class CStringStream : public CVQCAFSerialize {
 public:
  using CVQCAFSerialize::Read;
  using CVQCAFSerialize::Write;
  VQX_RESULT Read(u32 n, void* pv) override {
    if (n > s.size() - mOff) return VQX_RESULT_OUT_OF_RESOURCE;
    if (pv != nullptr) memcpy(pv, s.data() + mOff, n);
    mOff += n;
    return VQX_RESULT_OK;
  }
  VQX_RESULT Write(u32 n, const void* pv) override {
    s.append(static_cast<const char*>(pv), n);
    return VQX_RESULT_OK;
  }
  VQX_RESULT Clear() override { return s.clear(), mOff = 0, VQX_RESULT_OK; }
  VQX_RESULT Seek(u64 p) override { return p > s.size() ? VQX_RESULT_OUT_OF_RANGE : (mOff = p, VQX_RESULT_OK); }
  u64 GetCurrentSeek() override { return mOff; }
  std::string s;
  u64 mOff = 0;
};

/* Globals set, bridge open (no transport), log captured; all undone at the end. */
class CommTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetGlobals(FakeGlobals());
    AddLogTraceListener(&mLog);
    ASSERT_EQ(CVQCAFComm::Init(mParams), VQX_RESULT_OK);
    mhLib = CVQCAFComm::GetHostLibInstance();
  }
  void TearDown() override {
    if (mhLib != nullptr) CVQCAFComm::ReleaseHostLibInstance();
    EXPECT_EQ(CVQCAFComm::Uninit(), VQX_RESULT_OK);
    RemoveLogTraceListener(&mLog);
    SetGlobals(nullptr);
  }
  /* Lines logged so far that contain pszText. */
  size_t Logged(const char* pszText) {
    for (std::string& s : mLog.Texts()) maSeen.push_back(s);
    return std::count_if(maSeen.begin(), maSeen.end(),
                         [&](const std::string& s) { return s.find(pszText) != std::string::npos; });
  }
 public:
  /* The payload bytes in use of a buffer's message. */
  static std::string Payload(CVQCAFMsgBuffer& b) {
    VQX_MSG_HANDLE h = b.GetMsgHandle(0);
    return h == nullptr ? std::string() : std::string(reinterpret_cast<char*>(VQXMsgPayload(h)), h->un32PayloadLength);
  }

 protected:
  CVQCAFCommParams mParams;
  CCaptureListener mLog;
  std::vector<std::string> maSeen;
  VQX_LIB_HANDLE mhLib = nullptr;
};

}  // namespace vqtest

#endif
