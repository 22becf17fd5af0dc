/*
 * sigtrace_test_server.h - the end-to-end bench: the simulated board
 * (testing/boardsim, the activation profile of every family, its units logged
 * to a file) and the trace server program as children, in a run directory of
 * their own whose quellan.xml points the gateway at the board on 127.0.0.1,
 * and the files the server wrote read back (tshark for pcap). Several boards
 * of that profile share the discovery port, each on its own loopback address
 * (127.0.0.2, 127.0.0.3 ...) with its own serial number and unit log; so does
 * a single board asked to, as the run command puts it.
 */
#ifndef SIGTRACE_TEST_SERVER_H
#define SIGTRACE_TEST_SERVER_H

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "peers/boardsim_process.h"
#include "peers/child_process.h"
#include "peers/loopback.h"
#include "peers/stall_probe.h"

namespace sigtest {

class CServerBench {
 public:
  /* un32Boards simulated boards (board 0: serial 12345678, then 12345679 ...),
   * each on its own address (BoardAddress: its discovery socket, gw0 and TCP
   * links there) when there are several or fOwnAddresses, as at a site: the
   * server alone then holds 127.0.0.1 at the gateway port, where a trace
   * provider on this machine finds it. A single board otherwise sits on
   * 127.0.0.1. */
  explicit CServerBench(u32 un32Boards = 1, bool fOwnAddresses = false);
  ~CServerBench();

  /* Starts board i (again: the same serial number and addresses on the same
   * discovery port; the profile read from profile.json then), or a board of
   * serial number strSerial in its place. */
  void StartBoard(u32 i = 0, const std::string& strSerial = "");
  void StopBoard(u32 i = 0) { mvBoards[i].reset(); }
  gwpeer::BoardProcess& Board(u32 i = 0) { return *mvBoards[i]; }
  /* Board i's serial number (its adapter name) and its unit log ("board.log" for board 0). */
  static std::string BoardSerial(u32 i) { return std::to_string(12345678 + i); }
  static std::string BoardLog(u32 i) { return i == 0 ? "board.log" : "board" + std::to_string(i) + ".log"; }
  /* Board i's own address (127.0.0.2 on). */
  static std::string BoardAddress(u32 i) { return "127.0.0." + std::to_string(2 + i); }
  /* Puts the C++ board (testing/boardsim_fast, one SS7 link, with these
   * options) in the simulated board's place on 127.0.0.1 (a bench of one
   * board, not on its own address), on its discovery port; false
   * when it did not start. Its lines (after "ready") through FastBoard(). */
  bool StartFastBoard(const std::vector<std::string>& extra);
  peerproc::CChild& FastBoard() { return *mpFastBoard; }
  /* Ends the C++ board (SIGTERM) and returns strKey's number in its line of
   * counts ("acked": the units its link's TCP saw acknowledged); -1 without one. */
  long EndFastBoard(const std::string& strKey);
  /* Starts the server with these blank-separated arguments in the run
   * directory; standard error joins standard output unless fStdoutOnly. */
  void StartServer(const std::string& strArgs, bool fStdoutOnly = false);
  /* Runs a shell script in the run directory, the program being "$SIGTRACE"
   * (pipelines); its standard output is read back. */
  void StartShell(const std::string& strScript);
  peerproc::CChild& Server() { return *mpServer; }
  /* Waits until board i has un32Count traces on (bounded). */
  bool WaitTracesOn(long nCount, u32 i = 0);
  /* "trace KIND N" for every family, on board i; the number of units sent. */
  long SendUnits(u32 un32PerEntity, u32 i = 0);
  /* True once the server has handled everything board i sent so far: a
   * short SS7 unit follows it and its refusal reaches the server's log. */
  bool Drained(u32 i = 0);
  /* SS7 units the server's log says it refused (lines held back counted). */
  size_t RefusedSs7Units() const;
  /* The run directory's file (path). */
  std::string Path(const std::string& strName) const { return mstrDir + "/" + strName; }
  std::string Read(const std::string& strName) const;
  /* Lines of the server's log file(s) holding strPart (log files named
   * strPrefix...: "vqcaf_" for a server that read no configuration). */
  std::vector<std::string> LogLines(const std::string& strPart, const std::string& strPrefix = "server_") const;
  /* Ms from the start of the run (its configuration printed just before) to
   * the first log line holding strEnd, by the log's times; -1 when missing. */
  long RunMs(const std::string& strEnd) const;
  /* A live board (answering every poll: heard from within the poll period, 200 ms, and its answer's scheduling)
   * closed on a keep-alive timeout: true when the server's log has such a close, which leaves nothing more of a
   * row to see, and a failure unless the machine held the board past the rest of the limit (1100 ms, or the one the
   * line names: a provider's close is judged alike, with the boards' shorter poll period) over the
   * silence the server's first timeout line names (and the log's and the samples' grain, 100 ms, on each side):
   * the probe's holds and stalls, and the time the board's process waited to run, which a stand-in slowed by its
   * share of the processors shows and a sleeping probe does not (the boards share a name: the longest wait of
   * the bench's boards). False without a timeout line. */
  bool LiveBoardClosedByAHold() const;
  /* What the machine held the bench's threads (the stall probe, from the bench's start). */
  const peerwait::StallProbe& Stall() const { return mStall; }
  /* When a line of the server's log was written ("YYYY-MM-DD hh:mm:ss.mmm ...", local time), on the steady clock;
   * the clock's epoch for a line without that head. */
  static std::chrono::steady_clock::time_point LogTime(const std::string& strLine);
  /* The run of a "-e" time: Ms from the start to the line holding strEnd (RunMs, -1 when missing), and what the
   * machine held the bench's threads over it, which a main loop woken late by the machine takes past its period. */
  std::pair<long, long> RunAndHeldMs(const std::string& strEnd) const;

  std::string mstrDir;
  u16 mun16Port = 0;

 private:
  peerwait::StallProbe mStall; /* from before the first board: it watches each board's process */
  std::vector<pid_t> mvWatched;
  bool mfOwnAddresses;
  std::vector<std::unique_ptr<gwpeer::BoardProcess>> mvBoards;
  std::unique_ptr<loopnet::HeldPort> mpFastUdp;
  std::unique_ptr<peerproc::CChild> mpFastBoard;
  std::unique_ptr<peerproc::CChild> mpServer;
  size_t mnSentinels = 0;

  void Watch(pid_t Pid);
};

}  // namespace sigtest

#endif
