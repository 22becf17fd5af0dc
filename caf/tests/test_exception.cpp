// Exception family and the one boundary mapping: result codes, texts and
// the failure line "%s: %s (%X) %s:%d\n".
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "support/vqcaf_diag_capture.h"
#include "vqcafexception.h"

using namespace VQCAF;

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

}  // namespace

TEST(Exception, MappingTable) {
  struct Row {
    const char* pszName;
    VQCAF_FAILURE Failure;
    VQX_RESULT un32Code;
    const char* pszLine;
  } aRows[] = {
      {"framework", Catch(CVQCAFException("Failed to get message buffer", 0x82000007u)), 0x82000007u,
       "CVQTest::Op: Failed to get message buffer (82000007) vqtest.cpp:42\n"},
      {"bad_alloc", Catch(std::bad_alloc()), 0x82000012u, "CVQTest::Op: std::bad_alloc (82000012) vqtest.cpp:42\n"},
      {"length_error", Catch(std::length_error("x")), 0x8200000Au,
       "CVQTest::Op: std::length_error (8200000A) vqtest.cpp:42\n"},
      {"out_of_range", Catch(std::out_of_range("x")), 0x82000006u,
       "CVQTest::Op: std::out_of_range (82000006) vqtest.cpp:42\n"},
      {"runtime_error", Catch(std::runtime_error("x")), 0x82000002u,
       "CVQTest::Op: (Un-handled exception) (82000002) vqtest.cpp:42\n"},
      {"logic_error", Catch(std::logic_error("x")), 0x82000002u,
       "CVQTest::Op: (Un-handled exception) (82000002) vqtest.cpp:42\n"},
      {"int", Catch(17), 0x82000002u, "CVQTest::Op: (Un-handled exception) (82000002) vqtest.cpp:42\n"},
      {"not found", Catch(CVQCAFDataNotFoundError("no such key")), 0x82000015u,
       "CVQTest::Op: no such key (82000015) vqtest.cpp:42\n"},
  };
  for (const Row& r : aRows) {
    EXPECT_EQ(r.Failure.un32Result, r.un32Code) << r.pszName;
    EXPECT_STREQ(r.Failure.strLine.c_str(), r.pszLine) << r.pszName;
  }
}

TEST(Exception, SubclassesKeepTextCodeAndType) {
  struct Row {
    const CVQCAFException& e;
    VQX_RESULT un32Code;
    const char* pszType;
  };
  CVQCAFException Base("base");
  CVQCAFNewException New("new");
  CVQCAFDbAccessError Db("db", 0x8200000Eu);
  CVQCAFDataNotFoundError NotFound("nf");
  CVQCAFInvalidDataError Invalid("inv");
  Row aRows[] = {{Base, 0x82000001u, "CVQCAFException"},
                 {New, 0x82000012u, "CVQCAFNewException"},
                 {Db, 0x8200000Eu, "CVQCAFDbAccessError"},
                 {NotFound, 0x82000015u, "CVQCAFDataNotFoundError"},
                 {Invalid, 0x8200000Au, "CVQCAFInvalidDataError"}};
  for (const Row& r : aRows) {
    EXPECT_EQ(r.e.Result(), r.un32Code) << r.pszType;
    EXPECT_STREQ(r.e.Type(), r.pszType);
    EXPECT_STREQ(r.e.What(), r.e.what());
    const std::logic_error& Logic = r.e;  // still a standard logic error
    EXPECT_STREQ(Logic.what(), r.e.What());
  }
  CVQCAFException NullText(static_cast<const char*>(nullptr), 0x82000009u);
  EXPECT_STREQ(NullText.What(), "");
}

TEST(Exception, BoundaryLogsOnceAndReturnsCode) {
  CDiagCapture Capture;
  EXPECT_EQ(Boundary(0), 0x8200000Au);
  EXPECT_EQ(Boundary(1), 0x82000012u);
  EXPECT_EQ(Boundary(2), VQX_RESULT_OK);
  std::vector<std::string> Lines = Capture.Lines();
  ASSERT_EQ(Lines.size(), 2u);
  EXPECT_EQ(Lines[0].rfind("CVQTest::Boundary: bad field (8200000A) test_exception.cpp:", 0), 0u) << Lines[0];
  EXPECT_EQ(Lines[1].rfind("CVQTest::Boundary: std::bad_alloc (82000012) test_exception.cpp:", 0), 0u) << Lines[1];
  for (u32 un32Level : Capture.Levels()) EXPECT_EQ(un32Level, 0x7FFFFFFEu);
}

TEST(Exception, FailureLineWithoutException) {
  CDiagCapture Capture;
  EXPECT_EQ(VQCAF_REPORT_FAILURE("CVQCAFPool64::CVQCAFPool64", "Failed to create Pool", 0x82000012u), 0x82000012u);
  ASSERT_EQ(Capture.Lines().size(), 1u);
  EXPECT_EQ(Capture.Lines()[0].rfind("CVQCAFPool64::CVQCAFPool64: Failed to create Pool (82000012) test_exception.cpp:", 0),
            0u);
  // Null texts and paths print as empty; a Windows-style path is cut too.
  EXPECT_STREQ(VqcafFormatFailureLine(nullptr, nullptr, 1u, nullptr, 0).c_str(), ":  (1) :0\n");
  EXPECT_STREQ(VqcafFormatFailureLine("Op", "t", 0x82000001u, "c:\\src\\x.cpp", 7).c_str(), "Op: t (82000001) x.cpp:7\n");
}

TEST(Exception, OutsideCatchBlockIsUnhandled) {
  VQCAF_FAILURE f = VqcafCatchCurrentException("Op", "f.cpp", 1);
  EXPECT_EQ(f.un32Result, 0x82000002u);
  EXPECT_STREQ(f.strLine.c_str(), "Op: (Un-handled exception) (82000002) f.cpp:1\n");
}
