/*
 * stall_probe.h - what a loaded machine did to the threads of a test while it
 * ran, from the probe's start: the longest a thread that sleeps a millisecond
 * at a time was held from running past that, or, when longer, the time the
 * machine's tasks spent stalled on memory or I/O meanwhile (the kernel's
 * pressure record, /proc/pressure): such a stall holds a thread that faults
 * in evicted code or writes under throttling, which a sleeping probe does not
 * see. A test that times another thread or process widens its bound by it,
 * as what the machine cannot promise; on a quiet machine it is a few
 * milliseconds, so the bound still catches a fault. Header only.
 */
#ifndef TESTING_PEERS_STALL_PROBE_H
#define TESTING_PEERS_STALL_PROBE_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace peerwait {

class StallProbe {
 public:
  StallProbe() : m_aStallStartUs{StalledUs(0), StalledUs(1)}, m_thread([this] { Run(); }) {}
  ~StallProbe() {
    m_fStop = true;
    m_thread.join();
  }
  StallProbe(const StallProbe&) = delete;
  StallProbe& operator=(const StallProbe&) = delete;
  /* The longest hold past a millisecond's sleep so far, in ms. */
  long HeldMs() const { return m_worstMs.load(); }
  /* The time the machine's tasks were stalled on memory or I/O since the start, in ms (0 where the kernel keeps no
   * record). */
  long StalledMs() const {
    unsigned long long un64Most = 0;
    for (int i = 0; i < 2; i++) {
      const unsigned long long un64Now = StalledUs(i);
      un64Most = std::max(un64Most, un64Now - std::min(un64Now, m_aStallStartUs[i]));
    }
    return long(un64Most / 1000);
  }
  /* What the machine may have held a thread back so far, in ms: the larger of the two. */
  long WorstMs() const { return std::max(HeldMs(), StalledMs()); }
  /* Whether that hold can leave a live peer, heard from at least every nominalMs when let run, silent past limitMs:
   * a keep-alive's close of such a peer is the machine's doing only then. */
  bool HeldPast(long limitMs, long nominalMs) const { return nominalMs + WorstMs() > limitMs; }
  /* The two, for a failure's message. */
  std::string Seen() const {
    return "the machine held a thread " + std::to_string(HeldMs()) + " ms, stalled on memory or I/O " +
           std::to_string(StalledMs()) + " ms";
  }

 private:
  void Run() {
    for (auto t = std::chrono::steady_clock::now(); !m_fStop;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const auto now = std::chrono::steady_clock::now();
      const long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(now - t).count()) - 1;
      m_worstMs = std::max(m_worstMs.load(), ms);
      t = now;
    }
  }
  /* The kernel's total of wall time some task was stalled on memory (0) or I/O (1), however many waited ("some ...
   * total=", in microseconds); 0 without the record. */
  static unsigned long long StalledUs(int i) {
    unsigned long long un64Total = 0;
    if (FILE* f = std::fopen(i == 0 ? "/proc/pressure/memory" : "/proc/pressure/io", "r")) {
      if (std::fscanf(f, "some avg10=%*f avg60=%*f avg300=%*f total=%llu", &un64Total) != 1) un64Total = 0;
      std::fclose(f);
    }
    return un64Total;
  }
  const unsigned long long m_aStallStartUs[2];
  std::atomic<bool> m_fStop{false};
  std::atomic<long> m_worstMs{0};
  std::thread m_thread;
};

}  // namespace peerwait

#endif
