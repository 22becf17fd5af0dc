// vqx_test_wait.h - bounded waits shared by the threaded utility-library tests (header only).
#ifndef VQX_TEST_WAIT_H
#define VQX_TEST_WAIT_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// Bound of every wait of the threaded tests; never reached when the code works.
constexpr std::chrono::seconds kVqxTestWait{10};

// Polls a condition every millisecond until it holds (true) or kVqxTestWait has passed (false).
template <class F>
bool VqxTestWaitUntil(F fCondition) {
  for (const auto until = std::chrono::steady_clock::now() + kVqxTestWait;;) {
    if (fCondition()) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// A count-down latch with bounded waits; with a count of 1, a gate that handlers block on until the test opens it.
class VqxTestLatch {
 public:
  explicit VqxTestLatch(int n = 1) : m_n(n) {}
  void CountDown() {
    std::lock_guard<std::mutex> g(m_mutex);
    if (--m_n <= 0) m_cv.notify_all();
  }
  bool Wait() {
    std::unique_lock<std::mutex> g(m_mutex);
    return m_cv.wait_for(g, kVqxTestWait, [&] { return m_n <= 0; });
  }
  bool ArriveAndWait() { return CountDown(), Wait(); }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  int m_n;
};

#endif
