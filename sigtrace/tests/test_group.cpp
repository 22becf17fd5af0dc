/*
 * test_group.cpp - the trace group's files: text records against a golden
 * file, pcap global and record headers by type, text headers, local time
 * texts, probing of existing segments, rotation at the 10 MiB boundary,
 * forced rotation, open failure and recovery, nothing writable, standard
 * output mode, hostile group names, CAS R2 groups and the counters. Write
 * failures that leave room for records are in test_tshark_it.cpp.
 */
#include <gtest/gtest.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <tuple>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sigtrace_decode.h"
#include "support/sigtrace_test_support.h"
#include "vqcafexception.h"

using namespace VQCAF;
using namespace sigtest;

namespace {

const std::vector<u8> kFisu = FromHex("85 83 00");
const std::vector<u8> kSs7Iam = FromHex("10 20 3F 85 23 41 12 50 01 00 09 00");
const std::vector<u8> kSetup = FromHex("00 01 02 04 08 02 00 05 05 04 03 80 90 A3 70 03 81 31 32");

void Ss7(CVQSigTraceGrp& g, CVQSigTraceEntityParams& e, u32 un32Direction, const std::vector<u8>& v = kFisu) {
  g.WriteSs7PacketData(e, 1, 0, 1, 2, un32Direction, static_cast<u32>(v.size()), v.data());
}

struct SFixedClock {
  CVQSigTraceFixedClock clock{FixedTime()};
};

}  // namespace

TEST(SigTraceGroup, TextRecordsGolden) {
  CScratchDir dir;
  SFixedClock c;
  {
    CVQSigTraceGrp g;
    SetUpGroup(g, "grp", VQ_SIGTRACE_TYPE_SS7, false, &c.clock);
    g.mvEntities.push_back(Entity(2, "ADAPTER1", "SS7_LINK_0"));
    g.mvEntities.push_back(Entity(2, "ADAPTER1", "SS7_LINK_1"));
    CVQSigTraceEntityParams& e = g.mvEntities[0];
    Ss7(g, e, 0, kSs7Iam);
    Ss7(g, e, 1);
    g.WriteIsdnPacketData(g.mvEntities[1], 1, 0, static_cast<u32>(kSetup.size()), kSetup.data());
    const std::vector<u8> vH248 = FromHex("41 0D 0A 42");
    g.WriteH248PacketData(e, 3, 4, vH248.data());
    g.WriteH248PacketData(e, 1, 4, vH248.data());
    const std::vector<u8> vSip = FromHex("49 4E 56 49 54 45 0D 0A 0D 0A");
    g.WriteTuclPacketData(e, VQ500_TUCL_TRACE_DIRECTION_RX, VQ500_TUCL_TRACE_TRANSPORT_UDP, VQ500_TUCL_TRACE_PROTOCOL_SIP, "eth0",
                          "10.0.0.2", "10.0.0.1", 5060, 5061, 1234, static_cast<u32>(vSip.size()), vSip.data());
    std::vector<u8> vIp(33);
    for (u32 i = 0; i < 33; ++i) vIp[i] = static_cast<u8>(i);
    g.WriteTuclPacketData(e, 2, VQ500_TUCL_TRACE_TRANSPORT_UDP, 0, "voip0", "10.0.0.2", "10.0.0.1", 1, 2, 5, 33, vIp.data());
    g.WriteCasr2ExtendedStateData(e, 3, 99, 4, 8);
    EXPECT_EQ(g.mstrCurrentFile, "grp_000.log");
    /* Group and entity counters by direction (H.248: 1 sent, others received; IP: 2 sent). */
    const CVQSigTraceEntityParams& e1 = g.mvEntities[1];
    EXPECT_EQ(std::vector<u32>({g.mun32RxCount, g.mun32TxCount, g.mun32ExtCount, e.mun32RxCount, e.mun32TxCount, e.mun32ExtCount,
                                e1.mun32RxCount, e1.mun32TxCount}),
              std::vector<u32>({3, 4, 1, 3, 3, 1, 0, 1}));
  }
  /* The SS7 and ISDN bodies are the decoders' own text (their golden files
   * are checked with the decoders): here they must appear verbatim, in
   * order, each right after its prefix line; the golden file holds a marker
   * in their place and everything the group itself writes. */
  std::string strFile = ReadFile("grp_000.log");
  CVQSigTraceText iam, fisu, setup;
  VqSigTraceDecodeSs7(iam, 1, 2, 0, CVQSigTraceCursor(kSs7Iam.data(), static_cast<u32>(kSs7Iam.size())));
  VqSigTraceDecodeSs7(fisu, 1, 2, 0, CVQSigTraceCursor(kFisu.data(), 3));
  VqSigTraceDecodeQ921(setup, CVQSigTraceCursor(kSetup.data(), static_cast<u32>(kSetup.size())));
  size_t un64Pos = 0;
  for (const auto& [strBody, pszMarker] : {std::pair<std::string, const char*>{iam.Str(), "<SS7 decoder text>\n"},
                                           {fisu.Str(), "<SS7 decoder text>\n"},
                                           {setup.Str(), "<Q.921 decoder text>\n"}}) {
    const size_t un64Line = strFile.find("length=", un64Pos);
    ASSERT_NE(un64Line, std::string::npos) << pszMarker;
    const size_t un64Body = strFile.find('\n', un64Line) + 1;
    ASSERT_EQ(strFile.compare(un64Body, strBody.size(), strBody), 0) << pszMarker << " after " << strFile.substr(un64Line, 20);
    strFile.replace(un64Body, strBody.size(), pszMarker);
    un64Pos = un64Body;
  }
  EXPECT_EQ(CompareGolden("group_text.log", strFile), "");
}

/* The pcap global header and the record header alone, by type, framing,
 * transport and length; the writer's record agrees for the longest interface. */
TEST(SigTraceGroup, PcapHeadersByType) {
  CScratchDir dir;
  SFixedClock c;
  const std::string strIface37(37, 'A');     /* S = 40 */
  const std::string strIface2000(2000, 'B'); /* carried up to 1024 octets */
  struct {
    u32 un32Type;
    u8 fOld;
    u32 un32Transport;
    const char* pszInterface;
    u32 un32Length, un32Captured, un32Wire, un32LinkType;
  } const aRows[] = {
      {2, 0, 0, "", 310, 304, 314, 139},
      {2, 0, 0, "", 10, 14, 14, 139},
      {3, 1, 0, "", 310, 316, 326, 177},
      {7, 1, 0, "", 3, 19, 19, 177},
      {3, 0, 0, strIface37.c_str(), 5, 138, 138, 1},
      {3, 0, 0, strIface37.c_str(), 4, 130, 130, 1},
      {7, 0, 0, strIface37.c_str(), 2, 130, 130, 1},
      {3, 0, 0, strIface37.c_str(), 310, 430, 442, 1},
      {3, 0, 0, "", 9, 102, 102, 1},
      {3, 0, 0, strIface2000.c_str(), 5, 1122, 1122, 1},
      {4, 0, VQ500_TUCL_TRACE_TRANSPORT_RAW, "", 6000, 5034, 6034, 1},
      {4, 0, VQ500_TUCL_TRACE_TRANSPORT_UDP, "", 10, 52, 52, 1},
      {4, 0, VQ500_TUCL_TRACE_TRANSPORT_TCP, "", 5000, 5042, 5042, 1},
      {6, 0, 0, "", 5001, 5042, 5043, 1},
      {1, 0, 0, "", 7000, 7000, 7000, 1},
      {0, 0, 0, "", 10, 10, 10, 1},
      {9, 0, 0, "", 10, 10, 10, 1},
  };
  int n = 0;
  for (const auto& row : aRows) {
    const std::string strName = "h" + std::to_string(n++);
    {
      CVQSigTraceGrp g;
      SetUpGroup(g, strName, row.un32Type, true, &c.clock);
      g.mfOldIsdnFraming = row.fOld;
      CVQSigTraceEntityParams e = Entity(row.un32Type, "A", "e");
      e.mstrEthPort = row.pszInterface;
      EXPECT_EQ(g.WritePacketHeader(e, 1, row.un32Length, row.un32Transport), VQX_RESULT_OK);
      EXPECT_EQ(g.mun32TxCount + e.mun32TxCount, 2u);
    }
    const std::string s = ReadFile(strName + "_000.cap");
    ASSERT_EQ(s.size(), 40u) << "row " << strName;
    const std::string strLink{static_cast<char>(row.un32LinkType >> 8), static_cast<char>(row.un32LinkType)};
    EXPECT_EQ(s.substr(0, 24), std::string("\xA1\xB2\xC3\xD4\x00\x02\x00\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\xFF\xFF\x00\x00", 22) + strLink)
        << "row " << strName;
    EXPECT_EQ(std::vector<u32>({Be32(s, 24), Be32(s, 28), Be32(s, 32), Be32(s, 36)}),
              std::vector<u32>({1772600767u, 89123u, row.un32Captured, row.un32Wire}))
        << "row " << strName;
  }
  {
    CVQSigTraceGrp g;
    SetUpGroup(g, "long", VQ_SIGTRACE_TYPE_ISDN, true, &c.clock);
    CVQSigTraceEntityParams e = Entity(3, "A", "e");
    e.mstrEthPort = strIface2000.c_str();
    g.WriteIsdnPacketData(e, 1, 0, 5, FromHex("00 01 02 04 08").data());
  }
  const std::string s = ReadFile("long_000.cap");
  EXPECT_EQ(PcapRecords(s, 1), 1);
  EXPECT_EQ(s.size(), 24u + 16u + 1122u);
}

/* The entity lines of the text file header (H.248: the names alone), and
 * the type names. */
TEST(SigTraceGroup, TextHeaderByType) {
  CScratchDir dir;
  SFixedClock c;
  const std::pair<u32, const char*> aRows[] = {{6, "H248"}, {4, "SIP"}, {7, "LAPD"}, {1, "Unk"}, {8, "Unk"}};
  for (const auto& [un32Type, pszTypeName] : aRows) {
    const std::string strName = "g" + std::to_string(un32Type), strLine = un32Type == 6 ? "\n//               " : "\n//               BOARD:";
    {
      CVQSigTraceGrp g;
      SetUpGroup(g, strName, un32Type, false, &c.clock);
      for (const char* psz : {"prov-1", "prov-2"}) g.mvEntities.push_back(Entity(un32Type, "BOARD", psz));
      EXPECT_EQ(g.CreateNewFile(), VQX_RESULT_OK);
    }
    EXPECT_EQ(ReadFile(strName + "_000.log"), std::string("// Creation date: 2026-03-04 06:06:07+0100\n// Group name: ") + strName +
                                                  ", type: " + pszTypeName + strLine + "prov-1" + strLine + "prov-2\n\n\n\n\n\n[END]\n")
        << "row " << un32Type;
  }
}

/* Local date and time texts of the records against strftime in the same
 * zone: whole and half-hour zones on both sides of UTC, and a date change. */
TEST(SigTraceGroup, LocalTimeTexts) {
  const char* const apszZones[] = {"UTC0", "CET-1", "IST-5:30", "NST3:30", "HST10", "XYZ-13:45"};
  const i64 an64Times[] = {1772600767, 1772668799, 1772582400, 0, 2147483647};
  const char* pszOldTz = getenv("TZ");
  const std::string strOldTz = pszOldTz ? pszOldTz : "";
  for (const char* pszZone : apszZones) {
    setenv("TZ", pszZone, 1);
    tzset();
    for (const i64 n64Time : an64Times) {
      const time_t sec = static_cast<time_t>(n64Time);
      struct tm local {};
      localtime_r(&sec, &local);
      const SVQSigTraceTime t{n64Time, 999999, static_cast<i32>(local.tm_gmtoff)};
      char acExpected[64], acClock[16], acZone[16], acDate[kun32TimeTextSize], acTime[kun32TimeTextSize], acCreation[kun32TimeTextSize];
      VqSigTraceFormatCreation(t, acCreation);
      VqSigTraceFormatDate(t, acDate);
      VqSigTraceFormatTimeOfDay(t, acTime);
      strftime(acExpected, sizeof(acExpected), "%Y-%m-%d %H:%M:%S%z", &local);
      strftime(acClock, sizeof(acClock), "%H:%M:%S", &local);
      strftime(acZone, sizeof(acZone), "%z", &local);
      EXPECT_EQ(std::string(acCreation), acExpected) << pszZone << " " << n64Time;
      EXPECT_EQ(std::string(acDate), std::string(acExpected, 10)) << pszZone << " " << n64Time;
      EXPECT_EQ(std::string(acTime), std::string(acClock) + ".999" + acZone) << pszZone << " " << n64Time;
    }
  }
  if (pszOldTz) setenv("TZ", strOldTz.c_str(), 1);
  else unsetenv("TZ");
  tzset();
}

/* Counters wrap at 2^32, in the group and in the entity. */
TEST(SigTraceGroup, CountersWrap) {
  CScratchDir dir;
  CVQSigTraceGrp g;
  SetUpGroup(g, "w", VQ_SIGTRACE_TYPE_SS7, false);
  CVQSigTraceEntityParams e = Entity(2, "A", "l");
  g.mun32RxCount = g.mun32TxCount = g.mun32ExtCount = 0xFFFFFFFFu;
  e.mun32RxCount = e.mun32TxCount = e.mun32ExtCount = 0xFFFFFFFFu;
  Ss7(g, e, 0);
  Ss7(g, e, 1);
  g.WriteCasr2ToneData(e, 1, 2, 7, nullptr, 0);
  EXPECT_EQ(g.mun32RxCount + g.mun32TxCount + g.mun32ExtCount, 0u);
  EXPECT_EQ(e.mun32RxCount + e.mun32TxCount + e.mun32ExtCount, 0u);
}

/* A segment rotates once larger than 10 MiB: a text segment ends with its
 * trailer, and the next one starts with a fresh file header holding the
 * record that made it rotate; a pcap segment of exactly 10 MiB takes one
 * more record. */
TEST(SigTraceGroup, RotationBySize) {
  CScratchDir dir;
  SFixedClock c;
  {
    CVQSigTraceGrp g;
    SetUpGroup(g, "txt", VQ_SIGTRACE_TYPE_IP, false, &c.clock);
    g.mvEntities.push_back(Entity(4, "A", "ip"));
    const std::vector<u8> v(4096, 0x01);
    u32 n = 0;
    for (; g.mstrCurrentFile != "txt_001.log" && n < 2000; ++n) {
      g.WriteTuclPacketData(g.mvEntities[0], 1, VQ500_TUCL_TRACE_TRANSPORT_UDP, 0, "eth0", "1.1.1.1", "2.2.2.2", 1, 2, 3, 4096, v.data());
    }
    ASSERT_EQ(g.mstrCurrentFile, "txt_001.log");
    EXPECT_EQ(g.mun32RxCount, n);
  }
  const std::string s0 = ReadFile("txt_000.log"), s1 = ReadFile("txt_001.log");
  EXPECT_GT(s0.size(), 10485760u);
  EXPECT_LT(s0.size(), 10485760u + 9000u); /* past the limit by one record at most */
  EXPECT_EQ(s0.substr(s0.size() - 8), "\n\n[END]\n");
  EXPECT_EQ(s1.rfind("// Creation date: 2026-03-04 06:06:07+0100\n// Group name: txt, type: SIP\n//               A:ip\n\n\n\n"
                     "2026-03-04_06:06:07.089+0100  // ",
                     0),
            0u);
  EXPECT_EQ(s1.substr(s1.size() - 8), "\n\n[END]\n");

  CVQSigTraceGrp g;
  SetUpGroup(g, "big", VQ_SIGTRACE_TYPE_SS7, true, &c.clock);
  CVQSigTraceEntityParams e = Entity(2, "A", "l");
  const std::vector<u8> v(300, 0x42);
  /* 24 + 32767 x 320 + 296 = 10485760 bytes exactly. */
  for (int i = 0; i < 32767; ++i) Ss7(g, e, 0, v);
  Ss7(g, e, 0, std::vector<u8>(276, 0x42));
  EXPECT_EQ(g.mFile.GetSize(), 10485760u);
  Ss7(g, e, 0, v); /* at exactly 10 MiB: same segment */
  EXPECT_EQ(g.mstrCurrentFile, "big_000.cap");
  Ss7(g, e, 0, v); /* past it: a new segment */
  EXPECT_EQ(g.mstrCurrentFile, "big_001.cap");
  g.CloseFile();
  const std::string strBig = ReadFile("big_000.cap");
  EXPECT_EQ(strBig.size(), 10485760u + 320u);
  EXPECT_EQ(PcapRecords(strBig, 139), 32769);
  EXPECT_EQ(PcapRecords(ReadFile("big_001.cap"), 139), 1);
}

TEST(SigTraceGroup, ProbingForcedRotationAndTrailer) {
  CScratchDir dir;
  std::ofstream("grp_000.log") << "earlier run";
  std::ofstream("grp_001.log") << "earlier run";
  CLogCapture log;
  CVQSigTraceGrp g;
  SetUpGroup(g, "grp", VQ_SIGTRACE_TYPE_SS7, false);
  CVQSigTraceEntityParams e = Entity(2, "A", "l");
  EXPECT_EQ(g.ForceLogRotation(), VQX_RESULT_OK); /* nothing open: nothing done */
  Ss7(g, e, 0);
  EXPECT_EQ(g.mstrCurrentFile, "grp_002.log");
  EXPECT_EQ(g.ForceLogRotation(), VQX_RESULT_OK);
  EXPECT_EQ(g.mstrCurrentFile, "");
  EXPECT_EQ(log.Count("Close log file grp_002.log for group=grp "), 1u);
  const std::string s2 = ReadFile("grp_002.log");
  EXPECT_EQ(s2.substr(s2.size() - 8), "\n\n[END]\n");
  EXPECT_FALSE(FileExists("grp_003.log")); /* opened by the next record only */
  Ss7(g, e, 0);
  EXPECT_EQ(g.mstrCurrentFile, "grp_003.log");
  /* A later name that exists is skipped, never overwritten. */
  std::ofstream("grp_004.log") << "keep me";
  g.ForceLogRotation();
  Ss7(g, e, 0);
  EXPECT_EQ(g.mstrCurrentFile, "grp_005.log");
  EXPECT_EQ(ReadFile("grp_000.log"), "earlier run");
  EXPECT_EQ(ReadFile("grp_004.log"), "keep me");
}

/* Segments are created as the standard stream library creates files: the
 * process's umask alone takes permissions away. */
TEST(SigTraceGroup, SegmentPermissionsFollowTheUmask) {
  CScratchDir dir;
  const mode_t old = umask(002);
  {
    CVQSigTraceGrp g;
    SetUpGroup(g, "perm", VQ_SIGTRACE_TYPE_SS7, true);
    EXPECT_EQ(g.CreateNewFile(), VQX_RESULT_OK);
  }
  umask(old);
  struct stat st {};
  ASSERT_EQ(stat("perm_000.cap", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0664u);
}

/* The failure lines of the group's operations, by kind of exception; one of
 * no known kind is preceded by the line naming where it was caught. */
TEST(SigTraceGroup, ExceptionLines) {
  const std::tuple<std::function<void()>, VQX_RESULT, const char*> aRows[] = {
      {[] { throw CVQCAFException("boom", 0x8200000Fu); }, 0x8200000Fu, "boom"},
      {[] { throw std::bad_alloc(); }, 0x82000012u, "std::bad_alloc"},
      {[] { throw std::length_error("x"); }, 0x8200000Au, "std::length_error"},
      {[] { throw std::out_of_range("x"); }, 0x82000006u, "std::out_of_range"},
      {[] { throw std::runtime_error("x"); }, 0x82000002u, "(Un-handled exception)"},
      {[] { throw 42; }, 0x82000002u, "(Un-handled exception)"},
  };
  for (const auto& [fnThrow, un32Result, pszText] : aRows) {
    CLogCapture log;
    VQX_RESULT r = 0;
    int nLine = 0;
    try {
      fnThrow();
    } catch (...) {
      r = VqSigTraceReportException("CVQSigTraceGrp::CloseFile", __FILE__, nLine = __LINE__);
    }
    const std::string strAt = "test_group.cpp:" + std::to_string(nLine) + "\n";
    char acCode[16];
    snprintf(acCode, sizeof(acCode), " (%X) ", un32Result);
    std::vector<std::string> vExpected{std::string("CVQSigTraceGrp::CloseFile: ") + pszText + acCode + strAt};
    if (un32Result == 0x82000002u) vExpected.insert(vExpected.begin(), "CVQSigTraceGrp::CloseFile: Un-handled exception: " + strAt);
    EXPECT_EQ(r, un32Result) << pszText;
    EXPECT_EQ(log.vLines, vExpected) << pszText;
  }
}

TEST(SigTraceGroup, OpenFailureRetriesAndRecovers) {
  CScratchDir dir;
  SFixedClock c;
  CLogCapture log;
  CVQSigTraceGrp g;
  SetUpGroup(g, "grp", VQ_SIGTRACE_TYPE_ISDN, false, &c.clock);
  CVQSigTraceEntityParams e = Entity(3, "A", "d");
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit tiny = old;
  tiny.rlim_cur = 3; /* no descriptor left: every open fails */
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tiny), 0);
  for (int i = 0; i < 5; ++i) g.WriteIsdnPacketData(e, 0, 0, static_cast<u32>(kSetup.size()), kSetup.data());
  SVQSigTraceTime t = FixedTime();
  t.n64Seconds += 61;
  c.clock.Set(t);
  g.WriteIsdnPacketData(e, 0, 0, static_cast<u32>(kSetup.size()), kSetup.data());
  EXPECT_EQ(g.ForceLogRotation(), VQX_RESULT_OK); /* nothing open: nothing to close, no new attempt */
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
  EXPECT_EQ(log.Count("Close log file"), 0u);
  EXPECT_FALSE(g.mFile.IsOpened());
  EXPECT_EQ(g.mfOpenFailed, 1);
  EXPECT_EQ(log.Count("Failed to open grp_000.log file."), 2u); /* once, then once a minute */
  EXPECT_EQ(log.Count("CVQSigTraceGrp::CreateNewFile"), 2u);
  EXPECT_EQ(log.Count("5 record(s) lost"), 1u);
  EXPECT_EQ(g.mun32LostCount, 6u);
  EXPECT_EQ(g.mun32RxCount, 6u);
  /* The next record opens the file: the group is not silenced for good. */
  g.WriteIsdnPacketData(e, 0, 0, static_cast<u32>(kSetup.size()), kSetup.data());
  EXPECT_EQ(g.mfOpenFailed, 0);
  EXPECT_EQ(g.mstrCurrentFile, "grp_000.log");
  EXPECT_EQ(log.Count("writing to grp_000.log, 1 record(s) lost before"), 1u);
  EXPECT_EQ(g.mun32LostCount, 6u);
}

/* Nothing can be written at all (a file size limit below the file header,
 * in a child process): the records are counted as lost (the file header and
 * trailer are not records), the failure is logged, and no empty segment is
 * left behind. */
TEST(SigTraceGroup, NothingWritableLeavesNoEmptySegments) {
  CScratchDir dir;
  EXPECT_TRUE(InChild([] {
    LimitFileSize(10);
    CLogCapture log;
    bool fOk = true;
    for (const bool fPcap : {true, false}) {
      CVQSigTraceGrp g;
      SetUpGroup(g, "none", VQ_SIGTRACE_TYPE_SS7, fPcap);
      CVQSigTraceEntityParams e = Entity(2, "A", "l");
      for (int i = 0; i < 5; ++i) Ss7(g, e, 0);
      g.CloseFile();
      fOk = fOk && g.mun32LostCount == 5 && g.mun32RxCount == 5 && g.mun32NextSegment == 0 && !FileExists("none_000.cap") &&
            !FileExists("none_000.log");
    }
    return fOk && log.Count("Failed to write none_000.cap file (File too large), segment closed, 5 record(s) lost.") == 1;
  }));
}

/* Standard output mode: one pcap stream only (a second pcap group and text
 * groups are refused), no rotation, flushed per packet record; a text group
 * writes its header and its trailer at close; text groups share the output
 * and a pcap group may take it once they are closed. */
TEST(SigTraceGroup, StandardOutputMode) {
  CScratchDir dir;
  CVQSigTraceEntityParams e = Entity(2, "A", "l");
  EXPECT_TRUE(InChild([&e] {
    StdoutTo("stdout.bin");
    CVQSigTraceGrp a, b, t;
    SetUpGroup(a, "a", VQ_SIGTRACE_TYPE_SS7, true);
    SetUpGroup(b, "b", VQ_SIGTRACE_TYPE_SS7, true);
    SetUpGroup(t, "c", VQ_SIGTRACE_TYPE_SS7, false);
    a.mfStdout = b.mfStdout = t.mfStdout = 1;
    const std::vector<u8> v(100, 1);
    for (int i = 0; i < 3; ++i) {
      for (CVQSigTraceGrp* p : {&a, &b, &t}) Ss7(*p, e, 0, v);
    }
    a.ForceLogRotation(); /* does nothing on standard output */
    const bool fOk = a.mstrCurrentFile == ":STDOUT:" && b.mun32LostCount == 3 && !b.mFile.IsOpened() && b.mun32RxCount == 3 &&
                     t.mun32LostCount == 3 && !t.mFile.IsOpened() && !FileExists("a_000.cap") && !FileExists("b_000.cap") &&
                     !FileExists("c_000.log");
    /* What reached the descriptor before anything is closed: flushed per record. */
    return fOk && ReadFile("stdout.bin").size() == 24u + 3u * (16u + 104u);
  }));
  EXPECT_EQ(PcapRecords(ReadFile("stdout.bin"), 139), 3);

  EXPECT_TRUE(InChild([&e] {
    StdoutTo("stdout.txt");
    bool fOk = true;
    {
      CVQSigTraceGrp t1, t2, p;
      SetUpGroup(t1, "t1", VQ_SIGTRACE_TYPE_SS7, false);
      SetUpGroup(t2, "t2", VQ_SIGTRACE_TYPE_CASR2, true); /* CAS R2 writes text whatever its flag */
      SetUpGroup(p, "p", VQ_SIGTRACE_TYPE_SS7, true);
      t1.mfStdout = t2.mfStdout = p.mfStdout = 1;
      Ss7(t1, e, 0);
      t2.WriteCasr2ToneData(e, 1, 2, 1, nullptr, 0);
      Ss7(p, e, 0);
      fOk = t1.mFile.IsOpened() && t2.mFile.IsOpened() && !p.mFile.IsOpened() && p.mun32LostCount == 1;
    }
    const std::string s = ReadFile("stdout.txt");
    fOk = fOk && s.rfind("// Creation date: ", 0) == 0 && s.find("// Group name: t2, type: CASR2\n") != std::string::npos &&
          s.substr(s.size() - 8) == "\n\n[END]\n";
    CVQSigTraceGrp p2;
    SetUpGroup(p2, "p2", VQ_SIGTRACE_TYPE_SS7, true);
    p2.mfStdout = 1;
    Ss7(p2, e, 0);
    return fOk && p2.mFile.IsOpened() && p2.mun32LostCount == 0 && ReadFile("stdout.txt").size() == s.size() + 24u + 16u + 7u;
  }));
}

/* A standard output nobody reads any more: every record is counted as lost,
 * the failure is logged once, and the output stays attached. */
TEST(SigTraceGroup, BrokenStandardOutput) {
  CScratchDir dir;
  EXPECT_TRUE(InChild([] {
    signal(SIGPIPE, SIG_IGN);
    int anFd[2];
    if (pipe(anFd) != 0) return false;
    close(anFd[0]);
    dup2(anFd[1], STDOUT_FILENO);
    close(anFd[1]);
    CLogCapture log;
    CVQSigTraceGrp g;
    SetUpGroup(g, "p", VQ_SIGTRACE_TYPE_SS7, true);
    g.mfStdout = 1;
    CVQSigTraceEntityParams e = Entity(2, "A", "l");
    for (int i = 0; i < 4; ++i) Ss7(g, e, 1, std::vector<u8>(40, 1));
    return g.mFile.IsOpened() && g.mstrCurrentFile == ":STDOUT:" && g.mun32TxCount == 4 && g.mun32LostCount == 4 &&
           log.Count("Failed to write :STDOUT: file (Broken pipe), output kept, 1 record(s) lost.") == 1 &&
           log.Count("CVQSigTraceGrp::WriteRecord") == 1;
  }));
}

/* On the standard output nothing rotates by size: neither packet records
 * nor CAS R2 lines, whatever the size reported for it. */
TEST(SigTraceGroup, StandardOutputNeverRotatesBySize) {
  CScratchDir dir;
  EXPECT_TRUE(InChild([] {
    StdoutTo("out.bin");
    bool fOk = true;
    CVQSigTraceEntityParams e = Entity(2, "A", "l");
    {
      CVQSigTraceGrp p;
      SetUpGroup(p, "p", VQ_SIGTRACE_TYPE_SS7, true);
      p.mfStdout = 1;
      const std::vector<u8> v(300, 7);
      for (int i = 0; i < 33000; ++i) Ss7(p, e, 0, v);
      fOk = p.mFile.GetSize() > 10485760u && p.mstrCurrentFile == ":STDOUT:" && p.mun32NextSegment == 0;
    }
    fOk = fOk && ReadFile("out.bin").size() == 24u + 33000u * 320u;
    StdoutTo("out.txt");
    {
      CVQSigTraceGrp t;
      SetUpGroup(t, "t", VQ_SIGTRACE_TYPE_CASR2, false);
      t.mfStdout = 1;
      _VQ500_VP_DIGIT_PARAMS tone{};
      tone.un32ToneCode = 40;
      u32 n = 0;
      for (; t.mFile.GetSize() <= 10485760u + 1000u && n < 400000; ++n) t.WriteCasr2ToneData(e, 1, 2, 1, &tone, 0);
      fOk = fOk && t.mFile.GetSize() > 10485760u + 1000u && t.mstrCurrentFile == ":STDOUT:" && t.mun32NextSegment == 0 &&
            t.mun32RxCount == n;
    }
    /* One header only, whatever was written. */
    const std::string s = ReadFile("out.txt");
    fOk = fOk && s.find("// Creation date: ") == 0 && s.find("// Creation date: ", 1) == std::string::npos && s.find("[END]") == s.size() - 6;
    return fOk && !FileExists("p_000.cap") && !FileExists("p_001.cap") && !FileExists("t_000.log") && !FileExists("t_001.log");
  }));
}

TEST(SigTraceGroup, HostileGroupNamesStayInTheTraceDirectory) {
  CScratchDir dir;
  std::filesystem::create_directory("traces");
  ASSERT_EQ(chdir("traces"), 0);
  struct {
    const char* pszName;
    const char* pszFile;
  } const aRows[] = {
      {"../escape", "___escape_000.log"}, {"/tmp/abs", "_tmp_abs_000.log"}, {"a\\b", "a_b_000.log"},
      {"..", "___000.log"},               {"ok.name", "ok.name_000.log"},
  };
  for (const auto& row : aRows) {
    {
      CVQSigTraceGrp g;
      SetUpGroup(g, row.pszName, VQ_SIGTRACE_TYPE_SS7, false);
      CVQSigTraceEntityParams e = Entity(2, "A", "l");
      Ss7(g, e, 0);
      EXPECT_EQ(g.mstrCurrentFile, row.pszFile) << row.pszName;
    }
    EXPECT_TRUE(FileExists(row.pszFile)) << row.pszName;
  }
  ASSERT_EQ(chdir(".."), 0);
  EXPECT_FALSE(FileExists("escape_000.log"));
  EXPECT_FALSE(FileExists("/tmp/abs_000.log"));
}

TEST(SigTraceGroup, Casr2GroupIsAlwaysTextAndCounts) {
  CScratchDir dir;
  SFixedClock c;
  CVQSigTraceGrp g;
  SetUpGroup(g, "cas", VQ_SIGTRACE_TYPE_CASR2, true, &c.clock);
  CVQSigTraceEntityParams e = Entity(5, "A", "E1_3");
  g.mvEntities.push_back(e);
  struct {
    u32 un32Direction;
    u32 un32Rx, un32Tx, un32Ext;
  } const aRows[] = {{1, 1, 0, 0}, {2, 1, 1, 0}, {3, 1, 1, 1}, {0, 1, 1, 2}};
  _VQ500_VP_DIGIT_PARAMS tone{};
  tone.un32ToneCode = 60;
  for (const auto& row : aRows) {
    g.WriteCasr2ToneData(e, 4, 10, row.un32Direction, &tone, 2);
    EXPECT_EQ(std::vector<u32>({g.mun32RxCount, g.mun32TxCount, g.mun32ExtCount}),
              std::vector<u32>({row.un32Rx, row.un32Tx, row.un32Ext}))
        << "direction " << row.un32Direction;
  }
  g.WriteCasr2CasBitsData(e, 4, 11, 2, 1, 0, 0, 1, 1, 1, 0, 1, 100, 50, 7);
  g.WriteCasr2ExtendedStateData(e, 4, 12, 3, 12);
  EXPECT_EQ(e.mun32ExtCount, 3u);
  /* The line opening and the formatters called one by one. */
  _VQ500_VP_DIGIT_PARAMS custom{};
  custom.un32ToneCode = 200;
  custom.n32Level = -3;
  for (u32 i = 0; i < 4; ++i) custom.aun32Custom[i] = std::vector<u32>{1, 22, 333, 4}[i];
  EXPECT_EQ(g.WriteCasr2DateHeader(e, 3), VQX_RESULT_OK);
  EXPECT_EQ(g.WriteFormattedCasr2ToneTrace(e, 5, 6, 3, &custom, 9), VQX_RESULT_OK);
  EXPECT_EQ(g.WriteCasr2DateHeader(e, 1), VQX_RESULT_OK);
  EXPECT_EQ(g.WriteFormattedCasr2ExtendedStateTrace(e, 31, 7, 1, 11, 24), VQX_RESULT_OK);
  EXPECT_EQ(g.mun32ExtCount, 4u);
  EXPECT_EQ(g.mun32RxCount, 2u);
  g.CloseFile();
  EXPECT_FALSE(FileExists("cas_000.cap"));
  EXPECT_EQ(CompareGolden("group_casr2.log", ReadFile("cas_000.log")), "");
}
