#include "support/sigtrace_test_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "peers/loopback.h"
#include "peers/wait_until.h"

namespace sigtest {

CServerBench::CServerBench(u32 un32Boards, bool fOwnAddresses)
    : mfOwnAddresses(fOwnAddresses || un32Boards > 1), mvBoards(un32Boards) {
  char szDir[] = "/tmp/sigtrace_server_XXXXXX";
  mstrDir = mkdtemp(szDir);
  std::filesystem::copy_file(std::string(std::getenv("VQX_TEST_DATA")) + "/activate_profile.json", Path("profile.json"));
  /* The server shares the first board's discovery port, and so do the others. */
  std::string strRemote; /* the boards' addresses at the discovery port, VQX_GW_REMOTE_ADDR */
  for (u32 i = 0; i < un32Boards; i++) {
    StartBoard(i);
    strRemote += "(" + (mfOwnAddresses ? BoardAddress(i) : std::string("127.0.0.1")) + ":" + std::to_string(mun16Port) + ")";
  }
  std::ofstream(Path("quellan.xml"))
      << "<quellan>\n  <params>\n    <host pollDelay=\"200\" networkDownDelay=\"500\" adapterDownDelay=\"1100\">\n"
      << "      <env VQX_GW_ADDRESS_0=\"127.0.0.1\" VQX_GW_PORT=\"" << mun16Port << "\" VQX_GW_REMOTE_ADDR=\"" << strRemote << "\"/>\n"
      << "    </host>\n    <log baseName=\"" << mstrDir << "/server\"/>\n  </params>\n</quellan>\n";
}

CServerBench::~CServerBench() {
  if (mpServer && mpServer->mPid > 0) kill(mpServer->mPid, SIGTERM);
  mpServer.reset();
  mvBoards.clear();
  if (mpFastBoard && mpFastBoard->mPid > 0) kill(mpFastBoard->mPid, SIGTERM);
  mpFastBoard.reset();
  if (::testing::Test::HasFailure()) {
    for (const std::string& s : LogLines("")) fprintf(stderr, "log: %s\n", s.c_str());
  }
  std::error_code ec; /* a program the bench did not start may still write there: never throw */
  std::filesystem::remove_all(mstrDir, ec);
}

void CServerBench::StartBoard(u32 i, const std::string& strSerial) {
  mvBoards[i].reset();
  std::vector<std::string> vArgs = {"--profile", Path("profile.json"), "--trace-log", Path(BoardLog(i))};
  if (mfOwnAddresses) vArgs.insert(vArgs.end(), {"--gw0", BoardAddress(i), "--serial", BoardSerial(i)});
  if (!strSerial.empty()) vArgs.insert(vArgs.end(), {"--serial", strSerial});
  /* a free port the first time, then the one the server shares with it */
  mvBoards[i] = std::make_unique<gwpeer::BoardProcess>(
      mun16Port, vArgs, mfOwnAddresses ? ntohl(inet_addr(BoardAddress(i).c_str())) : INADDR_LOOPBACK);
  EXPECT_TRUE(mvBoards[i]->Ready());
  mun16Port = mvBoards[i]->UdpPort();
  Watch(mvBoards[i]->Pid());
}

bool CServerBench::StartFastBoard(const std::vector<std::string>& extra) {
  StopBoard();
  mpFastUdp = std::make_unique<loopnet::HeldPort>(SOCK_DGRAM, mun16Port); /* the port stays this process's */
  std::vector<std::string> args = {peerproc::BuildProgram("VQX_BOARDSIM_FAST", "testing/boardsim_fast"), "--udp-fd",
                                   std::to_string(mpFastUdp->Fd())};
  args.insert(args.end(), extra.begin(), extra.end());
  mpFastBoard = std::make_unique<peerproc::CChild>(args, true, std::vector<int>{mpFastUdp->Fd()});
  Watch(mpFastBoard->mPid);
  return mpFastUdp->Ok() && mpFastBoard->ReadLine().rfind("ready ", 0) == 0;
}

long CServerBench::EndFastBoard(const std::string& strKey) {
  if (!mpFastBoard || mpFastBoard->mPid <= 0 || kill(mpFastBoard->mPid, SIGTERM) != 0) return -1;
  long n = -1;
  for (std::string s; !(s = mpFastBoard->ReadLine()).empty();) { /* bounded: the board ends on SIGTERM */
    const size_t i = s.find("\"" + strKey + "\": ");
    if (s[0] == '{' && i != std::string::npos) n = std::stol(s.substr(i + strKey.size() + 4));
  }
  mpFastBoard->Wait();
  return n;
}

void CServerBench::StartServer(const std::string& strArgs, bool fStdoutOnly) {
  StartShell("exec \"$SIGTRACE\" " + strArgs + (fStdoutOnly ? "" : " 2>&1"));
}

void CServerBench::StartShell(const std::string& strScript) {
  setenv("SIGTRACE", peerproc::BuildProgram("VQX_SIGTRACE_PROGRAM", "sigtrace/sigtrace").c_str(), 1);
  mpServer.reset();
  mpServer = std::make_unique<peerproc::CChild>(std::vector<std::string>{"sh", "-c", "cd " + mstrDir + " && " + strScript});
}

/* 30 s: a board missed by the first discovery round is found by the next one, 10 s later. */
bool CServerBench::WaitTracesOn(long nCount, u32 i) {
  return peerwait::WaitUntil([&] { return mvBoards[i]->Stat("traces_on") == nCount; }, 30000);
}

long CServerBench::SendUnits(u32 un32PerEntity, u32 i) {
  long nSent = 0;
  for (const char* pszKind : {"ss7", "lapd", "isdn", "casr2", "ip"}) {
    const std::string s = mvBoards[i]->Command(std::string("trace ") + pszKind + " " + std::to_string(un32PerEntity));
    nSent += s.rfind("ok ", 0) == 0 ? std::stol(s.substr(3)) : 0;
  }
  return nSent;
}

bool CServerBench::Drained(u32 i) {
  mvBoards[i]->Command("event 1 0x04210031 8");
  const size_t n = ++mnSentinels;
  return peerwait::WaitUntil([&] { return RefusedSs7Units() >= n; }, 30000);
}

size_t CServerBench::RefusedSs7Units() const {
  /* "SS7 unit refused: <why>[ (and N more since the last line)]" or, once a
   * second, "SS7 unit refused N more time(s) since the last line". */
  size_t n = 0;
  for (const std::string& s : LogLines("SS7 unit refused")) {
    unsigned u = 0;
    if (sscanf(s.c_str() + s.find("SS7 unit refused"), "SS7 unit refused %u more time", &u) == 1) {
      n += u;
      continue;
    }
    const size_t iAnd = s.find(" (and ");
    n += 1 + (iAnd != std::string::npos && sscanf(s.c_str() + iAnd, " (and %u more", &u) == 1 ? u : 0);
  }
  return n;
}

std::string CServerBench::Read(const std::string& strName) const {
  std::ifstream In(Path(strName));
  return std::string(std::istreambuf_iterator<char>(In), {});
}

std::vector<std::string> CServerBench::LogLines(const std::string& strPart, const std::string& strPrefix) const {
  std::vector<std::string> v;
  for (const auto& e : std::filesystem::directory_iterator(mstrDir)) {
    if (e.path().filename().string().rfind(strPrefix, 0) != 0) continue;
    std::istringstream In(Read(e.path().filename().string()));
    for (std::string s; std::getline(In, s);)
      if (s.find(strPart) != std::string::npos) v.push_back(s);
  }
  return v;
}

long CServerBench::RunMs(const std::string& strEnd) const {
  const auto Ms = [](const std::string& s) {  // "YYYY-MM-DD hh:mm:ss.mmm ..."
    return std::stol(s.substr(11, 2)) * 3600000 + std::stol(s.substr(14, 2)) * 60000 + std::stol(s.substr(17, 2)) * 1000 +
           std::stol(s.substr(20, 3));
  };
  const auto End = LogLines(strEnd), Start = LogLines("Configuration:");
  return End.empty() || Start.empty() ? -1 : Ms(End[0]) - Ms(Start[0]);
}

void CServerBench::Watch(pid_t Pid) {
  if (Pid <= 0) return;
  mStall.Watch(Pid);
  mvWatched.push_back(Pid);
}

std::chrono::steady_clock::time_point CServerBench::LogTime(const std::string& strLine) {
  std::tm Tm{};
  int nMs = 0;
  if (sscanf(strLine.c_str(), "%d-%d-%d %d:%d:%d.%d", &Tm.tm_year, &Tm.tm_mon, &Tm.tm_mday, &Tm.tm_hour, &Tm.tm_min,
             &Tm.tm_sec, &nMs) != 7)
    return {};
  Tm.tm_year -= 1900, Tm.tm_mon -= 1, Tm.tm_isdst = -1;
  const auto tWall = std::chrono::system_clock::from_time_t(std::mktime(&Tm)) + std::chrono::milliseconds(nMs);
  return std::chrono::steady_clock::now() -
         std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::system_clock::now() - tWall);
}

std::pair<long, long> CServerBench::RunAndHeldMs(const std::string& strEnd) const {
  const long nRunMs = RunMs(strEnd);
  const auto End = LogLines(strEnd);
  if (nRunMs < 0 || End.empty()) return {nRunMs, 0};
  /* over the run, and the log's grain (1 ms) and the samples' (10 ms) past its end */
  return {nRunMs, mStall.WorstMsBefore(LogTime(End[0]) + std::chrono::milliseconds(20), nRunMs + 20)};
}

bool CServerBench::LiveBoardClosedByAHold() const {
  const auto Lines = LogLines("TCP timeout (");
  if (Lines.empty()) return false;
  long nSilenceMs = -1, nLimitMs = -1;
  sscanf(Lines[0].c_str() + Lines[0].find("TCP timeout ("), "TCP timeout (%ldms > %ldms)", &nSilenceMs, &nLimitMs);
  const auto tEnd = LogTime(Lines[0]) + std::chrono::milliseconds(100);
  const long nSpanMs = nSilenceMs + 200;
  pid_t Longest = -1;
  long nWaitedMs = -1;
  for (const pid_t Pid : mvWatched) {
    const long n = mStall.WaitedMs(Pid, tEnd - std::chrono::milliseconds(nSpanMs), tEnd);
    if (n > nWaitedMs) nWaitedMs = n, Longest = Pid;
  }
  /* the limit the line names: a provider's (a host peer's) as well, with the boards' poll period, the shorter */
  EXPECT_TRUE(peerwait::StallProbe::HeldPast(mStall.PeerHeldMsBefore(Longest, tEnd, nSpanMs), nLimitMs < 0 ? 1100 : nLimitMs,
                                             200 + 100))
      << "a live peer closed: " << Lines[0] << "; " << mStall.PeerSeenBefore(Longest, tEnd, nSpanMs);
  return true;
}

}  // namespace sigtest
