// CVQCAFBuffer: content after each operation, loans and what they forbid,
// copies, and the u64-length serialised form.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "support/vqcaf_diag_capture.h"
#include "support/vqcaf_test_stream.h"
#include "vqcafbuffer.h"
#include "vqcafexception.h"

using namespace VQCAF;

namespace {

std::vector<u8> Content(CVQCAFBuffer& b) {
  u8* p = b.GetData(__FILE__, __LINE__);
  std::vector<u8> v(p, p + b.GetSize());
  b.ReleaseData(__FILE__, __LINE__);
  return v;
}

}  // namespace

TEST(Buffer, SetAndSetSize) {
  CVQCAFBuffer b(VQCAF_DEBUG_INFO);
  EXPECT_EQ(b.GetSize(), 0u);
  const u8 aby[] = {1, 2, 3, 4, 5};
  EXPECT_EQ(b.Set(5, aby), VQX_RESULT_OK);
  EXPECT_EQ(Content(b), std::vector<u8>({1, 2, 3, 4, 5}));
  struct Row {
    u64 un64Size;
    u32 fKeep;
    std::vector<u8> Expected;
  } aRows[] = {
      {3, 1, {1, 2, 3}}, {6, 1, {1, 2, 3, 0, 0, 0}}, {2, 1, {1, 2}}, {4, 0, {}}, {0, 1, {}},
  };
  for (const Row& r : aRows) {
    EXPECT_EQ(b.SetSize(r.un64Size, r.fKeep), VQX_RESULT_OK);
    EXPECT_EQ(b.GetSize(), r.un64Size);
    if (r.fKeep) {
      EXPECT_EQ(Content(b), r.Expected) << r.un64Size;
    }
    EXPECT_TRUE(b.CheckInvariant());
  }
  EXPECT_EQ(b.SetSize(7, 0), VQX_RESULT_OK);  // plain int: the 64-bit form
  EXPECT_EQ(b.SetSize(-1, 0), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(b.GetSize(), 7u);
  // A size no process can hold: the length failure, the content kept.
  EXPECT_THROW(b.SetSize(~0ull, 1), std::length_error);
  EXPECT_EQ(b.GetSize(), 7u);
  EXPECT_TRUE(b.CheckInvariant());
  EXPECT_EQ(b.Set(3, nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(b.GetSize(), 7u);
  EXPECT_EQ(b.Set(0, nullptr), VQX_RESULT_OK);
  EXPECT_EQ(b.GetSize(), 0u);
  // Set from a part of its own bytes.
  b.Set(5, aby);
  u8* p = b.GetData(__FILE__, __LINE__);
  b.ReleaseData(__FILE__, __LINE__);
  EXPECT_EQ(b.Set(3, p + 2), VQX_RESULT_OK);
  EXPECT_EQ(Content(b), std::vector<u8>({3, 4, 5}));
  // Own bytes that would run past the content: refused, content kept.
  p = b.GetData(__FILE__, __LINE__);
  b.ReleaseData(__FILE__, __LINE__);
  struct OwnRow {
    u32 un32Offset;
    u32 un32Size;
    VQX_RESULT un32Expected;
  } aOwnRows[] = {{1, 3, VQX_RESULT_INVALID_PARAM}, {0, 4, VQX_RESULT_INVALID_PARAM}, {2, 0x10000, VQX_RESULT_INVALID_PARAM},
               {2, 1, VQX_RESULT_OK}};
  for (const OwnRow& r : aOwnRows) {
    b.Set(3, aby + 2);
    p = b.GetData(__FILE__, __LINE__);
    b.ReleaseData(__FILE__, __LINE__);
    EXPECT_EQ(b.Set(r.un32Size, p + r.un32Offset), r.un32Expected) << r.un32Offset << "+" << r.un32Size;
    if (r.un32Expected != VQX_RESULT_OK) {
      EXPECT_EQ(Content(b), std::vector<u8>({3, 4, 5})) << r.un32Offset << "+" << r.un32Size;
    }
  }
  EXPECT_EQ(Content(b), std::vector<u8>({5}));
}

TEST(Buffer, LoansForbidMovingTheBytes) {
  CDiagCapture Capture;
  CVQCAFBuffer b(VQCAF_DEBUG_INFO);
  const u8 aby[] = {9, 8, 7};
  b.Set(3, aby);
  u8* p = b.GetData(__FILE__, __LINE__);
  u8* q = b.GetData(__FILE__, __LINE__);
  EXPECT_EQ(p, q);
  EXPECT_EQ(b.GetLendCount(), 2u);
  EXPECT_EQ(b.SetSize(1000, 1), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(b.Clear(), VQX_RESULT_INVALID_STATE);
  CVQCAFTestStream s;
  EXPECT_EQ(b.Unserialize(s), VQX_RESULT_INVALID_STATE);
  CVQCAFBuffer Other(VQCAF_DEBUG_INFO);
  Other.Set(3, aby);
  try {
    b = Other;
    FAIL() << "assignment while lent";
  } catch (const CVQCAFException& e) {
    EXPECT_EQ(e.Result(), VQX_RESULT_INVALID_STATE);
  }
  // In place changes are allowed; the lent pointer stays valid.
  EXPECT_EQ(b.SetSize(2, 1), VQX_RESULT_OK);
  EXPECT_EQ(b.Set(3, aby), VQX_RESULT_OK);
  EXPECT_EQ(p[2], 7);
  EXPECT_EQ(b.ReleaseData(__FILE__, __LINE__), VQX_RESULT_OK);
  EXPECT_EQ(b.ReleaseData(__FILE__, __LINE__), VQX_RESULT_OK);
  EXPECT_EQ(b.ReleaseData(__FILE__, __LINE__), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(Capture.Lines().size(), 1u);  // the unmatched release
  EXPECT_EQ(b.SetSize(1000, 1), VQX_RESULT_OK);
  EXPECT_EQ(b.Clear(), VQX_RESULT_OK);
  EXPECT_EQ(b.GetSize(), 0u);
}

TEST(Buffer, DestroyedWithLoanReportsIt) {
  CDiagCapture Capture;
  {
    CVQCAFBuffer b(CVQCAFDebugInfo("maker.cpp", 12));
    b.SetSize(4, 0);
    b.GetData("lender.cpp", 34);
  }
  ASSERT_EQ(Capture.Lines().size(), 1u);
  EXPECT_NE(Capture.Lines()[0].find("maker.cpp:12"), std::string::npos);
  EXPECT_NE(Capture.Lines()[0].find("lender.cpp:34"), std::string::npos);
}

TEST(Buffer, CopiesAreIndependent) {
  const u8 aby[] = {1, 2, 3};
  CVQCAFBuffer a(VQCAF_DEBUG_INFO);
  a.Set(3, aby);
  CVQCAFBuffer b(a);
  CVQCAFBuffer c(VQCAF_DEBUG_INFO);
  c = a;
  a.SetSize(1, 1);
  EXPECT_EQ(Content(b), std::vector<u8>({1, 2, 3}));
  EXPECT_EQ(Content(c), std::vector<u8>({1, 2, 3}));
  c = c;  // self-assignment keeps it
  EXPECT_EQ(Content(c), std::vector<u8>({1, 2, 3}));
  CVQCAFBuffer Empty(VQCAF_DEBUG_INFO);
  c = Empty;
  EXPECT_EQ(c.GetSize(), 0u);
  EXPECT_TRUE(c.CheckInvariant());
}

TEST(Buffer, SerializeRoundTripWithU64Length) {
  std::vector<u8> Bytes(70000);
  for (size_t i = 0; i < Bytes.size(); ++i) Bytes[i] = static_cast<u8>(i * 7);
  CVQCAFBuffer a(VQCAF_DEBUG_INFO);
  a.Set(static_cast<u32>(Bytes.size()), Bytes.data());
  CVQCAFTestStream s;
  EXPECT_EQ(a.Serialize(s), VQX_RESULT_OK);
  ASSERT_EQ(s.Bytes().size(), 8u + 70000u);
  const u8 abyLength[] = {0, 0, 0, 0, 0, 1, 0x11, 0x70};
  EXPECT_EQ(0, memcmp(s.Bytes().data(), abyLength, 8));
  EXPECT_EQ(a.SerializeSize(), 70008u);
  s.Seek(0);
  CVQCAFBuffer b(VQCAF_DEBUG_INFO);
  b.Set(2, "zz");
  EXPECT_EQ(b.Unserialize(s), VQX_RESULT_OK);
  EXPECT_EQ(Content(b), Bytes);
  EXPECT_TRUE(b.CheckInvariant());
}
