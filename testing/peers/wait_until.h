/*
 * wait_until.h - the one bounded wait of the tests that talk to peers or
 * threads: a condition polled every few milliseconds until it holds or the
 * time is up, never a fixed sleep. Header only.
 */
#ifndef TESTING_PEERS_WAIT_UNTIL_H
#define TESTING_PEERS_WAIT_UNTIL_H

#include <chrono>
#include <functional>
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

}  // namespace peerwait

#endif
