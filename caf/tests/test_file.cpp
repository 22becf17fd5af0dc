// CVQCAFFile: writes reach the file, sizes, modes, every mapped write error,
// and standard output surviving Close for later writers.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "vqcaffile.h"

using namespace VQCAF;

namespace {

std::string TempPath(const char* pszName) {
  return std::string("/tmp/vqcaf_file_") + std::to_string(getpid()) + "_" + pszName;
}

std::string Slurp(const std::string& strPath) {
  std::string s;
  FILE* f = fopen(strPath.c_str(), "rb");
  if (f == nullptr) return "<missing>";
  char ac[4096];
  size_t n;
  while ((n = fread(ac, 1, sizeof(ac), f)) > 0) s.append(ac, n);
  fclose(f);
  return s;
}

}  // namespace

TEST(File, WriteSizeCloseAndPath) {
  std::string strPath = TempPath("basic.log");
  CVQCAFFile File;
  EXPECT_EQ(File.IsOpened(), 0u);
  EXPECT_EQ(File.GetSize(), 0u);
  ASSERT_EQ(File.Open(strPath.c_str(), "wb"), VQX_RESULT_OK);
  EXPECT_NE(File.IsOpened(), 0u);
  EXPECT_STREQ(File.GetCurrentPath().c_str(), strPath.c_str());
  CVQCAFString strLine("line one\n");
  EXPECT_EQ(File.Write(strLine), VQX_RESULT_OK);
  u8 aby[] = {0, 1, 2, 0xFF};
  u32 un32Length = sizeof(aby);
  EXPECT_EQ(File.Write(aby, &un32Length), VQX_RESULT_OK);
  EXPECT_EQ(un32Length, 4u);
  EXPECT_EQ(File.Flush(), VQX_RESULT_OK);
  EXPECT_EQ(File.GetSize(), 13u);
  EXPECT_EQ(File.Close(), VQX_RESULT_OK);
  EXPECT_EQ(File.Close(), VQX_RESULT_OK);  // closing a closed file: nothing
  EXPECT_EQ(File.IsOpened(), 0u);
  EXPECT_EQ(File.GetSize(), 0u);
  EXPECT_EQ(Slurp(strPath), std::string("line one\n\0\1\2\xFF", 13));
  // Append mode keeps what is there; reopening closes the previous stream.
  ASSERT_EQ(File.Open(strPath.c_str(), "a"), VQX_RESULT_OK);
  ASSERT_EQ(File.Open(strPath.c_str(), "a"), VQX_RESULT_OK);
  CVQCAFString strMore("x");
  EXPECT_EQ(File.Write(strMore), VQX_RESULT_OK);
  File.Close();
  EXPECT_EQ(Slurp(strPath).size(), 14u);
  unlink(strPath.c_str());
}

TEST(File, RefusalsTable) {
  std::string strPath = TempPath("ro.log");
  FILE* f = fopen(strPath.c_str(), "w");
  fputs("abc", f);
  fclose(f);
  CVQCAFFile Closed;
  CVQCAFFile ReadOnly;
  ASSERT_EQ(ReadOnly.Open(strPath.c_str(), "r"), VQX_RESULT_OK);
  u8 aby[4] = {};
  struct Row {
    const char* pszName;
    CVQCAFFile* pFile;
    u8* pbyData;
    u32 un32Length;
    bool fPassLength;
    VQX_RESULT un32Expected;
  } aRows[] = {
      {"null data", &Closed, nullptr, 4, true, VQX_RESULT_NULL_PARAM},
      {"null length", &Closed, aby, 4, false, VQX_RESULT_NULL_PARAM},
      {"zero length", &ReadOnly, aby, 0, true, VQX_RESULT_INVALID_PARAM},
      {"not opened", &Closed, aby, 4, true, VQX_RESULT_INVALID_STATE},
      {"read-only", &ReadOnly, aby, 4, true, VQX_RESULT_INVALID_STATE},
  };
  for (const Row& r : aRows) {
    u32 un32Length = r.un32Length;
    EXPECT_EQ(r.pFile->Write(r.pbyData, r.fPassLength ? &un32Length : nullptr), r.un32Expected) << r.pszName;
  }
  CVQCAFString strEmpty;
  EXPECT_EQ(ReadOnly.Write(strEmpty), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(Closed.Open(nullptr, "w"), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(Closed.Open("x", nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(Closed.Open("/nonexistent-dir/x/y.log", "w"), VQX_RESULT_FAIL);
  // A path the framework string cannot hold: the length failure's code.
  std::string strHuge(VQCAF_STRING_MAX_LENGTH + 1u, 'p');
  EXPECT_EQ(Closed.Open(strHuge.c_str(), "w"), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(Closed.IsOpened(), 0u);
  EXPECT_EQ(Closed.Flush(), VQX_RESULT_OK);
  EXPECT_EQ(Slurp(strPath), "abc");
  unlink(strPath.c_str());
}

TEST(File, NoSpaceLeftIsMapped) {
  CVQCAFFile File;
  ASSERT_EQ(File.Open("/dev/full", "w"), VQX_RESULT_OK);
  std::vector<u8> Big(1 << 17, 'x');  // more than the stream buffers
  u32 un32Length = static_cast<u32>(Big.size());
  EXPECT_EQ(File.Write(Big.data(), &un32Length), VQX_RESULT_OUT_OF_RESOURCE);
  EXPECT_LT(un32Length, Big.size());
  // The stream stays usable for further attempts (same answer, no stale flag).
  un32Length = static_cast<u32>(Big.size());
  EXPECT_EQ(File.Write(Big.data(), &un32Length), VQX_RESULT_OUT_OF_RESOURCE);
  EXPECT_EQ(File.GetSize(), 0u);  // a device, not a regular file
}

TEST(File, AccessDeniedIsMapped) {
  // A memory file sealed against writing refuses every write with EPERM.
  int fd = memfd_create("vqcaf_sealed", MFD_ALLOW_SEALING);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(fcntl(fd, F_ADD_SEALS, F_SEAL_WRITE), 0);
  std::string strPath = "/proc/self/fd/" + std::to_string(fd);
  CVQCAFFile File;
  ASSERT_EQ(File.Open(strPath.c_str(), "a"), VQX_RESULT_OK);
  std::vector<u8> Big(1 << 17, 'x');  // more than the stream buffers
  u32 un32Length = static_cast<u32>(Big.size());
  EXPECT_EQ(File.Write(Big.data(), &un32Length), VQX_RESULT_ACCESS_DENIED);
  EXPECT_EQ(un32Length, 0u);
  EXPECT_EQ(File.GetSize(), 0u);
  File.Close();
  close(fd);
}

TEST(File, FileTooBigIsMapped) {
  // In a child: the size limit and SIGXFSZ must not touch the test process.
  std::string strPath = TempPath("big.log");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit Limit = {1024, 1024};
    setrlimit(RLIMIT_FSIZE, &Limit);
    CVQCAFFile File;
    if (File.Open(strPath.c_str(), "wb") != VQX_RESULT_OK) _exit(2);
    std::vector<u8> Big(1 << 16, 'y');
    u32 un32Length = static_cast<u32>(Big.size());
    VQX_RESULT un32Result = File.Write(Big.data(), &un32Length);
    _exit(un32Result == VQX_RESULT_OUT_OF_RANGE && un32Length < Big.size() ? 0 : 1);
  }
  int nStatus = 0;
  ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
  EXPECT_TRUE(WIFEXITED(nStatus));
  EXPECT_EQ(WEXITSTATUS(nStatus), 0);
  unlink(strPath.c_str());
}

TEST(File, StandardOutputSurvivesClose) {
  // Route fd 1 to a file for the duration of the test.
  std::string strPath = TempPath("stdout.log");
  fflush(stdout);
  int fdSaved = dup(1);
  int fdFile = open(strPath.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
  ASSERT_GE(fdFile, 0);
  dup2(fdFile, 1);
  close(fdFile);
  {
    CVQCAFFile First;
    ASSERT_EQ(First.Open(":STDOUT:", "w"), VQX_RESULT_OK);
    EXPECT_STREQ(First.GetCurrentPath().c_str(), ":STDOUT:");
    CVQCAFString a("first\n");
    EXPECT_EQ(First.Write(a), VQX_RESULT_OK);
    EXPECT_EQ(First.Close(), VQX_RESULT_OK);
    EXPECT_EQ(First.IsOpened(), 0u);
    CVQCAFFile Second;
    ASSERT_EQ(Second.Open(":STDOUT:group_1", "w"), VQX_RESULT_OK);
    CVQCAFString b("second\n");
    EXPECT_EQ(Second.Write(b), VQX_RESULT_OK);
    EXPECT_EQ(Second.Flush(), VQX_RESULT_OK);
  }  // destructor closes it again
  EXPECT_GE(fputs("third\n", stdout), 0);
  EXPECT_EQ(fflush(stdout), 0);
  dup2(fdSaved, 1);
  close(fdSaved);
  EXPECT_EQ(Slurp(strPath), "first\nsecond\nthird\n");
  unlink(strPath.c_str());
}

TEST(File, ConcurrentWritersKeepLinesWhole) {
  std::string strPath = TempPath("mt.log");
  CVQCAFFile File;
  ASSERT_EQ(File.Open(strPath.c_str(), "w"), VQX_RESULT_OK);
  std::vector<std::thread> Threads;
  for (char c : {'a', 'b', 'c', 'd'}) {
    Threads.emplace_back([&File, c] {
      CVQCAFString strLine;
      strLine.Format("%s\n", std::string(100, c).c_str());
      for (int i = 0; i < 200; ++i) File.Write(strLine);
    });
  }
  for (auto& t : Threads) t.join();
  File.Close();
  std::string s = Slurp(strPath);
  ASSERT_EQ(s.size(), 4u * 200u * 101u);
  for (size_t i = 0; i < s.size(); i += 101) {
    ASSERT_EQ(s.substr(i, 100), std::string(100, s[i])) << i;
    ASSERT_EQ(s[i + 100], '\n');
  }
  unlink(strPath.c_str());
}
