/*
 * log_lines.h - the lines a library logs through a test's callback, kept
 * under a lock and tagged with the thread that logged them. A library's own
 * threads (receive, timers, log writer) log beside the test's thread, so a
 * test that counts the lines of one call counts only its own thread's
 * (Own), never everything that arrived meanwhile. Header only.
 */
#ifndef TESTING_PEERS_LOG_LINES_H
#define TESTING_PEERS_LOG_LINES_H

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace peerlog {

class LineLog {
 public:
  void Add(std::string strLine) {
    std::lock_guard<std::mutex> Lock(mMutex);
    maLines.push_back({std::this_thread::get_id(), std::move(strLine)});
  }
  void AddV(const char* pszFormat, va_list Args) {
    char szLine[1024];
    vsnprintf(szLine, sizeof(szLine), pszFormat, Args);
    Add(szLine);
  }
  void Clear() {
    std::lock_guard<std::mutex> Lock(mMutex);
    maLines.clear();
  }
  /* Every line since the last Clear, in arrival order. */
  std::vector<std::string> All() const { return Select(false); }
  /* The lines the calling thread logged since the last Clear. */
  std::vector<std::string> Own() const { return Select(true); }
  /* Lines holding pszPart (all threads, or the calling thread's only). */
  size_t Count(const char* pszPart, bool fOwnOnly = false) const {
    size_t n = 0;
    for (const std::string& s : Select(fOwnOnly)) n += s.find(pszPart) != std::string::npos;
    return n;
  }

 private:
  struct Line {
    std::thread::id Thread;
    std::string strText;
  };
  std::vector<std::string> Select(bool fOwnOnly) const {
    std::lock_guard<std::mutex> Lock(mMutex);
    std::vector<std::string> a;
    for (const Line& L : maLines)
      if (!fOwnOnly || L.Thread == std::this_thread::get_id()) a.push_back(L.strText);
    return a;
  }
  mutable std::mutex mMutex;
  std::vector<Line> maLines;
};

}  // namespace peerlog

#endif
