// The trace messages against the simulated board, this thread as the
// application's main thread: every discovered entity switched on (answers
// read), units of every family read with the readers equal to the board's
// log line for line; none reaches the adapter; switched off, nothing more.
#include <gtest/gtest.h>

#include <fstream>

#include "sigtrace_board_trace.h"
#include "support/sigtrace_test_board.h"
#include "support/sigtrace_test_trace.h"

namespace {

using namespace VQCAF;
using namespace sigtest;

const char kProfile[] = R"({"mtp2": [{"id": 1, "links": [{"id": 11, "selector": 2, "trunk": 5, "timeslots": [1, 16],
                                     "name": "LINK_A", "annex_a": 1, "variant": 3, "pc_length": 24}]}],
  "lapd": [{"id": 2, "links": [{"id": 21, "selector": 3, "trunk": 2, "timeslot": 16, "name": "LAPD_A", "side": 2}]}],
  "isdn": [{"id": 1, "side": 1, "variant": 4, "trunks": [1], "name": "D1"}],
  "casr2": [{"id": 1, "trunk": 3, "name": "R2A"}], "tucl": [{"id": 7, "name": "SIP1"}]})";

TEST(BoardTraceIt, EveryFamilyOnUnitsReadAsTheBoardLoggedThemOffStopsThem) {
  CBoardBench b(kProfile);
  char szLog[] = "/tmp/sigtrace_trace_log_XXXXXX";
  close(mkstemp(szLog));
  ASSERT_EQ(b.pBoard->Command(std::string("tracelog ") + szLog), "ok");
  ASSERT_TRUE(b.AddAdapter());
  ASSERT_TRUE(b.WaitReady());
  /* The main thread's own filter: the trace answers and notifications by id. */
  std::vector<_VQX_FILTER_PARAMS> aSets;
  for (u32 i = 0; i < 5; i++)
    for (u32 id : {0u, 1u}) aSets.push_back({1, VQX_FILTER_MASK_MSG_ID, 0, 0, VqTraceFamily(EVQTraceFamily(i)).un32RequestId + id, 0, 0, 0, 0, 0});
  VQX_FILTER_HANDLE hFilter = nullptr;
  ASSERT_EQ(VQXCreateMsgFilterEx(b.hLib, static_cast<u32>(aSets.size()), aSets.data(), &hFilter), VQX_RESULT_API_OK);
  const auto Receive = [&](u32 un32Ms, u32& un32Id) {
    VQX_MSG_HANDLE hMsg = nullptr;
    un32Id = 0;
    if (VQXReceiveMsg(b.hLib, hFilter, un32Ms, &hMsg) != VQX_RESULT_API_OK) return std::vector<u8>();
    un32Id = hMsg->MsgType == VQX_MSG_TYPE_RESPONSE ? hMsg->un32MsgId | 0x80000000u : hMsg->un32MsgId;
    std::vector<u8> v(VQXMsgPayload(hMsg), VQXMsgPayload(hMsg) + hMsg->un32PayloadLength);
    VQXReleaseMsgEx(b.hLib, &hMsg);
    return v;
  };
  const auto Set = [&](const CVQSigTraceEntityParams& e, bool fOn) {
    u32 un32Id = 0, un32Answer = 0;
    std::vector<u8> v;
    VQX_MSG_HANDLE hMsg = nullptr;
    if (VqBuildTraceSet(e, fOn, b.pAdapter->GetTuclInstanceId(), un32Id, v) != VQX_RESULT_OK ||
        VQXGetMsgDbg(b.hLib, static_cast<u32>(v.size()), &hMsg, __FILE__, __LINE__) != VQX_RESULT_API_OK)
      return std::string("not built");
    hMsg->un32MsgId = un32Id, hMsg->MsgType = VQX_MSG_TYPE_REQUEST, hMsg->hAdapter = b.pAdapter->GetAdapterHandle();
    hMsg->un64UserContext1 = 0, hMsg->un64UserContext2 = 0, hMsg->un32PayloadLength = static_cast<u32>(v.size());
    memcpy(VQXMsgPayload(hMsg), v.data(), v.size());
    if (VQXSendMsgDbg(b.hLib, &hMsg, nullptr, __FILE__, __LINE__) != VQX_RESULT_API_OK) return std::string("not sent");
    const std::vector<u8> a = Receive(3000, un32Answer);
    i32 n32Result = 1;
    std::string strError = un32Answer == (un32Id | 0x80000000u) ? "" : "no answer";
    VqReadTraceAnswer(CVQSigTraceCursor(a.data(), static_cast<u32>(a.size())), n32Result, strError);
    return strError.empty() ? "result " + std::to_string(n32Result) : strError;
  };
  std::vector<CVQSigTraceEntityParams> aEntities;
  {
    CVQCAFMutexAutoGetGive Lock(&b.pAdapter->GetMutex());
    auto& T = b.pAdapter->GetEntityTable();
    T.ResetNext();
    for (CVQSigTraceEntityParams* p = T.Next(); p != nullptr; p = T.Next()) aEntities.push_back(*p);
  }
  ASSERT_EQ(aEntities.size(), 5u);
  for (auto& e : aEntities) {
    e.mun64EntityId = e.mun32Type == VQ_SIGTRACE_TYPE_IP ? 0x100000007ull : 0;
    EXPECT_EQ(Set(e, true), "result 0") << e.mstrName.c_str();
  }
  EXPECT_EQ(b.pBoard->Stat("traces_on"), 5);
  for (const char* psz : {"trace ss7 4 20", "trace lapd 2 3", "trace isdn 2", "trace casr2 3", "trace ip 2 64"})
    EXPECT_EQ(b.pBoard->Command(psz).substr(0, 3), "ok ") << psz;
  std::vector<std::string> aRead, aLogged;
  for (u32 un32Id = 1; aRead.size() < 13 && un32Id != 0;) {
    const std::vector<u8> v = Receive(3000, un32Id);
    if (un32Id != 0) aRead.push_back(TraceUnitJson(un32Id, v));
  }
  std::ifstream in(szLog);
  for (std::string s; std::getline(in, s);) aLogged.push_back(s);
  EXPECT_EQ(aRead, aLogged);
  for (auto& e : aEntities) EXPECT_EQ(Set(e, false), "result 0") << e.mstrName.c_str();
  EXPECT_EQ(b.pBoard->Command("trace ss7 1"), "ok 0");
  EXPECT_EQ(b.pBoard->Stat("trace_violations"), 0) << b.pBoard->Command("stats");
  EXPECT_TRUE(b.Lines("not awaited").empty()) << "nothing reached the adapter's filter";
  VQXDestroyMsgFilterEx(b.hLib, &hFilter);
  unlink(szLog);
}

}  // namespace
