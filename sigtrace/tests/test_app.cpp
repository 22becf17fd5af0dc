/*
 * The application's handlers without a framework: messages built here are
 * handed to DispatchMsg, with adapters filed in the pool by name (handle 0)
 * and the groups writing into a directory of the test's own.
 */
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>

#include "peers/hostile_paths.h"
#include "sigtrace_app.h"
#include "sigtrace_provider_entity.h"
#include "sigtrace_reload_params.h"
#include "support/sigtrace_test_app.h"
#include "support/sigtrace_test_board.h"
#include "support/sigtrace_test_support.h"
#include "vqcafparamsdaoxml.h"
#include "vqcafservicedetector.h"

namespace {

using namespace VQCAF;

/* A payload of un32Size zero bytes with texts at their offsets and u32 values. */
std::vector<u8> Payload(u32 un32Size, std::vector<std::pair<u32, std::string>> aTexts, std::vector<std::pair<u32, u32>> aWords = {}) {
  std::vector<u8> v(un32Size);
  for (auto& [o, s] : aTexts) memcpy(&v[o], s.c_str(), s.size());
  for (auto& [o, w] : aWords) memcpy(&v[o], &w, 4);
  return v;
}

std::vector<u8> Seed(const std::string& strName) { return sigtest::DispatchSeed(strName); }

CVQSigTraceEntityParams Entity(u32 un32Type, const char* pszAdapter, const char* pszGroup, const char* pszName,
                               u32 un32Trunk = 1, u32 un32Mask = 1, u8 fCap = 1) {
  CVQSigTraceEntityParams E;
  E.mun32Type = un32Type, E.mstrAdapterName = pszAdapter, E.mstrGroupName = pszGroup, E.mstrName = pszName;
  E.mun32Trunk = un32Trunk, E.mun32TimeslotMask = un32Mask, E.mfCapFile = fCap;
  return E;
}

class SigTraceApp : public ::testing::Test {
 protected:
  void SetUp() override {
    char sz[] = "/tmp/sigtrace_app_XXXXXX";
    mstrDir = mkdtemp(sz);
    mstrCwd = std::filesystem::current_path();
    std::filesystem::current_path(mstrDir);
    pApp = std::make_unique<CVQSigTrace>(CmdLine);
    pAdapter = pApp->mAdapters.Alloc(CVQCAFDebugInfo(__FILE__, __LINE__), CVQCAFHashKeyString("B1"));
  }
  void TearDown() override {
    pApp.reset();
    std::filesystem::current_path(mstrCwd);
    std::filesystem::remove_all(mstrDir);
  }
  /* The message as received from the board of handle hAdapter. */
  u32 Dispatch(u32 un32Id, const std::vector<u8>& Payload, u32 hAdapter = 0) {
    std::vector<u32> v = sigtest::ReceivedMsg(un32Id, Payload, hAdapter);
    return pApp->DispatchMsg(v.data());
  }
  CVQSigTraceGrp* Group(const char* pszName) { return pApp->mGroups.Find(CVQCAFHashKeyString(pszName)); }
  /* A board added, removed or ready, named at the event's offset. */
  void Board(u32 un32Event, const char* pszName, u32 hAdapter = 0) {
    const u32 un32NameAt = un32Event == VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED ? VQ_SIGTRACE_REMOVED_OFFSET_NAME : 288;
    EXPECT_EQ(Dispatch(un32Event, Payload(424, {{un32NameAt, pszName}}, {{12, hAdapter}})), VQX_RESULT_OK) << pszName;
  }
  /* The entity attached for the board of that name; the attach's result. */
  u32 Attach(const char* pszBoard, CVQSigTraceEntityParams E) {
    CVQSigTraceAdapter* p = pApp->mAdapters.Find(CVQCAFHashKeyString(pszBoard));
    return p == nullptr ? VQX_RESULT_NOT_FOUND : pApp->AttachEntityToGroup(*p, E);
  }
  /* The board's discovered entities: these names. */
  void BoardHas(const char* pszBoard, std::initializer_list<const char*> Names) {
    CVQSigTraceAdapter* p = pApp->mAdapters.Find(CVQCAFHashKeyString(pszBoard));
    ASSERT_NE(p, nullptr) << pszBoard;
    CVQCAFMutexAutoGetGive Lock(&p->GetMutex());
    for (const char* psz : Names) ASSERT_NE(p->GetEntityTable().Alloc(CVQCAFDebugInfo(__FILE__, __LINE__), CVQCAFHashKeyString(psz)), nullptr);
  }
  /* The board's discovered entities: these records, filed under their names. */
  void BoardHas(const char* pszBoard, std::initializer_list<CVQSigTraceEntityParams> Records) {
    CVQSigTraceAdapter* p = pApp->mAdapters.Find(CVQCAFHashKeyString(pszBoard));
    ASSERT_NE(p, nullptr) << pszBoard;
    CVQCAFMutexAutoGetGive Lock(&p->GetMutex());
    for (const CVQSigTraceEntityParams& E : Records) {
      CVQSigTraceEntityParams* pFiled = p->GetEntityTable().Alloc(CVQCAFDebugInfo(__FILE__, __LINE__), CVQCAFHashKeyString(E.mstrName));
      ASSERT_NE(pFiled, nullptr) << E.mstrName.c_str();
      *pFiled = E;
    }
  }
  /* An SS7 unit of the board on that trunk and timeslot mask. */
  u32 Ss7Unit(u32 hAdapter, u32 un32Trunk, u32 un32Mask) {
    return Dispatch(0x04210031, sigtest::Patched(sigtest::Patched(Seed("ss7_ok"), 0x18, un32Trunk), 0x1C, un32Mask), hAdapter);
  }
  /* The group's records in order: "adapter:name@trunk/mask=units", '~' before a record whose board is gone. */
  std::string Records(const char* pszGroup) {
    std::string str;
    char sz[160];
    for (const CVQSigTraceEntityParams& e : Group(pszGroup)->mvEntities) {
      snprintf(sz, sizeof(sz), "%s%s%s:%s@%u/%08X=%u", str.empty() ? "" : " ", e.mfGone ? "~" : "", e.mstrAdapterName.c_str(),
               e.mstrName.c_str(), e.mun32Trunk, e.mun32TimeslotMask, e.mun32RxCount + e.mun32TxCount + e.mun32ExtCount);
      str += sz;
    }
    return str;
  }

  sigtest::CLogLines Log;
  CVQSigTraceCfgCmdLine CmdLine;
  std::unique_ptr<CVQSigTrace> pApp;
  CVQSigTraceAdapter* pAdapter = nullptr;
  std::string mstrDir, mstrCwd;
};

TEST_F(SigTraceApp, ConfiguredEntitiesOfAReadyBoard) {
  /* Adapter field against the board's name "B1" and second text "SERIAL9", case-blind; an empty field names no board. */
  for (const auto& E : {Entity(VQ_SIGTRACE_TYPE_SS7, "b1", "G_NAME", "e1"), Entity(VQ_SIGTRACE_TYPE_CASR2, "serial9", "G_NAME2", "e2", 2),
                        Entity(VQ_SIGTRACE_TYPE_SS7, "", "G_EMPTY", "e3", 3), Entity(VQ_SIGTRACE_TYPE_H248, "", "G_H248", "e4"),
                        Entity(VQ_SIGTRACE_TYPE_SS7, "B2", "G_OTHER", "e5", 5), Entity(VQ_SIGTRACE_TYPE_SS7, "B1", "G_TWICE", "e6"),
                        Entity(VQ_SIGTRACE_TYPE_ISDN, "B1", "G_NAME", "e7", 7)})
    pApp->mSigTraceParams.Append(E);
  EXPECT_EQ(Dispatch(QUELLAN_NOTIF_ADAPTER_READY, Payload(424, {{288, "B1"}, {160, "SERIAL9"}})), VQX_RESULT_OK);
  for (const auto& [pszGroup, fMade] : {std::pair{"G_NAME", true}, {"G_NAME2", true}, {"G_EMPTY", false}, {"G_H248", false},
                                        {"G_OTHER", false}, {"G_TWICE", false}})
    EXPECT_EQ(Group(pszGroup) != nullptr, fMade) << pszGroup;
  EXPECT_EQ(Group("G_NAME2")->mfPcap, 0) << "CAS R2 is text";
  /* The same board ready again (back, or resynchronised): its entities are switched on again. */
  EXPECT_EQ(Dispatch(QUELLAN_NOTIF_ADAPTER_READY, Payload(424, {{288, "B1"}, {160, "SERIAL9"}})), VQX_RESULT_OK);
  const auto Lines = Log.Take();
  EXPECT_EQ(sigtest::Seen(Lines, "Entity B1:e1 back in group G_NAME: trace on again"), 1u);
  EXPECT_EQ(sigtest::Seen(Lines, "Trying to monitor twice the same entity on G_NAME, B1:e6 conflict with B1:e1"), 2u);
  EXPECT_EQ(sigtest::Seen(Lines, "cannot be merged inside the same group: B1:e7 not traced"), 2u);
  EXPECT_EQ(pApp->mUntracedEntities, std::set<std::string>{"B1:e7"}) << "left out, counted once";
  /* The command line's activation of e1 in its own group: the file's group holds, and nothing is wrong. */
  BoardHas("B1", {Entity(VQ_SIGTRACE_TYPE_SS7, "B1", "ss7_trk_01", "e1")});
  EXPECT_EQ(Dispatch(QUELLAN_NOTIF_ACTIVATE_MONITORING, Payload(688, {{288, "B1"}, {420, "e1"}, {548, "SS7"}})), VQX_RESULT_OK);
  EXPECT_EQ(Group("SS7"), nullptr);
  EXPECT_EQ(sigtest::Seen(Log.Take(), "Trying to monitor twice"), 0u);
  /* The command line selecting the board: no activation (nor its line) of e1, which the file traces. */
  pApp->mCmdLine.mAdapterName = "ALL";
  BoardHas("B1", {Entity(VQ_SIGTRACE_TYPE_SS7, "B1", "ss7_trk_09", "e9", 9)});
  EXPECT_EQ(Dispatch(QUELLAN_NOTIF_ADAPTER_READY, Payload(424, {{288, "B1"}, {160, "SERIAL9"}})), VQX_RESULT_OK);
  const auto Activated = Log.Take();
  EXPECT_EQ(sigtest::Seen(Activated, "Activate traces on "), 1u);
  EXPECT_EQ(sigtest::Seen(Activated, ":e9 in group=SS7"), 1u);
}

TEST_F(SigTraceApp, UnitsReachTheirEntityAnswersAndRefusalsAreLogged) {
  CVQSigTraceEntityParams E1 = Entity(VQ_SIGTRACE_TYPE_SS7, "B1", "SS7", "L1", 1, 1);
  CVQSigTraceEntityParams E2 = Entity(VQ_SIGTRACE_TYPE_SS7, "B1", "SS7", "L2", 5, 0x00010002);
  CVQSigTraceEntityParams E3 = Entity(VQ_SIGTRACE_TYPE_IP, "B1", "IP", "SIP");
  E3.mstrEthPort = "eth0";
  for (CVQSigTraceEntityParams* p : {&E1, &E2, &E3}) ASSERT_EQ(pApp->AttachEntityToGroup(*pAdapter, *p), VQX_RESULT_OK);
  Group("IP")->mvEntities[0].mun64EntityId = 0x100000002ull; /* the context id of the row */
  const struct {
    u32 un32Id;
    std::vector<u8> Payload;
    u32 un32Result;
    const char* pszLog;
  } aRows[] = {
      {0x04210031, Seed("ss7_ok"), VQX_RESULT_OK, ""},
      {0x04390031, Seed("ip_ok"), VQX_RESULT_OK, ""},
      {0x04540031, Seed("lapd_ok"), VQX_RESULT_NOT_FOUND, ""},
      {0x04210031, Seed("ss7_short"), VQX_RESULT_INVALID_PARAM, "SS7 unit refused: SS7 trace unit: short"},
      {0x04210030, Payload(16, {}, {{8, 1}, {12, static_cast<u32>(-2)}}), VQX_RESULT_FAIL, "SS7 trace on/off refused by B1: result -2"},
      {0x04080030, Payload(8, {}), VQX_RESULT_INVALID_PARAM, "ISDN trace answer refused"},
      {0x12345678, {}, VQX_RESULT_INVALID_PARAM, "MainLoop: not supported MsgId=0x12345678"},
  };
  for (const auto& r : aRows) {
    EXPECT_EQ(Dispatch(r.un32Id, r.Payload), r.un32Result) << std::hex << r.un32Id;
    const auto Lines = Log.Take();
    if (*r.pszLog) {
      EXPECT_EQ(sigtest::Seen(Lines, r.pszLog), 1u) << r.pszLog;
    }
  }
  EXPECT_EQ(pApp->mun32PacketCount, 4u);
  EXPECT_EQ(pApp->mun32LostUnits, 2u);
  EXPECT_EQ(Group("SS7")->mvEntities[1].mun32TxCount, 1u) << "the row's unit was sent (direction 2)";
  EXPECT_EQ(Group("IP")->mvEntities[0].mun32RxCount + Group("IP")->mvEntities[0].mun32TxCount, 1u);
  pApp.reset();  /* closes the files, one summary line per group */
  const auto End = Log.Take();
  for (const char* psz : {"Group SS7: 1 units written, 0 lost", "Group IP: 1 units written, 0 lost"})
    EXPECT_EQ(sigtest::Seen(End, psz), 1u) << psz;
  std::ifstream In(mstrDir + "/SS7_000.cap", std::ios::binary);
  const std::string s((std::istreambuf_iterator<char>(In)), {});
  ASSERT_GE(s.size(), 44u);
  EXPECT_EQ(s[40], 1) << "sent";
  EXPECT_EQ((u8(s[42]) << 8) | u8(s[43]), 2) << "link number: the position of L2";
}

/* A board gives the point-code length in bits: its units are decoded with
 * the label format they name, without the decoder's warning; a length the
 * board does not send is refused, logged and counted lost, nothing written. */
TEST_F(SigTraceApp, BoardPointCodeLengthPicksTheLabelFormat) {
  CVQSigTraceEntityParams E = Entity(VQ_SIGTRACE_TYPE_SS7, "B1", "SS7T", "L1", 1, 1, 0);
  ASSERT_EQ(pApp->AttachEntityToGroup(*pAdapter, E), VQX_RESULT_OK);
  /* MSU, SI 0: label octets 23 41 12 50 01 00 05. */
  const std::vector<u8> Msu = sigtest::FromHex("10 20 3F 80 23 41 12 50 01 00 05 17 00");
  const struct {
    u32 un32Variant, un32PcBits;
    const char* pszLabel; /* title and DPC line; null: refused */
  } aRows[] = {
      {1, 14, "[ITU 14 bits]\nDPC=291 (Zn-Net-Sp=0-36-3)"},
      {1, 24, "[ITU 24 bits]\nDPC=1196323 (Zn-Net-Sp=18-65-35)"},
      {3, 14, "[ANSI 14 bits]\nDPC 0.36.3"},
      {4, 24, "[ANSI 24 bits]\nDPC 18.65.35"},
      {1, 16, nullptr},
      {3, 3, nullptr}, /* the decoder's own value is not the board's */
  };
  /* A second apart: each refusal gets its own line. */
  static u64 s_un64Ms = 0;
  pApp->mpfnClock = [] { return s_un64Ms; };
  u32 un32Lost = 0;
  for (const auto& r : aRows) {
    s_un64Ms += 1000;
    std::vector<u8> Unit = Payload(0x30, {}, {{8, 1}, {12, 1}, {16, 1}, {20, u32(Msu.size())}, {24, 1}, {28, 1}, {32, 0xFF},
                                              {40, r.un32Variant}, {44, r.un32PcBits}});
    Unit.insert(Unit.end(), Msu.begin(), Msu.end());
    Unit.resize((Unit.size() + 7) / 8 * 8);
    EXPECT_EQ(Dispatch(0x04210031, Unit), r.pszLabel ? VQX_RESULT_OK : VQX_RESULT_INVALID_PARAM) << r.un32PcBits;
    un32Lost += r.pszLabel ? 0 : 1;
    const std::string strRefused = "SS7 unit refused: SS7 trace unit: point-code length " + std::to_string(r.un32PcBits) + " out of range";
    EXPECT_EQ(sigtest::Seen(Log.Take(), strRefused.c_str()), r.pszLabel ? 0u : 1u) << r.un32PcBits;
  }
  EXPECT_EQ(pApp->mun32LostUnits, un32Lost);
  pApp.reset();
  std::ifstream In(mstrDir + "/SS7T_000.log");
  const std::string s((std::istreambuf_iterator<char>(In)), {});
  EXPECT_EQ(sigtest::Count(s, "[MSU] Sub=0 NATIONAL Signaling Network Management Message (SNM) \nMTP3 Header: "), 4u) << s;
  EXPECT_EQ(sigtest::Count(s, "WARNING"), 0u) << s;
  size_t nAt = 0;
  for (const auto& r : aRows) {
    if (r.pszLabel == nullptr) continue;
    nAt = s.find(r.pszLabel, nAt);
    ASSERT_NE(nAt, std::string::npos) << "in order: " << r.pszLabel << "\n" << s;
  }
}

/* Units find their entity by board handle and trunk/timeslot mask (CAS R2:
 * trunk; IP: trace context id) through attach, detach, the board lost and
 * back under a new handle, a reload that adds an entity, and a reload while
 * the board is away (what the file keeps in its group takes the units of the
 * board back at once, whether the reload changed anything or not, the file's
 * or the command line's; what it removed or moved takes none until the board's
 * discovery completes, dropped with a line). Each probe names the group and
 * position of the entity whose count the unit raised, or "-" when none took it
 * (counted lost); the summary counts every unit where the probes saw it. */
TEST_F(SigTraceApp, UnitsFollowTheirEntitiesThroughAttachDetachBoardLossAndReload) {
  static u64 s_un64Ms = 0;
  pApp->mpfnClock = [] { return s_un64Ms; };
  pApp->mCmdLine.mCfgFile = "quellan.xml";
  /* pszR2Group "": CAS R2 trunk 3 left to the command line. */
  const auto Configure = [&](const char* pszMoreTrunks, const std::string& strR2Group = "R2") {
    std::ofstream("quellan.xml")
        << "<quellan><signaling>\n<ss7 adapter=\"C1\" grpname=\"SS7\" capfile=\"1\">\n"
        << "<trunk idx=\"5\" timeslot=\"1\" mask=\"255\"/><trunk idx=\"5\" timeslot=\"16\" mask=\"255\"/>" << pszMoreTrunks
        << "</ss7>\n<ss7 adapter=\"C2\" grpname=\"SS7B\" capfile=\"1\"><trunk idx=\"5\" timeslot=\"1\" mask=\"255\"/></ss7>\n"
        << (strR2Group.empty() ? "" : "<casr2 adapter=\"C1\" grpname=\"" + strR2Group + "\" extended=\"0\"><trunk idx=\"3\"/></casr2>\n")
        << "<ip adapter=\"C1\" grpname=\"IP\" ethport=\"eth0\" transport=\"udp\" ipmask=\"10.0.0.1\" port=\"5060\" capfile=\"1\"/>\n"
        << "</signaling></quellan>\n";
    ASSERT_EQ(pApp->ReloadConfig(0), VQX_RESULT_OK);
  };
  constexpr u32 kSs7 = 0x04210031, kLapd = 0x04540031, kCasr2 = 0x04510031, kIp = 0x04390031;
  struct SProbe {
    u32 un32Id, hAdapter, un32Trunk;
    u64 un64Mask; /* IP: added to the IP entity's trace context id */
    const char* pszWhere;
  };
  const struct {
    const char* pszStep;
    std::function<void()> fnStep;
    std::vector<SProbe> vProbes;
  } aSteps[] = {
      {"attached",
       [&] {
         Configure("");
         Board(VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, "C1", 0x11), Board(VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, "C2", 0x22);
         Board(QUELLAN_NOTIF_ADAPTER_READY, "C1"), Board(QUELLAN_NOTIF_ADAPTER_READY, "C2");
       },
       {{kSs7, 0x11, 5, 0x2, "SS7#1"}, {kSs7, 0x11, 5, 0x10000, "SS7#2"}, {kSs7, 0x22, 5, 0x2, "SS7B#1"},
        {kSs7, 0x11, 5, 0x4, "-"}, {kSs7, 0x33, 5, 0x2, "-"} /* no such board */, {kLapd, 0x11, 5, 0x2, "-"} /* type */,
        {kCasr2, 0x11, 3, 0, "R2#1"}, {kCasr2, 0x22, 3, 0, "-"}, {kIp, 0x11, 0, 0, "IP#1"}, {kIp, 0x11, 0, 1000, "-"}}},
      {"first SS7 link detached",
       [&] {
         CVQSigTraceEntityParams E(Group("SS7")->mvEntities[0]);
         EXPECT_EQ(pApp->DetachEntity(*Group("SS7"), E), VQX_RESULT_OK);
       },
       {{kSs7, 0x11, 5, 0x2, "-"}, {kSs7, 0x11, 5, 0x10000, "SS7#1"}, {kSs7, 0x22, 5, 0x2, "SS7B#1"}}},
      {"board C1 lost",
       [&] { Board(VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED, "C1"); },
       {{kSs7, 0x11, 5, 0x10000, "-"}, {kCasr2, 0x11, 3, 0, "-"}, {kIp, 0x11, 0, 0, "-"} /* IP too: by board */,
        {kSs7, 0x22, 5, 0x2, "SS7B#1"}}},
      {"board C1 back as 0x44",
       [&] { Board(VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, "C1", 0x44); },
       {{kSs7, 0x11, 5, 0x10000, "-"}, {kSs7, 0x44, 5, 0x10000, "SS7#1"}, {kSs7, 0x44, 5, 0x2, "-"}, {kCasr2, 0x44, 3, 0, "R2#1"}}},
      {"board C1 ready again",
       [&] { Board(QUELLAN_NOTIF_ADAPTER_READY, "C1"); },
       {{kSs7, 0x44, 5, 0x2, "SS7#2"} /* attached again, at the end */, {kSs7, 0x44, 5, 0x10000, "SS7#1"}, {kIp, 0x44, 0, 0, "IP#1"}}},
      {"reloaded with trunk 6",
       [&] { Configure("<trunk idx=\"6\" timeslot=\"2\" mask=\"255\"/>"), Board(QUELLAN_NOTIF_ADAPTER_READY, "C1"); },
       {{kSs7, 0x44, 6, 0x4, "SS7#3"}, {kSs7, 0x44, 5, 0x10000, "SS7#1"}, {kSs7, 0x22, 6, 0x4, "-"}}},
      {"board C1 lost, and a reload without trunk 6 while it is away",
       [&] { Board(VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED, "C1"), Configure(""); },
       {{kSs7, 0x22, 5, 0x2, "SS7B#1"}}},
      {"board C1 back as 0x55, traces still on: what the file keeps written, the trunk it removed held back",
       [&] {
         Log.Take();
         s_un64Ms += 1000; /* a second on: the first unit dropped gets its line */
         Board(VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, "C1", 0x55);
       },
       {{kSs7, 0x55, 6, 0x4, "-"}, {kSs7, 0x55, 5, 0x10000, "SS7#1"}, {kCasr2, 0x55, 3, 0, "R2#1"}, {kIp, 0x55, 0, 0, "IP#1"},
        {kSs7, 0x22, 5, 0x2, "SS7B#1"}}},
      {"board C1 ready: the removed trunk's record takes none",
       [&] { Board(QUELLAN_NOTIF_ADAPTER_READY, "C1"); },
       {{kSs7, 0x55, 6, 0x4, "-"}, {kSs7, 0x55, 5, 0x2, "SS7#2"}, {kSs7, 0x55, 5, 0x10000, "SS7#1"}}},
      {"a reload that changes nothing while board C1 is away, then back as 0x66",
       [&] {
         Board(VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED, "C1"), Configure(""), Board(VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, "C1", 0x66);
       },
       {{kSs7, 0x66, 5, 0x10000, "SS7#1"}, {kSs7, 0x66, 5, 0x2, "SS7#2"}, {kCasr2, 0x66, 3, 0, "R2#1"}, {kIp, 0x66, 0, 0, "IP#1"},
        {kSs7, 0x66, 6, 0x4, "-"}}},
      {"a reload that changes nothing while board C1 is present",
       [&] { Configure(""); },
       {{kSs7, 0x66, 5, 0x10000, "SS7#1"}, {kCasr2, 0x66, 3, 0, "R2#1"}, {kIp, 0x66, 0, 0, "IP#1"}}},
      {"board C1 away, a reload moving CAS R2 trunk 3 to group R2B, back as 0x77: the moved trunk held back",
       [&] {
         Board(VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED, "C1"), Configure("", "R2B");
         Board(VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, "C1", 0x77);
       },
       {{kCasr2, 0x77, 3, 0, "-"}, {kSs7, 0x77, 5, 0x10000, "SS7#1"}}},
      {"board C1 away, its trunk 3 left to the command line, which puts it in group R2: back as 0x88, written there",
       [&] {
         Board(VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED, "C1"), Configure("", "");
         pApp->mBoardSelections["C1"].vSelected = {Entity(VQ_SIGTRACE_TYPE_CASR2, "C1", "R2", "casr2_trk_03", 3, 0, 0)};
         Board(VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, "C1", 0x88);
       },
       {{kCasr2, 0x88, 3, 0, "R2#1"}, {kSs7, 0x88, 5, 0x10000, "SS7#1"}}},
      {"and away again, the command line putting it elsewhere: back as 0x99, held back",
       [&] {
         Board(VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED, "C1"), Configure("", "");
         pApp->mBoardSelections["C1"].vSelected = {Entity(VQ_SIGTRACE_TYPE_CASR2, "C1", "C1_casr2_trk_03", "casr2_trk_03", 3, 0, 0)};
         Board(VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, "C1", 0x99);
       },
       {{kCasr2, 0x99, 3, 0, "-"}, {kSs7, 0x99, 5, 0x10000, "SS7#1"}}},
      {"a reload putting trunk 3 in group R2B, board C1 present and ready",
       [&] { Configure("", "R2B"), Board(QUELLAN_NOTIF_ADAPTER_READY, "C1"); },
       {{kCasr2, 0x99, 3, 0, "R2B#1"}}},
      {"a reload moving it back to R2, and the ready message of a discovery the reload's overtook: no conflict, its "
       "units in R2B until the reload's discovery switches it there",
       [&] { Configure("", "R2"), Board(QUELLAN_NOTIF_ADAPTER_READY, "C1"); },
       {{kCasr2, 0x99, 3, 0, "R2B#1"}, {kSs7, 0x99, 5, 0x10000, "SS7#1"}}},
  };
  /* The group and position of the one entity whose count the unit raised. */
  const auto Route = [&](const SProbe& p) -> std::string {
    std::vector<u8> Unit;
    if (p.un32Id == kIp) {
      Unit = sigtest::Patched(Seed("ip_ok"), 0x18, Group("IP")->mvEntities[0].mun64EntityId + p.un64Mask, 8);
    } else {
      Unit = Seed(p.un32Id == kSs7 ? "ss7_ok" : p.un32Id == kLapd ? "lapd_ok" : "casr2_state");
      Unit = sigtest::Patched(sigtest::Patched(Unit, 0x18, p.un32Trunk), 0x1C, p.un32Id == kCasr2 ? Unit[0x1C] : p.un64Mask);
    }
    std::vector<std::pair<std::string, u32>> vCounts;
    const auto Counts = [&] {
      std::vector<std::pair<std::string, u32>> v;
      pApp->mGroups.ResetNext();
      for (CVQSigTraceGrp* g = pApp->mGroups.Next(); g != nullptr; g = pApp->mGroups.Next())
        for (size_t i = 0; i < g->mvEntities.size(); i++) {
          const CVQSigTraceEntityParams& e = g->mvEntities[i];
          v.emplace_back(std::string(g->mstrName.c_str()) + "#" + std::to_string(i + 1), e.mun32RxCount + e.mun32TxCount + e.mun32ExtCount);
        }
      return v;
    };
    const auto Before = Counts();
    const u32 un32Lost = pApp->mun32LostUnits;
    const u32 r = Dispatch(p.un32Id, Unit, p.hAdapter);
    const auto After = Counts();
    std::string strWhere;
    for (size_t i = 0; i < After.size() && i < Before.size(); i++)
      if (After[i].second != Before[i].second) strWhere += (strWhere.empty() ? "" : ",") + After[i].first;
    if (strWhere.empty()) strWhere = "-";
    const bool fLost = pApp->mun32LostUnits == un32Lost + 1;
    if (r != (strWhere == "-" ? VQX_RESULT_NOT_FOUND : VQX_RESULT_OK) || fLost != (strWhere == "-"))
      strWhere += " (result " + std::to_string(r) + (fLost ? ", lost" : "") + ")";
    return strWhere;
  };
  std::map<std::string, u32> Expected; /* units by group, "-" those dropped */
  for (const auto& Step : aSteps) {
    Step.fnStep();
    for (const SProbe& p : Step.vProbes) {
      EXPECT_EQ(Route(p), p.pszWhere) << Step.pszStep << ": id 0x" << std::hex << p.un32Id << " board 0x" << p.hAdapter
                                      << " trunk " << std::dec << p.un32Trunk << " mask/context +0x" << std::hex << p.un64Mask;
      Expected[std::string(p.pszWhere).substr(0, std::string(p.pszWhere).find('#'))]++;
    }
    EXPECT_TRUE(pApp->mUnitIndex.CheckInvariant()) << Step.pszStep << "\n" << pApp->mUnitIndex.Dump();
  }
  /* Dropped with a line, the others of its second counted at the close; in the summary, each group its own and
   * every unit dropped. */
  const auto Lines = Log.Take();
  EXPECT_EQ(sigtest::Seen(Lines, " of C1 dropped: no traced entity (and "), 1u);
  EXPECT_EQ(sigtest::Seen(Lines, "Trying to monitor twice"), 0u);
  pApp.reset();
  const auto End = Log.Take();
  EXPECT_EQ(sigtest::Seen(End, "Units with no traced entity dropped: 4 more since the last line"), 1u);
  for (const auto& [strGroup, un32Units] : Expected) {
    const std::string strLine = strGroup == "-" ? "Units with no traced entity: " + std::to_string(un32Units) + " dropped"
                                                : "Group " + strGroup + ": " + std::to_string(un32Units) + " units written, 0 lost";
    EXPECT_EQ(sigtest::Seen(End, strLine.c_str()), 1u) << strLine;
  }
}

/* Two boards whose links share their names, in one text group: the second
 * board's are traced as "<board>_<name>", the first keeps its name; the same
 * entity again is switched on again, not added. A board removed and back
 * with a link moved to another trunk and one renamed on its trunk: each
 * takes its earlier record over, counts going on; a record the board no
 * longer has stays, its board gone, and no other board takes it. A record
 * whose name the board back still has is that entity's, whichever comes
 * first. An entity whose name there is taken, also by its own board's, is
 * named and counted. */
TEST_F(SigTraceApp, SameNamedLinksOfTwoBoardsAndABoardBackChanged) {
  const auto Link = [](const char* pszName, u32 un32Trunk, u32 un32Mask) {
    return Entity(VQ_SIGTRACE_TYPE_SS7, "", "SS7", pszName, un32Trunk, un32Mask, 0);
  };
  const struct {
    const char* pszStep;
    std::function<void()> fnStep;
    const char* pszRecords; /* the group's records after the step */
    const char* pszLine;    /* a line logged once by the step */
  } aSteps[] = {
      {"first board",
       [&] {
         Board(VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, "C1", 0x11), Board(VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, "C2", 0x22);
         EXPECT_EQ(Attach("C1", Link("LINK_A", 5, 0x2)) | Attach("C1", Link("LINK_B", 6, 0x1)), VQX_RESULT_OK);
       },
       "C1:LINK_A@5/00000002=0 C1:LINK_B@6/00000001=0", "Allocate entity: add \033[32mC1:LINK_B\033[m in group"},
      {"second board, same names",
       [&] { EXPECT_EQ(Attach("C2", Link("LINK_A", 5, 0x2)) | Attach("C2", Link("LINK_B", 6, 0x1)), VQX_RESULT_OK); },
       "C1:LINK_A@5/00000002=0 C1:LINK_B@6/00000001=0 C2:C2_LINK_A@5/00000002=0 C2:C2_LINK_B@6/00000001=0",
       "Entity C2:LINK_A traced as C2_LINK_A in group SS7: another board's entity has its name there"},
      {"the same entity again, and a unit of each board",
       [&] {
         EXPECT_EQ(Attach("C2", Link("LINK_A", 5, 0x2)) | Attach("C1", Link("LINK_A", 5, 0x2)), VQX_RESULT_OK);
         EXPECT_EQ(Ss7Unit(0x11, 5, 0x2) | Ss7Unit(0x22, 5, 0x2) | Ss7Unit(0x22, 5, 0x2), VQX_RESULT_OK);
       },
       "C1:LINK_A@5/00000002=1 C1:LINK_B@6/00000001=0 C2:C2_LINK_A@5/00000002=2 C2:C2_LINK_B@6/00000001=0",
       "Entity C2:C2_LINK_A back in group SS7: trace on again"},
      {"second board gone", [&] { Board(VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED, "C2"); },
       "C1:LINK_A@5/00000002=1 C1:LINK_B@6/00000001=0 ~C2:C2_LINK_A@5/00000002=2 ~C2:C2_LINK_B@6/00000001=0",
       "Adapter C2 removed"},
      {"second board back: LINK_A moved to trunk 7",
       [&] {
         Board(VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, "C2", 0x44);
         EXPECT_EQ(Attach("C2", Link("LINK_A", 7, 0x2)) | Ss7Unit(0x44, 7, 0x2), VQX_RESULT_OK);
       },
       "C1:LINK_A@5/00000002=1 C1:LINK_B@6/00000001=0 C2:C2_LINK_A@7/00000002=3 ~C2:C2_LINK_B@6/00000001=0",
       "Entity C2:C2_LINK_A back in group SS7 in place of C2_LINK_A (trunk 5, timeslots 00000002): trace on again"},
      {"and LINK_B renamed LINK_C on its trunk", [&] { EXPECT_EQ(Attach("C2", Link("LINK_C", 6, 0x1)), VQX_RESULT_OK); },
       "C1:LINK_A@5/00000002=1 C1:LINK_B@6/00000001=0 C2:C2_LINK_A@7/00000002=3 C2:LINK_C@6/00000001=0",
       "Entity C2:LINK_C back in group SS7 in place of C2_LINK_B (trunk 6, timeslots 00000001): trace on again"},
      {"first board back without LINK_B",
       [&] {
         Board(VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED, "C1"), Board(VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, "C1", 0x55);
         EXPECT_EQ(Attach("C1", Link("LINK_A", 5, 0x2)) | Ss7Unit(0x55, 5, 0x2), VQX_RESULT_OK);
       },
       "C1:LINK_A@5/00000002=2 ~C1:LINK_B@6/00000001=0 C2:C2_LINK_A@7/00000002=3 C2:LINK_C@6/00000001=0",
       "Entity C1:LINK_A back in group SS7: trace on again"},
      {"its LINK_B found again in another group, where its units go",
       [&] {
         EXPECT_EQ(Attach("C1", Entity(VQ_SIGTRACE_TYPE_SS7, "", "SS7B", "LINK_B", 6, 0x1)) | Ss7Unit(0x55, 6, 0x1), VQX_RESULT_OK);
         EXPECT_EQ(Records("SS7B"), "C1:LINK_B@6/00000001=1");
       },
       "C1:LINK_A@5/00000002=2 ~C1:LINK_B@6/00000001=0 C2:C2_LINK_A@7/00000002=3 C2:LINK_C@6/00000001=0",
       "Allocate entity: add \033[32mC1:LINK_B\033[m in group \033[32mSS7B"},
      {"a new board with a link on the trunk of a record gone: a record of its own",
       [&] {
         Board(VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, "C3", 0x66);
         EXPECT_EQ(Attach("C3", Link("LINK_X", 6, 0x1)), VQX_RESULT_OK);
       },
       "C1:LINK_A@5/00000002=2 ~C1:LINK_B@6/00000001=0 C2:C2_LINK_A@7/00000002=3 C2:LINK_C@6/00000001=0 C3:LINK_X@6/00000001=0",
       "Allocate entity: add \033[32mC3:LINK_X\033[m in group \033[32mSS7"},
      {"C2 back with a new link on the trunk LINK_A leaves, found first: LINK_A's record waits for LINK_A",
       [&] {
         Board(VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED, "C2"), Board(VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, "C2", 0x77);
         BoardHas("C2", {"LINK_A", "LINK_C", "LINK_D"});
         EXPECT_EQ(Attach("C2", Link("LINK_D", 7, 0x2)) | Attach("C2", Link("LINK_A", 8, 0x2)) |
                       Attach("C2", Link("LINK_C", 6, 0x1)), VQX_RESULT_OK);
       },
       "C1:LINK_A@5/00000002=2 ~C1:LINK_B@6/00000001=0 C2:C2_LINK_A@8/00000002=3 C2:LINK_C@6/00000001=0 C3:LINK_X@6/00000001=0 "
       "C2:LINK_D@7/00000002=0",
       "Entity C2:C2_LINK_A back in group SS7 in place of C2_LINK_A (trunk 7, timeslots 00000002): trace on again"},
      {"an entity of C2 named like the name its LINK_A has there: not traced, counted",
       [&] { EXPECT_EQ(Attach("C2", Link("C2_LINK_A", 9, 0x1)), VQX_RESULT_INVALID_OPERATION); },
       "C1:LINK_A@5/00000002=2 ~C1:LINK_B@6/00000001=0 C2:C2_LINK_A@8/00000002=3 C2:LINK_C@6/00000001=0 C3:LINK_X@6/00000001=0 "
       "C2:LINK_D@7/00000002=0",
       "Entity C2:C2_LINK_A cannot be traced in group SS7: C2_LINK_A is taken there by C2"},
      {"a LINK_D of C3, whose C3_LINK_D C1 has: not traced, counted",
       [&] {
         EXPECT_EQ(Attach("C1", Link("C3_LINK_D", 10, 0x1)), VQX_RESULT_OK);
         EXPECT_EQ(Attach("C3", Link("LINK_D", 7, 0x2)), VQX_RESULT_INVALID_OPERATION);
       },
       "C1:LINK_A@5/00000002=2 ~C1:LINK_B@6/00000001=0 C2:C2_LINK_A@8/00000002=3 C2:LINK_C@6/00000001=0 C3:LINK_X@6/00000001=0 "
       "C2:LINK_D@7/00000002=0 C1:C3_LINK_D@10/00000001=0",
       "Entity C3:LINK_D cannot be traced in group SS7: C3_LINK_D is taken there by C1"},
  };
  for (const auto& Step : aSteps) {
    Step.fnStep();
    EXPECT_EQ(Records("SS7"), Step.pszRecords) << Step.pszStep;
    EXPECT_EQ(sigtest::Seen(Log.Take(), Step.pszLine), 1u) << Step.pszStep << ": " << Step.pszLine;
  }
  pApp.reset();
  EXPECT_EQ(sigtest::Seen(Log.Take(), "Entities not traced: 2"), 1u);
  const std::string s = sigtest::ReadFile("SS7_000.log");
  EXPECT_EQ(sigtest::Count(s, "//               C2:C2_LINK_A\n"), 1u) << s;
  /* The text prefixes, right-aligned names: which board each unit is of. */
  EXPECT_EQ(sigtest::Count(s, std::string(31, ' ') + "C2_LINK_A "), 3u) << s;
  EXPECT_EQ(sigtest::Count(s, std::string(34, ' ') + "LINK_A "), 2u) << s;
}

/* With the 64 groups taken, a group whose entities all belong to boards
 * gone gives its place (its file closed, its counts in the summary), also to
 * an entity that found none before, as soon as the board goes; what still
 * finds no group is named, and counted once at the end. A group made again
 * under a name given up takes its counts on. */
TEST_F(SigTraceApp, GroupsOfBoardsGoneGiveTheirPlaceAndWhatFindsNoneIsCounted) {
  Board(VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, "C1", 0x11), Board(VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, "C2", 0x22);
  ASSERT_EQ(Attach("C2", Entity(VQ_SIGTRACE_TYPE_SS7, "", "OLD", "L0", 1, 1)) | Ss7Unit(0x22, 1, 1), VQX_RESULT_OK);
  for (u32 i = 1; i < QUELLAN_MAX_GROUPS; i++) {
    const std::string strGroup = "G" + std::to_string(i);
    ASSERT_EQ(Attach("C1", Entity(VQ_SIGTRACE_TYPE_SS7, "", strGroup.c_str(), "L", 10 + i, 1)), VQX_RESULT_OK) << i;
  }
  Log.Take();
  const auto NewLink = [&](const char* pszGroup, const char* pszName, u32 un32Trunk) {
    return Attach("C1", Entity(VQ_SIGTRACE_TYPE_SS7, "", pszGroup, pszName, un32Trunk, 1));
  };
  const char* const kpszFull = "No more group context (increase QUELLAN_MAX_GROUPS define): C1:N1 not traced";
  EXPECT_EQ(NewLink("NEW1", "N1", 100), VQX_RESULT_OUT_OF_RESOURCE) << "C2 is still present";
  EXPECT_EQ(sigtest::Seen(Log.Take(), kpszFull), 1u);
  Board(VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED, "C2");
  EXPECT_TRUE(Group("NEW1") != nullptr && Records("NEW1") == "C1:N1@100/00000001=0") << "attached once C2's group could give its place";
  EXPECT_EQ(NewLink("NEW1", "N1", 100), VQX_RESULT_OK);
  EXPECT_EQ(sigtest::Seen(Log.Take(), "Group OLD: its boards are gone, its file closed and its place given to a new group"), 1u);
  EXPECT_TRUE(Group("OLD") == nullptr && Group("NEW1") != nullptr);
  EXPECT_EQ(sigtest::PcapRecords(sigtest::ReadFile("OLD_000.cap"), 139), 1) << "closed with its record";
  EXPECT_EQ(NewLink("NEW2", "N2", 101) | NewLink("NEW2", "N2", 101), VQX_RESULT_OUT_OF_RESOURCE) << "no other group to give";
  /* C1 gone, C2 back: OLD takes the place of C1's first group, its count going on. */
  Board(VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED, "C1"), Board(VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, "C2", 0x33);
  EXPECT_EQ(Attach("C2", Entity(VQ_SIGTRACE_TYPE_SS7, "", "OLD", "L0", 1, 1)) | Ss7Unit(0x33, 1, 1), VQX_RESULT_OK);
  Log.Take();
  pApp.reset();
  const auto End = Log.Take();
  for (const auto& [pszLine, un32Count] : {std::pair{"Group OLD: 2 units written, 0 lost", 1u}, {"Group G1: 0 units written", 1u},
                                           {"Entities not traced: 1", 1u}, {"Group ", QUELLAN_MAX_GROUPS + 1}})
    EXPECT_EQ(sigtest::Seen(End, pszLine), un32Count) << pszLine;
}

/* Boards beyond the 32 adapters wait in the order they came, each named with why; one that leaves meanwhile leaves
 * the queue; the first takes the place of a board that leaves (with its own handle), and every board that never had
 * a place is counted and named in "Entities not traced". */
TEST_F(SigTraceApp, BoardsBeyondThe32WaitNamedAndCountedAndTakeThePlacesThatFree) {
  for (u32 i = 2; i <= QUELLAN_MAX_ADAPTERS; i++) Board(VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, ("C" + std::to_string(i)).c_str(), i);
  const auto Added = [&](const char* pszName, u32 hAdapter) {
    return Dispatch(VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, Payload(424, {{288, pszName}}, {{12, hAdapter}}));
  };
  Log.Take();
  EXPECT_EQ(Added("W1", 0x101) | Added("W2", 0x102) | Added("W3", 0x103), VQX_RESULT_OUT_OF_RESOURCE);
  EXPECT_EQ(Added("W1", 0x104), VQX_RESULT_OK) << "known as waiting: its handle kept up to date, no second line";
  auto aLines = Log.Take();
  for (const char* psz : {"W1", "W2", "W3"}) {
    const std::string str = std::string("Too many adapters detected: board ") + psz +
                            " waits for a place (32 at most), traced once one frees (82000008)";
    EXPECT_EQ(sigtest::Seen(aLines, str.c_str()), 1u) << psz;
  }
  Board(VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED, "W2");
  Board(VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED, "C5");
  Board(VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED, "C6");
  aLines = Log.Take();
  for (const char* psz : {"Adapter W2 removed while it waited for a place", "Adapter C5: its place goes to W1, the first",
                          "Adapter W1 added (handle 0x00000104)", "Adapter C6: its place goes to W3, the first",
                          "Adapter W3 added (handle 0x00000103)"})
    EXPECT_EQ(sigtest::Seen(aLines, psz), 1u) << psz;
  EXPECT_TRUE(pApp->mAdapters.Find(CVQCAFHashKeyString("W1")) && pApp->mAdapters.Find(CVQCAFHashKeyString("W3")));
  Board(VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED, "C7");
  EXPECT_EQ(pApp->mAdapters.GetCount(), QUELLAN_MAX_ADAPTERS - 1) << "no board waits for the place";
  EXPECT_EQ(Added("W4", 0x105), VQX_RESULT_OK);
  EXPECT_EQ(Added("W5", 0x106), VQX_RESULT_OUT_OF_RESOURCE);
  pApp.reset();
  EXPECT_EQ(sigtest::Seen(Log.Take(), "Entities not traced: 2, boards among them: W2, W5 (no place among the 32 boards)"), 1u);
}

/* The peers the transport could not link for want of a record, as it lists them each second: each named once however
 * often listed (a board as waiting for a place, a host as not linked); a host no longer listed is named no more once
 * it is linked, and stays named when it left unlinked. */
TEST_F(SigTraceApp, PeersWaitingForARecordAreCountedOnceUntilTheyLink) {
  const std::string kNotLinked = " (not linked: the 128 host records taken)";
  const struct {
    std::vector<std::string> aBoards, aHosts;
    std::set<std::string> Linked; /* the hosts linked now */
    u32 un32Boards, un32Hosts;
    std::string strHosts; /* the hosts named */
  } aRows[] = {
      {{}, {"h1.a", "h2.a"}, {}, 0, 2, "h1.a" + kNotLinked + ", h2.a" + kNotLinked},
      {{"B9"}, {"h1.a", "h2.a"}, {}, 1, 2, "h1.a" + kNotLinked + ", h2.a" + kNotLinked}, /* again a second later */
      {{"B9"}, {"h2.a"}, {"h1.a"}, 1, 1, "h2.a" + kNotLinked},                            /* h1.a linked */
      {{}, {}, {}, 1, 1, "h2.a" + kNotLinked},                                            /* h2.a left unlinked */
      {{}, {"h2.a"}, {"h1.a"}, 1, 1, "h2.a" + kNotLinked},                                /* back, waiting */
      {{}, {}, {"h2.a"}, 1, 0, ""},                                                       /* and linked */
  };
  for (size_t i = 0; i < std::size(aRows); i++) {
    pApp->NoteWaitingPeers(aRows[i].aBoards, aRows[i].aHosts, [&] { return aRows[i].Linked; });
    EXPECT_EQ(pApp->mBoardPlaces.LeftOut(), aRows[i].un32Boards) << "row " << i;
    EXPECT_EQ(pApp->mProviderPlaces.LeftOut(), aRows[i].un32Hosts) << "row " << i;
    EXPECT_EQ(pApp->mProviderPlaces.LeftOutText(), aRows[i].strHosts) << "row " << i;
  }
}

/* After a reload, what the configuration no longer selects in a group is switched off there, its record kept (marked
 * gone); what it keeps there takes its extended flag; the first group wanted takes an entity. A group whose entities
 * are all switched off gives its place when the 64 are taken. So for the records of a board back from away. */
TEST_F(SigTraceApp, WhatAReloadNoLongerSelectsIsSwitchedOffAndItsGroupMayGiveItsPlace) {
  Board(VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, "C1", 0x11);
  std::vector<CVQSigTraceEntityParams> vWanted;
  for (u32 i = 0; i < QUELLAN_MAX_GROUPS; i++) {
    const std::string strGroup = "G" + std::to_string(i);
    CVQSigTraceEntityParams E = Entity(VQ_SIGTRACE_TYPE_CASR2, "C1", strGroup.c_str(), "R", 10 + i, 0, 0);
    ASSERT_EQ(Attach("C1", E), VQX_RESULT_OK) << i;
    E.mfExtended = 1;
    if (i != 5) vWanted.push_back(E); /* G5's trunk no longer selected */
  }
  vWanted[0].mstrGroupName = "ELSEWHERE"; /* G0's trunk moved: the first wanted takes it */
  vWanted.push_back(Entity(VQ_SIGTRACE_TYPE_CASR2, "C1", "G0", "R", 10, 0, 0));
  Log.Take();
  pApp->SwitchOffUnselected("c1", vWanted);
  EXPECT_EQ(Records("G5"), "~C1:R@15/00000000=0");
  EXPECT_EQ(Records("G0"), "~C1:R@10/00000000=0");
  EXPECT_EQ(Records("G1"), "C1:R@11/00000000=0");
  EXPECT_EQ(Group("G1")->mvEntities[0].mfExtended, 1) << "a kept entity takes its new extended flag";
  auto Lines = Log.Take();
  EXPECT_EQ(sigtest::Seen(Lines, "Entity C1:R no longer selected by the configuration: trace off, its record kept in group G5"), 1u);
  EXPECT_EQ(sigtest::Seen(Lines, "Entity C1:R moved from group G0 to group ELSEWHERE by the configuration: its record kept in G0"), 1u);
  EXPECT_EQ(Lines.size(), 2u);
  EXPECT_EQ(Attach("C1", Entity(VQ_SIGTRACE_TYPE_CASR2, "C1", "NEW", "N", 99, 0, 0)), VQX_RESULT_OK);
  EXPECT_EQ(sigtest::Seen(Log.Take(), "Group G0: its entities are no longer traced, its file closed and its place given to a new group"), 1u);
  EXPECT_EQ(Attach("C1", Entity(VQ_SIGTRACE_TYPE_CASR2, "C1", "NEW2", "N2", 98, 0, 0)), VQX_RESULT_OK);
  EXPECT_TRUE(Group("G0") == nullptr && Group("G5") == nullptr && Group("G1") != nullptr);
  /* The records of a board's stay before it went, the board back: one the file no longer selects and the board has
   * still is switched off (it may trace it still); one it no longer has, or that the file keeps there, waits. */
  Board(VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED, "C1"), Board(VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, "C1", 0x22);
  BoardHas("C1", {Entity(VQ_SIGTRACE_TYPE_CASR2, "C1", "x", "R1", 11, 0, 0), Entity(VQ_SIGTRACE_TYPE_CASR2, "C1", "x", "R2", 12, 0, 0)});
  Log.Take();
  pApp->SwitchOffUnselected("C1", {Entity(VQ_SIGTRACE_TYPE_CASR2, "C1", "G2", "R", 12, 0, 0)});
  const auto Gone = [&](const char* pszGroup) { return Group(pszGroup)->mvEntities[0].mfGone; };
  EXPECT_EQ(std::make_tuple(Gone("G1"), Gone("G2"), Gone("G3")),
            std::make_tuple(u8{VQ_SIGTRACE_GONE_OFF}, u8{VQ_SIGTRACE_GONE_BOARD}, u8{VQ_SIGTRACE_GONE_BOARD}));
  Lines = Log.Take();
  EXPECT_EQ(sigtest::Seen(Lines, "Entity C1:R no longer selected by the configuration: trace off, its record kept in group G1"), 1u);
  EXPECT_EQ(Lines.size(), 1u);
}

/* A provider's link up and down as its service reports them: the
 * disconnection also forgets the capture state it was last told. */
TEST_F(SigTraceApp, AProviderDisconnectClearsItsCaptureState) {
  CVQSigTraceProviderEntity P;
  P.mun32Capture = 1;
  for (const auto& [un32Id, un32Connected, un32Capture] :
       {std::tuple{VQCAF_MSG_SERVICE_CONNECTED, 1u, 1u}, {VQCAF_MSG_SERVICE_DISCONNECTED, 0u, 0u}}) {
    std::vector<u32> v(VQX_MSG_HEADER_SIZE / 4 + 2);
    auto* h = reinterpret_cast<VQX_MSG_HEADER*>(v.data());
    h->un32MsgId = un32Id, h->un32PayloadStart = VQX_MSG_HEADER_SIZE, h->un32Length = VQX_MSG_HEADER_SIZE;
    CVQCAFMsgBuffer Msg(reinterpret_cast<VQX_MSG_HANDLE>(h));
    P.OnMsgReceived(nullptr, Msg);
    Msg.GetMsgHandle(1);  // the test's own bytes: not released
    EXPECT_EQ(std::make_pair(P.mfConnected, P.mun32Capture), std::make_pair(un32Connected, un32Capture)) << un32Id;
  }
}

u64 s_un64TestClockMs = 0;

/* A stream of malformed units: one line a second per family, on the
 * application's clock; the refusals left out are counted in the next line,
 * or in one of their own from the loop's turn once the second is over. */
TEST_F(SigTraceApp, RefusalLinesOnceASecondPerFamily) {
  pApp->mpfnClock = [] { return s_un64TestClockMs; };
  const struct {
    u64 un64Ms;
    u32 un32Ss7, un32Isdn;                /* malformed units dispatched at that time */
    std::vector<const char*> vLines;      /* the refusal lines logged up to the loop's turn */
  } aRows[] = {
      {5000, 3, 1, {"SS7 unit refused: SS7 trace unit: short (", "ISDN unit refused: "}},
      {5999, 2, 1, {}},
      {6000, 0, 0, {"SS7 unit refused 4 more time(s) since the last line", "ISDN unit refused 1 more time(s) since the last line"}},
      {6500, 1, 0, {}},
      {7000, 1, 0, {"SS7 unit refused: SS7 trace unit: short ", "(and 1 more since the last line) ("}},
      {9000, 0, 0, {}},
  };
  for (const auto& r : aRows) {
    s_un64TestClockMs = r.un64Ms;
    for (u32 i = 0; i < r.un32Ss7; i++) EXPECT_EQ(Dispatch(0x04210031, Seed("ss7_short")), VQX_RESULT_INVALID_PARAM);
    for (u32 i = 0; i < r.un32Isdn; i++) EXPECT_TRUE(VQX_RESULT_FAILED(Dispatch(0x04080031, Seed("isdn_cut_in_fields"))));
    pApp->OnLoopTurn(false);
    const auto Lines = Log.Take();
    EXPECT_EQ(sigtest::Seen(Lines, " unit refused"), r.un64Ms == 7000 ? 1u : r.vLines.size()) << "at " << r.un64Ms;
    for (const char* psz : r.vLines) EXPECT_EQ(sigtest::Seen(Lines, psz), 1u) << "at " << r.un64Ms << ": " << psz;
  }
  EXPECT_EQ(pApp->mun32LostUnits, 9u);
}

/* A group that cannot open its file (its directory removed, in a child):
 * the first failure is said once, on standard error too when no console
 * shows the log; the units are counted as lost. */
TEST_F(SigTraceApp, AGroupThatCannotOpenItsFileIsShownOnce) {
  CVQSigTraceEntityParams E = Entity(VQ_SIGTRACE_TYPE_SS7, "B1", "SS7", "L2", 5, 0x00010002);
  ASSERT_EQ(pApp->AttachEntityToGroup(*pAdapter, E), VQX_RESULT_OK);
  const std::vector<u8> Unit = Seed("ss7_ok");
  EXPECT_TRUE(sigtest::InChild([&] {
    fflush(stderr);
    const int nFd = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(nFd, STDERR_FILENO);
    close(nFd);
    if (mkdir("gone", 0755) != 0 || chdir("gone") != 0 || rmdir("../gone") != 0) return false;
    for (int i = 0; i < 3; i++) {
      Dispatch(0x04210031, Unit);
      pApp->OnLoopTurn(true);
    }
    const std::string s = sigtest::ReadFile(mstrDir + "/stderr.txt");
    return sigtest::Count(s, "Group SS7 cannot open its file SS7_000.cap: its units are lost until it can") == 1 &&
           Group("SS7")->mun32LostCount == 3;
  }));
}

TEST_F(SigTraceApp, AFailedReloadKeepsTheConfigurationInUse) {
  pApp->mCmdLine.mCfgFile = "quellan.xml";
  for (const auto& [pszTimeslot, un32Result] : {std::pair{"3", VQX_RESULT_OK}, {"40", VQX_RESULT_INVALID_PARAM}}) {
    std::ofstream("quellan.xml") << "<quellan><signaling>\n<ss7 adapter=\"B1\" grpname=\"G\" capfile=\"1\">\n<trunk idx=\"1\" "
                                 << "timeslot=\"" << pszTimeslot << "\" mask=\"255\"/>\n</ss7></signaling></quellan>\n";
    EXPECT_EQ(pApp->ReloadConfig(0), un32Result) << pszTimeslot;
    ASSERT_EQ(pApp->mSigTraceParams.Count(), 1u);
    EXPECT_EQ(pApp->mSigTraceParams.mvEntities[0].mun32TimeslotMask, 1u << 3);
  }
  pApp->mCmdLine.mCfgFile = "gone.xml"; /* a reload names a file: one that is not there fails */
  EXPECT_EQ(pApp->ReloadConfig(0), VQX_RESULT_NOT_FOUND);
  EXPECT_EQ(pApp->mSigTraceParams.Count(), 1u);
  const auto Lines = Log.Take();
  for (const char* psz : {"Config successfully reloaded", "(quellan.xml:3)", "Configuration file 'gone.xml' not found"})
    EXPECT_EQ(sigtest::Seen(Lines, psz), 1u) << psz;
  EXPECT_EQ(sigtest::Seen(Lines, "No configuration file"), 0u) << "only a start goes on without one";
  EXPECT_EQ(pApp->LoadFromXml("gone.xml"), VQX_RESULT_OK);
  EXPECT_EQ(sigtest::Seen(Log.Take(), "No configuration file 'gone.xml': the command line alone applies"), 1u);
  EXPECT_EQ(sigtest::Seen(Lines, "ReloadConfig failed."), 2u);
  /* A reload naming its file (the console's, the manager's) takes that path only when it applies; a path that is no
   * readable file is refused at once with its reason, as at a start, where only a missing file is none. */
  pApp->mCmdLine.mCfgFile = "quellan.xml";
  peerpaths::CFifo Fifo("fifo.xml");
  mkdir("locked", 0700);
  std::ofstream("locked/q.xml") << "<quellan/>\n";
  const struct {
    const char* pszPath;
    u32 un32Result;
    const char* pszLine;
  } aRows[] = {
      {"", VQX_RESULT_NOT_FOUND, "Configuration file '' not found"},
      {"missing.xml", VQX_RESULT_NOT_FOUND, "Configuration file 'missing.xml' not found"},
      {"fifo.xml", VQX_RESULT_INVALID_CONFIG, "Cannot read 'fifo.xml': not a regular file"},
      {"locked/q.xml", VQX_RESULT_ACCESS_DENIED, "Cannot open 'locked/q.xml': Permission denied"},
  };
  for (const auto& Row : aRows) {
    std::optional<peerpaths::CUnprivileged> AsAnOperator; /* for the folder without rights */
    if (Row.un32Result == VQX_RESULT_ACCESS_DENIED) AsAnOperator.emplace();
    EXPECT_EQ(pApp->ReloadConfig(0, Row.pszPath), Row.un32Result) << Row.pszPath;
    EXPECT_STREQ(pApp->GetConfigFilePath().c_str(), "quellan.xml") << Row.pszPath;
    if (Row.un32Result != VQX_RESULT_NOT_FOUND) {
      EXPECT_EQ(pApp->LoadFromXml(Row.pszPath), Row.un32Result) << "at a start";
    }
    EXPECT_EQ(sigtest::Seen(Log.Take(), Row.pszLine), Row.un32Result == VQX_RESULT_NOT_FOUND ? 1u : 2u) << Row.pszLine;
  }
  EXPECT_FALSE(Fifo.Blocked()) << "the fifo was opened as a file";
  pApp->mfEnding = true; /* a run asked to end gives the read up: nothing applied */
  EXPECT_EQ(pApp->ReloadConfig(0, "quellan.xml"), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(sigtest::Seen(Log.Take(), "Reading 'quellan.xml' given up"), 1u);
  pApp->mfEnding = false;
  EXPECT_EQ(pApp->mSigTraceParams.Count(), 1u);
  std::ofstream("other.xml") << "<quellan/>\n";
  EXPECT_EQ(pApp->ReloadConfig(0, "other.xml"), VQX_RESULT_OK);
  EXPECT_STREQ(pApp->GetConfigFilePath().c_str(), "other.xml");
}

/* A reload's <params> against those a framework runs with (the defaults):
 * each one that changed named as applied or as read at start only, and the
 * second kind put back to the running value. */
TEST(ReloadParams, AppliedOrReadAtStartOnly) {
  const struct {
    const char* pszParams;
    const char* pszApplied;
    const char* pszStartOnly;
  } aRows[] = {
      {"", "", ""},
      {"<log level='0x7FFFFFFD'/><host pollDelay='2000'/>", "", ""}, /* the running values */
      {"<log><module name='CM' level='0'/></log>", "log@level, log:module@level", ""},
      {"<host pollDelay='300' adapterDownDelay='9000'/>", "host@pollDelay, host@adapterDownDelay", ""},
      {"<log baseName='x' queueSize='1048576'/><cli title='T' logViewLines='3'/>", "",
       "log@baseName, log@queueSize, cli@title, cli@logViewLines"},
      {"<host applicationName='other'><env VQX_GW_PORT='7'/><env VQX_GW_PORT='8'/></host>", "",
       "host@applicationName, host:env@VQX_GW_PORT"},
      {"<host networkDownDelay='900'><env VQX_GW_ADDRESS_0='127.0.0.1' VQX_GW_REMOTE_ADDR='(127.0.0.2:5)'/></host>",
       "host@networkDownDelay", "host:env@VQX_GW_ADDRESS_0, host:env@VQX_GW_REMOTE_ADDR"},
  };
  char szDir[] = "/tmp/sigtrace_reload_XXXXXX";
  const std::string strFile = std::string(mkdtemp(szDir)) + "/p.xml";
  for (const auto& Row : aRows) {
    CVQCAFLogParams RunLog, Log;
    CVQCAFCommParams RunComm, Comm;
    _VQX_CLI_TOOLS_INIT_PARAMS RunCli, Cli;
    VqxCliToolsInitParamsDefault(&RunCli);
    VqxCliToolsInitParamsDefault(&Cli);
    std::ofstream(strFile) << "<quellan><params>" << Row.pszParams << "</params></quellan>\n";
    CVQCAFCfgFileXml Store(strFile.c_str());
    ASSERT_EQ(Store.Open(), VQX_RESULT_OK);
    ASSERT_EQ(CVQCAFParamsDaoXml::ReadCommonParams(Store, Log, Comm, Cli), VQX_RESULT_OK) << Row.pszParams;
    std::string strApplied = "stale", strStartOnly = "stale";
    VqSigTraceSplitReloadedParams({&RunLog, &RunComm, &RunCli}, {&Log, &Comm, &Cli}, strApplied, strStartOnly);
    EXPECT_EQ(strApplied, Row.pszApplied) << Row.pszParams;
    EXPECT_EQ(strStartOnly, Row.pszStartOnly) << Row.pszParams;
    /* Split again: what runs is all that is left to apply. */
    VqSigTraceSplitReloadedParams({&RunLog, &RunComm, &RunCli}, {&Log, &Comm, &Cli}, strApplied, strStartOnly);
    EXPECT_EQ(strApplied, Row.pszApplied) << Row.pszParams;
    EXPECT_EQ(strStartOnly, "") << Row.pszParams;
  }
  std::filesystem::remove_all(std::filesystem::path(strFile).parent_path());
}

}  // namespace
