/*
 * sigtrace_test_board.h - the adapter tests' bench: the simulated board
 * (testing/boardsim, a python3 child on 127.0.0.1) answering entity discovery
 * from a JSON profile, the framework brought up as the application does it
 * (communication with the adapters' transport on loopback, the off-screen
 * console as the framework's console), and the test thread in the place of
 * the application's main thread: it takes the host library's adapter events
 * and the application's own messages (group 0x0B08) from one filter, makes
 * the CVQSigTraceAdapter on the adapter-added event and frees it on demand.
 * The adapter's resend timer runs on a clock the test moves forward.
 */
#ifndef SIGTRACE_TEST_BOARD_H
#define SIGTRACE_TEST_BOARD_H

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "peers/boardsim_process.h"
#include "sigtrace_adapter.h"
#include "support/sigtrace_test_app.h"
#include "vqcafcommparams.h"

namespace sigtest {

struct SAppMsg {
  u32 un32Id = 0;            /* 0: nothing arrived */
  std::vector<u8> Payload;   /* un32PayloadLength bytes */
  explicit operator bool() const { return un32Id != 0; }
};

class CBoardBench {
 public:
  /* strProfile: the JSON profile (docs/board-discovery.md); fnComm changes the communication parameters. */
  explicit CBoardBench(const std::string& strProfile,
                       const std::function<void(VQCAF::CVQCAFCommParams&)>& fnComm = {});
  ~CBoardBench();

  /* Waits for the board's adapter-added event and makes and initialises the
   * adapter (its clock the bench's; the families the command line
   * strTraceFirst traces, "-ss7" for instance, taking the table first, as the
   * application's does); false when no board came. */
  bool AddAdapter(const std::string& strTraceFirst = "");
  /* The next application or adapter event within un32Ms (id 0: none). */
  SAppMsg Next(u32 un32Ms);
  /* The next adapter-ready message (id 0 on time-out; other messages are
   * skipped). un32Readies counts every ready message seen. */
  SAppMsg WaitReady(u32 un32Ms = 10000);
  /* Moves the adapter's clock on. */
  static void Advance(u64 un64Ms) { s_un64Offset += un64Ms; }
  /*
   * A slow board, holding its answers ("hold"): lets un32PerStep of them out
   * at each step, once the adapter has taken those of the step before, and
   * moves the adapter's clock un32StepMs on (the resend delay when nothing
   * was held: the adapter waits for answers that will not come); until the
   * adapter is ready, at most un32MaxSteps. Whether it became ready.
   */
  bool Pace(u32 un32PerStep, u32 un32StepMs, u32 un32MaxSteps);
  /* The entity table, one line per entity (sorted), every field. */
  std::string Entities();
  /* The log lines holding strPart since the last call (the rest dropped). */
  std::vector<std::string> Lines(const std::string& strPart);
  /* Live host-library filters. */
  u64 LiveFilters();
  /* Requests of that id ("0x04090001") the board has seen. */
  size_t Asked(const char* pszId);
  /* Stops the board, or starts it again (same ports, profile and serial). */
  void StopBoard();
  void StartBoard();

  gwpeer::BoardProcess* pBoard = nullptr;
  std::unique_ptr<VQCAF::CVQSigTraceAdapter> pAdapter;
  VQX_LIB_HANDLE hLib = nullptr;
  u32 un32Readies = 0;
  CLogLines Log;

 private:
  static u64 Clock();
  static std::atomic<u64> s_un64Offset;
  std::string mstrProfilePath;
  u16 mun16Port = 0;
  VQX_FILTER_HANDLE mhFilter = nullptr;
  VQCAF::CVQCAFCommParams mComm;
  _VQX_CLI_TOOLS_INIT_PARAMS mCli{};
};

/* Lines of aLines holding pszPart. */
size_t Seen(const std::vector<std::string>& aLines, const char* pszPart);

/* Polls cond every 10 ms for at most un32Ms; its last value. */
template <class F>
bool Within(u32 un32Ms, F cond) {
  for (u32 i = 0; i < un32Ms / 10 && !cond(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return cond();
}

}  // namespace sigtest

#endif
