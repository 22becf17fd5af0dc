// CVQCAFFile: writes reach the file, sizes, modes, refusals, every mapped
// write error.
#include "support/vqcaf_test_support.h"

namespace {

VQX_RESULT Put(CVQCAFFile& File, const char* pszText) { CVQCAFString str(pszText); return File.Write(str); }

TEST(File, WriteSizeCloseAndAppend) {
  CTempDir Dir;
  const std::string strPath = Dir.Path("basic.log");
  CVQCAFFile File;
  u8 aby[] = {0, 1, 2, 0xFF};
  u32 un32Length = sizeof(aby);
  ExpectSteps({{"open", File.Open(strPath.c_str(), "wb"), VQX_RESULT_OK},
               {"path", File.GetCurrentPath() == strPath.c_str(), true},
               {"write text", Put(File, "line one\n"), VQX_RESULT_OK},
               {"write bytes", File.Write(aby, &un32Length), VQX_RESULT_OK},
               {"written", un32Length, 4}, {"flush", File.Flush(), VQX_RESULT_OK}, {"size", File.GetSize(), 13},
               {"close", File.Close(), VQX_RESULT_OK}, {"close a closed file", File.Close(), VQX_RESULT_OK},
               {"opened", File.IsOpened(), 0}, {"size when closed", File.GetSize(), 0}});
  EXPECT_EQ(ReadFile(strPath), std::string("line one\n\0\1\2\xFF", 13));
  // Append mode keeps what is there; reopening closes the previous stream.
  ExpectSteps({{"append", File.Open(strPath.c_str(), "a"), VQX_RESULT_OK},
               {"reopen", File.Open(strPath.c_str(), "a"), VQX_RESULT_OK},
               {"write", Put(File, "x"), VQX_RESULT_OK}, {"close", File.Close(), VQX_RESULT_OK},
               {"size", ReadFile(strPath).size(), 14}});
}

TEST(File, RefusalsLeaveTheFileAlone) {
  CTempDir Dir;
  const std::string strPath = Dir.Path("ro.log"), strHuge(VQCAF_STRING_MAX_LENGTH + 1u, 'p');  // past the string limit
  std::ofstream(strPath) << "abc";
  CVQCAFFile Closed, ReadOnly;
  ASSERT_EQ(ReadOnly.Open(strPath.c_str(), "r"), VQX_RESULT_OK);
  u8 aby[4] = {};
  u32 un32Four = 4, un32Zero = 0;
  ExpectSteps({{"null data", Closed.Write(nullptr, &un32Four), VQX_RESULT_NULL_PARAM},
               {"null length", Closed.Write(aby, nullptr), VQX_RESULT_NULL_PARAM},
               {"zero length", ReadOnly.Write(aby, &un32Zero), VQX_RESULT_INVALID_PARAM},
               {"empty string", Put(ReadOnly, ""), VQX_RESULT_INVALID_PARAM},
               {"not opened", Closed.Write(aby, &un32Four), VQX_RESULT_INVALID_STATE},
               {"read-only", ReadOnly.Write(aby, &un32Four), VQX_RESULT_INVALID_STATE},
               {"null path", Closed.Open(nullptr, "w"), VQX_RESULT_NULL_PARAM},
               {"null mode", Closed.Open("x", nullptr), VQX_RESULT_NULL_PARAM},
               {"missing directory", Closed.Open("/nonexistent-dir/x/y.log", "w"), VQX_RESULT_FAIL},
               {"over-long path", Closed.Open(strHuge.c_str(), "w"), VQX_RESULT_INVALID_PARAM},
               {"flush when closed", Closed.Flush(), VQX_RESULT_OK}, {"still closed", Closed.IsOpened(), 0}});
  EXPECT_EQ(ReadFile(strPath), "abc");
}

TEST(File, WriteErrorsAreMappedAndTheStreamStaysUsable) {
  CTempDir Dir;
  const int fdSealed = memfd_create("vqcaf_sealed", MFD_ALLOW_SEALING);  // sealed: every write fails with EPERM
  ASSERT_EQ(fcntl(fdSealed, F_ADD_SEALS, F_SEAL_WRITE), 0);
  // Size limit 0: none; the size afterwards is 0 for what is no regular file.
  struct Row { const char* pszName; std::string strPath; const char* pszMode; rlim_t nSizeLimit; VQX_RESULT un32Expected;
               u32 un32MaxWritten; u64 un64Size; };
  std::vector<u8> Big(1 << 17, 'x');  // more than the stream buffers
  struct rlimit Old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &Old), 0);
  ASSERT_NE(signal(SIGXFSZ, SIG_IGN), SIG_ERR);
  for (const Row& r : {Row{"no space", "/dev/full", "w", 0, VQX_RESULT_OUT_OF_RESOURCE, (1 << 17) - 1, 0},
                       Row{"sealed", "/proc/self/fd/" + std::to_string(fdSealed), "a", 0, VQX_RESULT_ACCESS_DENIED, 0, 0},
                       Row{"file size limit", Dir.Path("big.log"), "wb", 1024, VQX_RESULT_OUT_OF_RANGE, (1 << 17) - 1, 1024}}) {
    CVQCAFFile File;
    ASSERT_EQ(File.Open(r.strPath.c_str(), r.pszMode), VQX_RESULT_OK) << r.pszName;
    struct rlimit Limit = Old;
    if (r.nSizeLimit != 0) Limit.rlim_cur = r.nSizeLimit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &Limit), 0);
    u32 un32Length = static_cast<u32>(Big.size()), un32Again = un32Length;
    EXPECT_EQ(File.Write(Big.data(), &un32Length), r.un32Expected) << r.pszName;
    EXPECT_EQ(File.Write(Big.data(), &un32Again), r.un32Expected) << r.pszName;  // the same answer again: no stale state
    setrlimit(RLIMIT_FSIZE, &Old);
    EXPECT_LE(un32Length, r.un32MaxWritten) << r.pszName;
    EXPECT_EQ(File.GetSize(), r.un64Size) << r.pszName;
  }
  signal(SIGXFSZ, SIG_DFL);
  close(fdSealed);
}

}  // namespace
