/*
 * sigtrace_test_support.h - helpers shared by the trace group tests: a fresh
 * working directory per test, whole-file reads, golden-file comparison, a
 * fixed clock, captured log lines, a group with its clock and one entity set
 * up in one call, the record structure of a pcap file, and child processes
 * for tests that change limits, signals or the standard output.
 */
#ifndef SIGTRACE_TEST_SUPPORT_H
#define SIGTRACE_TEST_SUPPORT_H

#include <functional>
#include <string>
#include <vector>

#include "peers/log_lines.h"
#include "sigtracegrp.h"

namespace sigtest {

/* Makes a new empty directory under /tmp and enters it; leaves and removes
 * it (with its files) when destroyed. */
class CScratchDir {
 public:
  CScratchDir();
  ~CScratchDir();

 private:
  std::string mstrPath;
  std::string mstrOld;
};

std::string ReadFile(const std::string& strPath);
bool FileExists(const std::string& strPath);
/* Occurrences of strPart in str. */
size_t Count(const std::string& str, const std::string& strPart);
std::vector<u8> FromHex(const char* pszHex);
/* Octets 0, 1, 2... (modulo 256). */
std::vector<u8> Seq(u32 n);
std::string DataPath(const std::string& strName);
/* Simulated board profiles (docs/board-discovery.md): two SS7 links (L1, L2) on one MTP2 instance, then un32Trunks
 * CAS R2 trunks R1..; un32Instances TCP/IP instances I1... */
std::string TrunksProfile(u32 un32Trunks);
std::string TuclProfile(u32 un32Instances);
/* Compares strActual with the golden file; with VQX_UPDATE_GOLDEN=1 in the
 * environment, writes it instead (for review before committing). Returns an
 * empty string when equal, else a description of the first difference. */
std::string CompareGolden(const std::string& strName, const std::string& strActual);

/* 2026-03-04 05:06:07.089123 UTC, local zone +01:00. */
VQCAF::SVQSigTraceTime FixedTime();

/* Captures the lines the library logs while it lives (from any thread, under a lock). */
struct CLogCapture {
  peerlog::LineLog Log;
  CLogCapture();
  ~CLogCapture();
  std::vector<std::string> Lines() const { return Log.All(); }
  size_t Count(const char* pszPart) const { return Log.Count(pszPart); }
};

VQCAF::CVQSigTraceEntityParams Entity(u32 un32Type, const char* pszAdapter, const char* pszName);

/* A group named strName of this type (pcap flag as given) on the fixed clock,
 * and an entity "A:<name>" of the same type (not attached) that its writers
 * below use. */
struct SGroup {
  VQCAF::CVQSigTraceFixedClock clock{FixedTime()};
  VQCAF::CVQSigTraceGrp g;
  VQCAF::CVQSigTraceEntityParams e;
  SGroup(const std::string& strName, u32 un32Type, bool fPcap, const char* pszEntity = "l");
  /* Holds the clock n64Us (0 or more) after the fixed time. */
  void At(i64 n64Us);
  /* Link 1, ITU, 14-bit point codes; a FISU by default. */
  void Ss7(u32 un32Direction, const std::vector<u8>& v = FromHex("85 83 00"), u32 un32Link = 1);
  void Isdn(u32 un32Direction, u32 un32Side, const std::vector<u8>& v);
  void H248(u32 un32Direction, const std::string& str);
  /* Interface "eth0", remote address 10.0.0.2, captured time 1 ms. */
  void Tucl(u32 un32Direction, u32 un32Transport, u32 un32Protocol, const char* pszLocal, u32 un32LocalPort,
            u32 un32RemotePort, const std::vector<u8>& v);
};

u32 Be32(const std::string& s, size_t i);
/* Number of whole records of a big-endian pcap file of this link type, or
 * -1 when the file is not a global header and a sequence of whole records. */
long PcapRecords(const std::string& s, u32 un32LinkType);

/* Runs fn in a child process, which may change its limits, signals and
 * standard output freely; true when fn returned true there. */
bool InChild(const std::function<bool()>& fn);
/* Points the standard output at a new file. */
void StdoutTo(const char* pszPath);
/* Files may grow to this size at most (a full file system); SIGXFSZ is
 * ignored so that writes fail with EFBIG. Child processes only. */
void LimitFileSize(unsigned long un64Bytes);

}  // namespace sigtest

#endif
