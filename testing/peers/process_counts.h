/*
 * process_counts.h - threads and open descriptors of this process, as the
 * tests of every library count them before and after a run to show that
 * nothing was left behind. Header only; Linux /proc.
 */
#ifndef TESTING_PEERS_PROCESS_COUNTS_H
#define TESTING_PEERS_PROCESS_COUNTS_H

#include <dirent.h>

#include <cstddef>

namespace proccount {

/* Entries of a directory, "." and ".." left out (0 when it cannot be read). */
inline size_t DirEntries(const char* path) {
  size_t n = 0;
  DIR* d = opendir(path);
  if (d == nullptr) return 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') n++;
  }
  closedir(d);
  return n;
}

/* Threads of this process (/proc/self/task). */
inline size_t ProcessThreadCount() { return DirEntries("/proc/self/task"); }

/* Open descriptors of this process (/proc/self/fd); the one the directory stream holds while read is left out. */
inline size_t ProcessFdCount() { return DirEntries("/proc/self/fd") - 1; }

}  // namespace proccount

#endif
