/*
 * e2e_bare_filter.cpp - the yardstick of the end-to-end benchmark
 * (scripts/bench_e2e.py): a bare host-library filter taking a board's stream
 * of SS7 trace units, with nothing done to them but their release.
 *
 * It opens the host library on the gateway port of the environment
 * (VQX_GW_PORT) with its interfaces on loopback, its filter made before the
 * adapters' gateway starts (the board is started first), takes the units with
 * VQXReceiveMsgMultiple and prints "first T" at the first unit and "done T
 * units N" once it has --units of them (T: seconds since the epoch), or
 * "timeout units N" when they stop coming for --idle-ms. The library's lines
 * go to standard error. It then waits for its standard input to close, so
 * that the benchmark reads its CPU time and peak memory before it exits.
 */
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "peers/loopback.h"
#include "vqx_host.h"

namespace {

constexpr u32 kSs7Unit = 0x04210031u;

double Now() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void Print(void*, VQX_LIB_HANDLE, const char* pszLine) { fputs(pszLine, stderr); }

[[noreturn]] void Usage(const char* pszWhy) {
  fprintf(stderr, "e2e_bare_filter: %s\nusage: e2e_bare_filter --units N [--idle-ms MS]\n", pszWhy);
  exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long long un64Units = 0, un64IdleMs = 10000;
  for (int i = 1; i + 1 < argc; i += 2) {
    char* pEnd = nullptr;
    const unsigned long long v = strtoull(argv[i + 1], &pEnd, 0);
    if (pEnd == argv[i + 1] || *pEnd != '\0') Usage((std::string("bad value of ") + argv[i]).c_str());
    if (strcmp(argv[i], "--units") == 0) un64Units = v;
    else if (strcmp(argv[i], "--idle-ms") == 0) un64IdleMs = v;
    else Usage((std::string("unknown option ") + argv[i]).c_str());
  }
  if (argc % 2 == 0 || un64Units == 0) Usage("--units N is required");
  loopnet::UseLoopbackNets(1); /* discovery stays on 127.0.0.1 */
  _VQX_LIB_PARAMS Params{};
  Params.un32StructVersion = 1, Params.un32TransportType = 1;
  Params.pFctErrorCallback = Print, Params.pFctTraceCallback = Print;
  Params.un32TraceLevel = 0x7FFFFFFE;
  snprintf(Params.szApplicationName, sizeof(Params.szApplicationName), "bare_filter");
  /* The adapters' gateway starts once the filter exists: its first discovery round
   * finds a board already up, and no unit comes before the filter. */
  Params.fAdaptersGwOff = 1;
  VQX_LIB_HANDLE hLib = nullptr;
  VQX_FILTER_HANDLE hFilter = nullptr;
  _VQX_FILTER_PARAMS Set{};
  Set.un32Version = 1, Set.un32Mask = VQX_FILTER_MASK_MSG_ID, Set.MsgId = kSs7Unit;
  bool fOpen = VQXOpenLib(&Params, &hLib) == VQX_RESULT_API_OK &&
               VQXCreateMsgFilterEx(hLib, 1, &Set, &hFilter) == VQX_RESULT_API_OK &&
               VQXGetLibParams(hLib, &Params) == VQX_RESULT_API_OK;
  Params.fAdaptersGwOff = 0;
  fOpen = fOpen && VQXModifLibParams(hLib, &Params) == VQX_RESULT_API_OK;
  if (!fOpen) {
    fprintf(stderr, "e2e_bare_filter: cannot open the host library\n");
    return 1;
  }
  printf("ready\n");
  fflush(stdout);
  unsigned long long un64Got = 0, un64IdleWaits = 0;
  const unsigned long long un64WaitMs = 100;
  while (un64Got < un64Units && un64IdleWaits * un64WaitMs < un64IdleMs) {
    u32 n = 0;
    VQX_MSG_HANDLE ah[VQX_RECEIVE_MULTIPLE_MAX];
    if (VQXReceiveMsgMultiple(hLib, hFilter, u32(un64WaitMs), &n, ah) != VQX_RESULT_API_OK || n == 0) {
      un64IdleWaits += un64Got > 0 ? 1 : 0; /* before the first unit it waits for the board, bounded by the caller */
      continue;
    }
    un64IdleWaits = 0;
    if (un64Got == 0) printf("first %.6f\n", Now());
    for (u32 i = 0; i < n; i++) VQXReleaseMsgEx(hLib, &ah[i]);
    un64Got += n;
  }
  if (un64Got >= un64Units) printf("done %.6f units %llu\n", Now(), un64Got);
  else printf("timeout units %llu\n", un64Got);
  fflush(stdout);
  for (char c; read(0, &c, 1) > 0;) {
  }
  VQXDestroyMsgFilterEx(hLib, &hFilter);
  VQXCloseLibEx(&hLib);
  loopnet::UseLoopbackNets(0);
  return un64Got >= un64Units ? 0 : 1;
}
