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
 * start time. Only the root when fSingle. */
struct VqxLaunchProc {
  pid_t Pid;
  u64 un64Start;
};
std::vector<VqxLaunchProc> VqxLaunchCollectTree(pid_t Root, bool fSingle);

/* SIGSTOP top-down, then SIGKILL, each pid checked against its start time
 * first. Returns the number of processes sent SIGKILL. */
u32 VqxLaunchKillTree(pid_t Root, bool fSingle);

#endif
