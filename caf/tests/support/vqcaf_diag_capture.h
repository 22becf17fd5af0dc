/*
 * vqcaf_diag_capture.h - collects the lines the foundation prints while a
 * test runs (installed for the object's lifetime).
 */
#ifndef VQCAF_DIAG_CAPTURE_H
#define VQCAF_DIAG_CAPTURE_H

#include <mutex>
#include <string>
#include <vector>

#include "vqcafdiag.h"

class CDiagCapture {
 public:
  CDiagCapture() { VQCAF::VqcafSetDiagPrinter(&CDiagCapture::Print, this); }
  ~CDiagCapture() { VQCAF::VqcafSetDiagPrinter(nullptr, nullptr); }

  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> g(mLock);
    return mLines;
  }
  std::vector<u32> Levels() {
    std::lock_guard<std::mutex> g(mLock);
    return mLevels;
  }
  size_t Count(const std::string& strLine) {
    std::lock_guard<std::mutex> g(mLock);
    size_t n = 0;
    for (const std::string& s : mLines) n += (s == strLine) ? 1 : 0;
    return n;
  }

 private:
  static void Print(void* pv, u32 un32Level, const char* pszLine) {
    CDiagCapture* p = static_cast<CDiagCapture*>(pv);
    std::lock_guard<std::mutex> g(p->mLock);
    p->mLines.emplace_back(pszLine);
    p->mLevels.push_back(un32Level);
  }
  std::mutex mLock;
  std::vector<std::string> mLines;
  std::vector<u32> mLevels;
};

#endif
