// CVQCAFFile: refusals (read-only, while "r+" writes), every mapped write error with the size after it, and
// standard output surviving Close.
#include "support/vqcaf_test_support.h"

namespace {

VQX_RESULT Put(CVQCAFFile& File, const char* pszText) {
  CVQCAFString str(pszText);
  return File.Write(str);
}

TEST(File, RefusalsLeaveTheFileAlone) {
  CTempDir Dir;
  const std::string strPath = Dir.Path("ro.log");
  const std::string strHuge(VQCAF_STRING_MAX_LENGTH + 1u, 'p');  // past the string limit
  std::ofstream(strPath) << "abc";
  CVQCAFFile Closed, ReadOnly;
  ASSERT_EQ(ReadOnly.Open(strPath.c_str(), "r"), VQX_RESULT_OK);
  u8 aby[4] = {};
  u32 un32Four = 4, un32Zero = 0;
  EXPECT_EQ(Closed.Write(nullptr, &un32Four), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(Closed.Write(aby, nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(ReadOnly.Write(aby, &un32Zero), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(Put(ReadOnly, ""), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(Closed.Write(aby, &un32Four), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(ReadOnly.Write(aby, &un32Four), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(Closed.Open(nullptr, "w"), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(Closed.Open("x", nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(Closed.Open("/nonexistent-dir/x/y.log", "w"), VQX_RESULT_FAIL);
  EXPECT_EQ(Closed.Open(strHuge.c_str(), "w"), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(Closed.IsOpened(), 0u);
  EXPECT_EQ(ReadFile(strPath), "abc");
  CVQCAFFile Update;  // "r+" is no refusal: it writes in place
  ASSERT_EQ(Update.Open(strPath.c_str(), "r+"), VQX_RESULT_OK);
  EXPECT_EQ(Put(Update, "X"), VQX_RESULT_OK);
  EXPECT_EQ(Update.Close(), VQX_RESULT_OK);
  EXPECT_EQ(ReadFile(strPath), "Xbc");
}

TEST(File, WriteErrorsAreMappedAndTheStreamStaysUsable) {
  CTempDir Dir;
  const int fdSealed = memfd_create("vqcaf_sealed", MFD_ALLOW_SEALING);  // sealed: every write fails with EPERM
  ASSERT_EQ(fcntl(fdSealed, F_ADD_SEALS, F_SEAL_WRITE), 0);
  // The size afterwards is 0 for what is no regular file.
  struct Row {
    const char* pszName;
    std::string strPath;
    const char* pszMode;
    rlim_t nSizeLimit;
    VQX_RESULT un32Expected;
    u32 un32MaxWritten;
    u64 un64Size;
  };
  const std::vector<Row> aRows = {
      {"no space", "/dev/full", "w", RLIM_INFINITY, VQX_RESULT_OUT_OF_RESOURCE, (1 << 17) - 1, 0},
      {"sealed", "/proc/self/fd/" + std::to_string(fdSealed), "a", RLIM_INFINITY, VQX_RESULT_ACCESS_DENIED, 0, 0},
      {"file size limit", Dir.Path("big.log"), "wb", 1024, VQX_RESULT_OUT_OF_RANGE, (1 << 17) - 1, 1024}};
  std::vector<u8> Big(1 << 17, 'x');  // more than the stream buffers
  for (const Row& r : aRows) {
    CVQCAFFile File;
    ASSERT_EQ(File.Open(r.strPath.c_str(), r.pszMode), VQX_RESULT_OK) << r.pszName;
    u32 un32Length = static_cast<u32>(Big.size());
    u32 un32Again = un32Length;
    {
      CFileSizeLimit Limit(r.nSizeLimit);
      EXPECT_EQ(File.Write(Big.data(), &un32Length), r.un32Expected) << r.pszName;
      EXPECT_EQ(File.Write(Big.data(), &un32Again), r.un32Expected) << r.pszName;  // the same again: no stale state
    }
    EXPECT_LE(un32Length, r.un32MaxWritten) << r.pszName;
    EXPECT_EQ(File.GetSize(), r.un64Size) << r.pszName;
  }
  close(fdSealed);
}

TEST(File, StandardOutputSurvivesClose) {
  CTempDir Dir;
  const std::string strPath = Dir.Path("stdout.log");
  fflush(stdout);
  const int fdSaved = dup(1);
  const int fdFile = open(strPath.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
  ASSERT_GE(fdFile, 0);
  dup2(fdFile, 1);  // fd 1 goes to the file for the test
  close(fdFile);
  {
    CVQCAFFile First, Second;
    EXPECT_EQ(First.Open(":STDOUT:", "w"), VQX_RESULT_OK);
    EXPECT_EQ(Put(First, "first\n"), VQX_RESULT_OK);
    EXPECT_EQ(First.Close(), VQX_RESULT_OK);  // flushes and detaches: stdout stays open
    EXPECT_EQ(Second.Open(":STDOUT:group_1", "w"), VQX_RESULT_OK);
    EXPECT_EQ(Put(Second, "second\n"), VQX_RESULT_OK);
  }  // the destructors close both again
  EXPECT_GE(fputs("third\n", stdout), 0);
  EXPECT_EQ(fflush(stdout), 0);
  dup2(fdSaved, 1);
  close(fdSaved);
  EXPECT_EQ(ReadFile(strPath), "first\nsecond\nthird\n");
}

}  // namespace
