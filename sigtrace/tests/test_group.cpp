/*
 * test_group.cpp - the trace group's files: text records against a golden
 * file, pcap global and record headers by type, text headers, local time
 * texts, probing of existing segments, rotation at the 10 MiB boundary,
 * forced rotation, open failure and recovery, nothing writable, standard
 * output mode, hostile group names, CAS R2 groups, the counters and the
 * entity type names. Write failures that leave room for records are in
 * test_tshark_it.cpp.
 */
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <tuple>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sigtrace_decode.h"
#include "sigtrace_entity.h"
#include "support/sigtrace_test_support.h"
#include "vqcafexception.h"

using namespace VQCAF;
using namespace sigtest;

/* Exclusive creations (the segments' opens, the only ones in these tests), counted as they reach the C library. */
static std::atomic<u32> s_un32ExclusiveOpens{0};
extern "C" int open(const char* pszPath, int nFlags, ...) {
  using PFN_OPEN = int (*)(const char*, int, ...);
  static const PFN_OPEN s_pfnNext = reinterpret_cast<PFN_OPEN>(dlsym(RTLD_NEXT, "open"));
  mode_t mode = 0;
  if ((nFlags & O_CREAT) != 0 || (nFlags & O_TMPFILE) == O_TMPFILE) {
    va_list ap;
    va_start(ap, nFlags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  if ((nFlags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL)) ++s_un32ExclusiveOpens;
  return s_pfnNext(pszPath, nFlags, mode);
}

namespace {

/* Segment opens tried since the last call. */
u32 OpensSinceLastCall() { return s_un32ExclusiveOpens.exchange(0); }

const std::vector<u8> kFisu = FromHex("85 83 00");
const std::vector<u8> kSs7Iam = FromHex("10 20 3F 85 23 41 12 50 01 00 09 00");
const std::vector<u8> kSetup = FromHex("00 01 02 04 08 02 00 05 05 04 03 80 90 A3 70 03 81 31 32");

}  // namespace

TEST(SigTraceGroup, TextRecordsGolden) {
  CScratchDir dir;
  {
    SGroup s("grp", VQ_SIGTRACE_TYPE_SS7, false);
    CVQSigTraceGrp& g = s.g;
    g.mvEntities = {Entity(2, "ADAPTER1", "SS7_LINK_0"), Entity(2, "ADAPTER1", "SS7_LINK_1")};
    CVQSigTraceEntityParams &e = g.mvEntities[0], &e1 = g.mvEntities[1];
    /* Every counter starts at 2^32 - 1: each wraps through 0 and ends one below its count. */
    g.mun32RxCount = g.mun32TxCount = g.mun32ExtCount = e.mun32RxCount = e.mun32TxCount = e.mun32ExtCount = e1.mun32RxCount =
        e1.mun32TxCount = 0xFFFFFFFFu;
    g.WriteSs7PacketData(e, 1, 0, 1, 2, 0, static_cast<u32>(kSs7Iam.size()), kSs7Iam.data());
    g.WriteSs7PacketData(e, 1, 0, 1, 2, 1, 3, kFisu.data());
    g.WriteIsdnPacketData(g.mvEntities[1], 1, 0, static_cast<u32>(kSetup.size()), kSetup.data());
    /* H.248 directions 3, 1, 2, 0: only 2 is from the MGC (received), in the prefix line as in the body. */
    for (u32 un32Direction : {3u, 1u, 2u, 0u}) g.WriteH248PacketData(e, un32Direction, 4, FromHex("41 0D 0A 42").data());
    g.WriteTuclPacketData(e, VQ500_TUCL_TRACE_DIRECTION_RX, VQ500_TUCL_TRACE_TRANSPORT_UDP, VQ500_TUCL_TRACE_PROTOCOL_SIP, "eth0",
                          "10.0.0.2", "10.0.0.1", 5060, 5061, 1234, 10, FromHex("49 4E 56 49 54 45 0D 0A 0D 0A").data());
    g.WriteTuclPacketData(e, 2, VQ500_TUCL_TRACE_TRANSPORT_UDP, 0, "voip0", "10.0.0.2", "10.0.0.1", 1, 2, 5, 33, Seq(33).data());
    g.WriteCasr2ExtendedStateData(e, 3, 99, 4, 8);
    EXPECT_EQ(g.mstrCurrentFile, "grp_000.log");
    /* Group and entity counters by direction (H.248: 2 received, others sent; IP: 2 sent), counts
     * 3, 6, 1, 3, 5, 1, 0, 1 from 2^32 - 1. */
    EXPECT_EQ(std::vector<u32>({g.mun32RxCount, g.mun32TxCount, g.mun32ExtCount, e.mun32RxCount, e.mun32TxCount, e.mun32ExtCount,
                                e1.mun32RxCount, e1.mun32TxCount}),
              std::vector<u32>({2, 5, 0, 2, 4, 0, 0xFFFFFFFFu, 0}));
  }
  /* The SS7 and ISDN bodies are the decoders' text, as in their own golden
   * files (the SS7 units are those of ss7_isup_anm.txt and ss7_fisu.txt). */
  EXPECT_EQ(CompareGolden("group_text.log", ReadFile("grp_000.log")), "");
}

/* The pcap global header and the record header alone, by type, framing,
 * transport and length; the writer's record agrees for the longest interface. */
TEST(SigTraceGroup, PcapHeadersByType) {
  CScratchDir dir;
  const std::string strIface37(37, 'A');     /* S = 40 */
  const std::string strIface2000(2000, 'B'); /* carried up to 1024 octets */
  /* Group type, old ISDN framing, transport, interface, length; captured and wire lengths, link type. */
  const std::tuple<u32, u8, u32, const char*, u32, u32, u32, u32> aRows[] = {
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
  for (const auto& [un32Type, fOld, un32Transport, pszInterface, un32Length, un32Captured, un32Wire, un32LinkType] : aRows) {
    const std::string strName = "h" + std::to_string(n++);
    {
      SGroup g(strName, un32Type, true);
      g.g.mfOldIsdnFraming = fOld;
      g.e.mstrEthPort = pszInterface;
      EXPECT_EQ(g.g.WritePacketHeader(g.e, 1, un32Length, un32Transport), VQX_RESULT_OK);
      EXPECT_EQ(g.g.mun32TxCount + g.e.mun32TxCount, 2u);
    }
    const std::string s = ReadFile(strName + "_000.cap");
    ASSERT_EQ(s.size(), 40u) << "row " << strName;
    const std::string strLink{static_cast<char>(un32LinkType >> 8), static_cast<char>(un32LinkType)};
    EXPECT_EQ(s.substr(0, 24), std::string("\xA1\xB2\xC3\xD4\x00\x02\x00\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\xFF\xFF\x00\x00", 22) + strLink)
        << "row " << strName;
    EXPECT_EQ(std::vector<u32>({Be32(s, 24), Be32(s, 28), Be32(s, 32), Be32(s, 36)}),
              std::vector<u32>({1772600767u, 89123u, un32Captured, un32Wire}))
        << "row " << strName;
  }
  {
    SGroup g("long", VQ_SIGTRACE_TYPE_ISDN, true);
    g.e.mstrEthPort = strIface2000.c_str();
    g.Isdn(1, 0, FromHex("00 01 02 04 08"));
  }
  const std::string s = ReadFile("long_000.cap");
  EXPECT_EQ(PcapRecords(s, 1), 1);
  EXPECT_EQ(s.size(), 24u + 16u + 1122u);
}

/* The entity lines of the text file header (H.248: the names alone), and
 * the group type names; the console names of the entity types. */
TEST(SigTraceGroup, TypeNamesAndTextHeaders) {
  CScratchDir dir;
  const std::pair<u32, const char*> aRows[] = {{6, "H248"}, {4, "SIP"}, {7, "LAPD"}, {1, "Unk"}, {8, "Unk"}};
  for (const auto& [un32Type, pszTypeName] : aRows) {
    const std::string strName = "g" + std::to_string(un32Type), strLine = un32Type == 6 ? "\n//               " : "\n//               BOARD:";
    {
      SGroup g(strName, un32Type, false);
      for (const char* psz : {"prov-1", "prov-2"}) g.g.mvEntities.push_back(Entity(un32Type, "BOARD", psz));
      EXPECT_EQ(g.g.CreateNewFile(), VQX_RESULT_OK);
    }
    EXPECT_EQ(ReadFile(strName + "_000.log"), std::string("// Creation date: 2026-03-04 06:06:07+0100\n// Group name: ") + strName +
                                                  ", type: " + pszTypeName + strLine + "prov-1" + strLine + "prov-2\n\n\n\n\n\n[END]\n")
        << "row " << un32Type;
  }
  const char* const apszEntityTypes[] = {"Unk", "Unk", "SS7", "ISDN", "IP", "CASR2", "H248", "LAPD", "Unk"};
  for (u32 i = 0; i < 9; ++i) EXPECT_STREQ(VqSigTraceEntityTypeName(i), apszEntityTypes[i]) << "entity type " << i;
}

/* Local date and time texts of the records against strftime in the same
 * zone: whole and half-hour zones on both sides of UTC (one less than an
 * hour west), and a date change. */
TEST(SigTraceGroup, LocalTimeTexts) {
  const char* const apszZones[] = {"UTC0", "CET-1", "IST-5:30", "NST3:30", "HST10", "XYZ-13:45", "XMZ0:30"};
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

/* The prefix line's entity name right-aligned in 40 characters and the IP
 * line's interface left-aligned in 4, each shorter, as long as and longer
 * than its width, missing texts as empty, as printf writes them. */
TEST(SigTraceGroup, PrefixAndAddressLinesAtTheirWidths) {
  CScratchDir dir;
  const std::tuple<std::string, const char*, const char*, const char*> aRows[] = {
      {"", nullptr, nullptr, nullptr},
      {"l", "", "1.2.3.4", "5.6.7.8"},
      {std::string(39, 'n'), "e1", "10.0.0.1", nullptr},
      {std::string(40, 'n'), "eth0", nullptr, "10.0.0.2"},
      {std::string(41, 'n'), "voip10", "127.0.0.1", "127.0.0.2"},
  };
  std::string strExpected;
  {
    SGroup g("widths", VQ_SIGTRACE_TYPE_IP, false);
    u32 un32Port = 0;
    for (const auto& [strEntity, pszIface, pszLocal, pszRemote] : aRows) {
      g.e.mstrName = strEntity.c_str();
      g.g.WriteTuclPacketData(g.e, VQ500_TUCL_TRACE_DIRECTION_TX, VQ500_TUCL_TRACE_TRANSPORT_UDP, VQ500_TUCL_TRACE_PROTOCOL_SIP,
                              pszIface, pszRemote, pszLocal, un32Port, 4294967295u - un32Port, un32Port * 1000, 1,
                              FromHex("41").data());
      char ac[512];
      snprintf(ac, sizeof(ac), "2026-03-04_06:06:07.089+0100  // %40s ----->  length=1\n    If:%-4s  Lcl:%s:%u  Rem:%s:%u  Captured time: %u ms\nA\n\n",
               strEntity.c_str(), pszIface ? pszIface : "", pszLocal ? pszLocal : "", un32Port, pszRemote ? pszRemote : "",
               4294967295u - un32Port, un32Port * 1000);
      strExpected += ac;
      un32Port += 65535;
    }
  }
  const std::string strFile = ReadFile("widths_000.log");
  const size_t un64Body = strFile.find("2026-03-04_");
  ASSERT_NE(un64Body, std::string::npos);
  EXPECT_EQ(strFile.substr(un64Body), strExpected + "\n\n[END]\n");
}

/* The records' stamp, formatted once per second, follows the clock through
 * milliseconds, seconds, dates and zones exactly as the full formatting. */
TEST(SigTraceGroup, StampTextFollowsTheClock) {
  const SVQSigTraceTime aTimes[] = {
      {1772600767, 89123, 3600},     {1772600767, 89999, 3600},   {1772600767, 999999, 3600}, /* one second */
      {1772600768, 0, 3600},         {1772600768, 5000, 3600},    /* the next */
      {1772600768, 5000, -1800},     {1772600768, 7000, 19800},   /* same second, other zones */
      {1772668799, 999000, 0},       {1772668800, 1000, 0},       /* a date change */
      {1772668800, 1000000, 0},      {1772668800, 4294967295u, 0}, /* out of range: printed as they are */
      {1772668800, 2000, 0},         {-1, 999000, 0},             {0, 0, -43200},
  };
  CVQSigTraceStampText stamp;
  for (const SVQSigTraceTime& t : aTimes) {
    char acDate[kun32TimeTextSize], acTime[kun32TimeTextSize];
    VqSigTraceFormatDate(t, acDate);
    VqSigTraceFormatTimeOfDay(t, acTime);
    const std::string strRow = std::to_string(t.n64Seconds) + "." + std::to_string(t.un32Microseconds) + " " + std::to_string(t.n32ZoneOffset);
    EXPECT_EQ(stamp.Stamp(t), std::string(acDate) + "_" + acTime) << strRow;
    EXPECT_EQ(stamp.TimeOfDay(t), acTime) << strRow;
  }
}

/* A segment rotates once larger than 10 MiB: a text segment ends with its
 * trailer, and the next one starts with a fresh file header holding the
 * record that made it rotate; a pcap segment of exactly 10 MiB takes one
 * more record. */
TEST(SigTraceGroup, RotationBySize) {
  CScratchDir dir;
  {
    SGroup g("txt", VQ_SIGTRACE_TYPE_IP, false, "ip");
    g.g.mvEntities.push_back(g.e);
    u32 n = 0;
    const std::vector<u8> v(4096, 0x01);
    for (; g.g.mstrCurrentFile != "txt_001.log" && n < 2000; ++n) g.Tucl(1, VQ500_TUCL_TRACE_TRANSPORT_UDP, 0, "1.1.1.1", 1, 2, v);
    ASSERT_EQ(g.g.mstrCurrentFile, "txt_001.log");
    EXPECT_EQ(g.g.mun32RxCount, n);
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

  SGroup g("big", VQ_SIGTRACE_TYPE_SS7, true);
  const std::vector<u8> v(300, 0x42);
  /* 24 + 32767 x 320 + 296 = 10485760 bytes exactly. */
  for (int i = 0; i < 32767; ++i) g.Ss7(0, v);
  g.Ss7(0, std::vector<u8>(276, 0x42));
  EXPECT_EQ(g.g.mFile.GetSize(), 10485760u);
  g.Ss7(0, v); /* at exactly 10 MiB: same segment */
  EXPECT_EQ(g.g.mstrCurrentFile, "big_000.cap");
  g.Ss7(0, v); /* past it: a new segment */
  EXPECT_EQ(g.g.mstrCurrentFile, "big_001.cap");
  g.g.CloseFile();
  const std::string strBig = ReadFile("big_000.cap");
  EXPECT_EQ(strBig.size(), 10485760u + 320u);
  EXPECT_EQ(PcapRecords(strBig, 139), 32769);
  EXPECT_EQ(PcapRecords(ReadFile("big_001.cap"), 139), 1);
}

/* Buffered records reach the file when the owner's loop is idle, or once the
 * oldest has waited a second on the group's clock, however few follow it. */
TEST(SigTraceGroup, WriteOutWhenIdleOrAfterASecond) {
  CScratchDir dir;
  SGroup g("wo", VQ_SIGTRACE_TYPE_SS7, true);
  const auto Records = [] { return PcapRecords(ReadFile("wo_000.cap"), 139); };
  g.At(0);
  g.Ss7(0);
  const struct {
    i64 n64Us;   /* clock at the turn */
    bool fIdle;  /* the loop found nothing to do */
    bool fWrite; /* a record ends before the turn */
    long nOnDisk;
  } aTurns[] = {
      {0, false, false, -1},        {999999, false, true, -1}, /* busy, under a second: nothing yet */
      {1000000, false, false, 2},   /* the oldest waited a second: both written */
      {1000001, false, true, 2},    {1000002, true, false, 3}, /* idle: at once */
      {1000003, false, true, 3},    {999999, false, false, 4}, /* a clock set back counts as due */
      {3000000, false, false, 4},   {3000001, true, false, 4}, /* nothing buffered: nothing to do */
  };
  for (const auto& t : aTurns) {
    g.At(t.n64Us);
    if (t.fWrite) g.Ss7(0);
    EXPECT_EQ(g.g.WriteOut(t.fIdle), VQX_RESULT_OK);
    EXPECT_EQ(Records(), t.nOnDisk) << "turn at " << t.n64Us << " us";
  }
}

/* Names of earlier runs are probed and skipped, never overwritten; a forced
 * rotation closes the segment with its trailer and the next record opens
 * the next one. Segments are created as the standard stream library creates
 * files: the process's umask alone takes permissions away. */
TEST(SigTraceGroup, ProbingForcedRotationAndPermissions) {
  CScratchDir dir;
  const mode_t old = umask(002);
  std::ofstream("grp_000.log") << "earlier run";
  std::ofstream("grp_001.log") << "earlier run";
  CLogCapture log;
  SGroup g("grp", VQ_SIGTRACE_TYPE_SS7, false);
  EXPECT_EQ(g.g.ForceLogRotation(), VQX_RESULT_OK); /* nothing open: nothing done */
  g.Ss7(0);
  EXPECT_EQ(g.g.mstrCurrentFile, "grp_002.log");
  EXPECT_EQ(g.g.ForceLogRotation(), VQX_RESULT_OK);
  EXPECT_EQ(g.g.mstrCurrentFile, "");
  EXPECT_EQ(log.Count("Close log file grp_002.log for group=grp "), 1u);
  const std::string s2 = ReadFile("grp_002.log");
  EXPECT_EQ(s2.substr(s2.size() - 8), "\n\n[END]\n");
  EXPECT_FALSE(FileExists("grp_003.log")); /* opened by the next record only */
  g.Ss7(0);
  EXPECT_EQ(g.g.mstrCurrentFile, "grp_003.log");
  /* A later name that exists is skipped, never overwritten. */
  std::ofstream("grp_004.log") << "keep me";
  g.g.ForceLogRotation();
  g.Ss7(0);
  EXPECT_EQ(g.g.mstrCurrentFile, "grp_005.log");
  EXPECT_EQ(ReadFile("grp_000.log"), "earlier run");
  EXPECT_EQ(ReadFile("grp_004.log"), "keep me");
  umask(old);
  struct stat st {};
  ASSERT_EQ(stat("grp_002.log", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0664u);
}

/* The failure lines of the group's operations, by kind of exception; one of
 * no known kind is preceded by the line naming where it was caught. */
TEST(SigTraceGroup, ExceptionLines) {
  const std::tuple<std::function<void()>, VQX_RESULT, const char*> aRows[] = {
      {[] { throw CVQCAFException("boom", 0x8200000Fu); }, 0x8200000Fu, "boom (8200000F) "},
      {[] { throw std::bad_alloc(); }, 0x82000012u, "std::bad_alloc (82000012) "},
      {[] { throw std::length_error("x"); }, 0x8200000Au, "std::length_error (8200000A) "},
      {[] { throw std::out_of_range("x"); }, 0x82000006u, "std::out_of_range (82000006) "},
      {[] { throw std::runtime_error("x"); }, 0x82000002u, "(Un-handled exception) (82000002) "},
      {[] { throw 42; }, 0x82000002u, "(Un-handled exception) (82000002) "},
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
    std::vector<std::string> vExpected{std::string("CVQSigTraceGrp::CloseFile: ") + pszText + strAt};
    if (un32Result == 0x82000002u) vExpected.insert(vExpected.begin(), "CVQSigTraceGrp::CloseFile: Un-handled exception: " + strAt);
    EXPECT_EQ(r, un32Result) << pszText;
    EXPECT_EQ(log.Lines(), vExpected) << pszText;
  }
}

/* A segment that cannot be opened is tried once a second, not once per
 * record (the records in between are counted lost), and the group is not
 * silenced for good: the first record a second after the last failure opens
 * it once it can be opened. */
TEST(SigTraceGroup, OpenFailureRetriesAndRecovers) {
  CScratchDir dir;
  CLogCapture log;
  SGroup g("grp", VQ_SIGTRACE_TYPE_ISDN, false, "d");
  OpensSinceLastCall();
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  const rlimit tiny{3, old.rlim_max}; /* no descriptor left: every open fails */
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tiny), 0);
  for (int i = 0; i < 5; ++i) g.Isdn(0, 0, kSetup);
  const u32 un32OpensFirstSecond = OpensSinceLastCall();
  g.At(1000000);
  g.Isdn(0, 0, kSetup);
  EXPECT_EQ(g.g.ForceLogRotation(), VQX_RESULT_OK); /* nothing open: nothing to close, no new attempt */
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
  EXPECT_EQ(un32OpensFirstSecond, 1u);
  EXPECT_EQ(OpensSinceLastCall(), 1u);
  EXPECT_EQ(log.Count("Close log file"), 0u);
  EXPECT_FALSE(g.g.mFile.IsOpened());
  EXPECT_EQ(g.g.mfOpenFailed, 1);
  EXPECT_EQ(log.Count("Failed to open grp_000.log file."), 2u); /* once a second, nothing left out */
  EXPECT_EQ(log.Count("similar line(s) left out"), 0u);
  EXPECT_EQ(log.Count("CVQSigTraceGrp::CreateNewFile"), 2u);
  EXPECT_EQ(log.Count("Group grp: 5 record(s) lost, file not writable"), 1u);
  EXPECT_EQ(g.g.mun32LostCount, 6u);
  EXPECT_EQ(g.g.mun32RxCount, 6u);
  /* Openable again, but within the second of the last failure: not tried. */
  g.At(1999999);
  g.Isdn(0, 0, kSetup);
  EXPECT_EQ(OpensSinceLastCall(), 0u);
  EXPECT_EQ(g.g.mun32LostCount, 7u);
  g.At(2000000);
  g.Isdn(0, 0, kSetup);
  EXPECT_EQ(OpensSinceLastCall(), 1u);
  EXPECT_EQ(g.g.mfOpenFailed, 0);
  EXPECT_EQ(g.g.mstrCurrentFile, "grp_000.log");
  EXPECT_EQ(log.Count("Group grp: writing to grp_000.log, 7 record(s) lost before"), 1u);
  EXPECT_EQ(g.g.mun32LostCount, 7u);
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
      SGroup g("none", VQ_SIGTRACE_TYPE_SS7, fPcap);
      for (int i = 0; i < 5; ++i) g.Ss7(0);
      g.g.CloseFile();
      fOk = fOk && g.g.mun32LostCount == 5 && g.g.mun32RxCount == 5 && g.g.mun32NextSegment == 0 && !FileExists("none_000.cap") &&
            !FileExists("none_000.log");
    }
    return fOk && log.Count("Failed to write none_000.cap file (File too large), segment closed, 5 record(s) lost.") == 1;
  }));
}

/* The output folder removed while a segment is open: the next write-out
 * finds the segment unlinked and writes nothing more into it; while the
 * folder is missing the segment is tried once a second (not once per
 * record) and the records are counted lost; once it is made again the next
 * try opens the next segment there by its path (the working directory
 * itself stays the removed one). Every record is in a file or counted lost. */
TEST(SigTraceGroup, OutputFolderRemovedAndMadeAgain) {
  CScratchDir dir;
  const std::string strOut = std::filesystem::current_path().string() + "/out";
  std::filesystem::create_directory(strOut);
  ASSERT_EQ(chdir(strOut.c_str()), 0);
  CLogCapture log;
  {
    SGroup g("grp", VQ_SIGTRACE_TYPE_SS7, true);
    const auto Records = [&](const char* pszFile) { return PcapRecords(ReadFile(strOut + "/" + pszFile), 139); };
    OpensSinceLastCall();
    const struct {
      const char* pszStep;
      i64 n64AtUs;           /* group clock of the step */
      int nWritten;          /* records written before the write-out */
      bool fRemove, fMake;   /* the folder removed, made again, before them */
      u32 un32Lost;          /* the group's lost count after the write-out */
      const char* pszFile;   /* the segment then open ("" none) */
      long n000, n001;       /* records in grp_000.cap and grp_001.cap (-1 missing) */
      u32 un32Opens;         /* segment opens tried in the step */
    } aSteps[] = {
        {"written", 0, 3, false, false, 0, "grp_000.cap", 3, -1, 1},
        {"folder removed", 0, 2, true, false, 2, "", -1, -1, 1},          /* unlinked: not written, no folder to open in */
        {"still missing", 999999, 4, false, false, 6, "", -1, -1, 0},     /* within the second: not tried */
        {"a second on", 1000000, 4, false, false, 10, "", -1, -1, 1},     /* tried by the first record, which fails */
        {"made again", 1500000, 5, false, true, 15, "", -1, -1, 0},       /* the second is not over */
        {"tried again", 2000000, 5, false, false, 15, "grp_001.cap", -1, 5, 1}, /* opened by path in the new folder */
    };
    for (const auto& t : aSteps) {
      g.At(t.n64AtUs);
      if (t.fRemove) std::filesystem::remove_all(strOut);
      if (t.fMake) std::filesystem::create_directory(strOut);
      for (int i = 0; i < t.nWritten; ++i) g.Ss7(0);
      g.g.WriteOut(true);
      EXPECT_EQ(g.g.mun32LostCount, t.un32Lost) << t.pszStep;
      EXPECT_EQ(g.g.mstrCurrentFile, t.pszFile) << t.pszStep;
      EXPECT_EQ(Records("grp_000.cap"), t.n000) << t.pszStep;
      EXPECT_EQ(Records("grp_001.cap"), t.n001) << t.pszStep;
      EXPECT_EQ(OpensSinceLastCall(), t.un32Opens) << t.pszStep;
    }
    EXPECT_EQ(g.g.mun32RxCount, 23u);
  }
  /* Each line counts the records lost since a line of its kind. */
  EXPECT_EQ(log.Count("Failed to write grp_000.cap file (No such file or directory), segment removed, 2 record(s) lost."), 1u);
  EXPECT_EQ(log.Count("Failed to open grp_001.cap file."), 2u);
  EXPECT_EQ(log.Count("Group grp: 6 record(s) lost, file not writable"), 1u);
  EXPECT_EQ(log.Count("Group grp: writing to grp_001.cap, 15 record(s) lost before"), 1u);
  EXPECT_EQ(ReadFile(strOut + "/grp_001.cap").size(), 24u + 5u * 23u);
}

/* A full disk reopens a segment at every 64 KiB flush: its write failure
 * and lost-records lines are logged once a second at most, each kind, the
 * lines left out counted in the next one, or in a line of their own once the
 * second is over. Each kind counts the records lost since its own last line:
 * one kind's line never leaves another kind's lines left out with nothing
 * to count. */
TEST(SigTraceGroup, LostRecordLinesOnceASecond) {
  CScratchDir dir;
  EXPECT_TRUE(InChild([] {
    LimitFileSize(10);
    CLogCapture log;
    SGroup g("full", VQ_SIGTRACE_TYPE_SS7, true);
    const std::vector<u8> v(296, 0x42); /* 316-byte records: a flush every 208 */
    for (int i = 0; i < 2000; ++i) g.Ss7(0, v);
    const size_t nBurst = log.Count("record(s) lost before");
    g.g.WriteOut(false); /* the same second: nothing more */
    const size_t nSameSecond = log.Count("record(s) lost");
    g.At(1000000);
    g.g.WriteOut(false);
    const bool fSummary = log.Count("similar line(s) left out)") == 1 && log.Count("record(s) lost since the last line") == 1;
    g.g.WriteOut(false); /* said once */
    /* Every write failure and reopening of the burst but the two logged, left out: counted here, with the records
     * lost since the first of them, the write failure line (8 failures of 208 records). */
    const bool fLeftOut = log.Count("Group full: 1664 record(s) lost since the last line (16 similar line(s) left out)") == 1;
    bool fOk = nBurst == 1 && nSameSecond == 2 && fSummary && fLeftOut && log.Count("record(s) lost") == 3 &&
               g.g.mun32LostCount == 2000;
    /* A failure every half second: the reopening's line comes after the write failure's, and the second failure's
     * lines, left out, are counted in a line of their own. */
    SGroup h("half", VQ_SIGTRACE_TYPE_SS7, true);
    const struct {
      i64 n64AtUs;
      int nRecords;       /* records of 316 bytes: a flush fails at the 208th of a segment */
      const char* pszLast; /* the last line logged by the step (null: none) */
    } aSteps[] = {
        {0, 209, "Group half: writing to half_000.cap, 208 record(s) lost before\n"}, /* after the write failure line */
        {500000, 208, nullptr},
        {1000000, 0, "Group half: 208 record(s) lost since the last line (2 similar line(s) left out)\n"},
    };
    for (const auto& t : aSteps) {
      const size_t nBefore = log.Lines().size();
      h.At(t.n64AtUs);
      for (int i = 0; i < t.nRecords; ++i) h.Ss7(0, v);
      h.g.WriteOut(false);
      const std::vector<std::string> vLines = log.Lines();
      fOk = fOk && (t.pszLast == nullptr ? vLines.size() == nBefore : vLines.size() > nBefore && vLines.back() == t.pszLast);
    }
    return fOk && h.g.mun32LostCount == 416;
  }));
}

/* Standard output mode: one pcap stream only (a second pcap group and text
 * groups are refused), flushed per packet record; a text group writes its
 * header once and its trailer at close; text groups share the output and a
 * pcap group may take it once they are closed. Nothing rotates there, by
 * size or by force: neither packet records nor CAS R2 lines. */
TEST(SigTraceGroup, StandardOutputMode) {
  CScratchDir dir;
  EXPECT_TRUE(InChild([] {
    StdoutTo("stdout.bin");
    SGroup a("a", VQ_SIGTRACE_TYPE_SS7, true), b("b", VQ_SIGTRACE_TYPE_SS7, true), t("c", VQ_SIGTRACE_TYPE_SS7, false);
    a.g.mfStdout = b.g.mfStdout = t.g.mfStdout = 1;
    const std::vector<u8> v(300, 7);
    for (int i = 0; i < 33000; ++i) {
      for (SGroup* p : {&a, &b, &t}) p->Ss7(0, v);
    }
    a.g.ForceLogRotation();
    const bool fOk = a.g.mstrCurrentFile == ":STDOUT:" && a.g.mFile.GetSize() > 10485760u && a.g.mun32NextSegment == 0 &&
                     b.g.mun32LostCount == 33000 && !b.g.mFile.IsOpened() && b.g.mun32RxCount == 33000 && t.g.mun32LostCount == 33000 &&
                     !t.g.mFile.IsOpened() && !FileExists("a_000.cap") && !FileExists("a_001.cap") && !FileExists("b_000.cap") &&
                     !FileExists("c_000.log");
    /* What reached the descriptor before anything is closed: flushed per record. */
    return fOk && ReadFile("stdout.bin").size() == 24u + 33000u * 320u;
  }));
  EXPECT_EQ(PcapRecords(ReadFile("stdout.bin"), 139), 33000);

  EXPECT_TRUE(InChild([] {
    StdoutTo("stdout.txt");
    bool fOk = true;
    {
      /* CAS R2 writes text whatever its flag. */
      SGroup t1("t1", VQ_SIGTRACE_TYPE_SS7, false), t2("t2", VQ_SIGTRACE_TYPE_CASR2, true), p("p", VQ_SIGTRACE_TYPE_SS7, true);
      t1.g.mfStdout = t2.g.mfStdout = p.g.mfStdout = 1;
      t1.Ss7(0);
      p.Ss7(0);
      _VQ500_VP_DIGIT_PARAMS tone{};
      tone.un32ToneCode = 40;
      u32 n = 0;
      for (; t2.g.mFile.GetSize() <= 10485760u + 1000u && n < 400000; ++n) t2.g.WriteCasr2ToneData(t2.e, 1, 2, 1, &tone, 0);
      fOk = t1.g.mFile.IsOpened() && !p.g.mFile.IsOpened() && p.g.mun32LostCount == 1 && t2.g.mFile.GetSize() > 10485760u + 1000u &&
            t2.g.mstrCurrentFile == ":STDOUT:" && t2.g.mun32NextSegment == 0 && t2.g.mun32RxCount == n;
    }
    const std::string s = ReadFile("stdout.txt");
    fOk = fOk && s.rfind("// Creation date: ", 0) == 0 && Count(s, "// Creation date: ") == 2 &&
          Count(s, "// Group name: t2, type: CASR2\n") == 1 && Count(s, "[END]") == 2 && s.substr(s.size() - 8) == "\n\n[END]\n";
    SGroup p2("p2", VQ_SIGTRACE_TYPE_SS7, true);
    p2.g.mfStdout = 1;
    p2.Ss7(0);
    return fOk && p2.g.mFile.IsOpened() && p2.g.mun32LostCount == 0 && ReadFile("stdout.txt").size() == s.size() + 24u + 16u + 7u &&
           !FileExists("t1_000.log") && !FileExists("t2_000.log") && !FileExists("t2_001.log");
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
    SGroup g("p", VQ_SIGTRACE_TYPE_SS7, true);
    g.g.mfStdout = 1;
    for (int i = 0; i < 4; ++i) g.Ss7(1, std::vector<u8>(40, 1));
    return g.g.mFile.IsOpened() && g.g.mstrCurrentFile == ":STDOUT:" && g.g.mun32TxCount == 4 && g.g.mun32LostCount == 4 &&
           log.Count("Failed to write :STDOUT: file (Broken pipe), output kept, 1 record(s) lost.") == 1 &&
           log.Count("CVQSigTraceGrp::WriteRecord") == 1;
  }));
}

namespace {

/* Appends what the pipe holds, at most un64Max bytes, to str; the bytes read. */
size_t ReadPipe(int nFd, std::string& str, size_t un64Max = SIZE_MAX) {
  char a[65536];
  size_t un64Read = 0;
  for (ssize_t n; un64Read < un64Max && (n = read(nFd, a, std::min(sizeof(a), un64Max - un64Read))) > 0;) {
    str.append(a, static_cast<size_t>(n));
    un64Read += static_cast<size_t>(n);
  }
  return un64Read;
}

/* The owner's answer of the stalled standard-output tests, and how often it was asked. With s_pReadOnAsk set, the
 * reader takes a page (into that string, from s_nReadOnAsk) as the owner is asked: between the writer's attempt and
 * its answer. */
EVQStdoutWait s_eStdoutAnswer = EVQStdoutWait::Wait;
int s_nStdoutAsked = 0;
int s_nReadOnAsk = -1;
std::string* s_pReadOnAsk = nullptr;
EVQStdoutWait StdoutAnswer(void*) {
  if (s_pReadOnAsk != nullptr) ReadPipe(s_nReadOnAsk, *s_pReadOnAsk, 4096);
  return ++s_nStdoutAsked, s_eStdoutAnswer;
}

/* In a child: standard output to a new pipe (or a stream socket), its read end returned (non-blocking; -1 on
 * failure), the owner's answer StdoutAnswer. A write that blocks kills the child (SIGALRM after 30 s): the test fails
 * rather than hanging. */
int StdoutToStalledPipe(bool fSocket = false) {
  alarm(30);
  int anFd[2];
  if ((fSocket ? socketpair(AF_UNIX, SOCK_STREAM, 0, anFd) : pipe(anFd)) != 0 || fcntl(anFd[0], F_SETFL, O_NONBLOCK) != 0)
    return -1;
  dup2(anFd[1], STDOUT_FILENO);
  close(anFd[1]);
  CVQSigTraceSegment::SetStdoutWait(&StdoutAnswer, nullptr);
  return anFd[0];
}

}  // namespace

/* A standard output whose reader takes nothing, a pipe or a stream socket: the owner's answer decides. Leave: the
 * records not written stay (none lost), and once the reader reads again they follow, a record cut in two by the pipe
 * included, so that the stream stays whole. Interrupted or TimedOut: what is not written is lost, and said with the
 * reason. Two text groups on it: a record of one cut and left has its rest written before any byte of the other, also
 * when the reader makes room as the owner is asked; once that rest is given up (a signal during the close, or the
 * close of its group) nothing more is written (every record is whole in the stream or counted lost). */
TEST(SigTraceGroup, StalledStandardOutputWaitsAsItsOwnerSays) {
  CScratchDir dir;
  for (const bool fSocket : {false, true}) EXPECT_TRUE(InChild([fSocket] {
    const int nRead = StdoutToStalledPipe(fSocket);
    CLogCapture log;
    SGroup g("p", VQ_SIGTRACE_TYPE_SS7, true);
    g.g.mfStdout = 1;
    const std::vector<u8> v(300, 7); /* 320-byte records across the pipe's 4096-byte pages */
    std::string strStream;
    /* Until the pipe is full, and 20 records past it while the owner leaves; one page read lets one page through,
     * which cuts a record (the socket may take them all); then everything read. */
    int nRecords = 0;
    s_eStdoutAnswer = EVQStdoutWait::Leave;
    for (; nRecords < 10000 && s_nStdoutAsked < 20; ++nRecords) g.Ss7(0, v);
    const size_t un64Page = ReadPipe(nRead, strStream, 4096);
    g.Ss7(0, v);
    bool fOk = un64Page == 4096 && (fSocket || g.g.mFile.HasBuffered()) && g.g.mun32LostCount == 0;
    ReadPipe(nRead, strStream);
    g.Ss7(0, v);
    ReadPipe(nRead, strStream);
    fOk = fOk && !g.g.mFile.HasBuffered() && PcapRecords(strStream, 139) == nRecords + 2;
    /* A second apart: the group's failure line is logged once a second at most. */
    for (const auto& [eAnswer, pszText, n64AtUs] :
         {std::tuple{EVQStdoutWait::Interrupted, "(Interrupted system call), output kept", i64{0}},
          {EVQStdoutWait::TimedOut, "(Timer expired), output kept", i64{1000000}}}) {
      g.At(n64AtUs);
      s_eStdoutAnswer = eAnswer;
      s_nStdoutAsked = 0;
      const u32 un32Lost = g.g.mun32LostCount;
      for (int i = 0; i < 10000 && s_nStdoutAsked == 0; ++i) g.Ss7(0, v);
      fOk = fOk && s_nStdoutAsked == 1 && g.g.mun32LostCount > un32Lost && !g.g.mFile.HasBuffered() &&
            log.Count((std::string("Failed to write :STDOUT: file ") + pszText).c_str()) == 1;
      ReadPipe(nRead, strStream);
    }
    CVQSigTraceSegment::SetStdoutWait(nullptr, nullptr);
    return fOk;
  })) << (fSocket ? "socket" : "pipe");
  for (const bool fCloseA : {false, true}) EXPECT_TRUE(InChild([fCloseA] {
    const int nRead = StdoutToStalledPipe();
    CLogCapture log;
    SGroup a("a", VQ_SIGTRACE_TYPE_SS7, false, "la"), b("b", VQ_SIGTRACE_TYPE_SS7, false, "lb");
    a.g.mfStdout = b.g.mfStdout = 1;
    const std::vector<u8> v(300, 7);
    std::string s;
    /* a fills the pipe and holds records past it while the owner leaves; a page read, and a's next write cuts one. */
    const auto CutARecordOfA = [&] {
      s_nStdoutAsked = 0;
      for (int i = 0; i < 10000 && s_nStdoutAsked < 20; ++i) a.Ss7(0, v);
      ReadPipe(nRead, s, 4096);
      a.Ss7(0, v);
    };
    s_eStdoutAnswer = EVQStdoutWait::Leave;
    CutARecordOfA();
    s_nReadOnAsk = nRead, s_pReadOnAsk = &s;
    b.Ss7(0, v); /* behind a's rest, though the reader made room as a's rest waited */
    s_pReadOnAsk = nullptr;
    ReadPipe(nRead, s);
    b.Ss7(0, v);
    a.Ss7(0, v);
    ReadPipe(nRead, s);
    /* a's first two records were written whole before anything else; b's is the same with its entity's name. */
    const size_t un64A1 = s.find("la <-----"), un64A2 = s.find("la <-----", un64A1 + 1);
    const size_t un64Start = s.rfind('\n', un64A1) + 1, un64End = s.rfind('\n', un64A2) + 1;
    const std::string strA = s.substr(un64Start, un64End - un64Start);
    const std::string strB = std::string(strA).replace(strA.find("la <-----"), 2, "lb");
    bool fOk = Count(s, strB) == 2 && Count(s, strA) == a.g.mun32RxCount && a.g.mun32LostCount == 0;
    /* Cut again and given up, by a signal during the close or by a's close: nothing more reaches the stream. */
    CutARecordOfA();
    if (fCloseA) a.g.CloseFile();
    else s_eStdoutAnswer = EVQStdoutWait::Interrupted;
    b.Ss7(0, v);
    ReadPipe(nRead, s);
    const size_t un64Given = s.size();
    b.Ss7(0, v);
    if (!fCloseA) a.Ss7(0, v);
    a.g.CloseFile();
    b.g.CloseFile();
    ReadPipe(nRead, s);
    CVQSigTraceSegment::SetStdoutWait(nullptr, nullptr);
    return fOk && s.size() == un64Given && Count(s, strA) + a.g.mun32LostCount == a.g.mun32RxCount &&
           Count(s, strB) + b.g.mun32LostCount == b.g.mun32RxCount && b.g.mun32LostCount == 2 &&
           log.Count(fCloseA ? "Failed to write :STDOUT: file (Resource temporarily unavailable), output kept"
                             : "Failed to write :STDOUT: file (Interrupted system call), output kept") >= 1;
  })) << (fCloseA ? "given up by a's close" : "given up by a signal");
}

TEST(SigTraceGroup, HostileGroupNamesStayInTheTraceDirectory) {
  CScratchDir dir;
  std::filesystem::create_directory("traces");
  ASSERT_EQ(chdir("traces"), 0);
  const std::pair<const char*, const char*> aRows[] = {
      {"../escape", "___escape_000.log"}, {"/tmp/abs", "_tmp_abs_000.log"}, {"a\\b", "a_b_000.log"},
      {"..", "___000.log"},               {"ok.name", "ok.name_000.log"},
  };
  for (const auto& [pszName, pszFile] : aRows) {
    {
      SGroup g(pszName, VQ_SIGTRACE_TYPE_SS7, false);
      g.Ss7(0);
      EXPECT_EQ(g.g.mstrCurrentFile, pszFile) << pszName;
    }
    EXPECT_TRUE(FileExists(pszFile)) << pszName;
  }
  ASSERT_EQ(chdir(".."), 0);
  EXPECT_FALSE(FileExists("escape_000.log"));
  EXPECT_FALSE(FileExists("/tmp/abs_000.log"));
}

/* CAS R2 groups write text whatever their pcap flag; counters by direction;
 * the line formatters through the group: named and unknown tones, states
 * and levels, custom tones, a name longer than its column, the largest
 * timestamp and value. */
TEST(SigTraceGroup, Casr2GroupIsAlwaysTextAndCounts) {
  CScratchDir dir;
  SGroup s("cas", VQ_SIGTRACE_TYPE_CASR2, true, "E1_3");
  CVQSigTraceGrp& g = s.g;
  CVQSigTraceEntityParams& e = s.e;
  g.mvEntities.push_back(e);
  /* Direction; received, sent and other counts after it. */
  const std::vector<u32> aRows[] = {{1, 1, 0, 0}, {2, 1, 1, 0}, {3, 1, 1, 1}, {0, 1, 1, 2}};
  _VQ500_VP_DIGIT_PARAMS tone{};
  tone.un32ToneCode = 60;
  for (const std::vector<u32>& row : aRows) {
    g.WriteCasr2ToneData(e, 4, 10, row[0], &tone, 2);
    EXPECT_EQ(std::vector<u32>({row[0], g.mun32RxCount, g.mun32TxCount, g.mun32ExtCount}), row);
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
  EXPECT_EQ(g.WriteCasr2DateHeader(e, 3), VQX_RESULT_OK);
  EXPECT_EQ(g.WriteFormattedCasr2ExtendedStateTrace(e, 5, 123457, 3, 12, 24), VQX_RESULT_OK);
  EXPECT_EQ(g.mun32ExtCount, 5u);
  EXPECT_EQ(g.mun32RxCount, 2u);
  tone = {};
  tone.un32ToneCode = 41;
  tone.n32Level = -12;
  g.WriteCasr2ToneData(e, 17, 5, 1, &tone, 1);
  CVQSigTraceEntityParams eLong = Entity(5, "A", "A_very_long_entity");
  custom.n32Level = -12;
  g.WriteCasr2ToneData(eLong, 31, 4294967295u, 2, &custom, 0xFFFFFFFFu);
  tone.un32ToneCode = 99;
  g.WriteCasr2ToneData(e, 1, 0, 2, &tone, 3);
  g.WriteCasr2ToneData(e, 2, 1, 0, nullptr, 0); /* no tone given */
  /* Discarded (units the close no longer writes): counted, and lost once each, no part of their lines written. */
  g.mfDiscard = 1;
  g.WriteCasr2ToneData(e, 3, 2, 1, &tone, 4);
  g.WriteCasr2ExtendedStateData(e, 3, 2, 3, 12);
  EXPECT_EQ(std::vector<u32>({g.mun32RxCount, g.mun32ExtCount, g.mun32LostCount}), std::vector<u32>({4, 7, 2}));
  /* Likewise a text body after WritePacketHeader (an SS7 text group): counted, lost once, not written. */
  SGroup t("ss7", VQ_SIGTRACE_TYPE_SS7, false);
  t.Ss7(0);
  const u64 un64Size = t.g.mFile.GetSize();
  t.g.mfDiscard = 1;
  t.g.WritePacketHeader(t.e, 0, static_cast<u32>(kSs7Iam.size()), VQ500_TUCL_TRACE_TRANSPORT_UDP);
  t.g.WriteFormattedSs7Trace(1, 2, 0, static_cast<u32>(kSs7Iam.size()), kSs7Iam.data());
  EXPECT_EQ(std::vector<u64>({t.g.mun32RxCount, t.g.mun32LostCount, t.g.mFile.GetSize()}), std::vector<u64>({2, 1, un64Size}));
  g.CloseFile();
  EXPECT_FALSE(FileExists("cas_000.cap"));
  EXPECT_EQ(CompareGolden("group_casr2.log", ReadFile("cas_000.log")), "");
}
