/*
 * bench_scratch.h - the scratch directory of the trace group benchmarks:
 * a fresh directory under /tmp that the benchmark works in and that is
 * removed with its files afterwards, and the removal of the segments a
 * long run has closed (between timed batches), so that a run keeps a few
 * tens of MiB on the shared disk, not gigabytes.
 */
#ifndef SIGTRACE_BENCH_SCRATCH_H
#define SIGTRACE_BENCH_SCRATCH_H

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>

class CSigTraceBenchScratch {
 public:
  CSigTraceBenchScratch() {
    char ac[] = "/tmp/sigtrace_bench_XXXXXX";
    if (mkdtemp(ac) == nullptr) abort();
    mstr = ac;
    char acOld[4096];
    if (getcwd(acOld, sizeof(acOld)) == nullptr) abort();
    mstrOld = acOld;
    if (chdir(mstr.c_str()) != 0) abort();
  }
  ~CSigTraceBenchScratch() {
    if (chdir(mstrOld.c_str()) != 0) return;
    std::error_code ec;
    std::filesystem::remove_all(mstr, ec);
  }
  CSigTraceBenchScratch(const CSigTraceBenchScratch&) = delete;
  CSigTraceBenchScratch& operator=(const CSigTraceBenchScratch&) = delete;

  /* Removes every file of the directory but the ones named (the open segments). */
  static void RemoveAllBut(std::initializer_list<std::string_view> keep) {
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
      const std::string strName = entry.path().filename().string();
      bool fKeep = false;
      for (const std::string_view name : keep) fKeep = fKeep || strName == name;
      if (!fKeep) std::filesystem::remove(entry.path());
    }
  }

 private:
  std::string mstr, mstrOld;
};

#endif
