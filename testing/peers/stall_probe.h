/*
 * stall_probe.h - what a loaded machine did to the threads of a test while it
 * ran, over the probe's life or a span of it: the longest a thread that
 * sleeps a millisecond at a time was held from running past that, or, when
 * longer, the time the machine's tasks spent stalled on memory or I/O (the
 * kernel's pressure record, /proc/pressure): such a stall holds a thread that
 * faults in evicted code or writes under throttling, which a sleeping probe
 * does not see. A test that times another thread or process widens its bound
 * by it, taken over the span that bound covers (the silence a keep-alive
 * closed on, say), as what the machine cannot promise; on a quiet machine it
 * is a few milliseconds, so the bound still catches a fault. A stand-in
 * process that keeps busy is not held but slowed by its share of the
 * processors, which a sleeping probe does not see either: for a process it
 * watches, the probe also samples the time its threads waited to run (the
 * kernel's schedstat), so that a live stand-in's close is judged with its own
 * wait. Header only.
 */
#ifndef TESTING_PEERS_STALL_PROBE_H
#define TESTING_PEERS_STALL_PROBE_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <dirent.h>
#include <sys/types.h>

namespace peerwait {

class StallProbe {
 public:
  using Clock = std::chrono::steady_clock;

  StallProbe() : m_tStart(Clock::now()) {
    m_Samples.push_back(Sample{m_tStart, 0, {StalledUs(0), StalledUs(1)}, {}});
    m_thread = std::thread([this] { Run(); });
  }
  /* Samples from now on the time the threads of process pid wait to run (WaitedMs); again for a pid already
   * watched: nothing. */
  void Watch(pid_t pid) {
    std::lock_guard<std::mutex> g(m_mutex);
    for (const Watched& w : m_Watched)
      if (w.pid == pid) return;
    m_Watched.push_back(Watched{pid, {}, 0});
    m_Samples.back().aWaitedNs.resize(m_Watched.size(), 0);
  }
  ~StallProbe() {
    m_fStop = true;
    m_thread.join();
  }
  StallProbe(const StallProbe&) = delete;
  StallProbe& operator=(const StallProbe&) = delete;

  /* The longest hold past a millisecond's sleep that overlapped [from, to], in ms. */
  long HeldMs(Clock::time_point from, Clock::time_point to) const {
    std::lock_guard<std::mutex> g(m_mutex);
    long ms = 0;
    for (const Sample& s : m_Samples)
      if (s.t >= from && s.t - std::chrono::milliseconds(s.heldMs) <= to) ms = std::max(ms, s.heldMs);
    return ms;
  }
  /* The time the machine's tasks were stalled on memory or on I/O (the larger) over [from, to], in ms, to the
   * sampling's 10 ms (0 where the kernel keeps no record). */
  long StalledMs(Clock::time_point from, Clock::time_point to) const {
    std::lock_guard<std::mutex> g(m_mutex);
    const Sample* pFrom = &m_Samples.front();
    const Sample* pTo = nullptr;
    for (const Sample& s : m_Samples) {
      if (s.t <= from) pFrom = &s;
      if (s.t >= to && pTo == nullptr) pTo = &s;
    }
    const Sample Now{to, 0, {StalledUs(0), StalledUs(1)}, {}};
    if (pTo == nullptr) pTo = &Now;
    unsigned long long un64Most = 0;
    for (int i = 0; i < 2; i++) un64Most = std::max(un64Most, pTo->aUs[i] - std::min(pTo->aUs[i], pFrom->aUs[i]));
    return long(un64Most / 1000);
  }
  /* The time the threads of a watched process spent waiting to run over [from, to], in ms (all its threads together:
   * a stand-in's one thread answers nothing meanwhile), to the sampling's 10 ms; 0 for a process not watched then. */
  long WaitedMs(pid_t pid, Clock::time_point from, Clock::time_point to) const {
    std::lock_guard<std::mutex> g(m_mutex);
    size_t i = 0;
    while (i < m_Watched.size() && m_Watched[i].pid != pid) i++;
    unsigned long long un64From = 0, un64To = 0;
    bool fFrom = false;
    for (const Sample& s : m_Samples) {
      if (i >= s.aWaitedNs.size()) continue;
      if (!fFrom || s.t <= from) un64From = s.aWaitedNs[i], fFrom = true;
      un64To = s.aWaitedNs[i];
      if (s.t >= to) break;
    }
    return long((un64To - std::min(un64To, un64From)) / 1000000);
  }
  /* What the machine may have held a thread back over [from, to], in ms: the larger of the two. */
  long WorstMs(Clock::time_point from, Clock::time_point to) const {
    return std::max(HeldMs(from, to), StalledMs(from, to));
  }
  /* The same over the probe's life, and over the spanMs before end (the silence a close came on). */
  long WorstMs() const { return WorstMs(m_tStart, Clock::now()); }
  long WorstMsBefore(Clock::time_point end, long spanMs) const {
    return WorstMs(end - std::chrono::milliseconds(spanMs), end);
  }
  /* Whether a hold that long can leave a live peer, heard from at least every nominalMs when let run, silent past
   * limitMs: a keep-alive's close of such a peer is the machine's doing only then. */
  static bool HeldPast(long holdMs, long limitMs, long nominalMs) { return nominalMs + holdMs > limitMs; }
  bool HeldPast(long limitMs, long nominalMs) const { return HeldPast(WorstMs(), limitMs, nominalMs); }
  /* What held a live stand-in of process pid (watched) over the spanMs before end: its own wait to run, and the
   * machine's holds and stalls on the way of the polls and the answers. */
  long PeerHeldMsBefore(pid_t pid, Clock::time_point end, long spanMs) const {
    return WorstMsBefore(end, spanMs) + WaitedMs(pid, end - std::chrono::milliseconds(spanMs), end);
  }
  /* The two over the probe's life, or the spanMs before end, for a failure's message. */
  std::string Seen() const { return Seen(m_tStart, Clock::now()); }
  std::string SeenBefore(Clock::time_point end, long spanMs) const {
    return Seen(end - std::chrono::milliseconds(spanMs), end);
  }
  std::string PeerSeenBefore(pid_t pid, Clock::time_point end, long spanMs) const {
    return SeenBefore(end, spanMs) + ", the stand-in waited to run " +
           std::to_string(WaitedMs(pid, end - std::chrono::milliseconds(spanMs), end)) + " ms";
  }

 private:
  struct Sample {
    Clock::time_point t;
    long heldMs;                /* the longest hold that ended since the sample before */
    unsigned long long aUs[2];  /* the kernel's stall totals then */
    std::vector<unsigned long long> aWaitedNs; /* each watched process's wait to run so far (m_Watched's order) */
  };
  /* A watched process: its threads' last wait totals, and the sum of what each added since it was watched (a thread
   * that ends takes nothing back). */
  struct Watched {
    pid_t pid;
    std::unordered_map<std::string, unsigned long long> Threads;
    unsigned long long un64WaitedNs;
  };
  static constexpr auto kSampleEvery = std::chrono::milliseconds(10);
  static constexpr size_t kKept = 30000; /* 5 minutes of samples */

  std::string Seen(Clock::time_point from, Clock::time_point to) const {
    return "the machine held a thread " + std::to_string(HeldMs(from, to)) + " ms, stalled on memory or I/O " +
           std::to_string(StalledMs(from, to)) + " ms";
  }
  void Run() {
    long heldMs = 0;
    for (auto t = Clock::now(), tSample = t; !m_fStop;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const auto now = Clock::now();
      heldMs = std::max(heldMs, long(std::chrono::duration_cast<std::chrono::milliseconds>(now - t).count()) - 1);
      t = now;
      if (now - tSample < kSampleEvery) continue;
      Sample s{now, heldMs, {StalledUs(0), StalledUs(1)}, {}};
      std::lock_guard<std::mutex> g(m_mutex);
      for (Watched& w : m_Watched) s.aWaitedNs.push_back(Waited(w));
      m_Samples.push_back(std::move(s));
      if (m_Samples.size() > kKept) m_Samples.pop_front();
      tSample = now;
      heldMs = 0;
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

  /* The watched process's wait to run so far: each of its threads' "run_ns wait_ns slices" of /proc/PID/task/TID/
   * schedstat, what each added since the last look summed (a process gone adds nothing). */
  static unsigned long long Waited(Watched& w) {
    const std::string strTasks = "/proc/" + std::to_string(w.pid) + "/task";
    DIR* pDir = opendir(strTasks.c_str());
    for (const dirent* e; pDir != nullptr && (e = readdir(pDir)) != nullptr;) {
      if (e->d_name[0] == '.') continue;
      unsigned long long un64Run = 0, un64Wait = 0;
      FILE* f = std::fopen((strTasks + "/" + e->d_name + "/schedstat").c_str(), "r");
      if (f == nullptr) continue;
      const bool fRead = std::fscanf(f, "%llu %llu", &un64Run, &un64Wait) == 2;
      std::fclose(f);
      if (!fRead) continue;
      unsigned long long& un64Last = w.Threads.try_emplace(e->d_name, un64Wait).first->second;
      w.un64WaitedNs += un64Wait - std::min(un64Wait, un64Last);
      un64Last = un64Wait;
    }
    if (pDir != nullptr) closedir(pDir);
    return w.un64WaitedNs;
  }

  const Clock::time_point m_tStart;
  mutable std::mutex m_mutex;
  std::vector<Watched> m_Watched;
  std::deque<Sample> m_Samples;
  std::atomic<bool> m_fStop{false};
  std::thread m_thread;
};

}  // namespace peerwait

#endif
