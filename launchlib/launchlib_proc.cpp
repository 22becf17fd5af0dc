/*
 * launchlib_proc.cpp - processes through the system: command-line split,
 * environment, PATH search, fork and exec, and the tree kill over /proc.
 * Called by the launch library under its mutex, from any thread.
 */
#include "launchlib_proc_internal.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

extern char** environ;

namespace {

constexpr const char* kStartedBy = "VQX_STARTED_BY_LAUNCH_LIB=TRUE";
/* Fields after the last ')': 0 state, 1 ppid, ..., 19 starttime. */
constexpr int kStatFieldPpid = 1;
constexpr int kStatFieldStart = 19;

bool IsRegularFile(const std::string& s) {
  struct stat St{};
  return ::stat(s.c_str(), &St) == 0 && S_ISREG(St.st_mode);
}

bool ParseNumber(const char* p, const char* pEnd, u64* pun64Out) {
  if (p == pEnd) return false;
  u64 v = 0;
  for (; p < pEnd; ++p) {
    if (*p < '0' || *p > '9') return false;
    const u64 d = static_cast<u64>(*p - '0');
    if (v > (~0ull - d) / 10) return false;
    v = v * 10 + d;
  }
  *pun64Out = v;
  return true;
}

/* The process a task id belongs to ("Tgid:" of /proc/<id>/status); 0 when unreadable. */
pid_t ReadTgid(pid_t Pid) {
  char szPath[64];
  snprintf(szPath, sizeof(szPath), "/proc/%d/status", static_cast<int>(Pid));
  FILE* pFile = fopen(szPath, "re");
  if (pFile == nullptr) return 0;
  char szLine[256];
  long lTgid = 0;
  while (fgets(szLine, sizeof(szLine), pFile) != nullptr) {
    if (strncmp(szLine, "Tgid:", 5) == 0) {
      lTgid = strtol(szLine + 5, nullptr, 10);
      break;
    }
  }
  fclose(pFile);
  return lTgid > 0 && lTgid <= 0x7FFFFFFF ? static_cast<pid_t>(lTgid) : 0;
}

}  // namespace

bool VqxLaunchParseStat(const char* pszText, size_t un32Len, u32* pun32Ppid, u64* pun64Start) {
  if (pszText == nullptr) return false;
  const char* pClose = nullptr;
  for (size_t i = un32Len; i > 0; --i) {
    if (pszText[i - 1] == ')') {
      pClose = pszText + i - 1;
      break;
    }
  }
  if (pClose == nullptr) return false;
  const char* p = pClose + 1;
  const char* pEnd = pszText + un32Len;
  u64 un64Ppid = 0;
  bool fPpid = false;
  for (int nField = 0; p < pEnd && nField <= kStatFieldStart; ++nField) {
    while (p < pEnd && *p == ' ') ++p;
    const char* pStart = p;
    while (p < pEnd && *p != ' ' && *p != '\n') ++p;
    if (nField == kStatFieldPpid) {
      if (!ParseNumber(pStart, p, &un64Ppid) || un64Ppid > 0xFFFFFFFFull) return false;
      fPpid = true;
    } else if (nField == kStatFieldStart) {
      if (!fPpid || !ParseNumber(pStart, p, pun64Start)) return false;
      *pun32Ppid = static_cast<u32>(un64Ppid);
      return true;
    }
  }
  return false;
}

bool VqxLaunchReadStat(pid_t Pid, u32* pun32Ppid, u64* pun64Start) {
  char szPath[64];
  snprintf(szPath, sizeof(szPath), "/proc/%d/stat", static_cast<int>(Pid));
  int Fd = ::open(szPath, O_RDONLY | O_CLOEXEC);
  if (Fd < 0) return false;
  char aBuf[1024];
  ssize_t n = ::read(Fd, aBuf, sizeof(aBuf));
  ::close(Fd);
  return n > 0 && VqxLaunchParseStat(aBuf, static_cast<size_t>(n), pun32Ppid, pun64Start);
}

std::vector<std::string> VqxLaunchSplitCmdLine(const char* pszParams) {
  std::vector<std::string> a;
  if (pszParams == nullptr) return a;
  std::string sCur;
  bool fIn = false, fQuote = false;
  for (const char* p = pszParams; *p != '\0'; ++p) {
    if (*p == '"') {
      fQuote = !fQuote;
      fIn = true;
    } else if ((*p == ' ' || *p == '\t') && !fQuote) {
      if (fIn) a.push_back(sCur);
      sCur.clear();
      fIn = false;
    } else {
      sCur += *p;
      fIn = true;
    }
  }
  if (fIn) a.push_back(sCur);
  return a;
}

bool VqxLaunchPrepare(const _VQX_LAUNCH_LIB_CREATE_PROCESS& Create, VqxLaunchSpawn* pSpawn, std::string* psError) {
  const std::string sGiven = Create.pszPath != nullptr ? Create.pszPath : "";
  std::string sFound;
  if (sGiven.find('/') != std::string::npos) {
    if (IsRegularFile(sGiven)) sFound = sGiven;
  } else if (!sGiven.empty()) {
    const char* pszPathVar = getenv("PATH");
    std::string sDirs = pszPathVar != nullptr ? pszPathVar : "/usr/bin:/bin";
    size_t Pos = 0;
    while (Pos <= sDirs.size() && sFound.empty()) {
      size_t End = sDirs.find(':', Pos);
      if (End == std::string::npos) End = sDirs.size();
      std::string sDir = sDirs.substr(Pos, End - Pos);
      std::string sTry = (sDir.empty() ? std::string(".") : sDir) + "/" + sGiven;
      if (IsRegularFile(sTry)) sFound = sTry;
      Pos = End + 1;
    }
  }
  if (sFound.empty()) {
    *psError = "File not found " + sGiven;
    return false;
  }
  if (Create.un32NbEnv > VQX_LAUNCH_MAX_ENV) {
    *psError = "Too many environment variables";
    return false;
  }
  pSpawn->sPath = sFound;
  pSpawn->sWorkDir = Create.pszWorkDir != nullptr ? Create.pszWorkDir : "";
  pSpawn->asArgv.clear();
  pSpawn->asArgv.push_back(sGiven);
  for (auto& s : VqxLaunchSplitCmdLine(Create.pszParams)) pSpawn->asArgv.push_back(s);

  /* The parent's environment, overridden by the record's variables. */
  std::map<std::string, std::string> Env;
  for (char** pp = environ; pp != nullptr && *pp != nullptr; ++pp) {
    const char* pEq = strchr(*pp, '=');
    if (pEq != nullptr) Env[std::string(*pp, static_cast<size_t>(pEq - *pp))] = pEq + 1;
  }
  for (u32 i = 0; i < Create.un32NbEnv; ++i) {
    if (Create.apszEnvName[i] == nullptr || Create.apszEnvName[i][0] == '\0') continue;
    std::string sName = Create.apszEnvName[i];
    if (sName == "PATH" || sName == "LD_LIBRARY_PATH") continue;
    Env[sName] = Create.apszEnvValue[i] != nullptr ? Create.apszEnvValue[i] : "";
  }
  if (Create.pszLibPath != nullptr && Create.pszLibPath[0] != '\0') {
    auto It = Env.find("LD_LIBRARY_PATH");
    Env["LD_LIBRARY_PATH"] = std::string(Create.pszLibPath) +
                             (It != Env.end() && !It->second.empty() ? ":" + It->second : std::string());
  }
  Env.erase("VQX_STARTED_BY_LAUNCH_LIB");
  pSpawn->asEnv.clear();
  for (auto& [k, v] : Env) pSpawn->asEnv.push_back(k + "=" + v);
  pSpawn->asEnv.push_back(kStartedBy);
  return true;
}

pid_t VqxLaunchFork(const VqxLaunchSpawn& Spawn) {
  std::vector<char*> apArgv, apEnv;
  for (auto& s : Spawn.asArgv) apArgv.push_back(const_cast<char*>(s.c_str()));
  apArgv.push_back(nullptr);
  for (auto& s : Spawn.asEnv) apEnv.push_back(const_cast<char*>(s.c_str()));
  apEnv.push_back(nullptr);
  const char* pszDir = Spawn.sWorkDir.empty() ? nullptr : Spawn.sWorkDir.c_str();
  const char* pszPath = Spawn.sPath.c_str();
  pid_t Pid = ::fork();
  if (Pid == 0) {
    /* Child: async-signal-safe calls only (a lock held at fork stays held). */
    sigset_t Set;
    sigemptyset(&Set);
    sigprocmask(SIG_SETMASK, &Set, nullptr);
    if (pszDir != nullptr && ::chdir(pszDir) != 0) _exit(127);
    ::execve(pszPath, apArgv.data(), apEnv.data());
    _exit(127);
  }
  return Pid;
}

std::vector<VqxLaunchProc> VqxLaunchCollectTree(pid_t Root, bool fSingle, u64 un64RootStart) {
  std::vector<VqxLaunchProc> aTree;
  u32 un32Ppid = 0;
  u64 un64Start = 0;
  if (Root <= 0 || !VqxLaunchReadStat(Root, &un32Ppid, &un64Start)) return aTree;
  if (un64RootStart != 0 && un64Start != un64RootStart) return aTree;
  aTree.push_back({Root, un64Start});
  if (fSingle) return aTree;
  std::multimap<u32, VqxLaunchProc> Children;
  if (DIR* pDir = ::opendir("/proc")) {
    while (dirent* pEnt = ::readdir(pDir)) {
      u64 un64Pid = 0;
      const char* pName = pEnt->d_name;
      if (!ParseNumber(pName, pName + strlen(pName), &un64Pid) || un64Pid > 0x7FFFFFFF) continue;
      if (VqxLaunchReadStat(static_cast<pid_t>(un64Pid), &un32Ppid, &un64Start))
        Children.emplace(un32Ppid, VqxLaunchProc{static_cast<pid_t>(un64Pid), un64Start});
    }
    ::closedir(pDir);
  }
  /* Breadth first from the root: parents come before their children. */
  for (size_t i = 0; i < aTree.size() && aTree.size() < 65536; ++i) {
    auto Range = Children.equal_range(static_cast<u32>(aTree[i].Pid));
    for (auto It = Range.first; It != Range.second; ++It) aTree.push_back(It->second);
  }
  return aTree;
}

u32 VqxLaunchKillTree(pid_t Root, bool fSingle, u64 un64RootStart) {
  /* Stopped top-down so that no parent starts a new child meanwhile; the
   * tree is read again until a pass finds nobody new (a child being forked
   * during one pass shows up in the next). Each pid was read with its start
   * time in the same pass that signals it, so a reused pid is not taken. */
  std::vector<VqxLaunchProc> aStopped;
  for (int nPass = 0; nPass < 16; ++nPass) {
    bool fNew = false;
    for (auto& P : VqxLaunchCollectTree(Root, fSingle, un64RootStart)) {
      bool fKnown = false;
      for (auto& S : aStopped) fKnown = fKnown || (S.Pid == P.Pid && S.un64Start == P.un64Start);
      if (fKnown) continue;
      ::kill(P.Pid, SIGSTOP);
      aStopped.push_back(P);
      fNew = true;
    }
    if (!fNew) break;
  }
  /* A stopped process cannot exit by itself, so its pid is still its own. */
  u32 un32Killed = 0;
  for (auto& P : aStopped) {
    if (::kill(P.Pid, SIGKILL) == 0) ++un32Killed;
  }
  return un32Killed;
}

bool VqxLaunchIsLocalAddress(const char* pszAddr) {
  in_addr Addr{};
  if (pszAddr == nullptr || inet_pton(AF_INET, pszAddr, &Addr) != 1) return false;
  if ((ntohl(Addr.s_addr) >> 24) == 127) return true;
  ifaddrs* pList = nullptr;
  if (getifaddrs(&pList) != 0) return false;
  bool fLocal = false;
  for (ifaddrs* pIf = pList; pIf != nullptr && !fLocal; pIf = pIf->ifa_next) {
    if (pIf->ifa_addr == nullptr || pIf->ifa_addr->sa_family != AF_INET) continue;
    fLocal = reinterpret_cast<const sockaddr_in*>(pIf->ifa_addr)->sin_addr.s_addr == Addr.s_addr;
  }
  freeifaddrs(pList);
  return fLocal;
}

bool VqxLaunchParseTcpLine(const char* pszLine, VqxLaunchTcpEntry* pOut) {
  /* "sl: local rem st queues timer retransmits uid timeout inode ...", ends as ADDR:PORT in hex. */
  unsigned int un32Local = 0, un32LocalPort = 0, un32Remote = 0, un32RemotePort = 0;
  unsigned long long un64Inode = 0;
  int nSlot = 0;
  if (pszLine == nullptr ||
      sscanf(pszLine, " %d: %8X:%4X %8X:%4X %*x %*x:%*x %*x:%*x %*x %*u %*d %llu", &nSlot, &un32Local,
             &un32LocalPort, &un32Remote, &un32RemotePort, &un64Inode) != 6)
    return false;
  *pOut = {un32Local, un32Remote, static_cast<u16>(un32LocalPort), static_cast<u16>(un32RemotePort), un64Inode};
  return true;
}

bool VqxLaunchHoldsPeerEnd(pid_t Pid, const _VQX_PEER_LINK* paLinks, u32 un32Count) {
  if (Pid <= 0 || un32Count == 0) return false;
  /* The peer's socket of a link is the entry whose ends are the link's, swapped. */
  std::vector<u64> aInodes;
  if (FILE* pFile = fopen("/proc/net/tcp", "re")) {
    char szLine[512];
    VqxLaunchTcpEntry E{};
    while (fgets(szLine, sizeof(szLine), pFile) != nullptr) {
      if (!VqxLaunchParseTcpLine(szLine, &E) || E.un64Inode == 0) continue;
      for (u32 i = 0; i < un32Count; ++i) {
        const _VQX_PEER_LINK& L = paLinks[i];
        if (E.un32LocalAddr == L.un32RemoteAddr && E.un16LocalPort == L.un16RemotePort &&
            E.un32RemoteAddr == L.un32LocalAddr && E.un16RemotePort == L.un16LocalPort)
          aInodes.push_back(E.un64Inode);
      }
    }
    fclose(pFile);
  }
  if (aInodes.empty()) return false;
  char szDir[64];
  snprintf(szDir, sizeof(szDir), "/proc/%d/fd", static_cast<int>(Pid));
  DIR* pDir = ::opendir(szDir);
  if (pDir == nullptr) return false;
  bool fHolds = false;
  while (dirent* pEnt = ::readdir(pDir)) {
    if (pEnt->d_name[0] == '.') continue;
    char szPath[sizeof(szDir) + sizeof(pEnt->d_name)], szTarget[64];
    snprintf(szPath, sizeof(szPath), "%s/%s", szDir, pEnt->d_name);
    const ssize_t n = ::readlink(szPath, szTarget, sizeof(szTarget) - 1);
    unsigned long long un64Inode = 0;
    if (n <= 0) continue;
    szTarget[n] = '\0';
    if (sscanf(szTarget, "socket:[%llu]", &un64Inode) == 1 &&
        std::find(aInodes.begin(), aInodes.end(), un64Inode) != aInodes.end()) {
      fHolds = true;
      break;
    }
  }
  ::closedir(pDir);
  return fHolds;
}

bool VqxLaunchAttachable(pid_t Pid, u64* pun64Start, const char** ppszWhy) {
  u32 un32Ppid = 0;
  if (Pid <= 0 || !VqxLaunchReadStat(Pid, &un32Ppid, pun64Start)) {
    *ppszWhy = "no such process";
    return false;
  }
  if (Pid == 1) {
    *ppszWhy = "pid 1";
    return false;
  }
  /* /proc answers for thread ids too, and a signal to a thread reaches its whole process. */
  const pid_t Tgid = ReadTgid(Pid);
  if (Tgid != Pid) {
    *ppszWhy = Tgid == ::getpid() ? "a thread of this process" : "a thread, not a process";
    return false;
  }
  /* This process and the chain of its parents up to pid 1 (bounded: a
   * parent chain is short, and a loop cannot be followed for ever). */
  pid_t Cur = ::getpid();
  for (int nDepth = 0; Cur > 1 && nDepth < 4096; ++nDepth) {
    if (Cur == Pid) {
      *ppszWhy = nDepth == 0 ? "this process" : "an ancestor of this process";
      return false;
    }
    u64 un64Ignored = 0;
    if (!VqxLaunchReadStat(Cur, &un32Ppid, &un64Ignored)) break;
    Cur = static_cast<pid_t>(un32Ppid);
  }
  return true;
}
