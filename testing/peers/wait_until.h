/*
 * wait_until.h - the one bounded wait of the tests that talk to peers or
 * threads: a condition polled every few milliseconds until it holds or the
 * time is up, never a fixed sleep; and a thread joined with a time limit.
 * Header only.
 */
#ifndef TESTING_PEERS_WAIT_UNTIL_H
#define TESTING_PEERS_WAIT_UNTIL_H

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace peerwait {

/* Polls cond every few milliseconds until it holds or ms milliseconds pass; its last value. */
inline bool WaitUntil(const std::function<bool()>& cond, unsigned ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return cond();
}

/*
 * Polls count until it reaches target, for as long as it keeps changing: fails once it stood still for stallMs, or
 * after capMs in all. A long run (100,000 answers, say) is judged by whether it goes on, not by how fast a loaded
 * machine lets it go; a stop still fails within stallMs. Whether the target was reached.
 */
inline bool WaitWhileProgress(const std::function<long long()>& count, long long target, unsigned stallMs,
                              unsigned capMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(capMs);
  long long last = count();
  auto lastChange = Clock::now();
  while (last != target && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const long long now = count();
    if (now != last) {
      last = now;
      lastChange = Clock::now();
    } else if (Clock::now() - lastChange > std::chrono::milliseconds(stallMs)) {
      break;
    }
  }
  return last == target;
}

/*
 * A thread that a test waits for with a time limit (JoinWithin), so that a call that never returns fails the test by
 * assertion instead of hanging it. One still running when the object goes is detached: the test has failed by then,
 * and what the thread holds is the hung call's.
 */
class BoundedThread {
 public:
  explicit BoundedThread(std::function<void()> fn)
      : mpDone(std::make_shared<std::atomic<bool>>(false)), mThread([fn = std::move(fn), pDone = mpDone] {
          fn();
          pDone->store(true);
        }) {}
  ~BoundedThread() {
    if (!mThread.joinable()) return;
    if (mpDone->load()) {
      mThread.join();
    } else {
      mThread.detach();
    }
  }
  BoundedThread(const BoundedThread&) = delete;
  BoundedThread& operator=(const BoundedThread&) = delete;
  /* True once the thread has ended, within ms milliseconds, and is joined. */
  bool JoinWithin(unsigned ms) {
    if (!mThread.joinable()) return true;
    if (!WaitUntil([this] { return mpDone->load(); }, ms)) return false;
    mThread.join();
    return true;
  }

 private:
  std::shared_ptr<std::atomic<bool>> mpDone;
  std::thread mThread;
};

}  // namespace peerwait

#endif
