/*
 * test_log_mt.cpp - the log file writer and the listeners under several
 * logging threads: segment names, rotation while threads log with nothing
 * lost or doubled in the file or at a listener, the drain at close, counted
 * drops (full queue, failed write), the periodic flush, the refusals before
 * InitLog, a listener removed while it is called and one that takes its
 * own lock.
 */
#include "support/vqcaf_test_support.h"

namespace {

class LogFile : public LogTest {
 protected:
  std::string Segment(u32 n) { return CVQCAFLogDao::MakeSegmentName(mDir.Path("log"), Today(), n, "log"); }
};

TEST(LogFileNames, SegmentNames) {
  ExpectRows("log_segment_names.txt", 5, [](std::vector<std::string>& a) {
    a[4] = CVQCAFLogDao::MakeSegmentName(a[0], a[1], static_cast<u32>(std::stoul(a[2])), a[3].c_str());
  });
}

TEST_F(LogFile, RefusalsBeforeInitAndBadParameters) {
  UninitLog();
  ASSERT_EQ(AddLogTraceListener(&mListener), VQX_RESULT_OK);
  EXPECT_EQ(ForceLogRotate(nullptr, nullptr), 0x82000001u);
  EXPECT_EQ(FlushLog(100), VQX_RESULT_NOT_INITIALIZED);
  EXPECT_STREQ(GetCurrentLogFile(), "NOT_AVAILABLE");
  EXPECT_EQ(mListener.Texts(),
            std::vector<std::string>({"ForceLogRotate failed, logdao not initialized yet (please call InitLog)\n"}));
  mParams.mstrBaseName = "";
  EXPECT_EQ(InitLog(mParams), VQX_RESULT_INVALID_PARAM);
  mParams.mstrBaseName = mDir.Path("no/such/dir/log").c_str();
  EXPECT_EQ(InitLog(mParams), VQX_RESULT_FAIL);
  mParams.mstrBaseName = mDir.Path("ok").c_str();
  EXPECT_EQ(InitLog(mParams), VQX_RESULT_OK);
  EXPECT_EQ(InitLog(mParams), VQX_RESULT_INVALID_STATE);
}

TEST_F(LogFile, FirstSegmentSkipsNamesOfEarlierRunsAndThePeriodicFlushWritesAPartBlock) {
  std::ofstream(Segment(0)) << "earlier run\n";
  OpenLog();
  EXPECT_EQ(GetCurrentLogFile(), Segment(1));
  LogTrace(VQERR, "this run");
  // The line reaches the file with no flush asked (within the bound: a few flush periods).
  EXPECT_TRUE(WaitFor([&] { return !ReadFile(Segment(1)).empty(); }));
  EXPECT_EQ(LogLines(Segment(1)), std::vector<std::string>({"VQERR BASE this run"}));
  EXPECT_EQ(ReadFile(Segment(0)), "earlier run\n");
}

TEST_F(LogFile, RotationWhileThreadsLogLosesNothingAndNamesTheSegments) {
  constexpr u32 kThreads = 4, kLinesEach = 20000, kRotations = 3;
  mParams.maun32SubModTraceLevel[VQCAF_SUBMODULE_APP01] = VQLV2;
  OpenLog();
  const char* pszFirst = GetCurrentLogFile();
  std::atomic<u32> un32Logged{0};
  std::vector<std::thread> aLoggers;
  for (u32 t = 0; t < kThreads; t++) {
    aLoggers.emplace_back([t, &un32Logged] {  // alternately hidden (level 1) and shown (level 2)
      for (u32 i = 0; i < kLinesEach; i++, un32Logged++) {
        SubModLogTrace(VQCAF_SUBMODULE_APP01, (i & 1) ? VQLV2 : VQLV1, "T%u L%u", t, i);
      }
    });
  }
  for (u32 r = 0; r < kRotations; r++) {  // spread over the logging; the last one asks for no names
    EXPECT_TRUE(WaitFor([&] { return un32Logged.load() >= (r + 1) * kThreads * kLinesEach / (kRotations + 1); }));
    CVQCAFString strOld, strNew;
    const bool fNames = r + 1 < kRotations;
    ASSERT_EQ(fNames ? ForceLogRotate(&strOld, &strNew) : ForceLogRotate(nullptr, nullptr), VQX_RESULT_OK);
    if (fNames) {
      EXPECT_EQ(std::string(strOld.c_str()) + "|" + strNew.c_str(), Segment(r) + "|" + Segment(r + 1));
    }
  }
  for (auto& T : aLoggers) T.join();
  EXPECT_EQ(GetCurrentLogFile(), Segment(kRotations));
  EXPECT_EQ(RemoveLogTraceListener(&mListener), VQX_RESULT_OK);
  ASSERT_EQ(UninitLog(), VQX_RESULT_OK);  // no flush before: the close must write what is still queued
  EXPECT_EQ(GetLogDroppedCount(), 0u);
  EXPECT_EQ(std::string(pszFirst), Segment(0));  // a text handed out earlier stays valid
  EXPECT_FALSE(std::filesystem::exists(Segment(kRotations + 1)));
  // Every shown line exactly once, each thread's lines in order: across the segments, then at the listener.
  std::vector<std::string> aFile, aHeard, aOther, aExpectedOther;
  for (u32 s = 0; s <= kRotations; s++) {
    for (const std::string& strText : LogLines(Segment(s))) aFile.push_back(std::to_string(s) + ": " + strText);
    if (s > 0)
      aExpectedOther.push_back(std::to_string(s) + ": VQMSG BASE New log segment after split is " + Segment(s));
    if (s < kRotations) {
      aExpectedOther.push_back(std::to_string(s) + ": VQMSG BASE Closing log file " + Segment(s) +
                               " (rotating to new segment).");
    }
  }
  for (const CapturedLine& L : mListener.Take()) {
    if (L.un32SubMod != VQCAF_SUBMODULE_APP01) continue;
    aHeard.push_back("L: " + std::string(GetTraceLevelName(L.un32Level)) + " APP01 " + L.strText);
  }
  for (const std::vector<std::string>* paLines : {&aFile, &aHeard}) {
    std::vector<u32> aNext(kThreads, 1);
    for (const std::string& strLine : *paLines) {
      u32 t = 0, i = 0;
      const size_t nText = strLine.find(": ") + 2;
      if (sscanf(strLine.c_str() + nText, "VQLV2 APP01 T%u L%u", &t, &i) != 2 || t >= kThreads) {
        aOther.push_back(strLine);
      } else {
        ASSERT_EQ(i, std::exchange(aNext[t], aNext[t] + 2)) << strLine;
      }
    }
    EXPECT_EQ(aNext, std::vector<u32>(kThreads, kLinesEach + 1));
  }
  EXPECT_EQ(aOther, aExpectedOther);
}

/* A writer whose thread waits at a gate before it starts writing. */
class CGatedDao : public CVQCAFLogDao {
 public:
  ~CGatedDao() override {
    mfOpen = true;
    Close();
  }
  std::atomic<bool> mfOpen{false};

 protected:
  void Run() override {
    WaitFor([this] { return mfOpen.load(); });
    CVQCAFLogDao::Run();
  }
};

TEST_F(LogFile, FullQueueDropsAreCountedAndReported) {
  const std::string strLine(999, 'z');
  constexpr u32 kAccepted = 2 * (VQCAF_LOG_BLOCK_SIZE / 1000);
  CGatedDao Dao;
  ASSERT_EQ(Dao.Open(mDir.Path("log").c_str(), "log", 1), VQX_RESULT_OK);  // rounded up to two blocks
  for (u32 i = 0; i < kAccepted + 76; i++) ASSERT_TRUE(Dao.Append((strLine + "\n").data(), 1000));
  EXPECT_EQ(Dao.GetDroppedCount(), 76u);
  Dao.mfOpen = true;
  EXPECT_EQ(Dao.Flush(10000), VQX_RESULT_OK);
  EXPECT_EQ(Dao.Close(), VQX_RESULT_OK);
  EXPECT_FALSE(Dao.Append(strLine.data(), 1000));  // closed
  std::vector<std::string> aExpected(kAccepted, strLine);
  aExpected.push_back(std::string("76 ") + VQCAF_LOG_DROP_TEXT);
  EXPECT_EQ(SplitLines(ReadFile(Segment(0))), aExpected);
}

TEST_F(LogFile, LinesCutByAFailedWriteAreCountedAndReported) {
  CVQCAFLogDao Dao;
  ASSERT_EQ(Dao.Open(mDir.Path("log").c_str(), "log", 1), VQX_RESULT_OK);
  std::vector<std::string> aLines;
  for (u32 i = 0; i < 10; i++)
    aLines.push_back(std::to_string(100 + i) + std::string(196, 'a'));  // 200 bytes with "\n"
  {
    CFileSizeLimit Limit(1500);  // 7 whole lines and half of the 8th
    for (const std::string& strLine : aLines) ASSERT_TRUE(Dao.Append((strLine + "\n").data(), 200));
    EXPECT_EQ(Dao.Flush(10000), VQX_RESULT_OK);
  }
  EXPECT_EQ(Dao.GetDroppedCount(), 3u);  // the cut line and the two after it
  EXPECT_TRUE(Dao.Append("after\n", 6));
  EXPECT_EQ(Dao.Close(), VQX_RESULT_OK);
  std::vector<std::string> aExpected(aLines.begin(), aLines.begin() + 7);
  aExpected.insert(aExpected.end(), {aLines[7].substr(0, 100), "after", std::string("3 ") + VQCAF_LOG_DROP_TEXT});
  EXPECT_EQ(SplitLines(ReadFile(Segment(0))), aExpected);
}

/* Blocks in its call until released, to show that removal waits for it. */
class CSlowListener : public IVQCAFLogTraceListener {
 public:
  void OnLogTrace(_VQX_TRACE_LEVEL, _VQCAF_SUBMODULE_TYPE, const char*, u32) override {
    mfInCall = true;
    WaitFor([this] { return mfRelease.load(); });
    mfDone = true;
  }
  std::atomic<bool> mfInCall{false}, mfRelease{false}, mfDone{false};
};

TEST(LogListener, RemovalWaitsForTheCallInProgress) {
  CSlowListener Listener;
  ASSERT_EQ(AddLogTraceListener(&Listener), VQX_RESULT_OK);
  auto Logger = std::async(std::launch::async, [] { LogTrace(VQERR, "slow"); });
  ASSERT_TRUE(WaitFor([&] { return Listener.mfInCall.load(); }));
  std::atomic<pid_t> nTid{0};
  std::atomic<bool> fReturned{false}, fDoneAtReturn{false};
  std::thread Remover = TrackedThread(nTid, [&] {
    EXPECT_EQ(RemoveLogTraceListener(&Listener), VQX_RESULT_OK);
    fDoneAtReturn = Listener.mfDone.load();  // the call must have ended by now
    fReturned = true;
  });
  // Release the listener once the remover sleeps in Remove (or, wrongly, has returned).
  EXPECT_TRUE(WaitFor([&] { return fReturned.load() || (nTid.load() != 0 && IsBlocked(nTid.load())); }));
  EXPECT_FALSE(fReturned.load());
  Listener.mfRelease = true;
  Remover.join();
  EXPECT_TRUE(fDoneAtReturn.load());
  ASSERT_EQ(Logger.wait_for(kBound), std::future_status::ready);
}

/* Takes its own (recursive) lock in every call, as a console log does. */
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
  // Holder: takes the listener's lock, waits until another thread is blocked on it inside the
  // listener, then logs itself while still holding it.
  auto Holder = std::async(std::launch::async, [&] {
    std::lock_guard<std::recursive_mutex> Held(Listener.mMutex);
    fHeld = true;
    WaitFor([&] { return Listener.mun32Waiting.load() != 0; });
    LogTrace(VQERR, "while holding the listener's lock");
  });
  ASSERT_TRUE(WaitFor([&] { return fHeld.load(); }));
  auto Other = std::async(std::launch::async, [] { LogTrace(VQERR, "from the other thread"); });
  if (Holder.wait_for(kBound) != std::future_status::ready) {
    ADD_FAILURE() << "logging threads dead-locked on the listener registry";
    std::_Exit(1);  // the blocked threads cannot be ended otherwise
  }
  ASSERT_EQ(Other.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(Listener.mun32Calls.load(), 2u);
  EXPECT_EQ(RemoveLogTraceListener(&Listener), VQX_RESULT_OK);
}

}  // namespace
