/*
 * vqcaf_test_support.h - what several framework tests share: bounded waits
 * on an event (a condition, a thread asleep in the kernel), a temporary
 * directory, file reading, and captures of the foundation's diagnostics and
 * of the log listeners.
 */
#ifndef VQCAF_TEST_SUPPORT_H
#define VQCAF_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "vqcafdatetime.h"
#include "vqcafdiag.h"
#include "vqcaflog.h"

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
  std::stringstream Text;
  Text << File.rdbuf();
  return Text.str();
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

/* Runs f on another thread; false when it did not return within kBound. */
template <typename F>
bool ReturnsInTime(F f) {
  return std::async(std::launch::async, f).wait_for(kBound) == std::future_status::ready;
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

/* Today's date as the log segment names carry it. */
inline std::string Today() {
  char acDate[VQCAF::VQCAF_DATETIME_DATE_SIZE] = {}, acTime[VQCAF::VQCAF_DATETIME_TIME_SIZE];
  VQCAF::CVQCAFDateTime::GetStringDateTime(acDate, acTime, 1);
  return acDate;
}

/* Collects the lines (and their levels) the foundation prints while it lives. */
class CDiagCapture {
 public:
  CDiagCapture() { VQCAF::VqcafSetDiagPrinter(&CDiagCapture::Print, this); }
  ~CDiagCapture() { VQCAF::VqcafSetDiagPrinter(nullptr, nullptr); }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> Lock(mMutex);
    return maLines;
  }
  std::vector<u32> Levels() {
    std::lock_guard<std::mutex> Lock(mMutex);
    return maLevels;
  }
  size_t Count(const std::string& strLine) {
    const std::vector<std::string> aLines = Lines();
    return std::count(aLines.begin(), aLines.end(), strLine);
  }

 private:
  static void Print(void* pv, u32 un32Level, const char* pszLine) {
    CDiagCapture* p = static_cast<CDiagCapture*>(pv);
    std::lock_guard<std::mutex> Lock(p->mMutex);
    p->maLines.emplace_back(pszLine);
    p->maLevels.push_back(un32Level);
  }
  std::mutex mMutex;
  std::vector<std::string> maLines;
  std::vector<u32> maLevels;
};

struct CapturedLine {
  u32 un32Level, un32SubMod;
  std::string strText;
};

/* A log listener that keeps what it receives. */
class CCaptureListener : public VQCAF::IVQCAFLogTraceListener {
 public:
  void OnLogTrace(_VQX_TRACE_LEVEL Level, VQCAF::_VQCAF_SUBMODULE_TYPE SubMod, const char* pszText,
                  u32 un32Length) override {
    std::lock_guard<std::mutex> Lock(mMutex);
    maLines.push_back({static_cast<u32>(Level), static_cast<u32>(SubMod), std::string(pszText, un32Length)});
  }
  std::vector<CapturedLine> Take() {
    std::lock_guard<std::mutex> Lock(mMutex);
    return std::exchange(maLines, {});
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

}  // namespace vqtest

#endif
