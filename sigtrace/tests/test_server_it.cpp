/*
 * The trace server end to end: the program and the simulated board as
 * children (sigtrace_test_server.h). Every family of the board's profile is
 * written and read back by tshark, also after a SIGKILL and under a file
 * size limit; the run ends by SIGTERM, the run time (as
 * a daemon), a broken standard output, a bad configuration (also refused by a
 * daemon before it detaches) or the management master's shutdown ("-db",
 * testing/mgmtsim), with its exit status; in "-db" mode the configuration
 * manager's reload (testing/cmmgrsim) names the file read, a missing or
 * refused one is answered as a failure, and of the <params> the levels and
 * delays are applied, the rest named as read at start only; a reload switches
 * off what the file no longer selects and traces a moved entity in its new
 * group while the board traces; a hang-up ends a foreground run with its
 * close, a daemon ignores it; a provider while H.248 tracing is off is named;
 * the
 * provider that links during the close is not served and holds nothing; the
 * close of a board that never answers ends at a signal during it or after 30 s,
 * also while standard output's reader takes nothing, and every unit the server
 * read is written or counted; a board that goes and comes back is traced again,
 * also changed, and another board in its place (of the same peer handle) is
 * traced under names of its own; two boards of one profile are each traced whole.
 */
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <set>
#include <sstream>
#include <thread>

#include "peers/boardsim_trace_log.h"
#include "peers/cmmgrsim_process.h"
#include "peers/stall_probe.h"
#include "peers/tshark.h"
#include "sigtrace_app.h"
#include "support/sigtrace_test_server.h"
#include "support/sigtrace_test_support.h"

namespace {

using sigtest::CServerBench;

constexpr long kEntities = 7;  /* every entity of the profile: 2 SS7, 1 LAPD, 1 ISDN, 2 CAS R2, 1 IP */

/* The board's made-up payload bytes (a byte ramp) are no protocol: their dissectors stay out. */
constexpr const char* kPayloadOff = "--disable-protocol mtp3 --disable-protocol q931";

constexpr const char* kCasr2Files[] = {"12345678_casr2_trk_01_000.log", "12345678_casr2_trk_03_000.log"};

/* CAS R2 lines in the files, one per unit. */
long Casr2Lines(CServerBench& B) {
  long n = 0;
  for (const char* pszFile : kCasr2Files) {
    const std::string s = B.Read(pszFile);
    for (size_t i = s.find(" TS="); i != std::string::npos; i = s.find(" TS=", i + 1)) n++;
  }
  return n;
}

/* SIGTERM, then the lines the server wrote until it ended, and its exit status. */
std::pair<std::string, int> Terminate(CServerBench& B) {
  if (kill(B.Server().mPid, SIGTERM) != 0) return {"kill failed", -1};
  std::string strOut;
  for (std::string s; !(s = B.Server().ReadLine()).empty();) strOut += s + "\n";
  return {strOut, B.Server().Wait()};
}

/* The numbers of the group's summary line ("Group SS7: W units written, L lost"); {-1, -1} without one line. The
 * log files named strPrefix... ("vqcaf_" in "-db" mode). */
std::pair<long, long> GroupSummary(CServerBench& B, const std::string& strGroup, const std::string& strPrefix = "server_") {
  const std::string strHead = "Group " + strGroup + ": ";
  const auto Lines = B.LogLines(strHead, strPrefix);
  long nWritten = -1, nLost = -1;
  if (Lines.size() != 1 ||
      sscanf(Lines[0].c_str() + Lines[0].find(strHead) + strHead.size(), "%ld units written, %ld lost", &nWritten, &nLost) != 2)
    return {-1, -1};
  return {nWritten, nLost};
}

/* The units the close counted as read after the groups stopped taking them ("Close: N trace unit(s) received too late
 * to be written, dropped"): 0 without that line, -1 with more than one. */
long DroppedAfterTheGroups(CServerBench& B) {
  const auto Lines = B.LogLines(" trace unit(s) received too late to be written, dropped");
  long n = 0;
  if (Lines.size() > 1 || (Lines.size() == 1 && sscanf(Lines[0].c_str() + Lines[0].find("Close: "), "Close: %ld", &n) != 1))
    return -1;
  return n;
}

/* The silence and the limit of the server's keep-alive close ("TCP timeout (NNNms > LLLms)"), {-1, -1} without one. */
std::pair<long, long> TimeoutLine(CServerBench& B) {
  long nSilenceMs = -1, nLimitMs = -1;
  for (const std::string& s : B.LogLines("TCP timeout ("))
    sscanf(s.c_str() + s.find("TCP timeout ("), "TCP timeout (%ldms > %ldms)", &nSilenceMs, &nLimitMs);
  return {nSilenceMs, nLimitMs};
}

/* Whether the server's log has had a keep-alive close ("TCP timeout"), as a thread looking every 20 ms saw it, until
 * the object goes. */
struct CTimeoutSeen {
  CServerBench& B;
  std::atomic<bool> mfEnd{false}, mfSeen{false};
  std::thread mThread{[this] {
    for (; !mfEnd && !mfSeen; std::this_thread::sleep_for(std::chrono::milliseconds(20)))
      if (!B.LogLines("TCP timeout").empty()) mfSeen = true;
  }};
  explicit CTimeoutSeen(CServerBench& Bench) : B(Bench) {}
  ~CTimeoutSeen() {
    mfEnd = true;
    mThread.join();
  }
};

/* A descriptor closed with its owner. */
struct CFd {
  int n;
  ~CFd() { if (n >= 0) close(n); }
};

/* The fifo the server's standard output goes to, read by this test without blocking (-1 when it could not be made
 * or opened). */
struct CFifoReader {
  CFd mFd{-1};
  std::string mstrRead; /* all read so far */
  explicit CFifoReader(const std::string& strPath) {
    if (mkfifo(strPath.c_str(), 0600) == 0) mFd.n = open(strPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  }
  /* Takes what waits; true at the end of the stream. */
  bool Read() {
    char a[65536];
    ssize_t n;
    while ((n = read(mFd.n, a, sizeof(a))) > 0) mstrRead.append(a, static_cast<size_t>(n));
    return n == 0;
  }
};

/* Every unit the board logged is in the files: pcap (SS7 and IP frames as
 * tshark reads them end with the unit's bytes; LAPD and ISDN in IUA carry
 * the unit's trunk as interface identifier), CAS R2 one text line each. */
void ExpectEveryUnitInTheFiles(CServerBench& B) {
  for (const auto& [pszFamily, pszFile] : {std::pair{"ss7", "SS7_000.cap"}, {"lapd", "LAPD_000.cap"},
                                           {"isdn", "ISDN_000.cap"}, {"ip", "IP_000.cap"}}) {
    const auto Sent = peerboard::TraceLog(B.Path("board.log"), pszFamily);
    const bool fIua = pszFamily == std::string("lapd") || pszFamily == std::string("isdn");
    const auto Frames = fIua ? peertshark::Lines(B.Path(pszFile), "-T fields -e iua.int_interface_identifier")
                             : peertshark::Frames(B.Path(pszFile), kPayloadOff);
    ASSERT_EQ(Frames.size(), Sent.size()) << pszFile;
    for (size_t i = 0; i < Sent.size(); i++) {
      char szTrunk[16];
      snprintf(szTrunk, sizeof(szTrunk), "0x%08x", Sent[i].trunk);
      EXPECT_TRUE(fIua ? Frames[i] == szTrunk : Frames[i].ends_with(Sent[i].data))
          << pszFile << " frame " << i << ": " << Frames[i];
    }
    EXPECT_EQ(peertshark::Errors(B.Path(pszFile), kPayloadOff), std::vector<std::string>()) << pszFile;
  }
  EXPECT_EQ(Casr2Lines(B), static_cast<long>(peerboard::TraceLog(B.Path("board.log"), "casr2").size()));
}

/* Lines in a file (the board's trace log, a unit a line), without parsing them. */
long LineCount(const std::string& strPath) {
  std::ifstream In(strPath);
  return static_cast<long>(std::count(std::istreambuf_iterator<char>(In), {}, '\n'));
}

/* Waits until the board's trace log stops growing past the host library's receive fifo (32768 units): the server
 * holds its reading back and the board's units wait unsent (60 s at most). nAt: the log's lines then. */
bool BoardStalls(CServerBench& B, long& nAt) {
  long nPrev = -1;
  return peerwait::WaitUntil([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    nAt = LineCount(B.Path("board.log"));
    const bool fStill = nAt == nPrev && nAt > 32768;
    nPrev = nAt;
    return fStill;
  }, 60000);
}

/* The whole records of a pcap stream (its 24-byte header skipped, a partial last one left out): their number, and
 * with pTails, each one's last nSize bytes in hex, as the board's trace log has a unit's data. */
size_t PcapTails(const std::string& s, size_t nSize, std::vector<std::string>* pTails = nullptr) {
  static const char kHex[] = "0123456789abcdef";
  const auto Be32 = [&](size_t i) {
    return static_cast<u32>(static_cast<u8>(s[i])) << 24 | static_cast<u32>(static_cast<u8>(s[i + 1])) << 16 |
           static_cast<u32>(static_cast<u8>(s[i + 2])) << 8 | static_cast<u8>(s[i + 3]);
  };
  size_t n = 0;
  for (size_t i = 24; s.size() >= i + 16 && s.size() - i - 16 >= Be32(i + 8); i += 16 + Be32(i + 8), n++) {
    const size_t nIncl = Be32(i + 8), nTake = std::min(nIncl, nSize);
    std::string strHex;
    for (size_t k = i + 16 + nIncl - nTake; pTails != nullptr && k < i + 16 + nIncl; k++)
      strHex += {kHex[static_cast<u8>(s[k]) >> 4], kHex[static_cast<u8>(s[k]) & 15]};
    if (pTails != nullptr) pTails->push_back(strHex);
  }
  return n;
}

/* Rows: SIGTERM, and SIGHUP in the foreground (the terminal closed), which ends the run with the same close. */
TEST(SigTraceServer, EveryFamilyWrittenAsTsharkReadsItAndTextEndsAfterSigterm) {
  if (!peertshark::Present()) GTEST_SKIP() << "tshark is not installed";
  for (const auto& [nSignal, pszSignal] : {std::pair{SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}}) {
    SCOPED_TRACE(pszSignal);
    CServerBench B;
    B.StartServer("-cap");
    ASSERT_TRUE(B.WaitTracesOn(kEntities));
    ASSERT_TRUE(B.SendUnits(3) == 3 * kEntities && B.Drained() && kill(B.Server().mPid, nSignal) == 0);
    const int nStatus = B.Server().Wait();
    if (B.LiveBoardClosedByAHold()) continue; /* it answers every poll: only the machine's doing */
    EXPECT_EQ(nStatus, 0) << "ended by " << pszSignal;
    EXPECT_EQ(B.Board().Stat("traces_on"), 0) << "traces switched off at the end";
    EXPECT_EQ(B.LogLines("Exit code 0x02000000").size(), 1u);
    ExpectEveryUnitInTheFiles(B);
    /* CAS R2: one text file per trunk, closed by the trailer. */
    for (const char* pszFile : kCasr2Files) EXPECT_TRUE(B.Read(pszFile).ends_with("\n\n[END]\n")) << pszFile;
  }
}

/* A crash (SIGKILL) loses at most the last second: a few units, far from
 * filling the groups' 64 KiB buffers, reach the files while the server runs
 * idle, and so do the log's lines. */
TEST(SigTraceServer, KilledServerLeavesWhatItReceivedInTheFiles) {
  if (!peertshark::Present()) GTEST_SKIP() << "tshark is not installed";
  CServerBench B;
  B.StartServer("-cap");
  ASSERT_TRUE(B.WaitTracesOn(kEntities));
  ASSERT_EQ(B.SendUnits(1) + B.SendUnits(1), 2 * kEntities);
  const auto OnDisk = [&] {
    long n = Casr2Lines(B);
    for (const auto& [pszFile, un32Link] : {std::pair{"SS7_000.cap", 139u}, {"LAPD_000.cap", 1u}, {"ISDN_000.cap", 1u}, {"IP_000.cap", 1u}})
      n += std::max(0L, sigtest::PcapRecords(B.Read(pszFile), un32Link));
    return n;
  };
  EXPECT_TRUE(peerwait::WaitUntil([&] { return OnDisk() == 2 * kEntities && !B.LogLines("Allocate entity").empty(); }, 5000))
      << OnDisk() << " units on disk";
  ASSERT_EQ(kill(B.Server().mPid, SIGKILL), 0);
  EXPECT_EQ(B.Server().Wait(), -1) << "killed";
  ExpectEveryUnitInTheFiles(B);
}

/* Under a file size limit a full segment is cut back to its last whole
 * record and the rest goes to the next one: the server is not killed by
 * SIGXFSZ, and every unit is in the segments, which tshark reads. */
TEST(SigTraceServer, FileSizeLimitCutsSegmentsAtWholeRecords) {
  if (!peertshark::Present()) GTEST_SKIP() << "tshark is not installed";
  CServerBench B;
  B.StartShell("exec prlimit --fsize=200000 \"$SIGTRACE\" -ip -cap 2>&1");
  ASSERT_TRUE(B.WaitTracesOn(1));
  EXPECT_EQ(B.Board().Command("trace ip 60 4000"), "ok 60");
  ASSERT_TRUE(B.Drained() && kill(B.Server().mPid, SIGTERM) == 0);
  EXPECT_EQ(B.Server().Wait(), 0) << "ended by SIGTERM, not by SIGXFSZ";
  const auto Sent = peerboard::TraceLog(B.Path("board.log"), "ip");
  std::vector<std::string> vFiles;
  for (const auto& e : std::filesystem::directory_iterator(B.mstrDir))
    if (e.path().filename().string().starts_with("IP_")) vFiles.push_back(e.path().filename().string());
  std::sort(vFiles.begin(), vFiles.end());
  EXPECT_GE(vFiles.size(), 2u);
  size_t nFrame = 0;
  for (const std::string& strFile : vFiles) {
    const char* pszFile = strFile.c_str();
    EXPECT_GE(sigtest::PcapRecords(B.Read(pszFile), 1), 1) << pszFile << ": not whole records";
    EXPECT_LE(B.Read(pszFile).size(), 200000u) << pszFile;
    for (const std::string& s : peertshark::Frames(B.Path(pszFile), kPayloadOff))
      EXPECT_TRUE(nFrame < Sent.size() && s.ends_with(Sent[nFrame++].data)) << pszFile << " frame " << nFrame;
    EXPECT_EQ(peertshark::Errors(B.Path(pszFile), kPayloadOff), std::vector<std::string>()) << pszFile;
  }
  EXPECT_EQ(nFrame, Sent.size());
  EXPECT_EQ(B.LogLines("Failed to write IP_000.cap file (File too large), rest carried to the next segment").size(), 1u);
  EXPECT_EQ(B.LogLines("Group IP: 60 units written, 0 lost").size(), 1u);
}

/* The log shares the full disk: the groups' summary lines at the end also
 * go to standard error. */
TEST(SigTraceServer, SummaryOnStandardErrorWhenTheLogIsFull) {
  CServerBench B;
  B.StartShell("exec prlimit --fsize=1000 \"$SIGTRACE\" -ss7 -cap 2>&1");
  ASSERT_TRUE(B.WaitTracesOn(2));
  EXPECT_EQ(B.Board().Command("trace ss7 2"), "ok 4");
  EXPECT_TRUE(peerwait::WaitUntil([&] { return sigtest::PcapRecords(B.Read("SS7_000.cap"), 139) == 4; }, 10000));
  const auto [strOut, nStatus] = Terminate(B);
  EXPECT_EQ(nStatus, 0);
  EXPECT_NE(strOut.find("Group SS7: 4 units written, 0 lost\n"), std::string::npos) << strOut;
}

/* A group that never opens its file (the working directory removed before
 * the first segment) fails the run: exit status 1, its summary on standard
 * error. */
TEST(SigTraceServer, GroupThatNeverOpenedItsFileFailsTheRun) {
  CServerBench B;
  B.StartShell("mkdir gone && cd gone && rmdir ../gone && exec \"$SIGTRACE\" -c " + B.Path("quellan.xml") +
               " -ss7 -cap 2>&1 >/dev/null");
  ASSERT_TRUE(B.WaitTracesOn(2));
  ASSERT_TRUE(B.SendUnits(2) == 4 && B.Drained());
  const auto [strErr, nStatus] = Terminate(B);
  EXPECT_EQ(nStatus, 1);
  EXPECT_NE(strErr.find("Group SS7: 0 units written, 4 lost\n"), std::string::npos) << strErr;
  EXPECT_EQ(B.LogLines("A group wrote none of its units: the run failed").size(), 1u);
}

/* A disk too full for any record (a file size limit below one text record, the log's lines still fitting): the
 * group's first loss goes to standard error, the later ones to the log only, once a second; no unit written fails
 * the run. */
TEST(SigTraceServer, FullDiskFirstLossOnStandardErrorTheRestInTheLog) {
  CServerBench B;
  B.StartShell("exec prlimit --fsize=14000 \"$SIGTRACE\" -ip -format 2>&1 >/dev/null");
  ASSERT_TRUE(B.WaitTracesOn(1));
  EXPECT_EQ(B.Board().Command("trace ip 1 16000"), "ok 1");
  EXPECT_TRUE(peerwait::WaitUntil([&] { return !B.LogLines("Failed to write IP_000.log file (File too large)").empty(); }, 10000));
  for (int i = 0; i < 2; i++) EXPECT_EQ(B.Board().Command("trace ip 1 16000"), "ok 1");
  /* The next losses in the log only: left out and counted once the second is over, or (the units more than a
   * second after the first loss, on a loaded machine) in a line of their own. */
  EXPECT_TRUE(peerwait::WaitUntil([&] {
    return !B.LogLines("Group IP: 2 record(s) lost since the last line (").empty() ||
           !B.LogLines("Failed to write IP_000.log file (File too large), segment closed, 2 record(s) lost.").empty();
  }, 10000));
  const auto [strErr, nStatus] = Terminate(B);
  EXPECT_EQ(nStatus, 1);
  EXPECT_EQ(sigtest::Count(strErr, "Failed to write"), 1u) << strErr;
  EXPECT_NE(strErr.find("Group IP: Failed to write IP_000.log file (File too large), segment closed, 1 record(s) lost.\n"),
            std::string::npos) << strErr;
  EXPECT_NE(strErr.find("Group IP: 0 units written, 3 lost\n"), std::string::npos) << strErr;
}

/* No argument: the defaults (every family). SIGTERM right after a burst: the traces go off, then what the server
 * had taken in is written (the boards answer the off requests after their last units), none dropped. A clean
 * shutdown: no error line, the board's link reported closed by the server itself, as an operator message. */
TEST(SigTraceServer, NoArgumentRunsWithDefaultsAndSigtermWritesWhatWasTakenIn) {
  if (!peertshark::Present()) GTEST_SKIP() << "tshark is not installed";
  CServerBench B;
  B.StartServer("");
  ASSERT_TRUE(B.WaitTracesOn(kEntities));
  const std::string strBurst = B.Board().Command("trace ss7 2000");
  const int nKill = kill(B.Server().mPid, SIGTERM), nStatus = B.Server().Wait();
  if (B.LiveBoardClosedByAHold()) return; /* it answers every poll: only the machine's doing */
  ASSERT_EQ(strBurst, "ok 4000");
  ASSERT_EQ(nKill, 0);
  EXPECT_EQ(nStatus, 0);
  EXPECT_EQ(B.Board().Stat("traces_on"), 0);
  EXPECT_EQ(peertshark::Lines(B.Path("SS7_000.cap"), "-T fields -e frame.len").size(), 4000u);
  EXPECT_EQ(B.LogLines("received too late to be written, dropped"), std::vector<std::string>());
  EXPECT_EQ(B.LogLines(" VQERR "), std::vector<std::string>());
  const auto Removed = B.LogLines(" removed (cause: ");
  EXPECT_TRUE(Removed.size() == 1 && Removed[0].find(" VQMSG COMM ") != std::string::npos &&
              Removed[0].find(" 12345678 removed (cause: Hostlib Closing)") != std::string::npos)
      << testing::PrintToString(Removed);
}

/* The records of the SS7 segments ("SS7_000.cap", "SS7_001.cap", ...: a 10 MiB segment may be followed by more). */
long Ss7Records(CServerBench& B) {
  long n = 0;
  for (int i = 0; i < 100; i++) {
    char szName[32];
    snprintf(szName, sizeof(szName), "SS7_%03d.cap", i);
    if (!std::filesystem::exists(B.Path(szName))) break;
    n += sigtest::PcapRecords(B.Read(szName), 139);
  }
  return n;
}

/* One server configured as the run command configures it traces the board and a trace provider at once: its
 * adapters' and hosts' transports each take their packets at its one gateway port. The board sits on an address of
 * its own, as at a site, and the provider on this machine is pointed at the server's gateway port, on 127.0.0.1.
 * The provider floods and SIGTERM comes in the middle of it: the close lets the provider's data in until it
 * stops (it does not obey the capture off while it floods), writing it within the close's write time and counting
 * it lost after; every message the provider's sends accepted is in the group's file or counted lost in its summary
 * line, as every unit of the board is in its file. A machine too slow for the flood to end within the close's cap
 * (30 s) has the close cut by it, as its line says: then what was still in the link is neither written nor counted,
 * and the row sees no more than that nothing was counted twice. */
TEST(SigTraceServer, ABoardAndAFloodingProviderAtOnceTheCloseWritesOrCountsAll) {
  CServerBench B(1, true);
  B.StartServer("-ss7 -h248 -cap");
  ASSERT_TRUE(B.WaitTracesOn(2));
  peerproc::CChild Provider({peerproc::BuildProgram("VQX_SIGTRACE_PROVIDER", "testing/sigtrace_provider/vqx_sigtrace_provider"),
                             "--port", std::to_string(loopnet::FreeLoopbackPort()), "--peer-port",
                             std::to_string(B.mun16Port), "--app", "flood", "--name", "gfl", "--count", "80000", "--size",
                             "10", "--stay"});  /* killed at the end */
  ASSERT_EQ(Provider.ReadLine(), "capture 1 gfl");
  ASSERT_EQ(B.Board().Command("trace ss7 500"), "ok 1000");
  const auto FileBytes = [&] {
    std::error_code ec;
    const auto n = std::filesystem::file_size(B.Path("gfl_000.cap"), ec);
    return ec ? 0 : n;
  };
  ASSERT_TRUE(peerwait::WaitUntil([&] { return FileBytes() > 200000; }, 30000)) << "the flood under way";
  ASSERT_EQ(kill(B.Server().mPid, SIGTERM), 0);
  std::string strSent;  /* once its flood ended (a minute at most) */
  for (int i = 0; i < 6 && strSent.empty(); i++) strSent = Provider.ReadLine();
  unsigned un32Sent = 0;
  EXPECT_EQ(sscanf(strSent.c_str(), "sent %u", &un32Sent), 1) << strSent;
  const int nStatus = B.Server().Wait(VQCAF::VQ_SIGTRACE_DRAIN_CAP_MS + 10000);
  if (B.LiveBoardClosedByAHold()) { /* it answers every poll: only the machine's doing */
    kill(Provider.mPid, SIGKILL);
    return;
  }
  EXPECT_EQ(nStatus, 0);
  EXPECT_EQ(Ss7Records(B), 1000);
  const long nWritten = sigtest::PcapRecords(B.Read("gfl_000.cap"), 1);
  const auto [nSaidWritten, nLost] = GroupSummary(B, "gfl");
  EXPECT_EQ(nSaidWritten, nWritten);
  if (B.LogLines("Close: still taking units after 30000 ms").size() == 1) {
    EXPECT_LE(nWritten + nLost, static_cast<long>(un32Sent)) << nLost << " lost, the close cut by its cap";
  } else {
    EXPECT_EQ(nWritten + nLost, static_cast<long>(un32Sent)) << nLost << " lost";
    EXPECT_EQ(B.LogLines("Close: no provider data for 2000 ms").size(), 1u);
  }
  kill(Provider.mPid, SIGKILL);
}

/* The server stopped (SIGSTOP) under a provider's flood: the provider's sends wait for room and stop being accepted;
 * 20 s on its close ends the send still waiting (told 0x82010218: "sent N" short of the count, exit 1), the server
 * still stopped. Run again, the server ends on SIGTERM, its group's summary counting what the provider's link cut. */
TEST(SigTraceServer, ProviderWhoseServerIsStoppedEndsItsWaitingSendAndLeaves) {
  CServerBench B(1, true);
  B.StartServer("-h248 -cap");
  peerproc::CChild Provider({peerproc::BuildProgram("VQX_SIGTRACE_PROVIDER", "testing/sigtrace_provider/vqx_sigtrace_provider"),
                             "--port", std::to_string(loopnet::FreeLoopbackPort()), "--peer-port",
                             std::to_string(B.mun16Port), "--app", "held", "--name", "ghd", "--count", "5000000"});
  std::string strCapture; /* once the two have found each other (a discovery period, 10 s, at most) */
  for (int i = 0; i < 3 && strCapture.empty(); i++) strCapture = Provider.ReadLine();
  ASSERT_EQ(strCapture, "capture 1 ghd");
  /* Stopped once its group wrote a unit: a group that wrote none fails the run. */
  ASSERT_TRUE(peerwait::WaitUntil([&] { return sigtest::PcapRecords(B.Read("ghd_000.cap"), 1) > 0; }, 30000));
  ASSERT_EQ(kill(B.Server().mPid, SIGSTOP), 0);
  std::string strSent; /* 20 s after the sends stop being accepted */
  for (int i = 0; i < 4 && strSent.empty(); i++) strSent = Provider.ReadLine();
  unsigned un32Sent = 0;
  EXPECT_EQ(sscanf(strSent.c_str(), "sent %u", &un32Sent), 1) << strSent;
  EXPECT_LT(un32Sent, 5000000u) << "a send ended by the stop, the flood with it";
  EXPECT_EQ(Provider.Wait(20000), 1) << "its close (what it sent waited for 5 s without progress) ends";
  ASSERT_EQ(kill(B.Server().mPid, SIGCONT), 0);
  ASSERT_EQ(kill(B.Server().mPid, SIGTERM), 0);
  EXPECT_EQ(B.Server().Wait(VQCAF::VQ_SIGTRACE_DRAIN_CAP_MS + 10000), 0);
  const auto [nWritten, nLost] = GroupSummary(B, "ghd");
  EXPECT_EQ(nWritten, sigtest::PcapRecords(B.Read("ghd_000.cap"), 1));
  EXPECT_LE(nWritten + nLost, static_cast<long>(un32Sent)) << "nothing written or counted twice";
}

/* H.248 tracing off (the command line names other families): a provider that registers is ignored with one line
 * naming it and the switch. */
TEST(SigTraceServer, AProviderWhileH248TracingIsOffIsNamedInTheLog) {
  CServerBench B(1, true);
  B.StartServer("-ss7");
  ASSERT_TRUE(B.WaitTracesOn(2));
  peerproc::CChild Provider({peerproc::BuildProgram("VQX_SIGTRACE_PROVIDER", "testing/sigtrace_provider/vqx_sigtrace_provider"),
                             "--port", std::to_string(loopnet::FreeLoopbackPort()), "--peer-port",
                             std::to_string(B.mun16Port), "--app", "off", "--name", "goff", "--stay"});
  EXPECT_TRUE(peerwait::WaitUntil([&] {
    return B.LogLines("Registration ignored: H.248 tracing is off (-h248 not given) (provider ").size() == 1;
  }, 20000));
  EXPECT_NE(B.LogLines(".off, group \"goff\")").size(), 0u);
  ASSERT_EQ(kill(B.Server().mPid, SIGTERM), 0);
  EXPECT_EQ(B.Server().Wait(), 0);
  kill(Provider.mPid, SIGKILL);
}

/* The Python provider (testing/provsim) pointed at the server's gateway port, its output read; "ready" awaited (60 s
 * at most: its interpreter's start on a loaded machine outlasts the 10 s a line is given). */
struct CProvsim : peerproc::CChild {
  CProvsim(CServerBench& B, const std::string& strApp, std::vector<std::string> aExtra)
      : CChild(Args(B, strApp, std::move(aExtra))) {
    std::string s;
    for (int i = 0; i < 6 && s.empty(); i++) s = ReadLine();
    EXPECT_EQ(s.rfind("ready tcp=", 0), 0u) << strApp << ": " << s;
  }
  /* The next line; the first one waits for the link too, the server starting meanwhile (30 s at most). */
  std::string Line() {
    std::string s;
    for (int i = 0; i < (mfLinked ? 1 : 3) && s.empty(); i++) s = ReadLine();
    mfLinked = true;
    return s;
  }
  bool mfLinked = false;
  static std::vector<std::string> Args(CServerBench& B, const std::string& strApp, std::vector<std::string> aExtra) {
    std::vector<std::string> a = {"python3", std::string(getenv("VQX_SOURCE_DIR")) + "/testing/provsim/provsim.py",
                                  "--udp-port", std::to_string(loopnet::FreeLoopbackPort()), "--peer-port",
                                  std::to_string(B.mun16Port), "--name", strApp, "--size", "16", "--lifetime", "300"};
    a.insert(a.end(), aExtra.begin(), aExtra.end());
    return a;
  }
};

/* The numbers of the provider strApp's data in a pcap stream, in file order (its data of 16 bytes: u32 number
 * little-endian, then the application name). */
std::vector<u32> TaggedNumbers(const std::string& strPcap, const std::string& strApp) {
  std::vector<std::string> aTails;
  PcapTails(strPcap, 16, &aTails);
  std::string strName;
  for (char ch : strApp) strName += {"0123456789abcdef"[static_cast<u8>(ch) >> 4], "0123456789abcdef"[ch & 15]};
  std::vector<u32> a;
  for (const std::string& t : aTails) {
    if (t.compare(8, strName.size(), strName) != 0) continue;
    const u32 n = static_cast<u32>(std::stoul(t.substr(0, 8), nullptr, 16));
    a.push_back((n >> 24) | ((n >> 8) & 0xFF00) | ((n << 8) & 0xFF0000) | (n << 24));
  }
  return a;
}

/* Providers whose link closes within a batch (the stand-in announces 15 messages, sends K whole and half the next,
 * then closes): the whole ones are written, the rest counted lost in the provider's group; for a provider of two
 * groups, on a line of its own. Rows of one run: one group and K 4 (its 40 data and 4 written, 11 lost), two groups
 * and K 2 (10 and 2 written in the first, 13 apart). A registration of another type than H.248 is refused with its
 * line, the provider named. */
TEST(SigTraceServer, ProviderLinksCutWithinABatchCountTheirLossInTheirGroup) {
  CServerBench B(1, true); /* the board on an address of its own: 127.0.0.1 at the port is the server's */
  B.StartServer("-h248 -cap");
  CProvsim One(B, "pone", {"--group", "gone", "--count", "40", "--cut", "4"});
  CProvsim Two(B, "ptwo", {"--group", "gtwo", "--group", "gthree", "--count", "10", "--cut", "2"});
  CProvsim Other(B, "pother", {"--group", "gseven", "--type", "7"});
  /* Its lines until the cut, the second group's capture among them in any place or none. */
  const auto Lines = [](CProvsim& Child, const std::string& strLast) {
    std::vector<std::string> a;
    for (std::string s; (a.empty() || a.back() != strLast) && !(s = Child.Line()).empty();)
      if (s != "capture 1 gthree") a.push_back(s);
    return a;
  };
  EXPECT_EQ(Lines(One, "cut 4"), (std::vector<std::string>{"capture 1 gone", "sent 40", "cut 4"}));
  EXPECT_EQ(Lines(Two, "cut 2"), (std::vector<std::string>{"capture 1 gtwo", "sent 10", "cut 2"}));
  /* Judged by what the lines count: ptwo's loss is counted on a line of their own at once, or first in gtwo when the
   * loss is handled before its registration of gthree, then moved (a line more). */
  ASSERT_TRUE(peerwait::WaitUntil([&] {
    return B.LogLines("Provider provsim.pone: 11 message(s) lost as its link closed, counted in group gone").size() == 1 &&
           B.LogLines("Provider provsim.ptwo: 13 message(s) lost as its link closed, counted on a line of their own").size() +
                   B.LogLines("Provider provsim.ptwo: 13 message(s) lost as its link closed, moved from group gtwo to a line "
                              "of their own").size() == 1;
  }, 30000));
  ASSERT_TRUE(peerwait::WaitUntil([&] { return !B.LogLines("Register refused: not of type H.248").empty(); }, 30000));
  EXPECT_EQ(Terminate(B).second, 0);
  EXPECT_EQ(GroupSummary(B, "gone"), (std::pair<long, long>{44, 11}));
  std::vector<u32> aExpected(44);
  std::iota(aExpected.begin(), aExpected.end(), 1u);
  EXPECT_EQ(TaggedNumbers(B.Read("gone_000.cap"), "pone"), aExpected) << "every whole message, once, in order";
  EXPECT_EQ(GroupSummary(B, "gtwo"), (std::pair<long, long>{12, 0}));
  EXPECT_EQ(B.LogLines("Provider provsim.ptwo: 13 units lost, their group not known (groups gtwo, gthree)").size(), 1u);
  EXPECT_EQ(B.LogLines("Register refused: not of type H.248 (1), the one traced (provider provsim.pother, group "
                       "\"gseven\")").size(),
            1u);
  EXPECT_EQ(GroupSummary(B, "gseven"), (std::pair<long, long>{-1, -1})) << "no group for it";
}

/* A board's cable pulled in the middle of a batch of 15 SS7 units (the board writes the batch to its middle: 7 whole
 * units and part of the 8th), the link kept open: the server's keep-alive closes it, the 7 whole units are written and
 * the 8 that cannot be counted lost in the group of the board's entities. Rows: the board's SS7 links traced alone
 * ("-ss7", the group SS7), or with every family (default options: groups of the other families too), when which group
 * the units were for is not known, so they go on a summary line of the board's own. */
TEST(SigTraceServer, BoardLinkCutWithinABatchCountsItsLossInItsGroup) {
  for (const bool fAllFamilies : {false, true}) {
    SCOPED_TRACE(fAllFamilies ? "default options" : "-ss7");
    CServerBench B;
    B.StartServer(fAllFamilies ? "" : "-ss7");
    ASSERT_TRUE(B.WaitTracesOn(fAllFamilies ? kEntities : 2));
    ASSERT_EQ(B.Board().Command("cut 0 half"), "ok");
    ASSERT_EQ(B.Board().Command("trace ss7 20"), "ok 15") << "one batch, cut in its middle";
    ASSERT_TRUE(peerwait::WaitUntil([&] { return !B.LogLines("Adapter 12345678 removed").empty(); }, 10000));
    EXPECT_EQ(B.LogLines("simboard:gw0 : link closed within a batch, 8 message(s) of it lost").size(), 1u);
    EXPECT_EQ(B.LogLines(fAllFamilies ? "Board 12345678: 8 message(s) lost as its link closed, counted on a line of their own"
                                      : "Board 12345678: 8 message(s) lost as its link closed, counted in group SS7")
                  .size(),
              1u);
    const auto [strOut, nStatus] = Terminate(B);
    EXPECT_EQ(nStatus, 0) << strOut;
    EXPECT_EQ(LineCount(B.Path("board.log")), 15);
    EXPECT_EQ(B.Board().Stat("acked"), 7);
    EXPECT_EQ(GroupSummary(B, "SS7"), (std::pair<long, long>{7, fAllFamilies ? 0 : 8}));
    EXPECT_EQ(B.LogLines("Board 12345678: 8 units lost, their group not known (groups ").size(), fAllFamilies ? 1u : 0u);
  }
}

/* A second process of an application name already served (same host and application names, another process) is
 * told so at the error level and waits; once the first has gone it is served: registered and captured, its data
 * written in the group of that name beside the first's. */
TEST(SigTraceServer, SecondProcessOfAProviderNameIsServedOnceTheFirstHasGone) {
  CServerBench B(1, true);
  B.StartServer("-h248 -cap");
  CProvsim First(B, "psame", {"--group", "gsame", "--count", "5"});
  ASSERT_EQ(First.Line(), "capture 1 gsame");
  ASSERT_EQ(First.Line(), "sent 5");
  CProvsim Second(B, "psame", {"--group", "gsame", "--count", "7"});
  ASSERT_TRUE(peerwait::WaitUntil([&] { return !B.LogLines("already present: this one (0x").empty(); }, 30000));
  EXPECT_NE(B.LogLines("already present: this one (0x")[0].find(
                " VQERR VQLT OnServiceConnected: Application provsim.psame already present: this one (0x"),
            std::string::npos);
  ASSERT_EQ(kill(First.mPid, SIGKILL), 0);
  EXPECT_EQ(Second.Line(), "capture 1 gsame");
  EXPECT_EQ(Second.Line(), "sent 7");
  ASSERT_TRUE(peerwait::WaitUntil([&] { return sigtest::PcapRecords(B.Read("gsame_000.cap"), 1) == 12; }, 30000));
  EXPECT_EQ(Terminate(B).second, 0);
  EXPECT_EQ(B.LogLines("OnServiceDisconnected: Application provsim.psame left: the one waiting for its name (0x").size(), 1u);
  EXPECT_EQ(GroupSummary(B, "gsame"), (std::pair<long, long>{12, 0}));
  EXPECT_EQ(TaggedNumbers(B.Read("gsame_000.cap"), "psame"), (std::vector<u32>{1, 2, 3, 4, 5, 1, 2, 3, 4, 5, 6, 7}));
}

/* A provider that answers the close's capture off with a flood that does not end, and a second signal, once the
 * flood is written, that cuts the close short: the server stops waiting for it, closes its link (what its TCP had
 * acknowledged read first) and counts what it read in the provider's group, none as "received too late": every data
 * message the server acknowledged is written or counted lost there. */
TEST(SigTraceServer, ProviderFloodingPastACloseCutShortIsCountedInItsGroup) {
  CServerBench B(1, true); /* the board on an address of its own: 127.0.0.1 at the port is the server's */
  B.StartServer("-h248 -cap");
  CProvsim Flood(B, "pflood", {"--group", "gflood", "--count", "3000", "--ignore-off", "--off-count", "1000000"});
  ASSERT_EQ(Flood.Line(), "capture 1 gflood");
  ASSERT_EQ(Flood.Line(), "sent 3000");
  ASSERT_EQ(kill(B.Server().mPid, SIGTERM), 0);
  ASSERT_EQ(Flood.Line(), "capture 0 gflood");
  ASSERT_TRUE(peerwait::WaitUntil([&] {
    return sigtest::PcapRecords(B.Read("gflood_000.cap"), 1) > 3000 || !B.LogLines("Close: units still arriving").empty();
  }, 30000)) << "the flood after the capture off taken in";
  ASSERT_EQ(kill(B.Server().mPid, SIGTERM), 0);
  std::string strLast; /* once its link is gone, which a sender held back by a full window learns late (a minute at most) */
  for (int i = 0; i < 6 && strLast.rfind("acked ", 0) != 0; i++)
    if (const std::string s = Flood.Line(); !s.empty()) strLast = s;
  unsigned un32Acked = 0;
  EXPECT_EQ(sscanf(strLast.c_str(), "acked %u", &un32Acked), 1) << strLast;
  EXPECT_EQ(B.Server().Wait(VQCAF::VQ_SIGTRACE_DRAIN_CAP_MS + 10000), 0);
  const auto [nWritten, nLost] = GroupSummary(B, "gflood");
  EXPECT_EQ(nWritten, sigtest::PcapRecords(B.Read("gflood_000.cap"), 1));
  EXPECT_GE(nWritten + nLost, static_cast<long>(un32Acked)) << nWritten << " written, " << nLost << " lost";
  EXPECT_GT(nWritten + nLost, 3000);
  EXPECT_EQ(DroppedAfterTheGroups(B), 0);
  EXPECT_EQ(B.LogLines("still delivering"), std::vector<std::string>());
  EXPECT_EQ(B.LogLines("Close: cut short by a signal").size(), 1u);
}

/* A provider that links once the close began (providers restarting as the server stops): a provider that answers
 * the close's capture off with a flood holds the close open while the C++ provider starts and links. That one is not
 * served: told capture off for its group, never on, no group made for it, named in "Entities not traced". Once the
 * flood ends (its provider killed) the close ends by itself, 2 s after the last data, not at its cap, and nothing is
 * counted lost but in the flood's group. */
TEST(SigTraceServer, ProviderLinkingDuringTheCloseIsNotServed) {
  CServerBench B(1, true);
  B.StartServer("-h248 -cap");
  CProvsim Flood(B, "pflood", {"--group", "gflood", "--count", "300", "--ignore-off", "--off-count", "1000000000"});
  ASSERT_EQ(Flood.Line(), "capture 1 gflood");
  ASSERT_EQ(Flood.Line(), "sent 300");
  ASSERT_EQ(kill(B.Server().mPid, SIGTERM), 0);
  ASSERT_EQ(Flood.Line(), "capture 0 gflood");
  peerproc::CChild Late({peerproc::BuildProgram("VQX_SIGTRACE_PROVIDER", "testing/sigtrace_provider/vqx_sigtrace_provider"),
                         "--port", std::to_string(loopnet::FreeLoopbackPort()), "--peer-port", std::to_string(B.mun16Port),
                         "--app", "late", "--name", "glate", "--stay"});
  std::string strCapture; /* once linked and registered (30 s at most) */
  for (int i = 0; i < 3 && strCapture.empty(); i++) strCapture = Late.ReadLine();
  EXPECT_EQ(strCapture, "capture 0 glate") << "told capture off, never on";
  ASSERT_EQ(kill(Flood.mPid, SIGKILL), 0);
  EXPECT_EQ(B.Server().Wait(VQCAF::VQ_SIGTRACE_DRAIN_CAP_MS + 10000), 0);
  kill(Late.mPid, SIGKILL);
  for (const auto& [pszLine, un32Count] : std::vector<std::pair<const char*, size_t>>{
           {"late linked during the close: not served", 1}, {"Close: no provider data for 2000 ms", 1},
           {"Close: still taking units after", 0}, {"still delivering", 0}, {"late detected", 0},
           {".late (linked during the close)", 1}, {"Group glate", 0}})
    EXPECT_EQ(B.LogLines(pszLine).size(), un32Count) << pszLine;
  const auto [nWritten, nLost] = GroupSummary(B, "gflood");
  EXPECT_EQ(nWritten, sigtest::PcapRecords(B.Read("gflood_000.cap"), 1));
  EXPECT_GE(nWritten, 300);
  EXPECT_GE(nLost, 0);
}

/* SIGTERM while the board streams units, and goes on streaming past the close's write time (VQ_SIGTRACE_DRAIN_MS),
 * whatever the machine's pace: it holds the off requests ("traceoff hold") and streams bursts until the server logs
 * that late units are counted lost, sends one burst more, then answers them after its last units. Every unit sent is
 * in the file or counted in its group's "lost" of the summary, none dropped aside, the last burst's among the lost;
 * the answers end the close, well within its cap. The exit is awaited 10 s past the cap. */
TEST(SigTraceServer, SigtermUnderLoadWritesOrCountsEveryUnitTakenIn) {
  CServerBench B;
  B.StartServer("-ss7");
  ASSERT_TRUE(B.WaitTracesOn(2));
  ASSERT_EQ(B.Board().Command("traceoff hold"), "ok");
  ASSERT_EQ(B.Board().Command("tracelog /dev/null"), "ok");
  std::atomic<long> nSent{0}, nAfter{0};  /* nAfter: the burst begun once the server counted late units lost */
  std::atomic<bool> fLate{false};
  std::string strAnswer;
  std::thread Stream([&] {  /* the control line is this thread's until it ends; 90 s at most */
    const auto End = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (std::chrono::steady_clock::now() < End) {
      const bool fLast = fLate;
      const std::string s = B.Board().Command("trace ss7 1000");
      if (s.rfind("ok ", 0) != 0) break;
      nSent += std::stol(s.substr(3));
      if (fLast) {
        nAfter = std::stol(s.substr(3));
        break;
      }
    }
    strAnswer = B.Board().Command("traceoff answer");
  });
  const bool fSending = peerwait::WaitUntil([&] { return nSent > 10000; }, 30000);
  const int nKill = kill(B.Server().mPid, SIGTERM);
  fLate = peerwait::WaitUntil([&] { return !B.LogLines("Close: units still arriving after ").empty(); }, 30000);
  Stream.join();
  const bool fSetUp = fSending && nKill == 0 && fLate && nAfter == 2000 && strAnswer == "ok";
  const int nStatus = fSetUp ? B.Server().Wait(VQCAF::VQ_SIGTRACE_DRAIN_CAP_MS + 10000) : -1;
  if (B.LiveBoardClosedByAHold()) return; /* a board that streams, then answers: the machine's doing */
  ASSERT_TRUE(fSetUp) << nSent << " sent, " << strAnswer;
  EXPECT_EQ(nStatus, 0);
  EXPECT_EQ(B.Board().Stat("traces_on"), 0) << "the held off requests applied";
  const long nWritten = Ss7Records(B);
  const auto [nSaidWritten, nLost] = GroupSummary(B, "SS7");
  EXPECT_EQ(nSaidWritten, nWritten);
  EXPECT_EQ(nWritten + nLost, nSent);
  EXPECT_GE(nLost, nAfter) << "the units read past the write time";
  EXPECT_EQ(B.LogLines("received too late to be written"), std::vector<std::string>());
  EXPECT_EQ(B.LogLines("Close: every traces-off answered after ").size(), 1u) << "the close ends at the last answer";
}

/* A board of 60,000 TCP/IP instances (as one of tens of thousands of CAS R2 trunks, with small messages): its
 * discovery goes at the board's pace with 64 requests at most on their way (the board holds its answers from some
 * point on, before its table is full, so that what it was asked is at rest). SIGTERM then cuts the discovery short:
 * the board is asked nothing more, also once it answers again; the server ends within the close's bound, exit status
 * 0, and its summary counts every entity the board offered that the table did not take, cut short by the close. */
TEST(SigTraceServer, SigtermEndsTheServerWhileTheAdapterResendsToABoardOfManyEntities) {
  CServerBench B;
  std::ofstream(B.Path("profile.json")) << sigtest::TuclProfile(60000);
  B.StartBoard();
  ASSERT_EQ(B.Board().Command("hold"), "ok");
  B.StartServer("-ss7");
  /* The configuration, the list, then a few instances answered; the requests that follow held. */
  for (const long nRelease : {1, 1, 20}) {
    ASSERT_TRUE(peerwait::WaitUntil([&] { return B.Board().Stat("held") >= nRelease; }, 90000)) << nRelease;
    ASSERT_EQ(B.Board().Command("release " + std::to_string(nRelease)), "ok " + std::to_string(nRelease));
  }
  ASSERT_TRUE(peerwait::WaitUntil([&] { return B.Board().Stat("held") > 0; }, 10000));
  /* What the server had asked and not yet answered: at most 64 requests, here or still on their way. */
  const long nAsked = B.Board().Stat("discovery_requests");
  const auto Start = std::chrono::steady_clock::now();
  ASSERT_EQ(kill(B.Server().mPid, SIGTERM), 0);
  EXPECT_TRUE(peerwait::WaitUntil([&] { return !B.LogLines("discovery cut short: ").empty(); }, 30000));
  EXPECT_EQ(B.Board().Command("release").rfind("ok ", 0), 0u);
  EXPECT_EQ(B.Server().Wait(VQCAF::VQ_SIGTRACE_DRAIN_CAP_MS + 10000), 0);
  std::printf("ended %.2f s after SIGTERM\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count());
  EXPECT_LE(B.Board().Stat("discovery_requests"), nAsked + VQCAF::VQ_SIGTRACE_MAX_IN_FLIGHT)
      << "asked nothing once the close began, those on their way aside";
  const std::vector<std::string> aSync = B.LogLines("<Sync> 12345678: TUCL");
  const size_t nTaken = std::count_if(aSync.begin(), aSync.end(), [](const std::string& s) { return s.ends_with(": TUCL"); });
  EXPECT_GE(nTaken, 20u) << "those answered before the hold";
  const std::string strLeftOut = std::to_string(60000 - nTaken);
  EXPECT_EQ(B.LogLines("Entities not traced: " + strLeftOut + ", board entities among them: " + strLeftOut + " of 12345678 (")
                .size(), 1u);
}

/* A board of 2 SS7 links and 198 CAS R2 trunks, more than its table holds, traced with "-ss7": the links take the table
 * first and are traced; the summary counts what the table left out by family. */
TEST(SigTraceServer, Ss7OnABoardOfMoreEntitiesThanItsTableTracesItsLinks) {
  CServerBench B;
  std::ofstream(B.Path("profile.json")) << sigtest::TrunksProfile(198);
  B.StartBoard();
  B.StartServer("-ss7");
  ASSERT_TRUE(B.WaitTracesOn(2));
  ASSERT_EQ(kill(B.Server().mPid, SIGTERM), 0);
  EXPECT_EQ(B.Server().Wait(VQCAF::VQ_SIGTRACE_DRAIN_CAP_MS + 10000), 0);
  EXPECT_EQ(B.LogLines("Activate all signaling entities on 12345678 SS7=1 ISDN=0 CASR2=0").size(), 1u);
  EXPECT_EQ(B.LogLines("Allocate entity: add \033[32m12345678:L").size(), 2u) << "both links traced";
  EXPECT_EQ(B.LogLines("Entities not traced: 72, board entities among them: 72 of 12345678 (72 past its 128 (72 CASR2))")
                .size(), 1u);
}

/* What the summary counts of a board: N in "N of <serial> (...)" of its "Entities not traced" line; 0 without. */
long NotTracedOf(const std::string& strLine, const std::string& strSerial) {
  const size_t i = strLine.find(" of " + strSerial + " (");
  if (i == std::string::npos) return 0;
  const size_t iStart = strLine.find_last_of(" ", i - 1);
  return std::stol(strLine.substr(iStart + 1, i - iStart - 1));
}

/*
 * Four boards of 300 SS7 links each, every family traced (the table takes 128, all of them traced in the SS7
 * group): one discovered, traced and gone; one gone mid-discovery (all its table can take asked, some answered, the
 * rest of its round unanswered or not asked); one gone mid-discovery and back, discovered whole; one mid-discovery at
 * the SIGTERM, its held answers let out once the close cut its discovery short. For every board, the entities traced and those the summary counts add up to the
 * 300 it offered, each counted once (the board back by its last stay), whatever ended it; the answers that came once
 * the discovery was cut short are no trace units: no drop line.
 */
TEST(SigTraceServer, EveryEntityABoardOfferedIsTracedOrCountedWhateverEndedIt) {
  constexpr long kOffered = 300;
  CServerBench B(4);
  std::string strProfile = R"({"mtp2": [{"id": 1, "links": [)";
  for (long i = 1; i <= kOffered; i++)
    strProfile += (i > 1 ? ", {\"id\": " : "{\"id\": ") + std::to_string(1000 + i) + ", \"trunk\": " + std::to_string(i) +
                  ", \"timeslots\": [1], \"name\": \"L" + std::to_string(i) + "\"}";
  std::ofstream(B.Path("profile.json")) << strProfile << "]}]}";
  for (u32 i = 0; i < 4; i++) {
    B.StartBoard(i);
    if (i != 0) {
      ASSERT_EQ(B.Board(i).Command("hold"), "ok");
    }
  }
  /* Boards 1 to 3: each one's discovery held once it asked all its table can take (the configuration, two lists and
   * 128 links), its answers let out in turn until then but the last it holds, so that its round stays open. */
  const auto HeldMidDiscovery = [&] {
    return peerwait::WaitUntil([&] {
      bool fAll = true;
      for (u32 i = 1; i < 4; i++) {
        if (B.Board(i).Stat("discovery_requests") >= 3 + 128) continue;
        fAll = false;
        const long nHeld = B.Board(i).Stat("held");
        if (nHeld > 1) B.Board(i).Command("release " + std::to_string(nHeld - 1));
      }
      return fAll;
    }, 60000);
  };
  const auto Gone = [&](u32 i) {
    B.StopBoard(i);
    return peerwait::WaitUntil([&] { return !B.LogLines("Adapter " + B.BoardSerial(i) + " removed").empty(); }, 30000);
  };
  B.StartServer("");
  ASSERT_TRUE(HeldMidDiscovery());
  ASSERT_TRUE(Gone(1));
  ASSERT_TRUE(B.WaitTracesOn(128, 0));
  ASSERT_TRUE(Gone(0) && Gone(2));
  B.StartBoard(2);
  ASSERT_TRUE(B.WaitTracesOn(128, 2)) << "board 2 back, discovered whole";
  ASSERT_EQ(kill(B.Server().mPid, SIGTERM), 0);
  EXPECT_TRUE(peerwait::WaitUntil([&] { return !B.LogLines("12345681: discovery cut short: ").empty(); }, 30000));
  EXPECT_EQ(B.Board(3).Command("release").rfind("ok ", 0), 0u);
  const int nStatus = B.Server().Wait(VQCAF::VQ_SIGTRACE_DRAIN_CAP_MS + 10000);
  if (B.LiveBoardClosedByAHold()) return; /* a board left by a timeout: the machine's doing */
  EXPECT_EQ(nStatus, 0);
  const auto Summary = B.LogLines("Entities not traced: ");
  ASSERT_EQ(Summary.size(), 1u);
  /* The links a board held mid-discovery had in its table: those whose answer was let out. */
  const auto Taken = [&](u32 i) { return std::to_string(B.LogLines("<Sync> " + B.BoardSerial(i) + ": MTP2 LINK").size()); };
  const struct {
    long nTraced, nNotTraced;
    std::string strWhy;
  } aBoards[] = {{128, 172, "(172 past its 128 (172 SS7))"},
                 {0, kOffered, "cut short by its removal, " + Taken(1) + " in its table, not traced)"},
                 {128, 172, "(172 past its 128 (172 SS7))"},
                 {0, kOffered, Taken(3) + " in its table, not traced)"}}; /* its held requests may be given up by then */
  long nNotTraced = 0;
  for (u32 i = 0; i < 4; i++) {
    const std::string strSerial = B.BoardSerial(i);
    SCOPED_TRACE(strSerial);
    const long nTraced = static_cast<long>(B.LogLines("Allocate entity: add \033[32m" + strSerial + ":").size());
    EXPECT_EQ(nTraced, aBoards[i].nTraced);
    EXPECT_EQ(NotTracedOf(Summary[0], strSerial), aBoards[i].nNotTraced) << Summary[0];
    const size_t iWhy = Summary[0].find(" of " + strSerial + " (");
    EXPECT_NE(Summary[0].find(aBoards[i].strWhy, iWhy), std::string::npos) << Summary[0];
    nNotTraced += NotTracedOf(Summary[0], strSerial);
  }
  EXPECT_NE(Summary[0].find("Entities not traced: " + std::to_string(nNotTraced) + ", "), std::string::npos) << Summary[0];
  EXPECT_EQ(B.LogLines("received too late to be written"), std::vector<std::string>()) << "no unit was sent";
}

/* A board that never answers the off requests ("traceoff ignore") and keeps sending SS7 units (bursts, its log
 * left out): the close begins by a first signal or by the run time, and each row sends one signal more once the board
 * has seen the off requests (the close is under way), or none. A signal during the close ends its wait at once;
 * without one the close takes units for 30 s. Either way the server takes no unit once it stops waiting: each unit its
 * TCP acknowledged (the board's "acked") is in a segment, counted lost in the group's summary or counted in the one
 * line after the summaries, also where the board sends until the server closes its link; where the stream ends and
 * the server has read it whole before the second signal, that is every unit sent. */
TEST(SigTraceServer, CloseOfABoardThatNeverAnswersEndsAtASignalDuringItOrAfter30s) {
  struct SRow {
    const char* pszArgs;
    int nFirst, nSecond;  /* 0: the run time begins the close / no signal during it */
    const char* pszEnd;   /* the log line of the drain's end */
    unsigned un32Ms;      /* the summary is logged within this after the close began */
    bool fAllRead;        /* the stream ends, read whole, before the second signal */
  };
  for (const SRow& Row : {SRow{"-ss7", SIGTERM, SIGINT, "Close: cut short by a signal", 10000, true},
                          SRow{"-ss7", SIGINT, SIGTERM, "Close: cut short by a signal", 10000, false},
                          SRow{"-ss7 -e 3000", 0, SIGINT, "Close: cut short by a signal", 10000, true},
                          SRow{"-ss7", SIGTERM, 0, "Close: still taking units after 30000 ms (2 answer(s) missing)", 60000, false}}) {
    SCOPED_TRACE(std::string(Row.pszArgs) + ": " + (Row.nFirst != 0 ? strsignal(Row.nFirst) : "run time") + ", then " +
                 (Row.nSecond != 0 ? strsignal(Row.nSecond) : "none"));
    CServerBench B;
    B.StartServer(Row.pszArgs);
    ASSERT_TRUE(B.WaitTracesOn(2));
    ASSERT_EQ(B.Board().Command("traceoff ignore"), "ok");
    ASSERT_EQ(B.Board().Command("tracelog /dev/null"), "ok");
    std::atomic<long> nSent{0}, nOffIgnored{0};
    std::atomic<bool> fStop{false};
    std::thread Stream([&] {  /* until the server's link goes ("error no link"), 90 s at most */
      const auto End = std::chrono::steady_clock::now() + std::chrono::seconds(90);
      while (!fStop && std::chrono::steady_clock::now() < End) {
        const std::string s = B.Board().Command("trace ss7 1000");
        if (s.rfind("ok ", 0) != 0) break;
        nSent += std::stol(s.substr(3));
        nOffIgnored = B.Board().Stat("traces_off_ignored");
      }
    });
    const bool fSending = peerwait::WaitUntil([&] { return nSent > 10000; }, 30000);
    const int nFirst = Row.nFirst != 0 ? kill(B.Server().mPid, Row.nFirst) : 0;
    const bool fOff = peerwait::WaitUntil([&] { return nOffIgnored == 2; }, 10000);
    bool fAllRead = true;
    if (Row.fAllRead) {  /* the stream ends and the server reads it whole: the close takes its last units */
      fStop = true;
      Stream.join();
      fAllRead = peerwait::WaitUntil([&] { return B.Board().Stat("unread") == 0; }, 10000);
    }
    const int nSecond = Row.nSecond != 0 ? kill(B.Server().mPid, Row.nSecond) : 0;
    const bool fSummary = peerwait::WaitUntil([&] { return !B.LogLines("Group SS7: ").empty(); }, Row.un32Ms);
    const int nStatus = B.Server().Wait();
    fStop = true;
    if (Stream.joinable()) Stream.join();
    if (B.LiveBoardClosedByAHold()) continue; /* it answers polls: the machine's doing only */
    ASSERT_TRUE(fSending && nFirst == 0 && fOff && fAllRead && nSecond == 0)
        << nSent << " units sent, " << nOffIgnored << " off ignored";
    EXPECT_TRUE(fSummary) << "the close still waiting";
    EXPECT_EQ(nStatus, 0);
    EXPECT_EQ(B.LogLines(Row.pszEnd).size(), 1u);
    const auto [nWritten, nLost] = GroupSummary(B, "SS7");
    EXPECT_EQ(nWritten, Ss7Records(B));
    const long nDropped = DroppedAfterTheGroups(B), nAcked = B.Board().Stat("acked");
    EXPECT_TRUE(nLost >= (Row.nSecond != 0 ? 0 : 1) && nDropped >= 0 && nWritten + nLost + nDropped == nAcked &&
                (!Row.fAllRead || nAcked == nSent))
        << nWritten << " + " << nLost << " + " << nDropped << " of " << nAcked << " acknowledged, " << nSent << " sent";
    EXPECT_EQ(B.LogLines("Close: every traces-off answered").size(), 0u);
  }
}

/* A consumer that stops taking units for longer than the down delays: the reader of "-stdout" stops reading for
 * 3 s (six network-down delays of the bench's 500 ms) in the middle of a burst of 60000 units. The server's main loop
 * blocks on the full pipe, the host library's receive fifo (32768) fills and its back pressure holds the transport's
 * reads back, so the board's poll replies wait unread behind its units. The board is not silent: the link stays (no
 * "TCP timeout", one link, nothing left unsent at the board), and once the reader reads again every unit of the burst
 * is written, in order. (A silent board is still closed during such a stall: hostlib/tests/test_board_stall_it.cpp.)
 * The board is heard from within a poll (200 ms) and its answer's scheduling: only the machine holding it past the
 * rest of the limit may close it, which leaves nothing more of the case to see. */
TEST(SigTraceServer, StalledStdoutReaderKeepsTheBoardLinkedAndLosesNoUnit) {
  CServerBench B;
  CFifoReader Reader(B.Path("stream.cap"));
  ASSERT_GE(Reader.mFd.n, 0) << "the fifo made and opened";
  B.StartShell("exec \"$SIGTRACE\" -ss7 -stdout -e 120000 2>/dev/null > stream.cap");
  const std::string& strStream = Reader.mstrRead;
  const auto Read = [&] { Reader.Read(); };
  ASSERT_TRUE(B.WaitTracesOn(2));
  CTimeoutSeen Timeout(B);
  constexpr long kUnits = 60000; /* 30000 to each of the 2 SS7 links: past the fifo and every buffer on the way */
  std::string strBurst;
  std::atomic<bool> fBurstDone{false};
  std::thread Burst([&] {
    strBurst = B.Board().Command("trace ss7 " + std::to_string(kUnits / 2), 120); /* answered once all is sent */
    fBurstDone = true;
  });
  /* Nothing read: the board builds units as its link drains, so its log stops growing once the server holds back. */
  long nStalledAt = 0;
  const bool fStalled = BoardStalls(B, nStalledAt);
  if (fStalled) std::this_thread::sleep_for(std::chrono::seconds(3)); /* the stall itself: longer than the delays */
  /* Read again: the burst ends, then every unit it logged reaches the stream. */
  long nSent = -1;
  const bool fDrained = peerwait::WaitUntil([&] {
    Read();
    if (nSent < 0 && fBurstDone) nSent = LineCount(B.Path("board.log"));
    return (nSent >= 0 && static_cast<long>(PcapTails(strStream, 0)) >= nSent) || Timeout.mfSeen;
  }, 90000);
  Burst.join();
  if (B.LiveBoardClosedByAHold()) return;
  ASSERT_TRUE(fStalled) << "the board's units kept leaving: " << nStalledAt;
  EXPECT_TRUE(fDrained);
  EXPECT_EQ(strBurst, "ok " + std::to_string(kUnits)) << "stalled at " << nStalledAt << " units";
  EXPECT_EQ(B.LogLines("TCP timeout"), std::vector<std::string>());
  EXPECT_EQ(B.Board().Stat("links"), 1) << B.Board().Command("stats");
  EXPECT_EQ(B.Board().Stat("unsent"), 0);
  ASSERT_EQ(kill(B.Server().mPid, SIGTERM), 0); /* all was read: what it still writes fits in the pipe */
  EXPECT_EQ(B.Server().Wait(), 0);
  Read();
  const auto Sent = peerboard::TraceLog(B.Path("board.log"), "ss7");
  std::vector<std::string> Tails;
  PcapTails(strStream, 16, &Tails);
  ASSERT_EQ(Tails.size(), Sent.size()) << "every unit the board sent written";
  size_t nOutOfOrder = 0;
  for (size_t i = 0; i < Sent.size(); i++) nOutOfOrder += Tails[i] != Sent[i].data;
  EXPECT_EQ(nOutOfOrder, 0u) << "in order";
}

/* Stops of the server (SIGSTOP to SIGCONT), and the time it ran over [from, to]: the span less the stops in it. */
using CStops = std::vector<std::pair<std::chrono::steady_clock::time_point, std::chrono::steady_clock::time_point>>;
long RanMs(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to, const CStops& Stops) {
  if (to <= from) return 0;
  auto Ran = to - from;
  for (const auto& [tStop, tCont] : Stops)
    if (std::min(tCont, to) > std::max(tStop, from)) Ran -= std::min(tCont, to) - std::max(tStop, from);
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Ran).count());
}

/* A silent board's keep-alive close judged by the server's own line, "TCP timeout (Sms > Lms)": the board's last
 * byte came S ms before the line, so the close was due L ms past it, or, that moment falling in a stop, as the server
 * runs again; a stop long enough for the judging thread's next look to be late (1 s) adds the late wake's grace once,
 * a poll period and an answer's (400 ms). From then, the server closes within a poll period (200 ms: a poll due past
 * the limit has it look), the log's and the kernel's grain (50 ms), and what held it: its threads' own wait to run
 * (the probe watches the server) and the machine's holds and stalls. */
void ExpectClosedWhenDue(CServerBench& B, const peerwait::StallProbe& Stall, const CStops& Stops) {
  const auto Lines = B.LogLines("TCP timeout (");
  ASSERT_EQ(Lines.size(), 1u);
  const auto [nSilenceMs, nLimitMs] = TimeoutLine(B);
  EXPECT_EQ(nLimitMs, 1100);
  EXPECT_GE(nSilenceMs, nLimitMs) << "closed before the limit";
  const auto tClose = CServerBench::LogTime(Lines[0]);
  auto tDue = tClose - std::chrono::milliseconds(nSilenceMs - nLimitMs);
  for (const auto& [tStop, tCont] : Stops) {
    const bool fLateWake = tCont - tStop >= std::chrono::milliseconds(1000 - 250); /* less a look period */
    if (fLateWake && tDue > tStop - std::chrono::milliseconds(250) && tDue < tCont + std::chrono::milliseconds(400))
      tDue = tCont + std::chrono::milliseconds(400);
    else if (tDue > tStop && tDue < tCont)
      tDue = tCont;
  }
  const long nWaitedMs = Stall.WaitedMs(B.Server().mPid, tDue, tClose);
  EXPECT_LE(RanMs(tDue, tClose, Stops), 200 + 50 + Stall.WorstMs(tDue, tClose) + nWaitedMs)
      << "ran that long past the close's due time: " << Lines[0] << "; the server's threads waited to run " << nWaitedMs
      << " ms, " << Stall.Seen();
}

/* A server that does not run for longer than the keep-alive's limit (SIGSTOP for 5 s, the bench's limit 1100 ms,
 * then SIGCONT) keeps its board: its kernel took the board's bytes meanwhile. Stopped in the middle of a burst (its
 * socket full, segments dropped, the board's TCP backing off), the link stays and every unit of the burst is written.
 * A board that falls silent as the server stops is closed once the server runs again, after the late wake's grace (a
 * poll's round trip) and within a poll period (200 ms), also when its TCP sends keep-alive probes every second of the
 * stop, each dropped by the server's socket (a copy of an old byte, no refusal). Stopped 0.4 s in every second, a
 * silent board is closed all the same, past the limit of silence and within a poll period of the server running past
 * it: each late wake of the server gives a silence a poll's round trip, once, never more. */
TEST(SigTraceServer, StoppedServerKeepsItsBoardASilentOneIsClosedOnceItRunsAgain) {
  const struct { int nStops; bool fProbes; } Rows[] = {{0, false}, {1, false}, {1, true}, {10, false}};
  for (const auto& Row : Rows) {
    const int nStops = Row.nStops;
    const bool fSilent = nStops != 0;
    SCOPED_TRACE(nStops == 0 ? "board in a burst"
                 : Row.fProbes ? "silent board, its keep-alive probes dropped"
                 : nStops == 1 ? "silent board"
                               : "silent board, stopped again and again");
    CServerBench B;
    B.StartServer("-ss7");
    ASSERT_TRUE(B.WaitTracesOn(2));
    peerwait::StallProbe Stall;
    Stall.Watch(B.Server().mPid);
    constexpr long kUnits = 20000; /* 10000 to each of the 2 SS7 links */
    std::string strBurst;
    std::thread Burst;
    if (fSilent) {
      ASSERT_TRUE(!Row.fProbes || B.Board().Command("keepalive 1") == "ok");
      ASSERT_EQ(B.Board().Command("silent"), "ok");
    } else {
      Burst = std::thread([&] { strBurst = B.Board().Command("trace ss7 " + std::to_string(kUnits / 2), 120); });
      EXPECT_TRUE(peerwait::WaitUntil([&] { return LineCount(B.Path("board.log")) > 2000; }, 30000)) << "the burst begun";
    }
    CStops Stops;
    /* Stopped for 5 s once, or 0.4 s each second until the board is closed. */
    for (int i = 0; i < nStops || nStops == 0; i++) {
      const auto tStop = std::chrono::steady_clock::now();
      const int nStop = kill(B.Server().mPid, SIGSTOP);
      std::this_thread::sleep_for(std::chrono::milliseconds(nStops > 1 ? 400 : 5000)); /* the stop itself */
      Stops.emplace_back(tStop, std::chrono::steady_clock::now());
      const int nCont = kill(B.Server().mPid, SIGCONT);
      EXPECT_TRUE(nStop == 0 && nCont == 0);
      if (nStops <= 1 || peerwait::WaitUntil([&] { return B.Board().Stat("closed_by_host") == 1; }, 600)) break;
    }
    if (Burst.joinable()) Burst.join();
    if (fSilent) {
      EXPECT_TRUE(peerwait::WaitUntil([&] { return B.Board().Stat("closed_by_host") == 1; }, 10000)) << "never closed";
      EXPECT_TRUE(peerwait::WaitUntil([&] { return B.LogLines("TCP timeout").size() == 1; }, 5000));
      ExpectClosedWhenDue(B, Stall, Stops);
      continue;
    }
    EXPECT_EQ(strBurst, "ok " + std::to_string(kUnits));
    EXPECT_EQ(B.Board().Stat("links"), 1) << B.Board().Command("stats");
    EXPECT_EQ(B.Board().Stat("unsent"), 0);
    EXPECT_TRUE(B.Drained());
    ASSERT_EQ(kill(B.Server().mPid, SIGTERM), 0);
    EXPECT_EQ(B.Server().Wait(), 0);
    EXPECT_EQ(B.LogLines("TCP timeout"), std::vector<std::string>());
    EXPECT_EQ(sigtest::PcapRecords(B.Read("SS7_000.cap"), 139), kUnits) << "every unit of the burst written";
  }
}

/* A board gone and back is traced again; then another board in its place, whose serial number gives the peer
 * handle of the one gone, is linked once that one is gone for its down delay (named once at most before), traced
 * under names of its own, never in the gone board's records. */
TEST(SigTraceServer, BoardLostAndBackIsTracedAgain) {
  CServerBench B;
  B.StartServer("-ss7");
  ASSERT_TRUE(B.WaitTracesOn(2));
  B.StopBoard();
  ASSERT_TRUE(peerwait::WaitUntil([&] { return !B.LogLines("Adapter 12345678 removed").empty(); }, 10000));
  B.StartBoard();
  ASSERT_TRUE(B.WaitTracesOn(2)) << "the links of the board back are switched on again";
  ASSERT_TRUE(B.SendUnits(2) == 4 && B.Drained());
  B.StopBoard();
  ASSERT_TRUE(peerwait::WaitUntil([&] { return B.LogLines("Adapter 12345678 removed").size() == 2; }, 10000));
  B.StartBoard(0, "22345678"); /* its handle is 0xCA345678 too */
  ASSERT_TRUE(B.WaitTracesOn(2)) << "the new board is linked and traced";
  ASSERT_TRUE(B.SendUnits(2) == 4 && B.Drained() && kill(B.Server().mPid, SIGTERM) == 0);
  const int nStatus = B.Server().Wait();
  if (B.LiveBoardClosedByAHold()) return; /* the boards leave by their link's end: a timeout is the machine's doing */
  EXPECT_EQ(nStatus, 0) << "ended by SIGTERM";
  EXPECT_LE(B.LogLines("Adapter handle conflict: '22345678' with '12345678'").size(), 1u);
  EXPECT_EQ(B.LogLines("Allocate entity: add \033[32m22345678:22345678_").size(), 2u) << "names of its own";
  EXPECT_EQ(B.LogLines("back in group SS7 in place of").size(), 0u);
  EXPECT_EQ(GroupSummary(B, "SS7"), std::make_pair(8L, 0L));
  EXPECT_TRUE(!peertshark::Present() || peertshark::Frames(B.Path("SS7_000.cap")).size() == 8u);
}

/* Two boards of one profile (their links named alike, one unnamed), default options: each board gets its trace-on
 * requests, the entities of the board handled second whose names the first holds in a group are traced as
 * "<board>_<name>", every unit is written, and the LAPD records tell the boards apart by their address. Then the
 * second board comes back with LINK_A moved to another trunk, its unnamed link named, and a CAS R2 trunk gone: the
 * first two are traced again, and the trunk it no longer has is not switched off at the close (a board refuses it). */
TEST(SigTraceServer, TwoBoardsOfOneProfileEachTracedWholeAndOneBackChanged) {
  CServerBench B(2);
  B.StartServer("");
  ASSERT_TRUE(B.WaitTracesOn(kEntities, 0) && B.WaitTracesOn(kEntities, 1));
  long nSent = B.SendUnits(2, 0) + B.SendUnits(2, 1);
  EXPECT_EQ(nSent, 4 * kEntities);
  ASSERT_TRUE(B.Drained(0) && B.Drained(1));
  EXPECT_EQ(B.LogLines(" in group SS7: another board's entity has its name there").size(), 2u) << "LINK_A, [Undefined]";
  for (const char* pszGroup : {"LAPD", "ISDN"})
    EXPECT_EQ(B.LogLines(std::string(" in group ") + pszGroup + ": another board's entity has its name there").size(), 1u);
  /* Board 1 back changed. */
  B.StopBoard(1);
  ASSERT_TRUE(peerwait::WaitUntil([&] { return !B.LogLines("Adapter 12345679 removed").empty(); }, 10000));
  std::string strProfile = B.Read("profile.json");
  for (const auto& [pszFrom, pszTo] : {std::pair{"\"trunk\": 5,", "\"trunk\": 7,"}, {"\"trunk\": 6, \"timeslots\": [1]}",
                                        "\"trunk\": 6, \"timeslots\": [1], \"name\": \"LINK_C\"}"}, {", {\"id\": 2, \"trunk\": 3}", ""}}) {
    ASSERT_NE(strProfile.find(pszFrom), std::string::npos) << pszFrom;
    strProfile.replace(strProfile.find(pszFrom), strlen(pszFrom), pszTo);
  }
  std::ofstream(B.Path("profile.json")) << strProfile;
  B.StartBoard(1);
  ASSERT_TRUE(B.WaitTracesOn(kEntities - 1, 1));
  nSent += B.SendUnits(1, 0) + B.SendUnits(1, 1);
  ASSERT_TRUE(B.Drained(0) && B.Drained(1) && kill(B.Server().mPid, SIGTERM) == 0);
  const int nStatus = B.Server().Wait();
  if (B.LiveBoardClosedByAHold()) return; /* the boards leave by their link's end: a timeout is the machine's doing */
  EXPECT_EQ(nStatus, 0);
  for (u32 i = 0; i < 2; i++) {
    EXPECT_EQ(B.Board(i).Stat("traces_on"), 0) << i;
    EXPECT_EQ(B.Board(i).Stat("trace_requests"), 2 * (kEntities - i)) << "on and off, board " << i;
  }
  EXPECT_EQ(B.LogLines("refused by"), std::vector<std::string>());
  EXPECT_EQ(B.LogLines("back in group SS7 in place of").size(), 2u) << "the moved and the named link";
  /* Every unit sent written, once, under names each board's own in its group. */
  long nWritten = 0, nLost = 0;
  for (const std::string& s : B.LogLines(" units written, ")) {
    long nW = 0, nL = 0;
    ASSERT_EQ(sscanf(s.c_str() + s.find(": ", s.find("Group ")), ": %ld units written, %ld lost", &nW, &nL), 2) << s;
    nWritten += nW, nLost += nL;
  }
  EXPECT_EQ(std::make_pair(nWritten, nLost), std::make_pair(nSent, 0L));
  std::set<std::string> Names;
  const auto Allocated = B.LogLines("Allocate entity: add ");
  for (const std::string& s : Allocated) Names.insert(s.substr(s.find(":", s.find("add ")) + 1));
  EXPECT_EQ(Names.size(), Allocated.size()) << "a name taken twice in a group";
  EXPECT_EQ(Allocated.size(), 2u * kEntities);
  if (peertshark::Present()) {
    std::set<std::string> Addresses;
    for (const std::string& s : peertshark::Lines(B.Path("LAPD_000.cap"), "-T fields -e ip.src -e ip.dst -e iua.info_string"))
      Addresses.insert(s);
    EXPECT_EQ(Addresses, (std::set<std::string>{"0.0.0.0\t127.0.0.2\tLAPD_A", "127.0.0.2\t0.0.0.0\tLAPD_A",
                                                "0.0.0.0\t127.0.0.3\tLAPD_A", "127.0.0.3\t0.0.0.0\tLAPD_A"}));
  }
}

/* "-stdout -format" (text records, a trailer at the close), a board that never answers the traces-off, and a reader
 * that takes nothing during the close: the close's write waits until a signal during the close, then gives up (the
 * rest counted lost), the summary is logged and the run ends in success. Every unit the server's TCP acknowledged is
 * written, counted lost in the summary or counted in the line of units read after the groups stopped taking them
 * (from then on: 50 events no filter takes, sent first, are not in it). Rows: the reader stops in the middle of a
 * burst (the run's write waits, a SIGTERM still begins the close, whose write waits until the SIGINT); the reader has
 * read everything but the pipe is full when the close writes the trailer, after the groups stopped: a burst sent then
 * is read and counted in that line, and a message of an answer's id then is not, taken still, nor events no filter
 * takes; the same with no unit sent after the groups stopped: no such line; the reader stops in a
 * burst longer than the host library takes in, so that units wait in the server's socket as the links close; two
 * CAS R2 groups (a trunk each) share the stream and the reader stops in their bursts: each group's written are its
 * own whole lines in the stream, its lost the rest of what it took in (the units it discards in the close once); the
 * C++ board (testing/boardsim_fast) at full speed, whose traces-off answer waits behind a burst that does not end,
 * and the reader stopped in it: the close cut by the SIGINT, or by its 30 s cap with no second signal. */
TEST(SigTraceServer, StdoutCloseEndsAtASignalDuringItAndCountsEveryUnitRead) {
  enum ERow { kInABurst, kAtTheTrailer, kNoLateUnit, kInTheSocket, kTwoGroups, kFastBoard, kFastBoardCap };
  for (const ERow eRow :
       {kInABurst, kAtTheTrailer, kNoLateUnit, kInTheSocket, kTwoGroups, kFastBoard, kFastBoardCap}) {
    const bool fNoUnit = eRow == kNoLateUnit, fAtTheTrailer = eRow == kAtTheTrailer || fNoUnit,
               fCasr2 = eRow == kTwoGroups, fFast = eRow >= kFastBoard, fCap = eRow == kFastBoardCap;
    SCOPED_TRACE(fNoUnit                ? "pipe full at the trailer, no unit sent then"
                 : fAtTheTrailer        ? "pipe full at the trailer"
                 : eRow == kInABurst   ? "reader stopped in a burst"
                 : eRow == kInTheSocket ? "units in the server's socket"
                 : fCasr2               ? "two CAS R2 groups, reader stopped in their bursts"
                 : fCap                 ? "C++ board at full speed, the close cut by its cap"
                                        : "C++ board at full speed, the close cut by a signal");
    /* Each group, and the text that each of its records holds once. */
    using SGroups = std::vector<std::pair<std::string, std::string>>;
    const SGroups Groups = fCasr2 ? SGroups{{"12345678_casr2_trk_01", "R2A  TS="}, {"12345678_casr2_trk_03", "AAAAAAAAAAAA  TS="}}
                                  : SGroups{{"SS7", "  length="}};
    const std::string strFamily = fCasr2 ? "casr2" : "ss7";
    CServerBench B;
    ASSERT_TRUE(!fFast || B.StartFastBoard({"--units", "100000000", "--start", "on", "--lifetime", "300"}));
    CFifoReader Reader(B.Path("stream.txt"));
    ASSERT_GE(Reader.mFd.n, 0) << "the fifo made and opened";
    B.StartShell("exec \"$SIGTRACE\" -" + strFamily + " -stdout -format 2>/dev/null > stream.txt");
    const std::string& strStream = Reader.mstrRead;
    const auto Read = [&] { return Reader.Read(); };  /* true at the end of the stream */
    /* A group's records whole in the stream (a last one cut short left out). */
    const auto Records = [&](const std::string& strMark = "  length=") {
      return static_cast<long>(sigtest::Count(strStream.substr(0, strStream.rfind('\n') + 1), strMark));
    };
    if (!fFast) {
      ASSERT_TRUE(B.WaitTracesOn(2));
      ASSERT_EQ(B.Board().Command("traceoff ignore"), "ok");
      ASSERT_EQ(B.Board().Command("event 50 0x03000001 8"), "ok");
    }
    long nSent = 0;
    const auto Send = [&](long nPerLink) {
      const std::string s = B.Board().Command("trace " + strFamily + " " + std::to_string(nPerLink));
      nSent += s.rfind("ok ", 0) == 0 ? std::stol(s.substr(3)) : 0;
      return peerwait::WaitUntil([&] { return B.Board().Stat("unread") == 0; }, 30000);  /* all read by the server */
    };
    std::string strBurst;  /* kInTheSocket: answered once the server's link goes */
    std::thread Burst([&] { strBurst = eRow == kInTheSocket ? B.Board().Command("trace ss7 30000", 120) : "ok 0"; });
    long nStalledAt = 0;
    /* The C++ board's burst under way and the server holding back its reading (its receive fifo filled). */
    const auto FastBurst = [&] {
      return peerwait::WaitUntil([&] { return B.FastBoard().ReadLine().rfind("burst start ", 0) == 0; }, 30000) &&
             peerwait::WaitUntil([&] { return !B.LogLines("High watermark passed").empty(); }, 30000);
    };
    bool fSending = fFast                  ? FastBurst()
                    : eRow == kInTheSocket ? BoardStalls(B, nStalledAt)
                                           : Send(fAtTheTrailer ? 50 : fCasr2 ? 100 : 1000);
    for (int i = 0; fCasr2 && i < 9; i++) fSending = Send(100) && fSending; /* the trunks in turn, past the pipe */
    /* The steps' waits, judged once the run is over: a board closed meanwhile by the machine's doing ends the row. */
    bool fAllWritten = true, fGroupsStopped = true, fLateSent = true;
    if (fAtTheTrailer) {
      fAllWritten = peerwait::WaitUntil([&] { return Read(), Records() == nSent; }, 10000);
      /* The reader stops with the pipe full. */
      CFd Filler{open(B.Path("stream.txt").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)};
      const std::string strLines(4096, '\n');
      for (int i = 0; i < 1024 && write(Filler.n, strLines.data(), strLines.size()) > 0; i++) {
      }
      for (int i = 0; i < 4096 && write(Filler.n, "\n", 1) == 1; i++) {
      }
    }
    const int nTerm = kill(B.Server().mPid, SIGTERM);
    /* With units in the socket the transport's reading is held back, and the off requests wait behind it. */
    const bool fClose = peerwait::WaitUntil([&] {
      return eRow == kInTheSocket || fFast ? !B.LogLines("MainLoop ended").empty() : B.Board().Stat("traces_off_ignored") == 2;
    }, 10000);
    bool fTrailerWaits = true;
    if (fAtTheTrailer) {
      fGroupsStopped = peerwait::WaitUntil([&] { return !B.LogLines("Close: the groups take no more units").empty(); }, 10000);
      /* An SS7 answer's id, taken still, and events of an id no filter takes: no units. */
      const bool fEvent = B.Board().Command("event 1 0x04210030 16") == "ok" && B.Board().Command("event 50 0x03000001 8") == "ok";
      fLateSent = (fNoUnit ? peerwait::WaitUntil([&] { return B.Board().Stat("unread") == 0; }, 30000) : Send(1000)) && fEvent;
      fTrailerWaits = B.LogLines("Group SS7: ").empty();
    }
    /* The signal ends the close's wait at once: well before its 30 s cap, which the server's lines tell apart. */
    const int nInt = fCap ? 0 : kill(B.Server().mPid, SIGINT);
    const bool fSummary =
        peerwait::WaitUntil([&] { return !B.LogLines("Group " + Groups.back().first + ": ").empty(); }, fCap ? 60000 : 20000);
    /* To the end of the stream: the server closes it as it ends (one still waiting for the reader goes on then). */
    const bool fEnd = peerwait::WaitUntil(Read, 60000);
    const int nStatus = B.Server().Wait();
    Burst.join();
    if (B.LiveBoardClosedByAHold()) continue; /* it answers every poll: only the machine's doing */
    ASSERT_TRUE(fSending && nTerm == 0) << nStalledAt << " units logged, " << strBurst;
    EXPECT_TRUE(fAllWritten) << Records() << " of " << nSent << " records in the stream";
    EXPECT_TRUE(fClose) << "no close";
    EXPECT_TRUE(fGroupsStopped && fLateSent);
    EXPECT_TRUE(fTrailerWaits) << "the trailer's write waits";
    EXPECT_TRUE(fEnd && nStatus == 0) << nStatus;
    EXPECT_TRUE(nInt == 0 && fSummary) << "the close kept waiting for the reader";
    if (!fSummary) continue;
    EXPECT_EQ(B.LogLines("file (Interrupted system call)").empty(), fCap) << "the signal ended the write's wait";
    EXPECT_EQ(B.LogLines("file (Timer expired)").empty(), !fCap) << "the cap ended the write's wait";
    const long nDropped = DroppedAfterTheGroups(B), nAcked = fFast ? B.EndFastBoard("acked") : B.Board().Stat("acked");
    EXPECT_TRUE(!fFast || B.LogLines(fCap ? "Close: still taking units after 30000 ms" : "Close: cut short by a signal").size() == 1u);
    long nCounted = nDropped, nLost = 0;
    for (const auto& [strGroup, strMark] : Groups) {
      const auto [nWritten, nGroupLost] = GroupSummary(B, strGroup);
      EXPECT_EQ(nWritten, Records(strMark)) << strGroup;
      EXPECT_GT(nWritten, 0) << strGroup;
      nCounted += nWritten + nGroupLost;
      nLost += nGroupLost;
    }
    EXPECT_EQ(nCounted, nAcked) << nDropped << " dropped, " << strBurst;
    EXPECT_TRUE(eRow == kInTheSocket || fFast || nAcked == nSent) << nAcked << " of " << nSent;
    if (eRow == kInTheSocket) {
      EXPECT_GT(nDropped, 0) << "read after the groups stopped, up to the close of the link";
    } else if (!fFast) {
      EXPECT_EQ(nDropped, fAtTheTrailer && !fNoUnit ? 2000 : 0) << "units alone, none where none came late";
    }
    EXPECT_GE(nLost, fAtTheTrailer ? 0 : 1) << "what the waiting write held";
  }
}

TEST(SigTraceServer, StdoutStreamIntoTsharkAndBrokenPipeEndsTheRun) {
  if (!peertshark::Present()) GTEST_SKIP() << "tshark is not installed";
  CServerBench B;
  /* The stream read by tshark until the run time ends it. */
  B.StartShell("\"$SIGTRACE\" -ss7 -stdout -e 4000 2>/dev/null | tshark -r - -T fields -e frame.len 2>/dev/null");
  ASSERT_TRUE(B.WaitTracesOn(2));
  EXPECT_EQ(B.SendUnits(2), 4);
  for (const char* psz : {"16", "16", "16", "16", ""}) EXPECT_EQ(B.Server().ReadLine(), psz) << "four frames, then the end";
  EXPECT_EQ(B.Server().Wait(), 0);
  /* A reader that goes away: the run ends by itself, in success. */
  B.StartShell("(\"$SIGTRACE\" -ss7 -stdout -e 60000 2>/dev/null; echo rc=$? > rc.txt) | head -c 1 >/dev/null");
  ASSERT_TRUE(B.WaitTracesOn(2));
  B.SendUnits(1);
  EXPECT_EQ(B.Server().Wait(), 0);
  EXPECT_TRUE(peerwait::WaitUntil([&] { return B.Read("rc.txt") == "rc=0\n"; }, 5000)) << B.Read("rc.txt");
  EXPECT_EQ(B.LogLines("Standard output closed by its reader").size(), 1u);
}

/* "-isdn -stdout": ISDN and LAPD are both pcap groups, the standard output holds one stream: the group that writes
 * first owns it, the other is refused once, and the stream carries that family's units alone. The refused group
 * lost every unit: the run fails. */
TEST(SigTraceServer, IsdnAndLapdOnStdoutGiveOneStreamAndRefuseTheOtherGroup) {
  if (!peertshark::Present()) GTEST_SKIP() << "tshark is not installed";
  CServerBench B;
  B.StartShell("exec \"$SIGTRACE\" -isdn -stdout -e 60000 2>/dev/null > stream.cap");
  ASSERT_TRUE(B.WaitTracesOn(2));
  ASSERT_TRUE(B.SendUnits(3) == 6 && B.Drained() && kill(B.Server().mPid, SIGTERM) == 0);
  EXPECT_EQ(B.Server().Wait(), 1);
  const auto Frames = peertshark::Lines(B.Path("stream.cap"), "-T fields -e iua.int_interface_identifier");
  ASSERT_EQ(Frames.size(), 3u) << "one group's units";
  const char* pszTrunk = Frames[0] == "0x00000002" ? "0x00000002" : "0x00000001";  /* LAPD_A on trunk 2, D1 on 1 */
  EXPECT_EQ(Frames, std::vector<std::string>(3, pszTrunk));
  EXPECT_EQ(B.LogLines("Another group already writes a pcap stream to the standard output").size(), 1u);
}

/* Under a stream of SS7 units the pcap file rotates past 10 MiB: both segments read cleanly, none lost, the
 * units in order across the boundary. Bursts of 0.6 MB keep the board answering its polls: only the machine holding
 * it may close it, which ends the case. */
TEST(SigTraceServer, PcapRotatesPast10MiBUnderLoadLosingNothing) {
  if (!peertshark::Present()) GTEST_SKIP() << "tshark is not installed";
  CServerBench B;
  B.StartServer("-ss7");
  ASSERT_TRUE(B.WaitTracesOn(2));
  long nSent = 0;
  for (int i = 0; i < 17; i++) {  /* 34000 units of 296 bytes, under the 300-byte capture cap: 316 bytes a record */
    const std::string s = B.Board().Command("trace ss7 1000 296", 60); /* answered once the burst is sent */
    nSent += s.rfind("ok ", 0) == 0 ? std::stol(s.substr(3)) : 0;
  }
  if (B.LiveBoardClosedByAHold()) return;
  ASSERT_EQ(nSent, 34000);
  ASSERT_TRUE(B.Drained() && kill(B.Server().mPid, SIGTERM) == 0);
  EXPECT_EQ(B.Server().Wait(), 0);
  const auto Sent = peerboard::TraceLog(B.Path("board.log"), "ss7");
  const std::string aFile[2] = {B.Path("SS7_000.cap"), B.Path("SS7_001.cap")};
  const size_t nFirst = peertshark::Lines(aFile[0], "-T fields -e frame.len").size();
  EXPECT_EQ(nFirst + peertshark::Lines(aFile[1], "-T fields -e frame.len").size(), Sent.size()) << "none lost";
  const auto nSize = std::filesystem::file_size(aFile[0]);
  EXPECT_TRUE(nSize > 10485760u && nSize <= 10485760u + 316u) << nSize << ": past 10 MiB by one record at most";
  const auto Last = peertshark::Frames(aFile[0], std::string(kPayloadOff) + " -Y frame.number==" + std::to_string(nFirst));
  const auto Next = peertshark::Frames(aFile[1], std::string(kPayloadOff) + " -c 1");
  ASSERT_TRUE(Last.size() == 1 && Next.size() == 1 && nFirst < Sent.size());
  EXPECT_TRUE(Last[0].ends_with(Sent[nFirst - 1].data) && Next[0].ends_with(Sent[nFirst].data)) << "in order";
  for (const std::string& f : aFile) EXPECT_EQ(peertshark::Errors(f, kPayloadOff), std::vector<std::string>()) << f;
}

/* The daemon ignores a hang-up: it still ends at its run time. A sip section refused at start (a port above 65535)
 * ends that section only, and its line, printed before the log was up, reaches the log too. */
TEST(SigTraceServer, RunTimeEndsADaemonOnTime) {
  CServerBench B;
  std::string strXml = B.Read("quellan.xml");
  strXml.insert(strXml.rfind("</quellan>"), "<signaling><sip adapter=\"B1\" grpname=\"\" ethport=\"eth0\" transport=\"udp\" "
                                              "ipmask=\"10.0.0.1\" port=\"70000\" capfile=\"1\"/></signaling>\n");
  std::ofstream(B.Path("quellan.xml")) << strXml;
  B.StartServer("-d -e 1500");
  EXPECT_EQ(B.Server().Wait(), 0) << "the parent of the daemon";
  /* The daemon: the process working in the bench's folder. */
  pid_t Daemon = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(e.path() / "cwd", ec) == std::filesystem::path(B.mstrDir))
      Daemon = static_cast<pid_t>(atol(e.path().filename().c_str()));
  }
  ASSERT_GT(Daemon, 0);
  EXPECT_EQ(kill(Daemon, SIGHUP), 0);
  ASSERT_TRUE(peerwait::WaitUntil([&] { return !B.LogLines("MainLoop ended (0x02000000)").empty(); }, 10000));
  /* within the period, unless the machine held the run's thread past it */
  const auto [nRun, nHeld] = B.RunAndHeldMs("Test duration (1500) completed");
  EXPECT_TRUE(nRun >= 1500 && nRun <= 1500 + 100 + 20 + nHeld) << nRun << " ms: not early, within one main-loop period" << ", the machine held " << nHeld << " ms";
  EXPECT_EQ(B.LogLines("Local IPs are 127.0.0.1").size(), 1u) << "the gateway kept on the loopback interface";
  EXPECT_TRUE(peerwait::WaitUntil([&] { return B.LogLines("Exit code 0x02000000").size() == 1; }, 10000))
      << "the exit code line in the daemon's log file";
  EXPECT_EQ(B.LogLines("GetIpParams: Invalid xml file : problem with a sip 'port' value 70000 above 65535 (quellan.xml:").size(), 1u);
}

TEST(SigTraceServer, DbModeEndsOnTheManagementShutdown) {
  CServerBench B;
  /* No configuration file: the master (127.0.0.2, on the gateway port) is given by the environment. */
  const std::string P = std::to_string(B.mun16Port), A = "(127.0.0.1:" + P + ")(127.0.0.2:" + P + ")";
  peerproc::CChild Master({"python3", std::string(getenv("VQX_SOURCE_DIR")) + "/testing/mgmtsim/mgmtsim.py", "--address",
                           "127.0.0.2", "--udp-port", P, "--peer-port", P});
  std::string strReady; /* 60 s at most, as a provider stand-in's */
  for (int i = 0; i < 6 && strReady.empty(); i++) strReady = Master.ReadLine();
  ASSERT_EQ(strReady.rfind("ready tcp=", 0), 0u) << strReady;
  B.StartShell("VQX_GW_ADDRESS_0=127.0.0.1 VQX_GW_PORT=" + P + " VQX_GW_REMOTE_ADDR='" + A + "' exec \"$SIGTRACE\" -db -ss7");
  ASSERT_TRUE(B.WaitTracesOn(2));
  /* Each heartbeat answered by a watched ready notification, the graceful shutdown acknowledged. */
  for (const char* psz : {"ready 1 1", "ready 2 1", "ready 3 1", "shutdown 5", ""}) EXPECT_EQ(Master.ReadLine(), psz);
  EXPECT_EQ(Master.Wait() + B.Server().Wait(), 0) << "master and server";
  EXPECT_EQ(B.Board().Stat("traces_on"), 0) << "traces switched off at the end";
}

/* In the foreground and as a daemon, which says it on the terminal before it would detach. */
TEST(SigTraceServer, BadConfigurationExitsOneWithItsLine) {
  for (const auto& [pszName, pszXml, pszText] :
       {std::tuple{"not XML", "<quellan>\n<params>\n<host pollDelay=\"1\">\n</quellan>\n", "(line 5)"}, {"reader stops",
         "<quellan><signaling>\n<ss7 adapter=\"B1\" grpname=\"G\" capfile=\"1\">\n<trunk idx=\"1\" timeslot=\"40\" "
         "mask=\"255\"/>\n</ss7></signaling></quellan>\n",
         "value 40 above 31 (quellan.xml:3)"}, {"not a number",
         "<quellan>\n<params>\n<cli logViewLines=\"eight\"/>\n</params>\n</quellan>\n",
         ":params:cli@logViewLines = \"eight\" is not an unsigned 32-bit number (quellan.xml:3)"}}) {
    for (const char* pszArgs : {"-cap", "-d -e 3000 -cap"}) { /* a daemon that starts after all ends by itself */
      CServerBench B;
      std::ofstream(B.Path("quellan.xml")) << pszXml;
      B.StartServer(pszArgs);
      std::string strOut;
      for (std::string s; !(s = B.Server().ReadLine()).empty();) strOut += s + "\n";
      EXPECT_EQ(B.Server().Wait(), 1) << pszName << " " << pszArgs;
      for (const char* psz : {pszText, "Init failed.", "Exit code 0x8200000"})
        EXPECT_NE(strOut.find(psz), std::string::npos) << pszName << " " << pszArgs << ": " << psz << "\n" << strOut;
    }
  }
}

/* What the server wrote on its terminal until it ended (standard error joined), and its exit status. */
std::pair<std::string, int> TerminalAndStatus(peerproc::CChild& Server) {
  std::string strOut;
  for (std::string s; !(s = Server.ReadLine()).empty();) strOut += s + "\n";
  return {strOut, Server.Wait()};
}

/* The lines of a text holding strPart. */
size_t LinesWith(const std::string& strText, const std::string& strPart) {
  std::istringstream In(strText);
  size_t n = 0;
  for (std::string s; std::getline(In, s);) n += s.find(strPart) != std::string::npos;
  return n;
}

/* A board list refused fails the start, in the foreground and as a daemon (which says it before it would detach):
 * the environment's list past the 1024 characters read or with an address that is not dotted IPv4, one of
 * quellan.xml likewise. The cause is one error line, on the terminal and, once the log is up, in the log; what the layers
 * above add ("Init failed.", the exit code) are messages. The run does not go on without boards. */
TEST(SigTraceServer, BoardListRefusedInTheEnvironmentFailsTheStart) {
  const std::string P = std::to_string(loopnet::FreeLoopbackPort());
  std::string strLong;
  while (strLong.size() <= 1024) strLong += "(127.0.0.2:" + P + ")";
  const struct {
    const char* pszName;
    std::string strEnvList, strXmlList;
    std::string strCause;
    bool fLogUp; /* the log is up when the list is refused (not when quellan.xml is) */
  } aRows[] = {
      {"environment, too long", strLong, "",
       "VQX_GW_REMOTE_ADDR: Longer than 1024 characters: refused whole, none of its addresses used", true},
      {"environment, a bad address", "(127.0.0.2:" + P + ")(127.0.0.300:" + P + ")", "",
       "VQX_GW_REMOTE_ADDR: Invalid 'first IP address' (127.0.0.300), String is: '(127.0.0.300:" + P + ")'", true},
      {"quellan.xml, a bad address", "", "(127.0.2:" + P + ")",
       "VQX_GW_REMOTE_ADDR: Invalid 'first IP address' (127.0.2), String is: '(127.0.2:" + P + ")' (8200000A)", false},
  };
  for (const auto& Row : aRows) {
    for (const char* pszArgs : {"-cap", "-d -e 3000 -cap"}) {
      SCOPED_TRACE(std::string(Row.pszName) + ", " + pszArgs);
      CServerBench B(0); /* no board: the configuration lists none unless the row gives one */
      std::string strXml = B.Read("quellan.xml");
      strXml.replace(strXml.find("VQX_GW_PORT=\"0\""), 15, "VQX_GW_PORT=\"" + P + "\"");
      const std::string strNoList = "VQX_GW_REMOTE_ADDR=\"\"";
      strXml.replace(strXml.find(strNoList), strNoList.size(), "VQX_GW_REMOTE_ADDR=\"" + Row.strXmlList + "\"");
      std::ofstream(B.Path("quellan.xml")) << strXml;
      B.StartShell("VQX_GW_REMOTE_ADDR='" + Row.strEnvList + "' exec \"$SIGTRACE\" " + pszArgs + " 2>&1");
      const auto [strTerminal, nStatus] = TerminalAndStatus(B.Server());
      EXPECT_EQ(nStatus, 1);
      EXPECT_EQ(LinesWith(strTerminal, Row.strCause), 1u) << "the cause on the terminal:\n" << strTerminal;
      EXPECT_EQ(LinesWith(strTerminal, " VQERR "), Row.fLogUp ? 1u : 0u) << "no other error line:\n" << strTerminal;
      if (!Row.fLogUp) continue;
      EXPECT_EQ(B.LogLines(Row.strCause).size(), 1u);
      EXPECT_EQ(B.LogLines(" VQERR ").size(), 1u) << "one error line, the cause";
      for (const char* psz : {"VQMSG BASE Init failed.", "VQMSG BASE Exit code 0x8"}) EXPECT_EQ(B.LogLines(psz).size(), 1u) << psz;
    }
  }
}

/* A second server at a gateway port where one runs is refused, in the foreground and as a daemon: the line names the
 * first one's process, on the terminal and in its log, its only error; the first one keeps its board (its link never
 * replaced) and traces every unit sent after. */
TEST(SigTraceServer, SecondServerAtTheGatewayPortIsRefusedAndTheFirstKeepsItsBoard) {
  CServerBench B;
  B.StartServer("-cap -e 120000");
  ASSERT_TRUE(B.WaitTracesOn(kEntities));
  std::filesystem::create_directory(B.Path("second"));
  std::string strXml = B.Read("quellan.xml");
  strXml.replace(strXml.find(B.mstrDir + "/server"), B.mstrDir.size() + 7, B.mstrDir + "/second/server");
  std::ofstream(B.Path("second/quellan.xml")) << strXml;
  const std::string strCause = "VQXGwLibOpenBroadcastSocket: Gateway port " + std::to_string(B.mun16Port) +
                               " is held by process " + std::to_string(B.Server().mPid) + ", which detects adapters there";
  for (const char* pszArgs : {"-e 3000 -cap", "-d -e 3000 -cap"}) {
    SCOPED_TRACE(pszArgs);
    peerproc::CChild Second({"sh", "-c", "cd " + B.Path("second") + " && exec \"$SIGTRACE\" " + pszArgs + " 2>&1"});
    const auto [strTerminal, nStatus] = TerminalAndStatus(Second);
    EXPECT_EQ(nStatus, 1);
    EXPECT_EQ(LinesWith(strTerminal, strCause), 1u) << strTerminal;
    EXPECT_EQ(LinesWith(strTerminal, " VQERR "), 1u) << strTerminal;
    std::vector<std::string> aErrors;
    for (const auto& e : std::filesystem::directory_iterator(B.Path("second"))) {
      if (e.path().filename().string().rfind("server_", 0) != 0) continue;
      std::ifstream In(e.path());
      for (std::string s; std::getline(In, s);)
        if (s.find(" VQERR ") != std::string::npos) aErrors.push_back(s);
      std::filesystem::remove(e.path());
    }
    ASSERT_EQ(aErrors.size(), 1u) << "its log's one error line";
    EXPECT_NE(aErrors[0].find(strCause), std::string::npos) << aErrors[0];
  }
  ASSERT_TRUE(B.SendUnits(2) == 2 * kEntities && B.Drained());
  const int nStatus = Terminate(B).second;
  if (B.LiveBoardClosedByAHold()) return; /* it answers every poll: only the machine's doing */
  EXPECT_EQ(nStatus, 0);
  EXPECT_EQ(B.Board().Stat("links"), 1) << "the first server's link never replaced";
  EXPECT_EQ(GroupSummary(B, "SS7"), std::make_pair(4L, 0L)) << "traced on";
  EXPECT_EQ(B.LogLines(" removed (cause: Socket closed").size(), 0u);
}

/* A signal while the server reads a large configuration file (300,000 entities) is the user's stop: the read ends
 * at once, a message says so on the terminal, no error, and the server ends in success, also as a daemon (which
 * had not detached yet). The read is seen under way by the file open in the reading process. */
TEST(SigTraceServer, StopDuringTheReadOfTheConfigurationEndsInSuccess) {
  for (const char* pszArgs : {"-cap", "-d -cap"}) {
    SCOPED_TRACE(pszArgs);
    CServerBench B(0);
    {
      std::ofstream Out(B.Path("quellan.xml"));
      Out << "<quellan>\n<params><log baseName=\"" << B.mstrDir << "/server\"/></params>\n<signaling>\n";
      for (int g = 0; g < 500; g++) {
        Out << "<ss7 adapter=\"B" << g << "\" grpname=\"G" << g % 50 << "\" capfile=\"1\">\n";
        for (int t = 0; t < 600; t++) Out << "<trunk idx=\"" << t % 64 + 1 << "\" timeslot=\"" << t % 31 + 1 << "\" mask=\"255\"/>\n";
        Out << "</ss7>\n";
      }
      Out << "</signaling>\n</quellan>\n";
    }
    B.StartServer(pszArgs);
    /* The process of the bench's folder that has the file open (the daemon, not its parent). */
    pid_t Reader = 0;
    const bool fReading = peerwait::WaitUntil([&] {
      for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(e.path() / "cwd", ec) != std::filesystem::path(B.mstrDir)) continue;
        for (const auto& f : std::filesystem::directory_iterator(e.path() / "fd", ec))
          if (std::filesystem::read_symlink(f.path(), ec) == std::filesystem::path(B.Path("quellan.xml")))
            Reader = static_cast<pid_t>(atol(e.path().filename().c_str()));
      }
      return Reader > 0;
    }, 60000);
    ASSERT_TRUE(fReading);
    ASSERT_EQ(kill(Reader, SIGTERM), 0);
    const auto [strTerminal, nStatus] = TerminalAndStatus(B.Server());
    EXPECT_EQ(nStatus, 0);
    EXPECT_EQ(LinesWith(strTerminal, "VQMSG VQLT Stopped by a signal while reading the configuration file 'quellan.xml': "
                                     "the server ends without starting"), 1u) << strTerminal;
    EXPECT_EQ(LinesWith(strTerminal, "Exit code 0x02000000"), 1u) << strTerminal;
    EXPECT_EQ(LinesWith(strTerminal, "VQERR"), 0u) << strTerminal;
  }
}

TEST(SigTraceServer, DbModeReadsTheFileTheManagersReloadNames) {
  CServerBench B;
  const std::string P = std::to_string(B.mun16Port);
  /* The manager on the gateway port of 127.0.0.3, found by the server's first discovery. */
  cmmgrpeer::CManagerProcess Manager("127.0.0.3", B.mun16Port, "cmmgr");
  ASSERT_TRUE(Manager.Ready());
  std::ofstream(B.Path("bad.xml")) << "<quellan><signaling>\n<ss7 adapter=\"B1\" grpname=\"G\" capfile=\"1\">\n"
                                      "<trunk idx=\"1\" timeslot=\"40\" mask=\"255\"/>\n</ss7></signaling></quellan>\n";
  /* The gateway as the environment gives it, a sub-module's level, a delay and the log's name changed. */
  std::ofstream(B.Path("cm.xml"))
      << "<quellan><params>\n<host pollDelay=\"300\"><env VQX_GW_PORT=\"" << P << "\"/></host>\n"
      << "<log baseName=\"elsewhere\"><module name=\"CM\" level=\"0\"/></log>\n</params><signaling>\n"
      << "<ss7 adapter=\"12345678\" grpname=\"CFG\" capfile=\"1\"><trunk idx=\"5\" timeslot=\"16\" mask=\"255\"/></ss7>\n"
      << "</signaling></quellan>\n";
  B.StartShell("VQX_GW_ADDRESS_0=127.0.0.1 VQX_GW_PORT=" + P + " VQX_GW_REMOTE_ADDR='(127.0.0.1:" + P + ")(127.0.0.3:" + P +
               ")' exec \"$SIGTRACE\" -db -ss7 -c cm.xml 2>&1");
  ASSERT_TRUE(B.WaitTracesOn(2));
  const auto Log = [&B](const std::string& strPart) { return B.LogLines(strPart, "vqcaf_").size(); };
  EXPECT_TRUE(peerwait::WaitUntil([&] { return Log("-db mode: the configuration file 'cm.xml' is not read") == 1; }, 5000));
  const struct {
    const char* pszFile;
    const char* pszAnswer;
    const char* pszLine;
  } aRows[] = {
      {"missing.xml", "0x82000015", "Configuration file 'missing.xml' not found"},
      {"bad.xml", "0x8200000a", "'timeslot' value 40 above 31 (bad.xml:3)"},
      {"cm.xml", "0x02000000",
       "Config successfully reloaded; applied: log@level, log:module@level, host@pollDelay; read at start only, not "
       "applied: log@baseName"},
  };
  u32 n = 0;
  for (const auto& Row : aRows) {
    n++;
    EXPECT_EQ(Manager.Command("reload " + std::to_string(n) + " 0 " + Row.pszFile), "ok");
    EXPECT_EQ(Manager.Answer(n, 30000), "answer 0x0b0c0012 " + std::to_string(n) + " " + Row.pszAnswer) << Row.pszFile;
    EXPECT_TRUE(peerwait::WaitUntil([&] { return Log(Row.pszLine) == 1; }, 5000)) << Row.pszLine;
  }
  EXPECT_TRUE(peerwait::WaitUntil([&] { return Log("Configuration: 1 entities") == 1; }, 5000)) << "the file's signaling";
  EXPECT_EQ(Log("ReloadConfig failed."), 2u);
  EXPECT_EQ(Log("No configuration file"), 0u) << "only a start may go on without one";
  /* The file takes LINK_A into its group; the command line's selection keeps the other link as it is, and its claim
   * on LINK_A is no conflict. */
  EXPECT_TRUE(peerwait::WaitUntil([&] { return Log("Entity 12345678:LINK_A moved from group SS7 to group CFG") == 1; }, 20000));
  /* LINK_A off in SS7 and on in CFG, then the other link's activation handled: on again (LINK_A's came before it). */
  EXPECT_TRUE(peerwait::WaitUntil([&] { return B.Board().Stat("trace_requests") >= 2 + 3; }, 20000));
  /* The manager's next request shows the sub-module's new level: its line at level 0. */
  EXPECT_EQ(Manager.Command("validate 4 0 0 x"), "ok");
  EXPECT_EQ(Manager.Answer(4, 30000), "answer 0x0b0c0011 4 0x02000000");
  EXPECT_TRUE(peerwait::WaitUntil([&] { return Log("VQLV0 CM   CmMgmtClient: CVQCAFServiceDetector::OnMsgReceived: msg 0x0B0C0001") == 1; }, 5000));
  EXPECT_EQ(Log("OnMsgReceived: msg 0x0B0C0002"), 0u) << "no such line before the level changed";
  EXPECT_EQ(Terminate(B).second, 0);
  EXPECT_EQ(B.LogLines("", "elsewhere"), std::vector<std::string>()) << "no log file of the new name while running";
  EXPECT_EQ(Log("no longer selected"), 0u);
  EXPECT_EQ(Log("Trying to monitor twice"), 0u);
}

/* The manager's reloads while the board traces, the command line selecting none of its entities: a link the file
 * no longer names is switched off at the board, a CAS R2 trunk the file moves to another group is traced there, and
 * both come back with the first file, the trunk taking its earlier record over; a file giving a group another format
 * is applied but names that group's capfile as not applied. A reload while the board is away (silent until removed,
 * its traces kept on) is applied when it comes back. Every unit is written once, in the group of the file in use
 * when it was sent; each group keeps its counts for the summary; no entity is claimed twice. */
TEST(SigTraceServer, DbModeReloadTracesWhatTheFileSelects) {
  CServerBench B;
  const std::string P = std::to_string(B.mun16Port);
  cmmgrpeer::CManagerProcess Manager("127.0.0.3", B.mun16Port, "cmmgr");
  ASSERT_TRUE(Manager.Ready());
  const auto Write = [&](const char* pszFile, bool fLink6, const char* pszR2Group, const char* pszCapfile) {
    std::ofstream(B.Path(pszFile)) << "<quellan><signaling>\n<ss7 adapter=\"12345678\" grpname=\"SS7\" capfile=\""
                                   << pszCapfile << "\"><trunk idx=\"5\" timeslot=\"16\" mask=\"255\"/>"
                                   << (fLink6 ? "<trunk idx=\"6\" timeslot=\"1\" mask=\"255\"/>" : "") << "</ss7>\n"
                                   << "<casr2 adapter=\"12345678\" grpname=\"" << pszR2Group
                                   << "\" extended=\"0\"><trunk idx=\"1\"/></casr2>\n</signaling></quellan>\n";
  };
  Write("a.xml", true, "R2", "1");
  Write("b.xml", false, "R2B", "1");
  Write("c.xml", true, "R2", "0");
  B.StartShell("VQX_GW_ADDRESS_0=127.0.0.1 VQX_GW_PORT=" + P + " VQX_GW_REMOTE_ADDR='(127.0.0.1:" + P + ")(127.0.0.3:" + P +
               ")' exec \"$SIGTRACE\" -db -h248 2>&1");
  const auto Traced = [&] {
    const std::string s = B.Board().Command("stats");
    const size_t i = s.find("\"traced\": [");
    return i == std::string::npos ? s : s.substr(i + 11, s.find(']', i) - i - 11);
  };
  const std::string strAll = "\"casr2:1\", \"ss7:(5, 65536)\", \"ss7:(6, 2)\"";
  const std::string strB = "\"casr2:1\", \"ss7:(5, 65536)\"";
  const struct {
    const char* pszFile;
    const char* pszTraced;
    long nSs7, nCasr2; /* units sent then */
    bool fAway;        /* reloaded while the board is away */
  } aRows[] = {{"a.xml", strAll.c_str(), 2 * 2, 2, false}, {"b.xml", strB.c_str(), 2, 2, false},
               {"a.xml", strAll.c_str(), 2 * 2, 2, false}, {"b.xml", strB.c_str(), 2, 2, true},
               {"c.xml", strAll.c_str(), 2 * 2, 2, false}};
  const auto Log = [&B](const std::string& strPart) { return B.LogLines(strPart, "vqcaf_").size(); };
  /* Written so far: the SS7 records and the CAS R2 lines of both groups (a group's file is written out when the
   * server is idle). */
  const auto Written = [&] {
    return std::make_pair(static_cast<long>(sigtest::PcapRecords(B.Read("SS7_000.cap"), 139)),
                          static_cast<long>(sigtest::Count(B.Read("R2_000.log") + B.Read("R2B_000.log"), " TS=")));
  };
  std::pair<long, long> Sent{0, 0};
  u32 n = 0;
  for (const auto& Row : aRows) {
    SCOPED_TRACE(Row.pszFile);
    n++;
    const size_t nRemoved = Log("Adapter 12345678 removed");
    if (Row.fAway) {
      EXPECT_EQ(B.Board().Command("silent"), "ok");
      ASSERT_TRUE(peerwait::WaitUntil([&] { return Log("Adapter 12345678 removed") == nRemoved + 1; }, 30000));
    }
    EXPECT_EQ(Manager.Command("reload " + std::to_string(n) + " 0 " + Row.pszFile), "ok");
    EXPECT_EQ(Manager.Answer(n, 30000), "answer 0x0b0c0012 " + std::to_string(n) + " 0x02000000");
    if (Row.fAway) { /* found again by the next discovery, 10 s at most */
      EXPECT_EQ(B.Board().Command("talk"), "ok");
    }
    std::string strNow;
    EXPECT_TRUE(peerwait::WaitUntil([&] { return (strNow = Traced()) == Row.pszTraced; }, 40000)) << strNow;
    EXPECT_EQ(B.Board().Command("trace ss7 2"), "ok " + std::to_string(Row.nSs7));
    EXPECT_EQ(B.Board().Command("trace casr2 2"), "ok " + std::to_string(Row.nCasr2));
    Sent.first += Row.nSs7, Sent.second += Row.nCasr2;
    ASSERT_TRUE(peerwait::WaitUntil([&] { return Written() == Sent; }, 20000)) << testing::PrintToString(Written());
  }
  EXPECT_EQ(Terminate(B).second, 0);
  EXPECT_EQ(B.Board().Stat("traces_on"), 0);
  EXPECT_EQ(Log("Trying to monitor twice"), 0u);
  EXPECT_EQ(Log("Entity 12345678:ss7_trk_06_00000002_ff no longer selected by the configuration: trace off, its record "
                "kept in group SS7"), 2u);
  EXPECT_EQ(Log("Entity 12345678:casr2_trk_01 moved from group R2 to group R2B by the configuration"), 2u);
  EXPECT_EQ(Log("Entity 12345678:casr2_trk_01 moved from group R2B to group R2 by the configuration"), 2u);
  EXPECT_EQ(Log("Config successfully reloaded; read at start only, not applied: capfile of group SS7"), 1u);
  /* Every unit once, in its group; the groups' summaries as the units sent. */
  for (const auto& [pszGroup, nUnits] : {std::pair{"SS7", 16L}, {"R2", 6L}, {"R2B", 4L}})
    EXPECT_EQ(GroupSummary(B, pszGroup, "vqcaf_"), std::make_pair(nUnits, 0L)) << pszGroup;
  EXPECT_EQ(sigtest::PcapRecords(B.Read("SS7_000.cap"), 139), 16);
}

}  // namespace

