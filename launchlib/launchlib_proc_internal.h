/*
 * launchlib_proc_internal.h - inside the launch library only: what it does
 * with processes through the system (command lines, environment, fork and
 * exec, the /proc tree walk and the tree kill). No lock, no callback.
 */
#ifndef LAUNCHLIB_PROC_INTERNAL_H
#define LAUNCHLIB_PROC_INTERNAL_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "vqx_launch.h"

/* Reads the parent pid and start time (clock ticks) from a /proc/<pid>/stat
 * text: fields after the last ')' (the name may hold blanks and ')').
 * False when the text is cut short or a field is not a number. */
bool VqxLaunchParseStat(const char* pszText, size_t un32Len, u32* pun32Ppid, u64* pun64Start);
bool VqxLaunchReadStat(pid_t Pid, u32* pun32Ppid, u64* pun64Start);

/* Splits at blanks; double quotes group (and are dropped). */
std::vector<std::string> VqxLaunchSplitCmdLine(const char* pszParams);

/* Everything the child needs, built before fork so that the child only
 * calls chdir, execve and _exit. */
struct VqxLaunchSpawn {
  std::string sPath;
  std::string sWorkDir;
  std::vector<std::string> asArgv;
  std::vector<std::string> asEnv;
};

/* Fills the spawn record; false with *psError set ("File not found %s"). */
bool VqxLaunchPrepare(const _VQX_LAUNCH_LIB_CREATE_PROCESS& Create, VqxLaunchSpawn* pSpawn, std::string* psError);

/* Forks and execs; the child's pid or -1. */
pid_t VqxLaunchFork(const VqxLaunchSpawn& Spawn);

/* The process and its descendants, parents before children, each with its
 * start time. Only the root when fSingle; nobody when un64RootStart is not 0
 * and the root's start time differs. */
struct VqxLaunchProc {
  pid_t Pid;
  u64 un64Start;
};

std::vector<VqxLaunchProc> VqxLaunchCollectTree(pid_t Root, bool fSingle, u64 un64RootStart = 0);

/* SIGSTOP top-down, then SIGKILL, each pid checked against its start time
 * first. With un64RootStart not 0, nothing is done unless the root still
 * has that start time (the pid may have been reused since it was recorded).
 * Returns the number of processes sent SIGKILL. */
u32 VqxLaunchKillTree(pid_t Root, bool fSingle, u64 un64RootStart = 0);

/* True when the dotted IPv4 text is a loopback address or an address of one
 * of this machine's interfaces. */
bool VqxLaunchIsLocalAddress(const char* pszAddr);

/* One line of /proc/net/tcp: the local and remote ends (each address the
 * network-order word as the kernel prints it, ports in host order) and the
 * socket's inode. False for the heading or a line cut short. */
struct VqxLaunchTcpEntry {
  u32 un32LocalAddr, un32RemoteAddr;
  u16 un16LocalPort, un16RemotePort;
  u64 un64Inode;
};
bool VqxLaunchParseTcpLine(const char* pszLine, VqxLaunchTcpEntry* pOut);

/* Whether Pid holds, among its descriptors, the socket at the other end of
 * one of our links (found in /proc/net/tcp by its two ends, then as
 * "socket:[inode]" in /proc/<pid>/fd). False when it cannot be read. */
bool VqxLaunchHoldsPeerEnd(pid_t Pid, const _VQX_PEER_LINK* paLinks, u32 un32Count);

/* Whether a process the library did not start may be attached (watched and
 * later killed with its tree): it must be alive, a process (not a thread of
 * one) and be neither pid 1, this process nor one of its ancestors. True with its start time; false with
 * *ppszWhy set to the reason, for a log line. */
bool VqxLaunchAttachable(pid_t Pid, u64* pun64Start, const char** ppszWhy);

#endif
