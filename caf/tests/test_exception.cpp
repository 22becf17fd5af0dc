// The exception family and the one boundary mapping (result codes, the
// failure line "%s: %s (%X) %s:%d\n"), and the guarded allocation of
// VQCAF_NEW / VQCAF_DELETE: destruction, refusals that touch no freed or
// damaged block.

#include <map>

#include "support/vqcaf_test_support.h"

namespace {

template <class E>
VQCAF_FAILURE Catch(const E& e) {
  try {
    throw e;
  } catch (...) {
    return VqcafCatchCurrentException("CVQTest::Op", "/some/dir/vqtest.cpp", 42);
  }
}

VQX_RESULT Boundary(int nWhat) {
  try {
    if (nWhat == 0) throw CVQCAFInvalidDataError("bad field");
    if (nWhat == 1) throw std::bad_alloc();
    return VQX_RESULT_OK;
  }
  VQCAF_CATCH_RETURN("CVQTest::Boundary")
}

TEST(Exception, MappingTable) {
  const std::map<std::string, VQCAF_FAILURE> Caught = {
      {"framework", Catch(CVQCAFException("Failed to get message buffer", 0x82000007u))},
      {"base default", Catch(CVQCAFException("base"))},
      {"new", Catch(CVQCAFNewException("new"))},
      {"db access", Catch(CVQCAFDbAccessError("db", 0x8200000Eu))},
      {"not found", Catch(CVQCAFDataNotFoundError("no such key"))},
      {"invalid data", Catch(CVQCAFInvalidDataError("inv"))},
      {"null text", Catch(CVQCAFException(static_cast<const char*>(nullptr), 0x82000009u))},
      {"bad_alloc", Catch(std::bad_alloc())},
      {"length_error", Catch(std::length_error("x"))},
      {"out_of_range", Catch(std::out_of_range("x"))},
      {"runtime_error", Catch(std::runtime_error("x"))},
      {"int", Catch(17)},
      {"outside a catch block", VqcafCatchCurrentException("CVQTest::Op", "vqtest.cpp", 42)}};
  ExpectRows("exception_lines.txt", 3, [&Caught](std::vector<std::string>& a) {
    const VQCAF_FAILURE& F = Caught.at(a[0]);
    const std::string strLine = F.strLine.c_str();
    a[1] = strLine.back() == '\n' ? strLine.substr(0, strLine.size() - 1) : strLine + " (no newline)";
    a[2] = Hex(F.un32Result);
  });
  // Still a standard logic error; null texts and paths print as empty; a Windows-style path is cut too.
  EXPECT_STREQ(static_cast<const std::logic_error&>(CVQCAFDataNotFoundError("nf")).what(), "nf");
  EXPECT_STREQ(VqcafFormatFailureLine(nullptr, nullptr, 1u, nullptr, 0).c_str(), ":  (1) :0\n");
  EXPECT_STREQ(VqcafFormatFailureLine("Op", "t", 0x82000001u, "c:\\src\\x.cpp", 7).c_str(),
               "Op: t (82000001) x.cpp:7\n");
}

TEST(Exception, BoundaryAndReportLogOnceAndReturnTheCode) {
  CDiagCapture Capture;
  EXPECT_EQ(Boundary(0), 0x8200000Au);
  EXPECT_EQ(Boundary(1), 0x82000012u);
  EXPECT_EQ(Boundary(2), VQX_RESULT_OK);
  EXPECT_EQ(VQCAF_REPORT_FAILURE("CVQCAFPool64::CVQCAFPool64", "Failed to create Pool", 0x82000012u), 0x82000012u);
  for (const CapturedLine& L : Capture.Peek()) EXPECT_EQ(L.un32Level, 0x7FFFFFFEu) << L.strText;
  const std::vector<std::string> aLines = Capture.Texts();
  const char* apszStarts[] = {"CVQTest::Boundary: bad field (8200000A) test_exception.cpp:",
                              "CVQTest::Boundary: std::bad_alloc (82000012) test_exception.cpp:",
                              "CVQCAFPool64::CVQCAFPool64: Failed to create Pool (82000012) test_exception.cpp:"};
  ASSERT_EQ(aLines.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(aLines[i].rfind(apszStarts[i], 0), 0u) << aLines[i];
}

int g_nDestroyed = 0;

struct CBase1 {
  virtual ~CBase1() = default;
};
struct CBase2 {
  virtual ~CBase2() = default;
};
struct CDerived : CBase1, CBase2 {
  ~CDerived() override { ++g_nDestroyed; }
};
struct CCounted {
  ~CCounted() { ++g_nDestroyed; }
  u8 aby[10] = {};
};
struct CThrows {
  CThrows() { throw std::runtime_error("ctor"); }
};

/* VQCAF_DELETE(p) must refuse with the corrupted-buffer text, call no destructor and leave p as it was. */
void ExpectRefused(CCounted* p, const std::string& strCase) {
  CCounted* const pGiven = p;
  const int nDestroyed = g_nDestroyed;
  char acHead[64];
  snprintf(acHead, sizeof(acHead), "********** Corrupted buffer 0x%p ", static_cast<void*>(p));
  try {
    VQCAF_DELETE(p);
    ADD_FAILURE() << strCase << ": accepted";
  } catch (const CVQCAFException& e) {
    const std::string s = e.What();
    EXPECT_EQ(s.rfind(acHead, 0), 0u) << strCase << ": " << s;
    EXPECT_NE(s.find("passed to VQCAF_DELETE (test_exception.cpp:"), std::string::npos) << strCase << ": " << s;
    EXPECT_EQ(e.Result(), VQX_RESULT_INVALID_PARAM) << strCase;
  }
  EXPECT_EQ(p, pGiven) << strCase;
  EXPECT_EQ(g_nDestroyed, nDestroyed) << strCase;
}

TEST(GuardedAllocation, DestroysThroughABaseAndPerElement) {
  const u32 un32Before = VqcafGetGuardedAllocationCount();
  g_nDestroyed = 0;
  CDerived* p = VQCAF_NEW(CDerived);
  CBase2* pBase = p;
  ASSERT_NE(static_cast<void*>(pBase), static_cast<void*>(p));  // a real offset
  VQCAF_DELETE(pBase);
  EXPECT_EQ(pBase, nullptr);
  EXPECT_EQ(g_nDestroyed, 1);
  CCounted* pArray = VQCAF_NEW_ARRAY(CCounted, 4);
  VQCAF_DELETE(pArray);
  EXPECT_EQ(g_nDestroyed, 5);
  EXPECT_THROW(VQCAF_NEW(CThrows), std::runtime_error);  // leaves nothing behind
  EXPECT_EQ(VqcafGetGuardedAllocationCount(), un32Before);
}

TEST(GuardedAllocation, ForeignFreedAndDamagedBlocksAreRefusedWithoutCallingAnything) {
  CDiagCapture Capture;
  const u32 un32Before = VqcafGetGuardedAllocationCount();
  CCounted Local;
  CCounted* pHeap = new CCounted;
  CCounted* pFreed = VQCAF_NEW(CCounted);
  CCounted* pCopy = pFreed;
  VQCAF_DELETE(pCopy);
  ExpectRefused(&Local, "stack object");
  ExpectRefused(pHeap, "plain new");
  ExpectRefused(pFreed, "second delete");
  delete pHeap;
  // A byte in front of the object (nearest first, down to the block's first) or the trailing guard word.
  for (int nOffset : {-1, -4, -8, -9, -16, static_cast<int>(sizeof(CCounted))}) {
    const std::string strCase = "damaged byte at " + std::to_string(nOffset);
    CCounted* p = VQCAF_NEW(CCounted);
    reinterpret_cast<u8*>(p)[nOffset] ^= 0x5A;
    ExpectRefused(p, strCase);
    EXPECT_EQ(VqcafReportGuardedLeaks(), un32Before + 1) << strCase;  // still live, reported
    reinterpret_cast<u8*>(p)[nOffset] ^= 0x5A;                        // repair, then free
    VQCAF_DELETE(p);
    EXPECT_EQ(VqcafGetGuardedAllocationCount(), un32Before) << strCase;
  }
}

}  // namespace
