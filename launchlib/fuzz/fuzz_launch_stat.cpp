/*
 * fuzz_launch_stat.cpp - the /proc stat and net/tcp parsers and the
 * command-line split on arbitrary text: the stat parser reads only inside the
 * given length, and a successful parse found its fields after the last ')';
 * a net/tcp line parses only when it holds the five colons of its fields;
 * the split never yields more words than the text has bytes.
 */
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "launchlib_proc_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t un32Size) {
  std::vector<char> a(reinterpret_cast<const char*>(pData), reinterpret_cast<const char*>(pData) + un32Size);
  u32 un32Ppid = 0;
  u64 un64Start = 0;
  if (VqxLaunchParseStat(a.data(), a.size(), &un32Ppid, &un64Start)) {
    if (memchr(a.data(), ')', a.size()) == nullptr) __builtin_trap();
  }
  std::string s(a.begin(), a.end());
  const std::string t = s.c_str();
  if (VqxLaunchSplitCmdLine(t.c_str()).size() > t.size()) __builtin_trap();
  VqxLaunchTcpEntry E{};
  if (VqxLaunchParseTcpLine(t.c_str(), &E) && std::count(t.begin(), t.end(), ':') < 5) __builtin_trap();
  return 0;
}
