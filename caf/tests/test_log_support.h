/*
 * test_log_support.h - helpers shared by the log tests: a fresh directory
 * per test, file reading, and a listener that keeps what it receives.
 */
#ifndef TEST_LOG_SUPPORT_H
#define TEST_LOG_SUPPORT_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "vqcaflog.h"

namespace logtest {

/* A new empty directory under the test temporary directory, removed at the end. */
class CTempDir {
 public:
  CTempDir() {
    std::string strTemplate = ::testing::TempDir() + "vqcaflog_XXXXXX";
    std::vector<char> acPath(strTemplate.begin(), strTemplate.end());
    acPath.push_back('\0');
    if (mkdtemp(acPath.data()) != nullptr) mstrPath = acPath.data();
  }
  ~CTempDir() {
    std::error_code Error;
    if (!mstrPath.empty()) std::filesystem::remove_all(mstrPath, Error);
  }
  const std::string& Path() const { return mstrPath; }

 private:
  std::string mstrPath;
};

inline std::string ReadFile(const std::string& strPath) {
  std::ifstream File(strPath, std::ios::binary);
  std::stringstream Text;
  Text << File.rdbuf();
  return Text.str();
}

inline std::vector<std::string> SplitLines(const std::string& strText) {
  std::vector<std::string> aLines;
  std::istringstream Stream(strText);
  for (std::string strLine; std::getline(Stream, strLine);) aLines.push_back(strLine);
  return aLines;
}

/* The text after "YYYY-MM-DD HH:MM:SS.mmm " of a file line. */
inline std::string AfterTimeStamp(const std::string& strLine) {
  return strLine.size() > 24 ? strLine.substr(24) : std::string();
}

/* Today's date as the segment names carry it. */
inline std::string Today() {
  time_t Now = time(nullptr);
  struct tm Tm {};
  localtime_r(&Now, &Tm);
  char acDate[16];
  strftime(acDate, sizeof(acDate), "%Y-%m-%d", &Tm);
  return acDate;
}

struct CapturedLine {
  u32 un32Level;
  u32 un32SubMod;
  std::string strText;
};

class CCaptureListener : public VQCAF::IVQCAFLogTraceListener {
 public:
  void OnLogTrace(_VQX_TRACE_LEVEL Level, VQCAF::_VQCAF_SUBMODULE_TYPE SubMod, const char* pszText,
                  u32 un32Length) override {
    std::lock_guard<std::mutex> Lock(mMutex);
    maLines.push_back({static_cast<u32>(Level), static_cast<u32>(SubMod), std::string(pszText, un32Length)});
  }
  std::vector<CapturedLine> Take() {
    std::lock_guard<std::mutex> Lock(mMutex);
    std::vector<CapturedLine> aLines;
    aLines.swap(maLines);
    return aLines;
  }

 private:
  std::mutex mMutex;
  std::vector<CapturedLine> maLines;
};

}  // namespace logtest

#endif
