/*
 * vqcaf_test_stream.h - an in-memory CVQCAFSerialize for the tests and the
 * fuzz target: the byte level over a std::vector, refusing to read past the
 * end (0x82000008), as the message buffer does.
 */
#ifndef VQCAF_TEST_STREAM_H
#define VQCAF_TEST_STREAM_H

#include <cstring>
#include <string>
#include <vector>

#include "vqcafserialize.h"

class CVQCAFTestStream : public VQCAF::CVQCAFSerialize {
 public:
  using VQCAF::CVQCAFSerialize::Read;
  using VQCAF::CVQCAFSerialize::Write;

  CVQCAFTestStream() = default;
  CVQCAFTestStream(const u8* pbyData, size_t nSize) : mBytes(pbyData, pbyData + nSize) {}
  explicit CVQCAFTestStream(const std::string& strData) : mBytes(strData.begin(), strData.end()) {}

  VQX_RESULT Read(u32 un32Count, void* pvDest) override {
    if (mBytes.size() - mnPos < un32Count) return VQX_RESULT_OUT_OF_RESOURCE;
    if (pvDest != nullptr && un32Count != 0) memcpy(pvDest, mBytes.data() + mnPos, un32Count);
    mnPos += un32Count;
    return VQX_RESULT_OK;
  }
  VQX_RESULT Write(u32 un32Count, const void* pvSource) override {
    if (un32Count == 0) return VQX_RESULT_OK;
    if (pvSource == nullptr) return VQX_RESULT_NULL_PARAM;
    if (mBytes.size() < mnPos + un32Count) mBytes.resize(mnPos + un32Count);
    memcpy(mBytes.data() + mnPos, pvSource, un32Count);
    mnPos += un32Count;
    return VQX_RESULT_OK;
  }
  VQX_RESULT Clear() override {
    mBytes.clear();
    mnPos = 0;
    return VQX_RESULT_OK;
  }
  VQX_RESULT Seek(u64 un64Position) override {
    if (un64Position > mBytes.size()) return VQX_RESULT_OUT_OF_RANGE;
    mnPos = static_cast<size_t>(un64Position);
    return VQX_RESULT_OK;
  }
  u64 GetCurrentSeek() override { return mnPos; }
  const std::vector<u8>& Bytes() const { return mBytes; }
  std::string Str() const { return std::string(mBytes.begin(), mBytes.end()); }

 private:
  std::vector<u8> mBytes;
  size_t mnPos = 0;
};

#endif
