/*
 * test_log_mt.cpp - the log file writer and the listeners under several
 * logging threads: segment names, rotation while threads log with nothing
 * lost or doubled in the file or at a listener, the drain at close, counted
 * drops (full queue, failed write), the periodic flush, the refusals before
 * InitLog, and listeners that lock or block.
 */
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/vqcaf_test_support.h"
#include "vqcaflog.h"
#include "vqcaflogdao.h"

using namespace VQCAF;
using vqtest::kBound;

namespace {

std::string SegmentName(const std::string& strBase, u32 un32Segment) {
  return CVQCAFLogDao::MakeSegmentName(strBase, vqtest::Today(), un32Segment, "log");
}

TEST(LogFile, SegmentNames) {
  const struct {
    const char* pszBase;
    const char* pszDate;
    u32 un32Segment;
    const char* pszExtension;
    const char* pszName;
  } aRows[] = {
      {"quellan", "2026-12-06", 0, "log", "quellan_2026-12-06_seg000.log"},
      {"/var/log/app", "2027-01-31", 7, "log", "/var/log/app_2027-01-31_seg007.log"},
      {"a", "2026-12-06", 999, "txt", "a_2026-12-06_seg999.txt"},
      {"a", "2026-12-06", 1000, "log", "a_2026-12-06_seg1000.log"},
  };
  for (const auto& R : aRows) {
    EXPECT_EQ(CVQCAFLogDao::MakeSegmentName(R.pszBase, R.pszDate, R.un32Segment, R.pszExtension), R.pszName);
  }
}

TEST(LogFile, RefusalsBeforeInitAndBadParameters) {
  UninitLog();
  vqtest::CCaptureListener Listener;
  ASSERT_EQ(AddLogTraceListener(&Listener), VQX_RESULT_OK);
  EXPECT_STREQ(GetCurrentLogFile(), "NOT_AVAILABLE");
  CVQCAFString strOld("untouched"), strNew("untouched");
  EXPECT_EQ(ForceLogRotate(&strOld, &strNew), 0x82000001u);
  EXPECT_EQ(ForceLogRotate(nullptr, nullptr), 0x82000001u);
  EXPECT_STREQ(strOld.c_str(), "untouched");
  EXPECT_STREQ(strNew.c_str(), "untouched");
  EXPECT_EQ(FlushLog(100), VQX_RESULT_NOT_INITIALIZED);
  EXPECT_EQ(IsLogInitialized(), 0u);
  const auto aLines = Listener.Take();
  ASSERT_EQ(aLines.size(), 2u);
  for (const auto& L : aLines) {
    EXPECT_EQ(L.strText, "ForceLogRotate failed, logdao not initialized yet (please call InitLog)\n");
    EXPECT_EQ(L.un32Level, static_cast<u32>(VQERR));
    EXPECT_EQ(L.un32SubMod, static_cast<u32>(VQCAF_SUBMODULE_BASE));
  }
  vqtest::CTempDir Dir;
  CVQCAFLogParams Params;
  Params.mstrBaseName = "";
  EXPECT_EQ(InitLog(Params), VQX_RESULT_INVALID_PARAM);
  Params.mstrBaseName = Dir.Path("no/such/dir/log").c_str();
  EXPECT_EQ(InitLog(Params), VQX_RESULT_FAIL);
  EXPECT_STREQ(GetCurrentLogFile(), "NOT_AVAILABLE");
  Params.mstrBaseName = Dir.Path("ok").c_str();
  ASSERT_EQ(InitLog(Params), VQX_RESULT_OK);
  EXPECT_EQ(InitLog(Params), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(UninitLog(), VQX_RESULT_OK);
  EXPECT_EQ(UninitLog(), VQX_RESULT_OK);
  EXPECT_STREQ(GetCurrentLogFile(), "NOT_AVAILABLE");
  RemoveLogTraceListener(&Listener);
}

TEST(LogFile, FirstSegmentSkipsNamesOfEarlierRuns) {
  vqtest::CTempDir Dir;
  const std::string strBase = Dir.Path("run");
  FILE* pFile = fopen(SegmentName(strBase, 0).c_str(), "w");
  ASSERT_NE(pFile, nullptr);
  fputs("earlier run\n", pFile);
  fclose(pFile);
  CVQCAFLogParams Params;
  Params.mstrBaseName = strBase.c_str();
  ASSERT_EQ(InitLog(Params), VQX_RESULT_OK);
  EXPECT_EQ(GetCurrentLogFile(), SegmentName(strBase, 1));
  LogTrace(VQERR, "this run");
  ASSERT_EQ(UninitLog(), VQX_RESULT_OK);
  EXPECT_EQ(vqtest::ReadFile(SegmentName(strBase, 0)), "earlier run\n");
  EXPECT_EQ(vqtest::LogLines(SegmentName(strBase, 1)), std::vector<std::string>({"VQERR BASE this run"}));
}

TEST(LogFile, RotationWhileThreadsLogLosesNothingAndNamesTheSegments) {
  constexpr u32 kThreads = 4, kLinesEach = 20000, kRotations = 3;
  vqtest::CTempDir Dir;
  const std::string strBase = Dir.Path("rot");
  CVQCAFLogParams Params;
  Params.mstrBaseName = strBase.c_str();
  Params.maun32SubModTraceLevel[VQCAF_SUBMODULE_APP01] = VQLV2;
  ASSERT_EQ(InitLog(Params), VQX_RESULT_OK);
  vqtest::CCaptureListener Listener;
  ASSERT_EQ(AddLogTraceListener(&Listener), VQX_RESULT_OK);
  const char* pszFirst = GetCurrentLogFile();
  EXPECT_EQ(std::string(pszFirst), SegmentName(strBase, 0));

  std::atomic<u32> un32Logged{0};
  std::vector<std::thread> aLoggers;
  for (u32 t = 0; t < kThreads; t++) {
    aLoggers.emplace_back([t, &un32Logged] {
      for (u32 i = 0; i < kLinesEach; i++, un32Logged++) {
        // Alternately hidden (level 1) and shown (level 2).
        SubModLogTrace(VQCAF_SUBMODULE_APP01, (i & 1) ? VQLV2 : VQLV1, "T%u L%u", t, i);
      }
    });
  }
  // Rotations spread over the logging; the last one asks for no names.
  std::vector<std::pair<std::string, std::string>> aNames;
  for (u32 r = 0; r < kRotations; r++) {
    EXPECT_TRUE(vqtest::WaitFor([&] { return un32Logged.load() >= (r + 1) * kThreads * kLinesEach / (kRotations + 1); }));
    CVQCAFString strOld, strNew;
    ASSERT_EQ(r + 1 < kRotations ? ForceLogRotate(&strOld, &strNew) : ForceLogRotate(nullptr, nullptr), VQX_RESULT_OK);
    aNames.emplace_back(strOld.c_str(), strNew.c_str());
  }
  for (auto& T : aLoggers) T.join();
  const std::string strLast = GetCurrentLogFile();
  EXPECT_EQ(RemoveLogTraceListener(&Listener), VQX_RESULT_OK);
  ASSERT_EQ(UninitLog(), VQX_RESULT_OK);  // no flush before: the close must write what is still queued
  EXPECT_EQ(GetLogDroppedCount(), 0u);
  EXPECT_EQ(std::string(pszFirst), SegmentName(strBase, 0));  // a text handed out earlier stays valid
  for (u32 r = 0; r + 1 < kRotations; r++) {  // each rotation closes segment r and opens r + 1
    EXPECT_EQ(aNames[r].first, SegmentName(strBase, r));
    EXPECT_EQ(aNames[r].second, SegmentName(strBase, r + 1));
  }
  EXPECT_EQ(strLast, SegmentName(strBase, kRotations));
  EXPECT_FALSE(std::filesystem::exists(SegmentName(strBase, kRotations + 1)));

  // Every shown line exactly once, each thread's lines in order: across the segments ...
  std::vector<u32> aNext(kThreads, 1);
  u32 un32Lines = 0;
  for (u32 s = 0; s <= kRotations; s++) {
    bool fClosingSeen = false, fNewSeen = false;
    for (const std::string& strText : vqtest::LogLines(SegmentName(strBase, s))) {
      u32 t = 0, i = 0;
      if (sscanf(strText.c_str(), "VQLV2 APP01 T%u L%u", &t, &i) == 2 && t < kThreads) {
        ASSERT_EQ(i, aNext[t]) << "segment " << s << ": " << strText;
        aNext[t] += 2;
        un32Lines++;
      } else if (s < kRotations && strText == "VQMSG BASE Closing log file " + SegmentName(strBase, s) +
                                                   " (rotating to new segment).") {
        fClosingSeen = true;
      } else if (s > 0 && strText == "VQMSG BASE New log segment after split is " + SegmentName(strBase, s)) {
        fNewSeen = true;
      } else {
        ADD_FAILURE() << "unexpected line in segment " << s << ": " << strText;
      }
    }
    EXPECT_EQ(fClosingSeen, s < kRotations) << s;
    EXPECT_EQ(fNewSeen, s > 0) << s;
  }
  EXPECT_EQ(un32Lines, kThreads * kLinesEach / 2);
  // ... and at the listener.
  aNext.assign(kThreads, 1);
  u32 un32Heard = 0;
  for (const auto& L : Listener.Take()) {
    u32 t = 0, i = 0;
    if (L.un32SubMod != VQCAF_SUBMODULE_APP01) continue;  // the rotation messages
    ASSERT_EQ(sscanf(L.strText.c_str(), "T%u L%u", &t, &i), 2) << L.strText;
    ASSERT_LT(t, kThreads);
    ASSERT_EQ(i, aNext[t]) << L.strText;
    EXPECT_EQ(L.un32Level, static_cast<u32>(VQLV2));
    aNext[t] += 2;
    un32Heard++;
  }
  EXPECT_EQ(un32Heard, kThreads * kLinesEach / 2);
}

TEST(LogFile, PartlyFilledBlockIsWrittenByThePeriodicFlush) {
  vqtest::CTempDir Dir;
  CVQCAFLogParams Params;
  Params.mstrBaseName = Dir.Path("flush").c_str();
  ASSERT_EQ(InitLog(Params), VQX_RESULT_OK);
  LogTrace(VQERR, "one line");
  // The line reaches the file with no flush asked (within the bound: a few flush periods).
  EXPECT_TRUE(vqtest::WaitFor([&] { return !vqtest::ReadFile(GetCurrentLogFile()).empty(); }));
  EXPECT_EQ(vqtest::LogLines(GetCurrentLogFile()), std::vector<std::string>({"VQERR BASE one line"}));
  ASSERT_EQ(UninitLog(), VQX_RESULT_OK);
}

/* A writer whose thread waits at a gate before it starts writing. */
class CGatedDao : public CVQCAFLogDao {
 public:
  ~CGatedDao() override {
    OpenGate();
    Close();
  }
  void OpenGate() {
    std::lock_guard<std::mutex> Lock(mMutex);
    mfOpen = true;
    mCond.notify_all();
  }

 protected:
  void Run() override {
    {
      std::unique_lock<std::mutex> Lock(mMutex);
      mCond.wait_for(Lock, kBound, [this] { return mfOpen; });
    }
    CVQCAFLogDao::Run();
  }

 private:
  std::mutex mMutex;
  std::condition_variable mCond;
  bool mfOpen = false;
};

TEST(LogFile, FullQueueDropsAreCountedAndReported) {
  vqtest::CTempDir Dir;
  const std::string strBase = Dir.Path("drop");
  CGatedDao Dao;
  ASSERT_EQ(Dao.Open(strBase.c_str(), "log", 1), VQX_RESULT_OK);  // rounded up to two blocks
  const std::string strLine = std::string(999, 'z') + "\n";
  constexpr u32 kAccepted = 2 * (VQCAF_LOG_BLOCK_SIZE / 1000);
  for (u32 i = 0; i < kAccepted + 76; i++) ASSERT_TRUE(Dao.Append(strLine.data(), 1000));
  EXPECT_EQ(Dao.GetDroppedCount(), 76u);
  Dao.OpenGate();
  ASSERT_EQ(Dao.Flush(10000), VQX_RESULT_OK);
  ASSERT_EQ(Dao.Close(), VQX_RESULT_OK);
  EXPECT_FALSE(Dao.Append(strLine.data(), 1000));  // closed: refused, not counted
  EXPECT_EQ(Dao.GetDroppedCount(), 76u);
  const auto aLines = vqtest::SplitLines(vqtest::ReadFile(SegmentName(strBase, 0)));
  ASSERT_EQ(aLines.size(), kAccepted + 1);
  for (u32 i = 0; i < kAccepted; i++) ASSERT_EQ(aLines[i] + "\n", strLine) << i;
  EXPECT_EQ(aLines.back(), std::string("76 ") + VQCAF_LOG_DROP_TEXT);
}

TEST(LogFile, LinesCutByAFailedWriteAreCountedAndReported) {
  vqtest::CTempDir Dir;
  const std::string strBase = Dir.Path("full");
  // A file size limit stands in for a full disk: writes past it fail (EFBIG).
  struct rlimit Old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &Old), 0);
  ASSERT_NE(signal(SIGXFSZ, SIG_IGN), SIG_ERR);
  CVQCAFLogDao Dao;
  ASSERT_EQ(Dao.Open(strBase.c_str(), "log", 1), VQX_RESULT_OK);
  std::vector<std::string> aLines;
  for (u32 i = 0; i < 10; i++) {
    char acNumber[8];
    snprintf(acNumber, sizeof(acNumber), "%03u", i);
    aLines.push_back(acNumber + std::string(196, 'a') + "\n");  // 200 bytes each
  }
  struct rlimit Limited = Old;
  Limited.rlim_cur = 1500;  // 7 whole lines and half of the 8th
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &Limited), 0);
  for (const std::string& strLine : aLines) ASSERT_TRUE(Dao.Append(strLine.data(), 200));
  const u32 un32Flush = Dao.Flush(10000);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &Old), 0);
  signal(SIGXFSZ, SIG_DFL);
  ASSERT_EQ(un32Flush, VQX_RESULT_OK);
  EXPECT_EQ(Dao.GetDroppedCount(), 3u);  // the cut line and the two after it
  ASSERT_TRUE(Dao.Append("after\n", 6));
  ASSERT_EQ(Dao.Close(), VQX_RESULT_OK);
  const auto aFile = vqtest::SplitLines(vqtest::ReadFile(SegmentName(strBase, 0)));
  ASSERT_EQ(aFile.size(), 10u);
  for (u32 i = 0; i < 7; i++) EXPECT_EQ(aFile[i] + "\n", aLines[i]) << i;
  EXPECT_EQ(aFile[7], aLines[7].substr(0, 100));
  EXPECT_EQ(aFile[8], "after");
  EXPECT_EQ(aFile[9], std::string("3 ") + VQCAF_LOG_DROP_TEXT);
}

/* Takes its own (recursive) lock in every call, as a console log would. */
class CLockingListener : public IVQCAFLogTraceListener {
 public:
  void OnLogTrace(_VQX_TRACE_LEVEL, _VQCAF_SUBMODULE_TYPE, const char*, u32) override {
    mun32Waiting++;
    std::lock_guard<std::recursive_mutex> Lock(mMutex);
    mun32Waiting--;
    mun32Calls++;
  }
  std::recursive_mutex mMutex;
  std::atomic<u32> mun32Waiting{0}, mun32Calls{0};
};

TEST(LogListener, ListenerLockDoesNotDeadLockLoggingThreads) {
  CLockingListener Listener;
  ASSERT_EQ(AddLogTraceListener(&Listener), VQX_RESULT_OK);
  std::atomic<bool> fHeld{false};
  // Holder: takes the listener's lock, waits until another thread is blocked
  // on it inside the listener, then logs itself while still holding it.
  auto Holder = std::async(std::launch::async, [&] {
    std::lock_guard<std::recursive_mutex> Held(Listener.mMutex);
    fHeld = true;
    vqtest::WaitFor([&] { return Listener.mun32Waiting.load() != 0; });
    LogTrace(VQERR, "while holding the listener's lock");
  });
  ASSERT_TRUE(vqtest::WaitFor([&] { return fHeld.load(); }));
  auto Other = std::async(std::launch::async, [] { LogTrace(VQERR, "from the other thread"); });
  if (Holder.wait_for(kBound) != std::future_status::ready) {
    ADD_FAILURE() << "logging threads dead-locked on the listener registry";
    std::_Exit(1);  // the blocked threads cannot be ended otherwise
  }
  ASSERT_EQ(Other.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(Listener.mun32Calls.load(), 2u);
  EXPECT_EQ(RemoveLogTraceListener(&Listener), VQX_RESULT_OK);
}

/* Blocks in its call until released, to show that removal waits for it. */
class CSlowListener : public IVQCAFLogTraceListener {
 public:
  void OnLogTrace(_VQX_TRACE_LEVEL, _VQCAF_SUBMODULE_TYPE, const char*, u32) override {
    mfInCall = true;
    vqtest::WaitFor([this] { return mfRelease.load(); });
    mfDone = true;
  }
  std::atomic<bool> mfInCall{false}, mfRelease{false}, mfDone{false};
};

TEST(LogListener, RemovalWaitsForTheCallInProgress) {
  CSlowListener Listener;
  ASSERT_EQ(AddLogTraceListener(&Listener), VQX_RESULT_OK);
  auto Logger = std::async(std::launch::async, [] { LogTrace(VQERR, "slow"); });
  ASSERT_TRUE(vqtest::WaitFor([&] { return Listener.mfInCall.load(); }));
  std::atomic<pid_t> nTid{0};
  std::atomic<bool> fReturned{false}, fDoneAtReturn{false};
  std::thread Remover([&] {
    nTid = gettid();
    EXPECT_EQ(RemoveLogTraceListener(&Listener), VQX_RESULT_OK);
    fDoneAtReturn = Listener.mfDone.load();  // the call must have ended by now
    fReturned = true;
  });
  // Release the listener once the remover sleeps in Remove (or, wrongly, has returned).
  EXPECT_TRUE(vqtest::WaitFor([&] { return fReturned.load() || (nTid.load() != 0 && vqtest::IsBlocked(nTid.load())); }));
  EXPECT_FALSE(fReturned.load());
  Listener.mfRelease = true;
  Remover.join();
  EXPECT_TRUE(fDoneAtReturn.load());
  ASSERT_EQ(Logger.wait_for(kBound), std::future_status::ready);
}

}  // namespace
