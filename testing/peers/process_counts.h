/*
 * process_counts.h - threads and open descriptors of this process, as the
 * tests of every library count them before and after a run to show that
 * nothing was left behind (and the threads' ids, to tell those started
 * since from those of earlier tests still ending). Header only; Linux /proc.
 */
#ifndef TESTING_PEERS_PROCESS_COUNTS_H
#define TESTING_PEERS_PROCESS_COUNTS_H

#include <dirent.h>

#include <cstddef>
#include <set>
#include <string>

namespace proccount {

/* Names in a directory, "." and ".." left out (none when it cannot be read). */
inline std::set<std::string> DirNames(const char* path) {
  std::set<std::string> names;
  DIR* d = opendir(path);
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') names.insert(e->d_name);
  }
  closedir(d);
  return names;
}

/* Entries of a directory, "." and ".." left out (0 when it cannot be read). */
inline size_t DirEntries(const char* path) { return DirNames(path).size(); }

/* Threads of this process (/proc/self/task). */
inline size_t ProcessThreadCount() { return DirEntries("/proc/self/task"); }

/* Ids of this process's threads (/proc/self/task). */
inline std::set<std::string> ProcessThreadIds() { return DirNames("/proc/self/task"); }

/* Open descriptors of this process (/proc/self/fd); the one the directory stream holds while read is left out. */
inline size_t ProcessFdCount() { return DirEntries("/proc/self/fd") - 1; }

}  // namespace proccount

#endif
