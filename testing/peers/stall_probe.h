/*
 * stall_probe.h - what a loaded machine did to the threads of a test while it
 * ran: a thread that sleeps a millisecond at a time and keeps the longest it
 * was held from running past that. A test that times another thread adds it
 * to its bound, as what the machine cannot promise; on a quiet machine it is a
 * few milliseconds, so the bound still catches a fault. Header only.
 */
#ifndef TESTING_PEERS_STALL_PROBE_H
#define TESTING_PEERS_STALL_PROBE_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace peerwait {

class StallProbe {
 public:
  StallProbe() : m_thread([this] { Run(); }) {}
  ~StallProbe() {
    m_fStop = true;
    m_thread.join();
  }
  StallProbe(const StallProbe&) = delete;
  StallProbe& operator=(const StallProbe&) = delete;
  /* The longest hold past a millisecond's sleep so far, in ms. */
  long WorstMs() const { return m_worstMs.load(); }

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
  std::atomic<bool> m_fStop{false};
  std::atomic<long> m_worstMs{0};
  std::thread m_thread;
};

}  // namespace peerwait

#endif
