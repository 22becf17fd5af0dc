/*
 * test_log_file_mt.cpp - the log file writer: segment names, rotation while
 * other threads log, nothing lost at close, counted drops when the queue is
 * full, the periodic flush, and the refusals before InitLog.
 */
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_log_support.h"
#include "vqcaflog.h"
#include "vqcaflogdao.h"

using namespace VQCAF;

namespace {

std::string SegmentName(const std::string& strBase, u32 un32Segment) {
  return CVQCAFLogDao::MakeSegmentName(strBase, logtest::Today(), un32Segment, "log");
}

TEST(LogFile, SegmentNames) {
  struct Row {
    const char* pszBase;
    const char* pszDate;
    u32 un32Segment;
    const char* pszExtension;
    const char* pszName;
  };
  const Row aRows[] = {
      {"quellan", "2026-12-06", 0, "log", "quellan_2026-12-06_seg000.log"},
      {"/var/log/app", "2027-01-31", 7, "log", "/var/log/app_2027-01-31_seg007.log"},
      {"a", "2026-12-06", 999, "txt", "a_2026-12-06_seg999.txt"},
      {"a", "2026-12-06", 1000, "log", "a_2026-12-06_seg1000.log"},
  };
  for (const Row& R : aRows) {
    EXPECT_EQ(CVQCAFLogDao::MakeSegmentName(R.pszBase, R.pszDate, R.un32Segment, R.pszExtension), R.pszName);
  }
}

TEST(LogFile, RefusalsBeforeInitAndBadParameters) {
  UninitLog();
  logtest::CCaptureListener Listener;
  ASSERT_EQ(AddLogTraceListener(&Listener), VQX_RESULT_OK);
  EXPECT_STREQ(GetCurrentLogFile(), "NOT_AVAILABLE");
  CVQCAFString strOld("untouched"), strNew("untouched");
  EXPECT_EQ(ForceLogRotate(&strOld, &strNew), 0x82000001u);
  EXPECT_EQ(ForceLogRotate(nullptr, nullptr), 0x82000001u);
  EXPECT_STREQ(strOld.c_str(), "untouched");
  EXPECT_STREQ(strNew.c_str(), "untouched");
  EXPECT_EQ(FlushLog(100), VQX_RESULT_NOT_INITIALIZED);
  EXPECT_EQ(IsLogInitialized(), 0u);
  auto aLines = Listener.Take();
  ASSERT_EQ(aLines.size(), 2u);
  for (const auto& L : aLines) {
    EXPECT_EQ(L.strText, "ForceLogRotate failed, logdao not initialized yet (please call InitLog)\n");
    EXPECT_EQ(L.un32Level, static_cast<u32>(VQERR));
    EXPECT_EQ(L.un32SubMod, static_cast<u32>(VQCAF_SUBMODULE_BASE));
  }

  logtest::CTempDir Dir;
  CVQCAFLogParams Params;
  Params.mstrBaseName = "";
  EXPECT_EQ(InitLog(Params), VQX_RESULT_INVALID_PARAM);
  Params.mstrBaseName = (Dir.Path() + "/no/such/dir/log").c_str();
  EXPECT_EQ(InitLog(Params), VQX_RESULT_FAIL);
  EXPECT_STREQ(GetCurrentLogFile(), "NOT_AVAILABLE");
  Params.mstrBaseName = (Dir.Path() + "/ok").c_str();
  ASSERT_EQ(InitLog(Params), VQX_RESULT_OK);
  EXPECT_EQ(InitLog(Params), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(UninitLog(), VQX_RESULT_OK);
  EXPECT_EQ(UninitLog(), VQX_RESULT_OK);
  EXPECT_STREQ(GetCurrentLogFile(), "NOT_AVAILABLE");
  RemoveLogTraceListener(&Listener);
}

TEST(LogFile, FirstSegmentSkipsNamesOfEarlierRuns) {
  logtest::CTempDir Dir;
  const std::string strBase = Dir.Path() + "/run";
  {
    FILE* pFile = fopen(SegmentName(strBase, 0).c_str(), "w");
    ASSERT_NE(pFile, nullptr);
    fputs("earlier run\n", pFile);
    fclose(pFile);
  }
  CVQCAFLogParams Params;
  Params.mstrBaseName = strBase.c_str();
  ASSERT_EQ(InitLog(Params), VQX_RESULT_OK);
  EXPECT_EQ(GetCurrentLogFile(), SegmentName(strBase, 1));
  LogTrace(VQERR, "this run");
  ASSERT_EQ(UninitLog(), VQX_RESULT_OK);
  EXPECT_EQ(logtest::ReadFile(SegmentName(strBase, 0)), "earlier run\n");
  const auto aLines = logtest::SplitLines(logtest::ReadFile(SegmentName(strBase, 1)));
  ASSERT_EQ(aLines.size(), 1u);
  EXPECT_EQ(logtest::AfterTimeStamp(aLines[0]), "VQERR BASE this run");
}

TEST(LogFile, RotationWhileThreadsLogLosesNothingAndNamesTheSegments) {
  constexpr u32 kThreads = 4, kLinesEach = 20000, kRotations = 3;
  logtest::CTempDir Dir;
  const std::string strBase = Dir.Path() + "/rot";
  CVQCAFLogParams Params;
  Params.mstrBaseName = strBase.c_str();
  ASSERT_EQ(InitLog(Params), VQX_RESULT_OK);
  const std::string strFirst = GetCurrentLogFile();
  EXPECT_EQ(strFirst, SegmentName(strBase, 0));

  std::atomic<u32> un32Started{0};
  std::vector<std::thread> aLoggers;
  for (u32 t = 0; t < kThreads; t++) {
    aLoggers.emplace_back([t, &un32Started] {
      un32Started++;
      for (u32 i = 0; i < kLinesEach; i++) SubModLogTrace(VQCAF_SUBMODULE_APP01, VQERR, "T%u L%u", t, i);
    });
  }
  while (un32Started.load() < kThreads) std::this_thread::yield();
  std::vector<std::pair<std::string, std::string>> aNames;
  for (u32 r = 0; r < kRotations; r++) {
    CVQCAFString strOld, strNew;
    ASSERT_EQ(ForceLogRotate(&strOld, &strNew), VQX_RESULT_OK);
    aNames.emplace_back(strOld.c_str(), strNew.c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  for (auto& T : aLoggers) T.join();
  const std::string strLast = GetCurrentLogFile();
  ASSERT_EQ(UninitLog(), VQX_RESULT_OK);  // writes what is still queued
  EXPECT_EQ(GetLogDroppedCount(), 0u);

  // Names: each rotation closes segment r and opens r + 1.
  for (u32 r = 0; r < kRotations; r++) {
    EXPECT_EQ(aNames[r].first, SegmentName(strBase, r));
    EXPECT_EQ(aNames[r].second, SegmentName(strBase, r + 1));
  }
  EXPECT_EQ(strLast, SegmentName(strBase, kRotations));

  // Every line exactly once, each thread's lines in order across the segments.
  std::vector<u32> aNext(kThreads, 0);
  u32 un32Lines = 0;
  for (u32 s = 0; s <= kRotations; s++) {
    const auto aFile = logtest::SplitLines(logtest::ReadFile(SegmentName(strBase, s)));
    bool fClosingSeen = false, fNewSeen = false;
    for (const std::string& strLine : aFile) {
      const std::string strText = logtest::AfterTimeStamp(strLine);
      u32 t = 0, i = 0;
      if (sscanf(strText.c_str(), "VQERR APP01 T%u L%u", &t, &i) == 2) {
        ASSERT_LT(t, kThreads) << strLine;
        ASSERT_EQ(i, aNext[t]) << "segment " << s << ": " << strLine;
        aNext[t]++;
        un32Lines++;
      } else if (s < kRotations &&
                 strText == "VQMSG BASE Closing log file " + SegmentName(strBase, s) + " (rotating to new segment).") {
        fClosingSeen = true;
      } else if (s > 0 && strText == "VQMSG BASE New log segment after split is " + SegmentName(strBase, s)) {
        fNewSeen = true;
      } else {
        ADD_FAILURE() << "unexpected line in segment " << s << ": " << strLine;
      }
    }
    EXPECT_EQ(fClosingSeen, s < kRotations) << s;
    EXPECT_EQ(fNewSeen, s > 0) << s;
  }
  EXPECT_EQ(un32Lines, kThreads * kLinesEach);
  EXPECT_FALSE(std::filesystem::exists(SegmentName(strBase, kRotations + 1)));
}

TEST(LogFile, RotationWithoutNamesAndGetCurrentLogFileStaysValid) {
  logtest::CTempDir Dir;
  const std::string strBase = Dir.Path() + "/keep";
  CVQCAFLogParams Params;
  Params.mstrBaseName = strBase.c_str();
  ASSERT_EQ(InitLog(Params), VQX_RESULT_OK);
  const char* pszFirst = GetCurrentLogFile();
  ASSERT_EQ(ForceLogRotate(nullptr, nullptr), VQX_RESULT_OK);
  // The text handed out before the rotation still reads the old name.
  EXPECT_EQ(std::string(pszFirst), SegmentName(strBase, 0));
  EXPECT_EQ(std::string(GetCurrentLogFile()), SegmentName(strBase, 1));
  ASSERT_EQ(UninitLog(), VQX_RESULT_OK);
  EXPECT_EQ(std::string(pszFirst), SegmentName(strBase, 0));
}

TEST(LogFile, CloseWritesEveryQueuedLine) {
  logtest::CTempDir Dir;
  const std::string strBase = Dir.Path() + "/close";
  CVQCAFLogParams Params;
  Params.mstrBaseName = strBase.c_str();
  Params.maun32SubModTraceLevel[VQCAF_SUBMODULE_CALL] = VQLV0;
  ASSERT_EQ(InitLog(Params), VQX_RESULT_OK);
  std::vector<std::thread> aLoggers;
  for (u32 t = 0; t < 3; t++) {
    aLoggers.emplace_back([t] {
      for (u32 i = 0; i < 5000; i++) SubModLogTrace(VQCAF_SUBMODULE_CALL, VQLV1, "%u-%u", t, i);
    });
  }
  for (auto& T : aLoggers) T.join();
  ASSERT_EQ(UninitLog(), VQX_RESULT_OK);  // no flush before: the close must drain
  const auto aLines = logtest::SplitLines(logtest::ReadFile(SegmentName(strBase, 0)));
  EXPECT_EQ(aLines.size(), 15000u);
  EXPECT_EQ(GetSubModTraceLevel(VQCAF_SUBMODULE_CALL), VQLV0);  // levels back to 0 without a log
}

TEST(LogFile, PartlyFilledBlockIsWrittenByThePeriodicFlush) {
  logtest::CTempDir Dir;
  const std::string strBase = Dir.Path() + "/flush";
  CVQCAFLogParams Params;
  Params.mstrBaseName = strBase.c_str();
  ASSERT_EQ(InitLog(Params), VQX_RESULT_OK);
  LogTrace(VQERR, "one line");
  // Within two flush periods the line is in the file, with no flush asked.
  const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(2 * VQCAF_LOG_FLUSH_PERIOD_MS + 1000);
  std::string strText;
  while (strText.empty() && std::chrono::steady_clock::now() < End) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    strText = logtest::ReadFile(SegmentName(strBase, 0));
  }
  EXPECT_EQ(logtest::AfterTimeStamp(strText), "VQERR BASE one line\n");
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
      mCond.wait_for(Lock, std::chrono::seconds(10), [this] { return mfOpen; });
    }
    CVQCAFLogDao::Run();
  }

 private:
  std::mutex mMutex;
  std::condition_variable mCond;
  bool mfOpen = false;
};

TEST(LogFile, FullQueueDropsAreCountedAndReported) {
  logtest::CTempDir Dir;
  const std::string strBase = Dir.Path() + "/drop";
  CGatedDao Dao;
  ASSERT_EQ(Dao.Open(strBase.c_str(), "log", 1), VQX_RESULT_OK);  // rounded up to two blocks
  const std::string strLine = std::string(999, 'z') + "\n";
  constexpr u32 kPerBlock = VQCAF_LOG_BLOCK_SIZE / 1000;
  constexpr u32 kAccepted = 2 * kPerBlock, kOffered = kAccepted + 76;
  for (u32 i = 0; i < kOffered; i++) ASSERT_TRUE(Dao.Append(strLine.data(), 1000));
  EXPECT_EQ(Dao.GetDroppedCount(), 76u);
  Dao.OpenGate();
  ASSERT_EQ(Dao.Flush(10000), VQX_RESULT_OK);
  ASSERT_EQ(Dao.Close(), VQX_RESULT_OK);
  EXPECT_FALSE(Dao.Append(strLine.data(), 1000));  // closed: refused, not counted
  EXPECT_EQ(Dao.GetDroppedCount(), 76u);

  const auto aLines = logtest::SplitLines(logtest::ReadFile(SegmentName(strBase, 0)));
  ASSERT_EQ(aLines.size(), kAccepted + 1);
  for (u32 i = 0; i < kAccepted; i++) ASSERT_EQ(aLines[i] + "\n", strLine) << i;
  EXPECT_EQ(aLines.back(), std::string("76 ") + VQCAF_LOG_DROP_TEXT);
}

TEST(LogFile, LinesCutByAFailedWriteAreCountedAndReported) {
  logtest::CTempDir Dir;
  const std::string strBase = Dir.Path() + "/full";
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
  ASSERT_EQ(un32Flush, VQX_RESULT_OK);
  EXPECT_EQ(Dao.GetDroppedCount(), 3u);  // the cut line and the two after it

  ASSERT_TRUE(Dao.Append("after\n", 6));
  ASSERT_EQ(Dao.Close(), VQX_RESULT_OK);
  const auto aFile = logtest::SplitLines(logtest::ReadFile(SegmentName(strBase, 0)));
  ASSERT_EQ(aFile.size(), 10u);
  for (u32 i = 0; i < 7; i++) EXPECT_EQ(aFile[i] + "\n", aLines[i]) << i;
  EXPECT_EQ(aFile[7], aLines[7].substr(0, 100));
  EXPECT_EQ(aFile[8], "after");
  EXPECT_EQ(aFile[9], std::string("3 ") + VQCAF_LOG_DROP_TEXT);
}

}  // namespace
