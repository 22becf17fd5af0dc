/*
 * sigtrace_test_support.cpp - see sigtrace_test_support.h.
 */
#include "support/sigtrace_test_support.h"

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "vqcafdiag.h"

namespace sigtest {

CScratchDir::CScratchDir() {
  char acTemplate[] = "/tmp/sigtrace_test_XXXXXX";
  const char* psz = mkdtemp(acTemplate);
  mstrPath = psz ? psz : "/tmp";
  char acOld[4096];
  mstrOld = getcwd(acOld, sizeof(acOld)) ? acOld : "/tmp";
  if (chdir(mstrPath.c_str()) != 0) abort();
}

CScratchDir::~CScratchDir() {
  if (chdir(mstrOld.c_str()) != 0) return;
  std::error_code ec;
  std::filesystem::remove_all(mstrPath, ec);
}

std::string ReadFile(const std::string& strPath) {
  std::ifstream in(strPath, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool FileExists(const std::string& strPath) { return std::filesystem::exists(strPath); }

std::string TrunksProfile(u32 un32Trunks) {
  std::string s = R"({"mtp2": [{"id": 1, "links": [{"id": 11, "trunk": 1, "timeslots": [1], "name": "L1"},
                                                 {"id": 12, "trunk": 2, "timeslots": [2], "name": "L2"}]}], "casr2": [)";
  for (u32 i = 1; i <= un32Trunks; i++)
    s += (i > 1 ? ", {\"id\": " : "{\"id\": ") + std::to_string(i) + ", \"trunk\": " + std::to_string(i) + ", \"name\": \"R" +
         std::to_string(i) + "\"}";
  return s + "]}";
}

std::string TuclProfile(u32 un32Instances) {
  std::string s = R"({"tucl": [)";
  for (u32 i = 1; i <= un32Instances; i++)
    s += (i > 1 ? ", {\"id\": " : "{\"id\": ") + std::to_string(i) + ", \"name\": \"I" + std::to_string(i) + "\"}";
  return s + "]}";
}

size_t Count(const std::string& str, const std::string& strPart) {
  size_t n = 0;
  for (size_t i = str.find(strPart); i != std::string::npos; i = str.find(strPart, i + 1)) ++n;
  return n;
}

std::vector<u8> FromHex(const char* pszHex) {
  std::string strDigits;
  for (const char* p = pszHex; *p; ++p) {
    if (isxdigit(static_cast<unsigned char>(*p))) strDigits += *p;
  }
  std::vector<u8> v;
  for (size_t i = 0; i + 1 < strDigits.size(); i += 2) v.push_back(static_cast<u8>(std::stoul(strDigits.substr(i, 2), nullptr, 16)));
  return v;
}

std::vector<u8> Seq(u32 n) {
  std::vector<u8> v(n);
  for (u32 i = 0; i < n; ++i) v[i] = static_cast<u8>(i);
  return v;
}

std::string DataPath(const std::string& strName) {
  const char* pszDir = getenv("VQX_TEST_DATA");
  return std::string(pszDir ? pszDir : "tests/data") + "/" + strName;
}

std::string CompareGolden(const std::string& strName, const std::string& strActual) {
  const std::string strPath = DataPath(strName);
  const char* pszUpdate = getenv("VQX_UPDATE_GOLDEN");
  if (pszUpdate && strcmp(pszUpdate, "1") == 0) {
    std::ofstream(strPath, std::ios::binary) << strActual;
    return "";
  }
  if (!FileExists(strPath)) return "missing golden file " + strPath;
  const std::string strExpected = ReadFile(strPath);
  if (strExpected == strActual) return "";
  const size_t i = std::mismatch(strExpected.begin(), strExpected.end(), strActual.begin(), strActual.end()).first - strExpected.begin();
  std::ostringstream ss;
  ss << strName << ": first difference at byte " << i << "\n--- expected from there:\n"
     << strExpected.substr(i, 120) << "\n--- actual from there:\n" << strActual.substr(i, 120);
  return ss.str();
}

VQCAF::SVQSigTraceTime FixedTime() { return {1772600767, 89123, 3600}; /* 2026-03-04 05:06:07 UTC */ }

CLogCapture::CLogCapture() {
  VQCAF::VqcafSetDiagPrinter([](void* pv, u32, const char* psz) { static_cast<CLogCapture*>(pv)->Log.Add(psz); }, this);
}
CLogCapture::~CLogCapture() { VQCAF::VqcafSetDiagPrinter(nullptr, nullptr); }

VQCAF::CVQSigTraceEntityParams Entity(u32 un32Type, const char* pszAdapter, const char* pszName) {
  VQCAF::CVQSigTraceEntityParams e;
  e.mun32Type = un32Type;
  e.mstrAdapterName = pszAdapter;
  e.mstrName = pszName;
  return e;
}

SGroup::SGroup(const std::string& strName, u32 un32Type, bool fPcap, const char* pszEntity)
    : e(Entity(un32Type, "A", pszEntity)) {
  g.mstrName = strName.c_str();
  g.mun32Type = un32Type;
  g.mfPcap = fPcap ? 1 : 0;
  g.SetClock(&clock);
}

void SGroup::At(i64 n64Us) {
  const VQCAF::SVQSigTraceTime t = FixedTime();
  const i64 n64Total = t.un32Microseconds + n64Us;
  clock.Set({t.n64Seconds + n64Total / 1000000, static_cast<u32>(n64Total % 1000000), t.n32ZoneOffset});
}

void SGroup::Ss7(u32 un32Direction, const std::vector<u8>& v, u32 un32Link) {
  g.WriteSs7PacketData(e, un32Link, 0, 1, 2, un32Direction, static_cast<u32>(v.size()), v.data());
}
void SGroup::Isdn(u32 un32Direction, u32 un32Side, const std::vector<u8>& v) {
  g.WriteIsdnPacketData(e, un32Direction, un32Side, static_cast<u32>(v.size()), v.data());
}
void SGroup::H248(u32 un32Direction, const std::string& str) {
  g.WriteH248PacketData(e, un32Direction, static_cast<u32>(str.size()), reinterpret_cast<const u8*>(str.data()));
}
void SGroup::Tucl(u32 un32Direction, u32 un32Transport, u32 un32Protocol, const char* pszLocal, u32 un32LocalPort,
                  u32 un32RemotePort, const std::vector<u8>& v) {
  g.WriteTuclPacketData(e, un32Direction, un32Transport, un32Protocol, "eth0", "10.0.0.2", pszLocal, un32LocalPort, un32RemotePort,
                        1, static_cast<u32>(v.size()), v.data());
}

u32 Be32(const std::string& s, size_t i) {
  return (static_cast<u32>(static_cast<u8>(s[i])) << 24) | (static_cast<u8>(s[i + 1]) << 16) | (static_cast<u8>(s[i + 2]) << 8) |
         static_cast<u8>(s[i + 3]);
}

long PcapRecords(const std::string& s, u32 un32LinkType) {
  if (s.size() < 24 || Be32(s, 0) != 0xA1B2C3D4u || Be32(s, 20) != un32LinkType) return -1;
  size_t i = 24;
  long n = 0;
  while (i < s.size()) {
    if (s.size() - i < 16) return -1;
    const u32 incl = Be32(s, i + 8);
    if (incl > Be32(s, i + 12) || s.size() - i - 16 < incl) return -1;
    i += 16 + incl;
    ++n;
  }
  return n;
}

bool InChild(const std::function<bool()>& fn) {
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) _exit(fn() ? 0 : 1);
  int nStatus = 0;
  if (waitpid(pid, &nStatus, 0) != pid) return false;
  return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}

void StdoutTo(const char* pszPath) {
  const int nFd = open(pszPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(nFd, STDOUT_FILENO);
  close(nFd);
}

void LimitFileSize(unsigned long un64Bytes) {
  signal(SIGXFSZ, SIG_IGN);
  const rlimit lim{un64Bytes, un64Bytes};
  setrlimit(RLIMIT_FSIZE, &lim);
}

}  // namespace sigtest
