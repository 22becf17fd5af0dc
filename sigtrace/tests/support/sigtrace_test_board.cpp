#include "support/sigtrace_test_board.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "peers/loopback.h"
#include "sigtrace_cfg_cmdline.h"
#include "vqcaf.h"
#include "vqcafcomm.h"
#include "vqcafglobals.h"

namespace sigtest {

using namespace VQCAF;

std::atomic<u64> CBoardBench::s_un64Offset{0};
u64 CBoardBench::Clock() { return VqxClockReadSystem() + s_un64Offset.load(); }

namespace {
/* The framework's steps this bench needs: communication and the console (no log file, no service detector). */
const VQCAF_LIFE_CYCLE_STEPS kSteps = {
    nullptr, nullptr, nullptr, [](CVQCAFCommParams& P) { return CVQCAFComm::Init(P); },
    [](CVQCAFCommParams& P) { return CVQCAFComm::SetParam(P); }, [](u32 a, u32 h) { return CVQCAFComm::Start(a, h); },
    [] { return CVQCAFComm::Uninit(); }, nullptr, nullptr, nullptr,
    [](CVQCAFCli& Cli, const _VQX_CLI_TOOLS_INIT_PARAMS& P, volatile u32* pf) { return Cli.Open(P, pf); },
    [](CVQCAFCli& Cli) { return Cli.Close(), VQX_RESULT_OK; }, nullptr, nullptr, nullptr, nullptr};
}  // namespace

CBoardBench::CBoardBench(const std::string& strProfile, const std::function<void(CVQCAFCommParams&)>& fnComm) {
  loopnet::UseLoopbackNets(1);
  char szPath[] = "/tmp/sigtrace_profile_XXXXXX";
  const int fd = mkstemp(szPath);
  mstrProfilePath = szPath;
  EXPECT_EQ(write(fd, strProfile.data(), strProfile.size()), static_cast<ssize_t>(strProfile.size()));
  close(fd);
  StartBoard();
  const u16 un16Port = mun16Port;
  VqcafSetLifeCycleSteps(&kSteps);
  EXPECT_EQ(GlobalInit(), VQX_RESULT_OK);
  mComm.mApplicationName = "sigtrace_test", mComm.mun16GwPort = un16Port, mComm.mun32HostLibTraceLevel = 0x7FFFFFFE;
  if (fnComm) fnComm(mComm);
  VqxCliToolsInitParamsDefault(&mCli);
  mCli.fOffScreen = 1, mCli.un32Columns = 100, mCli.un32Rows = 40;
  CVQCAFGlobalsParams G;
  G.mfHostsOn = 0, G.mpCommParams = &mComm, G.mpCliParams = &mCli;
  EXPECT_EQ(GlobalSetParam(&G), VQX_RESULT_OK);
  hLib = CVQCAFComm::GetHostLibInstance();
  /* The host library's adapter-added event and the application's own messages. */
  _VQX_FILTER_PARAMS aSets[2] = {{1, VQX_FILTER_MASK_MSG_ID, 0, 0, VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, 0, 0, 0, 0, 0},
                                 {1, VQX_FILTER_MASK_MSG_GROUP, 0, 0, 0, 0x0B08, 0, 0, 0, 0}};
  EXPECT_EQ(VQXCreateMsgFilterEx(hLib, 2, aSets, &mhFilter), VQX_RESULT_API_OK);
}

CBoardBench::~CBoardBench() {
  pAdapter.reset();
  if (mhFilter != nullptr) VQXDestroyMsgFilterEx(hLib, &mhFilter);
  if (hLib != nullptr) CVQCAFComm::ReleaseHostLibInstance();
  GlobalSetParam(nullptr);
  GlobalUninit();
  VqcafSetLifeCycleSteps(nullptr);
  delete pBoard;
  loopnet::UseLoopbackNets(0);
  unlink(mstrProfilePath.c_str());
  if (::testing::Test::HasFailure())
    for (const std::string& s : Log.Take()) fprintf(stderr, "log: %s\n", s.c_str());
}

void CBoardBench::StopBoard() {
  delete pBoard;
  pBoard = nullptr;
}

void CBoardBench::StartBoard() {
  StopBoard();
  /* a free port the first time, then the one the library shares with it */
  pBoard = new gwpeer::BoardProcess(mun16Port, {"--profile", mstrProfilePath});
  EXPECT_TRUE(pBoard->Ready());
  mun16Port = pBoard->UdpPort();
}

SAppMsg CBoardBench::Next(u32 un32Ms) {
  SAppMsg Msg;
  VQX_MSG_HANDLE hMsg = nullptr;
  if (VQXReceiveMsg(hLib, mhFilter, un32Ms, &hMsg) != VQX_RESULT_API_OK) return Msg;
  Msg.un32Id = hMsg->un32MsgId;
  const u8* p = VQXMsgPayload(hMsg);
  Msg.Payload.assign(p, p + hMsg->un32PayloadLength);
  if (Msg.un32Id == QUELLAN_NOTIF_ADAPTER_READY) un32Readies++;
  VQXReleaseMsgEx(hLib, &hMsg);
  return Msg;
}

bool CBoardBench::AddAdapter(const std::string& strTraceFirst) {
  for (int i = 0; i < 100; i++) {
    const SAppMsg Msg = Next(200);
    if (Msg.un32Id != VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED) continue;
    pAdapter = std::make_unique<CVQSigTraceAdapter>();
    pAdapter->SetClock(&Clock);
    if (!strTraceFirst.empty()) {
      std::vector<std::string> aArgs;
      std::vector<char*> apsz = Argv(aArgs, strTraceFirst);
      CVQSigTraceCfgCmdLine CmdLine;
      if (CmdLine.ParseCmdLineArgs(static_cast<int>(apsz.size()), apsz.data()) != VQX_RESULT_OK) return false;
      pAdapter->TraceFirst(CmdLine);
    }
    return pAdapter->Init(*reinterpret_cast<const u32*>(&Msg.Payload[VQ_SIGTRACE_NOTIF_OFFSET_HANDLE])) ==
           VQX_RESULT_OK;
  }
  return false;
}

SAppMsg CBoardBench::WaitReady(u32 un32Ms) {
  SAppMsg Msg;
  for (u32 i = 0; i < un32Ms / 50 && Msg.un32Id != QUELLAN_NOTIF_ADAPTER_READY; i++) Msg = Next(50);
  return Msg.un32Id == QUELLAN_NOTIF_ADAPTER_READY ? Msg : SAppMsg();
}

bool CBoardBench::Pace(u32 un32PerStep, u32 un32StepMs, u32 un32MaxSteps) {
  const auto Answered = [&] {
    CVQCAFMutexAutoGetGive Lock(&pAdapter->GetMutex());
    return pAdapter->GetAnsweredCount();
  };
  const auto Held = [&] { return pBoard->Stat("held"); };
  for (u32 i = 0; i < un32MaxSteps && pAdapter->IsAdapterReady() == 0; i++) {
    const u32 un32Before = Answered();
    const std::string strOut = pBoard->Command("release " + std::to_string(un32PerStep));
    const u32 un32Released = strOut.rfind("ok ", 0) == 0 ? static_cast<u32>(std::stoul(strOut.substr(3))) : 0;
    if (un32Released != 0) {
      if (!Within(10000, [&] { return Answered() >= un32Before + un32Released; })) {
        ADD_FAILURE() << "step " << i << ": " << un32Released << " answers let out, not all taken";
        return false;
      }
      Advance(un32StepMs);
    } else if (!Within(500, [&] { return Held() > 0 || pAdapter->IsAdapterReady() != 0; })) {
      Advance(VQ_SIGTRACE_RESEND_AFTER_MS);
    }
  }
  return pAdapter->IsAdapterReady() != 0;
}

std::string CBoardBench::Entities() {
  CVQCAFMutexAutoGetGive Lock(&pAdapter->GetMutex());
  CVQSigTraceAdapter::EntityTable& T = pAdapter->GetEntityTable();
  std::set<std::string> aLines;
  char sz[1024];
  T.ResetNext();
  for (CVQSigTraceEntityParams* p = T.Next(); p != nullptr; p = T.Next()) {
    snprintf(sz, sizeof(sz), "%s | %u | %s | %s | %u | %08X | %02X | '%s' | %s | %u | %u | %u%u | %u\n", p->mstrName.c_str(),
             p->mun32Type, p->mstrAdapterName.c_str(), p->mstrGroupName.c_str(), p->mun32Trunk, p->mun32TimeslotMask,
             p->mun8BitMask, p->mstrEthPort.c_str(), p->mstrIpMask.c_str(), p->mun32Port, p->mun32Transport,
             p->mfCapFile, p->mfExtended, p->mun32ProviderEntityId);
    aLines.insert(sz);
  }
  std::string str;
  for (const std::string& s : aLines) str += s;
  return str;
}

std::vector<std::string> CBoardBench::Lines(const std::string& strPart) {
  std::vector<std::string> v;
  for (std::string& s : Log.Take())
    if (s.find(strPart) != std::string::npos) v.push_back(std::move(s));
  return v;
}

size_t CBoardBench::Asked(const char* pszId) {
  const std::string s = pBoard->Command("requests");
  const size_t i = s.find(pszId);
  if (i == std::string::npos || s.compare(s.find('[', i), 2, "[]") == 0) return 0;
  return 1 + std::count(s.begin() + i, s.begin() + s.find(']', i), ',');
}

size_t Seen(const std::vector<std::string>& aLines, const char* pszPart) {
  return std::count_if(aLines.begin(), aLines.end(), [&](const std::string& s) { return s.find(pszPart) != s.npos; });
}

u64 CBoardBench::LiveFilters() {
  _VQX_LIB_STATS S{};
  VQXLibGetStats(hLib, &S);
  return S.FilterAlloc - S.FilterFreed;
}

}  // namespace sigtest
