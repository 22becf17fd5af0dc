// CVQCAFSerialize: the byte layout of every typed writer against a stream
// built by an independent Python struct encoder (and decoded by it), the
// readers' refusals of bad lengths, and the sizes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/vqcaf_diag_capture.h"
#include "support/vqcaf_test_stream.h"
#include "vqcafbuffer.h"
#include "vqcafexception.h"
#include "vqcafserialize.h"

using namespace VQCAF;

namespace {

std::string SourceDir() {
  const char* p = getenv("VQX_SOURCE_DIR");
  return p != nullptr ? p : ".";
}

std::string DataDir() {
  const char* p = getenv("VQX_TEST_DATA");
  return p != nullptr ? p : SourceDir() + "/caf/tests/data";
}

std::vector<u8> ReadFile(const std::string& strPath) {
  std::ifstream f(strPath, std::ios::binary);
  return std::vector<u8>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string ReadText(const std::string& strPath) {
  std::ifstream f(strPath);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Runs the Python decoder over the bytes; returns its printout.
std::string PythonDecode(const std::vector<u8>& Bytes) {
  char acPath[] = "/tmp/vqcaf_serialize_XXXXXX";
  int fd = mkstemp(acPath);
  EXPECT_GE(fd, 0);
  FILE* f = fdopen(fd, "wb");
  fwrite(Bytes.data(), 1, Bytes.size(), f);
  fclose(f);
  std::string strCmd = "python3 " + SourceDir() + "/caf/tests/serialize_golden.py decode " + acPath + " 2>&1";
  std::string strOut;
  FILE* p = popen(strCmd.c_str(), "r");
  EXPECT_NE(p, nullptr);
  char acBuf[256];
  size_t n;
  while ((n = fread(acBuf, 1, sizeof(acBuf), p)) > 0) strOut.append(acBuf, n);
  pclose(p);
  unlink(acPath);
  return strOut;
}

CVQCAFBuffer MakeBuffer(std::vector<u8> Bytes) {
  CVQCAFBuffer b(VQCAF_DEBUG_INFO);
  b.Set(static_cast<u32>(Bytes.size()), Bytes.data());
  return b;
}

// The reference sequence (same items, same order as serialize_golden.py).
void WriteReference(CVQCAFSerialize& s) {
  CVQCAFBuffer b4 = MakeBuffer({0x00, 0x01, 0x02, 0xFF});
  CVQCAFBuffer b2 = MakeBuffer({0x10, 0x20});
  CVQCAFBuffer b1 = MakeBuffer({0x09});
  CVQCAFBuffer b12 = MakeBuffer({0x01, 0x02});
  ASSERT_EQ(s.Write(u8{0xA5}), VQX_RESULT_OK);
  ASSERT_EQ(s.Write(u16{0x1234}), VQX_RESULT_OK);
  ASSERT_EQ(s.Write(u32{0xDEADBEEF}), VQX_RESULT_OK);
  ASSERT_EQ(s.Write(u64{0x0102030405060708ull}), VQX_RESULT_OK);
  ASSERT_EQ(s.Write(CVQCAFString("trace")), VQX_RESULT_OK);
  ASSERT_EQ(s.Write(CVQCAFString()), VQX_RESULT_OK);
  ASSERT_EQ(s.Write(b4), VQX_RESULT_OK);
  ASSERT_EQ(s.WriteWithIdAndSize(0x0B000001u, u32{0x0B080101}), VQX_RESULT_OK);
  ASSERT_EQ(s.WriteWithIdAndSize(0x7CAF7002u, 3u, "abc"), VQX_RESULT_OK);
  ASSERT_EQ(s.Write(static_cast<IVQCAFSerializable&>(b2)), VQX_RESULT_OK);
  ASSERT_EQ(s.WriteWithIdAndSize(0x42u, CVQCAFString("id")), VQX_RESULT_OK);
  ASSERT_EQ(s.WriteWithIdAndSize(0x43u, u8{7}), VQX_RESULT_OK);
  ASSERT_EQ(s.WriteWithIdAndSize(0x44u, u16{0xBEEF}), VQX_RESULT_OK);
  ASSERT_EQ(s.WriteWithIdAndSize(0x45u, u64{1}), VQX_RESULT_OK);
  ASSERT_EQ(s.WriteWithIdAndSize(0x46u, b1), VQX_RESULT_OK);
  ASSERT_EQ(s.WriteWithIdAndSize(0x47u, static_cast<IVQCAFSerializable&>(b12)), VQX_RESULT_OK);
}

}  // namespace

TEST(Serialize, BytesEqualIndependentEncoderAndDecoder) {
  CVQCAFTestStream s;
  WriteReference(s);
  std::vector<u8> Golden = ReadFile(DataDir() + "/serialize_golden.bin");
  ASSERT_EQ(Golden.size(), 149u);
  EXPECT_EQ(s.Bytes(), Golden);
  EXPECT_EQ(PythonDecode(s.Bytes()), ReadText(DataDir() + "/serialize_golden.txt"));
}

TEST(Serialize, ReadBackEveryItem) {
  std::vector<u8> Golden = ReadFile(DataDir() + "/serialize_golden.bin");
  CVQCAFTestStream s(Golden.data(), Golden.size());
  u8 un8 = 0;
  u32 un32 = 0;
  u64 un64 = 0;
  CVQCAFString str;
  CVQCAFBuffer b(VQCAF_DEBUG_INFO);
  EXPECT_EQ(s.Read(un8), VQX_RESULT_OK);
  EXPECT_EQ(un8, 0xA5);
  EXPECT_EQ(s.ReadU16(), 0x1234);
  EXPECT_EQ(s.Read(un32), VQX_RESULT_OK);
  EXPECT_EQ(un32, 0xDEADBEEFu);
  EXPECT_EQ(s.Read(un64), VQX_RESULT_OK);
  EXPECT_EQ(un64, 0x0102030405060708ull);
  EXPECT_EQ(s.Read(str), VQX_RESULT_OK);
  EXPECT_STREQ(str.c_str(), "trace");
  EXPECT_EQ(s.Read(str), VQX_RESULT_OK);
  EXPECT_TRUE(str.IsEmpty());
  EXPECT_EQ(s.Read(b), VQX_RESULT_OK);
  ASSERT_EQ(b.GetSize(), 4u);
  u8* p = b.GetData(__FILE__, __LINE__);
  EXPECT_EQ(p[3], 0xFF);
  b.ReleaseData(__FILE__, __LINE__);
  EXPECT_EQ(s.ReadU32(), 0x0B000001u);
  EXPECT_EQ(s.ReadU32(), 4u);
  EXPECT_EQ(s.ReadU32(), 0x0B080101u);
  EXPECT_EQ(s.Read(11u, nullptr), VQX_RESULT_OK);  // skip the raw member
  EXPECT_EQ(s.Read(static_cast<IVQCAFSerializable&>(b)), VQX_RESULT_OK);
  EXPECT_EQ(b.GetSize(), 2u);
  EXPECT_EQ(s.GetCurrentSeek(), 69u);
}

TEST(Serialize, Sizes) {
  CVQCAFBuffer b = MakeBuffer({1, 2, 3});
  u32 un32 = 0;
  u64 un64 = 0;
  CVQCAFString str("abcd");
  EXPECT_EQ(CVQCAFSerialize::SerializeSize(un32), 4u);
  EXPECT_EQ(CVQCAFSerialize::SerializeSize(un64), 8u);
  EXPECT_EQ(CVQCAFSerialize::SerializeSizeWithIdAndSize(1u, un32), 12u);
  EXPECT_EQ(CVQCAFSerialize::SerializeSizeWithIdAndSize(1u, 5u, "abcde"), 13u);
  EXPECT_EQ(CVQCAFSerialize::SerializeSize(b), 7u);
  EXPECT_EQ(CVQCAFSerialize::SerializeSize(5u, "abcde"), 5u);
  EXPECT_EQ(CVQCAFSerialize::SerializeSize(str), 8u);
  EXPECT_EQ(b.SerializeSize(), 11u);  // u64 form
  // Every size equals what the writer produces.
  CVQCAFTestStream s;
  s.Write(b);
  EXPECT_EQ(s.Bytes().size(), 7u);
  s.Clear();
  s.WriteWithIdAndSize(9u, str);
  EXPECT_EQ(s.Bytes().size(), CVQCAFSerialize::SerializeSizeWithIdAndSize(9u, str));
}

TEST(Serialize, BadLengthsAreRefusedAndTargetsLeftEmpty) {
  struct Row {
    const char* pszName;
    std::vector<u8> Bytes;
    int nKind;  // 0 string, 1 buffer (u32), 2 buffer (u64)
    VQX_RESULT un32Expected;
  } aRows[] = {
      {"string length past data", {0, 0, 0, 5, 'a', 'b'}, 0, VQX_RESULT_OUT_OF_RESOURCE},
      {"string huge length", {0xFF, 0xFF, 0xFF, 0xFF, 'a'}, 0, VQX_RESULT_OUT_OF_RANGE},
      {"string short length field", {0, 0}, 0, VQX_RESULT_OUT_OF_RESOURCE},
      {"buffer at limit but no data", {0x01, 0x00, 0x00, 0x00, 1, 2}, 1, VQX_RESULT_OUT_OF_RESOURCE},
      {"buffer past the limit", {0x01, 0x00, 0x00, 0x01, 1, 2}, 1, VQX_RESULT_OUT_OF_RANGE},
      {"buffer past data", {0, 0, 0, 3, 1, 2}, 1, VQX_RESULT_OUT_OF_RESOURCE},
      {"u64 buffer huge length", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1}, 2, VQX_RESULT_OUT_OF_RANGE},
      {"u64 buffer past data", {0, 0, 0, 0, 0x40, 0, 0, 0, 1, 2, 3}, 2, VQX_RESULT_OUT_OF_RESOURCE},
      {"u64 buffer short length field", {0, 0, 0}, 2, VQX_RESULT_OUT_OF_RESOURCE},
  };
  for (const Row& r : aRows) {
    CVQCAFTestStream s(r.Bytes.data(), r.Bytes.size());
    CVQCAFString str("previous");
    CVQCAFBuffer b = MakeBuffer({7, 7, 7});
    VQX_RESULT un32Result;
    if (r.nKind == 0) un32Result = s.Read(str);
    else if (r.nKind == 1) un32Result = s.Read(b);
    else un32Result = b.Unserialize(s);
    EXPECT_EQ(un32Result, r.un32Expected) << r.pszName;
    EXPECT_TRUE(r.nKind != 0 || str.IsEmpty()) << r.pszName;
    EXPECT_TRUE(r.nKind == 0 || b.GetSize() == 0) << r.pszName;
    EXPECT_TRUE(b.CheckInvariant()) << r.pszName;
  }
}

TEST(Serialize, ShortIntegersLeaveTargetAndThrowFromValueReaders) {
  std::vector<u8> Bytes = {1, 2, 3};
  CVQCAFTestStream s(Bytes.data(), Bytes.size());
  u32 un32 = 0x55;
  EXPECT_EQ(s.Read(un32), VQX_RESULT_OUT_OF_RESOURCE);
  EXPECT_EQ(un32, 0x55u);
  try {
    s.ReadU64();
    FAIL() << "no exception";
  } catch (const CVQCAFException& e) {
    EXPECT_EQ(e.Result(), VQX_RESULT_OUT_OF_RESOURCE);
  }
  EXPECT_EQ(s.ReadU16(), 0x0102);
}

TEST(Serialize, OverlongBufferIsCutWithOneLine) {
  CDiagCapture Capture;
  CVQCAFBuffer b(VQCAF_DEBUG_INFO);
  ASSERT_EQ(b.SetSize(VQCAF_SERIALIZE_MAX_BUFFER_LENGTH + 10u, 0), VQX_RESULT_OK);
  u8* p = b.GetData(__FILE__, __LINE__);
  p[VQCAF_SERIALIZE_MAX_BUFFER_LENGTH - 1] = 0xEE;
  p[VQCAF_SERIALIZE_MAX_BUFFER_LENGTH] = 0xDD;
  b.ReleaseData(__FILE__, __LINE__);
  CVQCAFTestStream s;
  EXPECT_EQ(s.Write(b), VQX_RESULT_OK);
  ASSERT_EQ(s.Bytes().size(), 4u + VQCAF_SERIALIZE_MAX_BUFFER_LENGTH);
  EXPECT_EQ(s.Bytes()[0], 0x01);
  EXPECT_EQ(s.Bytes()[1], 0x00);
  EXPECT_EQ(s.Bytes().back(), 0xEE);
  EXPECT_EQ(Capture.Count("CVQCAFSerialize::Write(CVQCAFBuffer&) buffer length too big, not supported (by "
                          "protection). Will truncate\n"),
            1u);
  // And it reads back at exactly the limit.
  s.Seek(0);
  CVQCAFBuffer r(VQCAF_DEBUG_INFO);
  EXPECT_EQ(s.Read(r), VQX_RESULT_OK);
  EXPECT_EQ(r.GetSize(), VQCAF_SERIALIZE_MAX_BUFFER_LENGTH);
}

TEST(Serialize, NullRawMemberIsRefused) {
  CVQCAFTestStream s;
  EXPECT_EQ(s.WriteWithIdAndSize(1u, 4u, nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_TRUE(s.Bytes().empty());
}
