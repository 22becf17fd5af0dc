// test_proto.cpp - the services protocol's payloads byte for byte against
// the independent Python encoder (and its decoder run on what C++ writes),
// and the decoder's refusals.
#include <filesystem>
#include <fstream>

#include "svc_test_support.h"

namespace {

const std::string kData = getenv("VQX_TEST_DATA") != nullptr ? getenv("VQX_TEST_DATA") : "svclib/tests/data";

std::string ReadBytes(const std::string& strPath) {
  std::ifstream In(strPath, std::ios::binary);
  return {std::istreambuf_iterator<char>(In), {}};
}
std::string Be32(u32 v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }
u32 Decode(const std::string& s, VqxSvcProtoList* p) {
  return VqxSvcProtoDecodeList(reinterpret_cast<const u8*>(s.data()), static_cast<u32>(s.size()), p);
}

const VqxSvcProtoList kList{0x7F00000100001234ull, {{1, 0x0B0D0100, {0x0B0D0200, 0}, ""}, {2, 0x0B0E0100, {0, 0}, "ctx"}}};

TEST(SvcProto, GoldenBytesBothWays) {
  const std::string strDir = ::testing::TempDir() + "svc_golden";
  std::filesystem::create_directories(strDir);
  for (const auto& [pszName, strBytes] : {std::pair<const char*, std::string>{"svc_list.bin", VqxSvcProtoEncodeList(kList)},
                                          {"svc_request.bin", VqxSvcProtoEncodeRequest()}}) {
    EXPECT_EQ(strBytes, ReadBytes(kData + "/" + pszName)) << pszName;
    std::ofstream(strDir + "/" + pszName, std::ios::binary) << strBytes;
  }
  const std::string strTool = std::string(getenv("VQX_SOURCE_DIR")) + "/testing/golden/svclib/services_golden.py";
  EXPECT_EQ(system(("python3 " + strTool + " check " + strDir).c_str()), 0);
  VqxSvcProtoList Back;
  ASSERT_EQ(Decode(VqxSvcProtoEncodeList(kList), &Back), VQX_RESULT_OK);
  EXPECT_TRUE(Back.aServices == kList.aServices && Back.un64SenderUniqueId == kList.un64SenderUniqueId);
}

TEST(SvcProto, DecoderRefusals) {
  const std::string strLink(8, '\0'), strHead = strLink + Be32(1) + Be32(0) + Be32(5);
  auto Entry = [](u32 key, u32 size) { return Be32(key) + Be32(0x0B0D0100) + Be32(0) + Be32(0) + Be32(size); };
  auto Entries = [&](u32 n) {
    std::string s;
    for (u32 k = 1; k <= n; k++) s += Entry(k, 0);
    return s;
  };
  const struct {
    const char* pszRow;
    std::string strPayload;
    u32 un32Expected;
  } rows[] = {
      {"empty list", strHead + Be32(0), VQX_RESULT_OK},
      {"no link area", Be32(1), VQX_RESULT_INVALID_MESSAGE},
      {"version 2", strLink + Be32(2) + Be32(0) + Be32(0) + Be32(0), VQX_RESULT_UNSUPPORTED_VERSION},
      {"count 64", strHead + Be32(64) + Entries(64), VQX_RESULT_OK},
      {"count 65", strHead + Be32(65) + Entries(65), VQX_RESULT_INVALID_MESSAGE},
      {"count past the data", strHead + Be32(1), VQX_RESULT_INVALID_MESSAGE},
      {"context 4096", strHead + Be32(1) + Entry(1, 4096) + std::string(4096, 'c'), VQX_RESULT_OK},
      {"context 4097", strHead + Be32(1) + Entry(1, 4097) + std::string(4097, 'c'), VQX_RESULT_INVALID_MESSAGE},
      {"context past the data", strHead + Be32(1) + Entry(1, 10) + "abc", VQX_RESULT_INVALID_MESSAGE},
      {"duplicate key", strHead + Be32(2) + Entry(1, 0) + Entry(1, 0), VQX_RESULT_INVALID_MESSAGE},
      {"bytes left over", strHead + Be32(0) + "x", VQX_RESULT_INVALID_MESSAGE},
      {"padding", strHead + Be32(0) + std::string(7, '\0'), VQX_RESULT_OK},
      {"8 bytes of padding", strHead + Be32(0) + std::string(8, '\0'), VQX_RESULT_INVALID_MESSAGE},
  };
  for (const auto& row : rows) {
    VqxSvcProtoList List{99, {}};
    EXPECT_EQ(Decode(row.strPayload, &List), row.un32Expected) << row.pszRow;
    EXPECT_TRUE(row.un32Expected == VQX_RESULT_OK || List.un64SenderUniqueId == 99u) << row.pszRow << ": untouched";
  }
  EXPECT_EQ(VqxSvcProtoDecodeRequest(reinterpret_cast<const u8*>(strHead.data()), 11), VQX_RESULT_INVALID_MESSAGE);
  EXPECT_EQ(VqxSvcProtoDecodeRequest(nullptr, 0), VQX_RESULT_INVALID_MESSAGE);
}

}  // namespace
