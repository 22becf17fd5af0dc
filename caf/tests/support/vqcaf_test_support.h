/*
 * vqcaf_test_support.h - what the framework tests share: the headers they
 * use, bounded waits on an event (a condition, a thread asleep in the
 * kernel), scenario steps checked in order, a temporary directory, a file
 * size limit, file reading, and captures of the foundation's diagnostics
 * and of the log listeners.
 */
#ifndef VQCAF_TEST_SUPPORT_H
#define VQCAF_TEST_SUPPORT_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "vqcafbuffer.h"
#include "vqcafdatetime.h"
#include "vqcafexception.h"
#include "vqcaffile.h"
#include "vqcaflog.h"
#include "vqcaflogdao.h"
#include "vqcaflogtrace.h"
#include "vqcafpool.h"
#include "vqcafptr.h"
#include "vqcafvariant.h"

// The tests speak the framework's names directly.
using namespace VQCAF;

namespace vqtest {

constexpr auto kBound = std::chrono::seconds(10);

/* Polls pred every millisecond; false when it still fails after kBound. */
template <typename Pred>
bool WaitFor(Pred pred) {
  const auto End = std::chrono::steady_clock::now() + kBound;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > End) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline std::string ReadFile(const std::string& strPath) {
  std::ifstream File(strPath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(File), {});
}

/* True while thread nTid sleeps in the kernel (on a lock, a queue, a condition). */
inline bool IsBlocked(pid_t nTid) {
  const std::string s = ReadFile("/proc/self/task/" + std::to_string(nTid) + "/stat");
  const size_t n = s.rfind(')');  // the state follows the command name
  return n != std::string::npos && n + 2 < s.size() && s[n + 2] == 'S';
}

/* Waits until the thread that stores its id in nTid has done so and sleeps. */
inline bool WaitBlocked(const std::atomic<pid_t>& nTid) {
  return WaitFor([&nTid] { return nTid.load() != 0 && IsBlocked(nTid.load()); });
}

/* One step of a scenario: its name, what the call answered, what it must answer. The
 * steps of one list run in the order written (a braced list is evaluated left to right). */
struct Step {
  template <typename G, typename E>
  Step(const char* psz, const G& Got, const E& Expected)
      : pszName(psz), un64Got(static_cast<u64>(Got)), un64Expected(static_cast<u64>(Expected)) {}
  const char* pszName;
  u64 un64Got;
  u64 un64Expected;
};

inline void ExpectSteps(std::initializer_list<Step> aSteps) {
  for (const Step& s : aSteps) {
    EXPECT_EQ(s.un64Got, s.un64Expected) << std::hex << s.pszName << " answered 0x" << s.un64Got;
  }
}

/* The result of the framework exception f() throws; 0 when it throws none. */
template <typename F>
u64 ThrownResult(F f) {
  try {
    f();
  } catch (const CVQCAFException& e) {
    return e.Result();
  }
  return 0;
}

/* A thread that keeps its kernel id in nTid, then runs f. */
template <typename F>
std::thread TrackedThread(std::atomic<pid_t>& nTid, F f) {
  return std::thread([&nTid, f] {
    nTid = gettid();
    f();
  });
}

/* Runs f on another thread and waits for it. A call still running after kBound (a deadlock) can be
 * neither awaited nor abandoned, as it uses the test's objects: the test fails and the program ends. */
template <typename F>
void EndsInTime(F f) {
  std::packaged_task<void()> Task(f);
  std::future<void> Done = Task.get_future();
  std::thread Runner(std::move(Task));
  if (Done.wait_for(kBound) != std::future_status::ready) {
    ADD_FAILURE() << "the call did not return within " << kBound.count() << " s; ending the test program";
    fflush(stdout);
    std::abort();
  }
  Runner.join();
  Done.get();
}

/* A new empty directory under the test temporary directory, removed at the end. */
class CTempDir {
 public:
  CTempDir() : mstrPath(::testing::TempDir() + "vqcaf_XXXXXX") { EXPECT_NE(mkdtemp(mstrPath.data()), nullptr); }
  ~CTempDir() { std::filesystem::remove_all(mstrPath, mError); }
  std::string Path(const char* pszName) const { return mstrPath + "/" + pszName; }

 private:
  std::string mstrPath;
  std::error_code mError;
};

/* A file size limit standing in for a full disk while it lives (RLIM_INFINITY: none): writes
 * past it fail with EFBIG instead of raising SIGXFSZ. */
class CFileSizeLimit {
 public:
  explicit CFileSizeLimit(rlim_t nBytes) {
    EXPECT_EQ(getrlimit(RLIMIT_FSIZE, &mOld), 0);
    EXPECT_NE(signal(SIGXFSZ, SIG_IGN), SIG_ERR);
    struct rlimit Limit = mOld;
    Limit.rlim_cur = std::min(nBytes, mOld.rlim_max);
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &Limit), 0);
  }
  ~CFileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &mOld);
    signal(SIGXFSZ, SIG_DFL);
  }

 private:
  struct rlimit mOld {};
};

/* The lines of a text, or of a log file each without its "YYYY-MM-DD HH:MM:SS.mmm " stamp. */
inline std::vector<std::string> SplitLines(const std::string& strText) {
  std::vector<std::string> aLines;
  std::istringstream Stream(strText);
  for (std::string strLine; std::getline(Stream, strLine);) aLines.push_back(strLine);
  return aLines;
}

inline std::vector<std::string> LogLines(const std::string& strPath) {
  std::vector<std::string> aLines = SplitLines(ReadFile(strPath));
  for (std::string& s : aLines) s = s.size() > 24 ? s.substr(24) : std::string();
  return aLines;
}

/* A checked-in file of tests/data. */
inline std::string DataFile(const std::string& strName) {
  return ReadFile(std::string(getenv("VQX_TEST_DATA")) + "/" + strName);
}

inline std::string Hex(u32 un32) {
  char sz[9];
  snprintf(sz, sizeof(sz), "%08X", un32);
  return sz;
}

/* Table rows kept as data: each line of tests/data/strName that is no '#' comment is split at
 * '|' into nColumns fields and handed to Fill, which writes what the code gives into them; the
 * rows joined again must equal the file, so that a failure shows the differing rows whole. */
template <typename F>
void ExpectRows(const std::string& strName, size_t nColumns, F Fill) {
  const std::string strRows = DataFile(strName);
  std::string strGot;
  for (const std::string& strLine : SplitLines(strRows)) {
    if (strLine.empty() || strLine[0] == '#') {
      strGot += strLine + "\n";
      continue;
    }
    std::vector<std::string> a;
    std::istringstream In(strLine);
    for (std::string s; std::getline(In, s, '|');) a.push_back(s);
    a.resize(nColumns);
    Fill(a);
    for (size_t i = 0; i < a.size(); i++) strGot += (i == 0 ? "" : "|") + a[i];
    strGot += "\n";
  }
  EXPECT_EQ(strGot, strRows) << strName;
}

/* Today's date as the log segment names carry it. */
inline std::string Today() {
  char acDate[VQCAF_DATETIME_DATE_SIZE] = {};
  char acTime[VQCAF_DATETIME_TIME_SIZE];
  CVQCAFDateTime::GetStringDateTime(acDate, acTime, 1);
  return acDate;
}

struct CapturedLine {
  u32 un32Level;
  u32 un32SubMod;
  std::string strText;
};

/* A log listener that keeps what it receives. */
class CCaptureListener : public IVQCAFLogTraceListener {
 public:
  void OnLogTrace(_VQX_TRACE_LEVEL Level, _VQCAF_SUBMODULE_TYPE SubMod, const char* pszText, u32 un32Length) override {
    std::lock_guard<std::mutex> Lock(mMutex);
    maLines.push_back({static_cast<u32>(Level), static_cast<u32>(SubMod), std::string(pszText, un32Length)});
  }
  /* What arrived since the last Take (Take empties the capture, Peek does not). */
  std::vector<CapturedLine> Take() {
    std::lock_guard<std::mutex> Lock(mMutex);
    return std::exchange(maLines, {});
  }
  std::vector<CapturedLine> Peek() {
    std::lock_guard<std::mutex> Lock(mMutex);
    return maLines;
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> a;
    for (const CapturedLine& L : Take()) a.push_back(L.strText);
    return a;
  }

 private:
  std::mutex mMutex;
  std::vector<CapturedLine> maLines;
};

/* Collects the lines (and their levels) the foundation prints while it lives. */
class CDiagCapture : public CCaptureListener {
 public:
  CDiagCapture() { VqcafSetDiagPrinter(&CDiagCapture::Print, this); }
  ~CDiagCapture() override { VqcafSetDiagPrinter(nullptr, nullptr); }

 private:
  static void Print(void* pv, u32 un32Level, const char* pszLine) {
    static_cast<CDiagCapture*>(pv)->OnLogTrace(static_cast<_VQX_TRACE_LEVEL>(un32Level), VQCAF_SUBMODULE_BASE, pszLine,
                                               strlen(pszLine));
  }
};

/* A fresh log in its own directory with a capturing listener; closed at the end. */
class LogTest : public ::testing::Test {
 protected:
  void OpenLog(const char* pszName = "log") {
    mParams.mstrBaseName = mDir.Path(pszName).c_str();
    ASSERT_EQ(InitLog(mParams), VQX_RESULT_OK);
    ASSERT_EQ(AddLogTraceListener(&mListener), VQX_RESULT_OK);
  }
  void TearDown() override {
    RemoveLogTraceListener(&mListener);
    UninitLog();
  }
  /* The file's lines without time stamps, every queued line written first. */
  std::vector<std::string> FileLines() {
    EXPECT_EQ(FlushLog(5000), VQX_RESULT_OK);
    return LogLines(GetCurrentLogFile());
  }
  CTempDir mDir;
  CVQCAFLogParams mParams;
  CCaptureListener mListener;
};

}  // namespace vqtest

using namespace vqtest;

#endif
