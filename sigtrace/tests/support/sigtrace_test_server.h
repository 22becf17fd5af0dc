/*
 * sigtrace_test_server.h - the end-to-end bench: the simulated board
 * (testing/boardsim, the activation profile of every family, its units logged
 * to a file) and the trace server program as children, in a run directory of
 * their own whose quellan.xml points the gateway at the board on 127.0.0.1,
 * and the files the server wrote read back (tshark for pcap).
 */
#ifndef SIGTRACE_TEST_SERVER_H
#define SIGTRACE_TEST_SERVER_H

#include <memory>
#include <string>
#include <vector>

#include "peers/boardsim_process.h"
#include "peers/child_process.h"
#include "peers/loopback.h"

namespace sigtest {

class CServerBench {
 public:
  CServerBench();
  ~CServerBench();

  /* A further VQX_GW_PORT of the server (a free one, returned) in its
   * quellan.xml: the board holds 127.0.0.1 at the first port, so that a
   * datagram sent to that address is the board's; a trace provider on this
   * machine is pointed at the further one. Before StartServer. */
  u16 AddGatewayPort();
  /* Starts the board (again: the same serial number on the same ports). */
  void StartBoard();
  void StopBoard() { mpBoard.reset(); }
  gwpeer::BoardProcess& Board() { return *mpBoard; }
  /* Puts the C++ board (testing/boardsim_fast, one SS7 link, with these
   * options) in the simulated board's place, on its discovery port; false
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
  /* Waits until the board has un32Count traces on (bounded). */
  bool WaitTracesOn(long nCount);
  /* "trace KIND N" for every family; the number of units sent. */
  long SendUnits(u32 un32PerEntity);
  /* True once the server has handled everything the board sent so far: a
   * short SS7 unit follows it and its refusal reaches the server's log. */
  bool Drained();
  /* SS7 units the server's log says it refused (lines held back counted). */
  size_t RefusedSs7Units() const;
  /* The run directory's file (path). */
  std::string Path(const std::string& strName) const { return mstrDir + "/" + strName; }
  std::string Read(const std::string& strName) const;
  /* Lines of the server's log file(s) holding strPart. */
  std::vector<std::string> LogLines(const std::string& strPart) const;
  /* Ms from the start of the run (its configuration printed just before) to
   * the first log line holding strEnd, by the log's times; -1 when missing. */
  long RunMs(const std::string& strEnd) const;

  std::string mstrDir;
  u16 mun16Port = 0;

 private:
  void WriteConfig();
  u16 mun16FurtherPort = 0;
  std::unique_ptr<gwpeer::BoardProcess> mpBoard;
  std::unique_ptr<loopnet::HeldPort> mpFastUdp;
  std::unique_ptr<peerproc::CChild> mpFastBoard;
  std::unique_ptr<peerproc::CChild> mpServer;
  size_t mnSentinels = 0;
};

}  // namespace sigtest

#endif
