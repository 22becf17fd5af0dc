// VQCAF_NEW / VQCAF_DELETE: guard words, destruction through a base pointer,
// double and foreign deletions refused without touching freed memory, leak
// report.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "support/vqcaf_diag_capture.h"
#include "vqcafdebuginfo.h"
#include "vqcafexception.h"

using namespace VQCAF;

namespace {

int g_nDestroyed = 0;

struct CBase1 {
  virtual ~CBase1() = default;
  int n1 = 1;
};
struct CBase2 {
  virtual ~CBase2() = default;
  int n2 = 2;
};
struct CDerived : CBase1, CBase2 {
  explicit CDerived(int n) : n3(n) {}
  ~CDerived() override { ++g_nDestroyed; }
  int n3;
};
struct CCounted {
  ~CCounted() { ++g_nDestroyed; }
  u8 aby[10] = {};
};
struct CThrows {
  CThrows() { throw std::runtime_error("ctor"); }
};

bool StartsWith(const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; }

}  // namespace

TEST(DebugInfo, CarriesFileAndLine) {
  CVQCAFDebugInfo d = VQCAF_DEBUG_INFO;
  EXPECT_NE(std::string(d.GetFile()).find("test_debuginfo.cpp"), std::string::npos);
  EXPECT_GT(d.GetLine(), 0);
  CVQCAFDebugInfo n(nullptr, 3);
  EXPECT_STREQ(n.GetFile(), "");
}

TEST(GuardedAllocation, DeleteThroughSecondBaseRunsDerivedDestructor) {
  u32 un32Before = VqcafGetGuardedAllocationCount();
  g_nDestroyed = 0;
  CDerived* p = VQCAF_NEW(CDerived, 5);
  EXPECT_EQ(p->n3, 5);
  EXPECT_EQ(VqcafGetGuardedAllocationCount(), un32Before + 1);
  CBase2* pBase = p;
  EXPECT_NE(static_cast<void*>(pBase), static_cast<void*>(p));  // a real offset
  VQCAF_DELETE(pBase);
  EXPECT_EQ(pBase, nullptr);
  EXPECT_EQ(g_nDestroyed, 1);
  EXPECT_EQ(VqcafGetGuardedAllocationCount(), un32Before);
}

TEST(GuardedAllocation, ArrayDestroysEachElement) {
  g_nDestroyed = 0;
  CCounted* p = VQCAF_NEW_ARRAY(CCounted, 4);
  VQCAF_DELETE(p);
  EXPECT_EQ(g_nDestroyed, 4);
  CCounted* pNull = nullptr;
  VQCAF_DELETE(pNull);  // nothing
  VqxDeletePrivate<CCounted>(nullptr, __FILE__, __LINE__);
  EXPECT_EQ(g_nDestroyed, 4);
}

TEST(GuardedAllocation, DoubleDeleteIsRefused) {
  g_nDestroyed = 0;
  CCounted* p = VQCAF_NEW(CCounted);
  CCounted* pCopy = p;
  VQCAF_DELETE(p);
  try {
    VQCAF_DELETE(pCopy);
    FAIL() << "second delete accepted";
  } catch (const CVQCAFException& e) {
    EXPECT_TRUE(StartsWith(e.What(), "********** Corrupted buffer 0x")) << e.What();
    EXPECT_NE(std::string(e.What()).find("passed to VQCAF_DELETE (test_debuginfo.cpp:"), std::string::npos);
  }
  EXPECT_NE(pCopy, nullptr);  // left as it was
  EXPECT_EQ(g_nDestroyed, 1);
}

TEST(GuardedAllocation, ForeignPointerIsRefused) {
  CCounted Local;
  CCounted* p = &Local;
  EXPECT_THROW(VQCAF_DELETE(p), CVQCAFException);
  CCounted* pHeap = new CCounted;
  CCounted* pKeep = pHeap;
  EXPECT_THROW(VQCAF_DELETE(pHeap), CVQCAFException);
  delete pKeep;
}

TEST(GuardedAllocation, DamagedGuardIsRefusedAndReported) {
  CDiagCapture Capture;
  u32 un32Before = VqcafGetGuardedAllocationCount();
  CCounted* p = VQCAF_NEW(CCounted);
  // One byte past the object: the trailing guard word.
  reinterpret_cast<u8*>(p)[sizeof(CCounted)] ^= 0xFF;
  CCounted* pCopy = p;
  try {
    VQCAF_DELETE(p);
    FAIL() << "damaged block accepted";
  } catch (const CVQCAFException& e) {
    std::string s = e.What();
    char ac[64];
    snprintf(ac, sizeof(ac), "0x%p", static_cast<void*>(pCopy));
    EXPECT_NE(s.find(std::string("Corrupted buffer ") + ac), std::string::npos) << s;
  }
  // Still listed as live: the leak report names it with its source line.
  EXPECT_EQ(VqcafGetGuardedAllocationCount(), un32Before + 1);
  EXPECT_EQ(VqcafReportGuardedLeaks(), un32Before + 1);
  bool fFound = false;
  for (const std::string& s : Capture.Lines()) fFound |= s.find("test_debuginfo.cpp") != std::string::npos;
  EXPECT_TRUE(fFound);
  reinterpret_cast<u8*>(pCopy)[sizeof(CCounted)] ^= 0xFF;  // repair, then free
  VQCAF_DELETE(pCopy);
  EXPECT_EQ(VqcafGetGuardedAllocationCount(), un32Before);
}

TEST(GuardedAllocation, UnderrunOfTheObjectIsRefusedWithoutCallingAnything) {
  // Bytes in front of the object, from the nearest to the first of the block:
  // each must be caught, and no destructor may run on a damaged block.
  for (int nOffset : {1, 4, 8, 9, 16}) {
    g_nDestroyed = 0;
    u32 un32Before = VqcafGetGuardedAllocationCount();
    CCounted* p = VQCAF_NEW(CCounted);
    u8* pbyByte = reinterpret_cast<u8*>(p) - nOffset;
    *pbyByte ^= 0x5A;
    CCounted* pCopy = p;
    EXPECT_THROW(VQCAF_DELETE(p), CVQCAFException) << "offset -" << nOffset;
    EXPECT_EQ(p, pCopy) << "offset -" << nOffset;  // left as it was
    EXPECT_EQ(g_nDestroyed, 0) << "offset -" << nOffset;
    EXPECT_EQ(VqcafGetGuardedAllocationCount(), un32Before + 1) << "offset -" << nOffset;
    *pbyByte ^= 0x5A;  // repair, then free
    VQCAF_DELETE(pCopy);
    EXPECT_EQ(g_nDestroyed, 1) << "offset -" << nOffset;
    EXPECT_EQ(VqcafGetGuardedAllocationCount(), un32Before) << "offset -" << nOffset;
  }
}

TEST(GuardedAllocation, ThrowingConstructorLeavesNothing) {
  u32 un32Before = VqcafGetGuardedAllocationCount();
  EXPECT_THROW(VQCAF_NEW(CThrows), std::runtime_error);
  EXPECT_EQ(VqcafGetGuardedAllocationCount(), un32Before);
}

TEST(GuardedAllocation, LeakReportListsLiveBlocks) {
  CDiagCapture Capture;
  EXPECT_EQ(VqcafReportGuardedLeaks(), 0u);
  EXPECT_TRUE(Capture.Lines().empty());
  CCounted* p = VQCAF_NEW(CCounted);
  EXPECT_EQ(VqcafReportGuardedLeaks(), 1u);
  std::vector<std::string> Lines = Capture.Lines();
  ASSERT_EQ(Lines.size(), 2u);
  EXPECT_TRUE(StartsWith(Lines[0], "VQCAF_NEW leak: 0x")) << Lines[0];
  EXPECT_NE(Lines[0].find(", 10 bytes, 1 element(s), allocated at test_debuginfo.cpp:"), std::string::npos) << Lines[0];
  EXPECT_EQ(Lines[1], "VQCAF_NEW leak report: 1 allocation(s) still live\n");
  VQCAF_DELETE(p);
}
