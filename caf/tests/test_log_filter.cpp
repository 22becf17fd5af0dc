/*
 * test_log_filter.cpp - names of levels and sub-modules, the level filter
 * per sub-module, what the listeners and the file receive, prefixes, cut
 * lines and the listener registry.
 */
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "support/vqcaf_test_support.h"
#include "vqcafdiag.h"
#include "vqcaflog.h"
#include "vqcaflogtrace.h"

using namespace VQCAF;
using vqtest::CapturedLine;
using vqtest::CCaptureListener;

namespace {

TEST(LogNames, TraceLevelsAndSubModules) {
  const struct {
    u32 un32Level;
    const char* pszName;
  } aLevels[] = {{0, "VQLV0"},          {1, "VQLV1"},          {2, "VQLV2"},          {3, "VQLV3"},
                 {4, "VQLV4"},          {5, "VQLV?"},          {0x7FFFFFFC, "VQLV?"}, {0x7FFFFFFD, "VQMSG"},
                 {0x7FFFFFFE, "VQERR"}, {0x7FFFFFFF, "VQDIS"}, {0x80000000, "VQLV?"}};
  for (const auto& R : aLevels) EXPECT_STREQ(GetTraceLevelName(R.un32Level), R.pszName) << std::hex << R.un32Level;
  const struct {
    u32 un32SubMod;
    const char* pszName;
  } aSubMods[] = {{0, "SM00"},   {1, "BASE"},   {2, "GW  "},   {3, "CLI "},    {4, "SER "},
                  {5, "CMC "},   {6, "CALL"},   {7, "ALM "},   {8, "CM  "},    {9, "COMM"},
                  {10, "H248"},  {11, "SM11"},  {36, "SM36"},  {37, "VQLT"},   {47, "SM47"},
                  {48, "APP01"}, {63, "APP16"}, {64, "????"},  {0xFFFFFFFF, "????"}};
  for (const auto& R : aSubMods) EXPECT_STREQ(GetSubModName(R.un32SubMod), R.pszName) << R.un32SubMod;
  static_assert(VQCAF_SUBMODULE_SERVICE == 4 && VQCAF_SUBMODULE_CMC == 5 && VQCAF_SUBMODULE_CALL == 6 &&
                VQCAF_SUBMODULE_COMM == 9 && VQCAF_SUBMODULE_VQLT == 37);
}

/* Each test gets a fresh log in its own directory and a capturing listener. */
class LogFilter : public ::testing::Test {
 protected:
  void SetUp() override {
    mParams.mstrBaseName = mDir.Path("filter").c_str();
    mParams.mstrExtension = "log";
  }
  void Open() {
    ASSERT_EQ(InitLog(mParams), VQX_RESULT_OK);
    ASSERT_EQ(AddLogTraceListener(&mListener), VQX_RESULT_OK);
  }
  void TearDown() override {
    RemoveLogTraceListener(&mListener);
    UninitLog();
  }
  /* The file's lines without time stamps, every queued line written first. */
  std::vector<std::string> FileLines() {
    EXPECT_EQ(FlushLog(5000), VQX_RESULT_OK);
    return vqtest::LogLines(GetCurrentLogFile());
  }

  vqtest::CTempDir mDir;
  CVQCAFLogParams mParams;
  CCaptureListener mListener;
};

TEST_F(LogFilter, LevelsAreZeroWithoutALog) {
  EXPECT_EQ(mParams.maun32SubModTraceLevel[VQCAF_SUBMODULE_BASE], static_cast<u32>(VQMSG));  // the default
  for (u32 i = 0; i < VQCAF_SUBMODULE_COUNT; i++) mParams.maun32SubModTraceLevel[i] = VQLV3;
  Open();
  EXPECT_EQ(GetSubModTraceLevel(VQCAF_SUBMODULE_APP16), VQLV3);
  UninitLog();
  for (u32 i = 0; i < VQCAF_SUBMODULE_COUNT; i++) {
    EXPECT_EQ(GetSubModTraceLevel(static_cast<_VQCAF_SUBMODULE_TYPE>(i)), VQLV0) << i;
  }
}

TEST_F(LogFilter, LineWrittenWhenItsLevelReachesItsSubModulesLevel) {
  const struct Row {
    const char* pszCase;
    u32 un32SubMod;
    u32 un32SubModLevel;
    _VQX_TRACE_LEVEL LineLevel;
    bool fWritten;
  } aRows[] = {
      {"error over message level", 1, VQMSG, VQERR, true},
      {"message at message level", 1, VQMSG, VQMSG, true},
      {"trace under message level", 1, VQMSG, VQLV4, false},
      {"most detailed at 0", 6, VQLV0, VQLV0, true},
      {"one below", 5, VQLV2, VQLV1, false},
      {"equal", 5, VQLV2, VQLV2, true},
      {"message under error level", 4, VQERR, VQMSG, false},
      {"error at error level", 4, VQERR, VQERR, true},
      {"error under disabled", 37, VQDIS, VQERR, false},
      {"disabled passes disabled", 37, VQDIS, VQDIS, true},
      {"highest trace", 63, VQLV3, VQLV4, true},
      {"sub-module 0", 0, VQLV1, VQLV0, false},
  };
  for (const Row& R : aRows) mParams.maun32SubModTraceLevel[R.un32SubMod] = R.un32SubModLevel;
  Open();
  size_t nExpectedFileLines = 0;
  for (const Row& R : aRows) {
    const auto SubMod = static_cast<_VQCAF_SUBMODULE_TYPE>(R.un32SubMod);
    EXPECT_EQ(GetSubModTraceLevel(SubMod), static_cast<_VQX_TRACE_LEVEL>(R.un32SubModLevel)) << R.pszCase;
    EXPECT_EQ(IsLogTraceEnabled(SubMod, R.LineLevel), R.fWritten) << R.pszCase;
    // Every way in: the free function, a trace object and, for BASE, LogTrace.
    SubModLogTrace(SubMod, R.LineLevel, "free %s", R.pszCase);
    CVQCAFLogTrace(SubMod).LogTrace(R.LineLevel, "object %s", R.pszCase);
    if (R.un32SubMod == VQCAF_SUBMODULE_BASE) LogTrace(R.LineLevel, "base %s", R.pszCase);
    const std::vector<CapturedLine> aLines = mListener.Take();
    const size_t nExpected = R.fWritten ? (R.un32SubMod == VQCAF_SUBMODULE_BASE ? 3 : 2) : 0;
    ASSERT_EQ(aLines.size(), nExpected) << R.pszCase;
    for (const CapturedLine& L : aLines) {
      EXPECT_EQ(L.un32Level, static_cast<u32>(R.LineLevel)) << R.pszCase;
      EXPECT_EQ(L.un32SubMod, R.un32SubMod) << R.pszCase;
      EXPECT_EQ(L.strText.substr(L.strText.find(' ') + 1), R.pszCase) << R.pszCase;
    }
    nExpectedFileLines += nExpected;
  }
  // The file has exactly the lines that passed, each with level and sub-module.
  const std::vector<std::string> aFile = FileLines();
  ASSERT_EQ(aFile.size(), nExpectedFileLines);
  EXPECT_EQ(aFile[0], "VQERR BASE free error over message level");
  EXPECT_EQ(aFile.back(), "VQLV4 APP16 object highest trace");
}

TEST_F(LogFilter, LevelChangesApplyAtOnceAndPerSubModule) {
  mParams.maun32SubModTraceLevel[VQCAF_SUBMODULE_BASE] = VQERR;
  Open();
  CVQCAFLogTrace Call(VQCAF_SUBMODULE_CALL), Cmc(VQCAF_SUBMODULE_CMC);
  Call.LogTrace(VQLV3, "hidden");
  EXPECT_TRUE(mListener.Take().empty());
  ASSERT_EQ(SetSubModTraceLevel(VQCAF_SUBMODULE_CALL, VQLV3), VQX_RESULT_OK);
  Call.LogTrace(VQLV3, "shown");
  Cmc.LogTrace(VQLV3, "still hidden");
  EXPECT_EQ(SetSubModTraceLevel(static_cast<_VQCAF_SUBMODULE_TYPE>(64), VQLV0), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(GetSubModTraceLevel(static_cast<_VQCAF_SUBMODULE_TYPE>(64)), VQLV0);
  // A number past the last sub-module is filtered as BASE and named "????".
  SubModLogTrace(static_cast<_VQCAF_SUBMODULE_TYPE>(70), VQMSG, "dropped by base level");
  SubModLogTrace(static_cast<_VQCAF_SUBMODULE_TYPE>(70), VQERR, "kept");
  const auto aLines = mListener.Take();
  ASSERT_EQ(aLines.size(), 2u);
  EXPECT_EQ(aLines[0].strText, "shown");
  EXPECT_EQ(aLines[1].un32SubMod, 70u);
  EXPECT_EQ(FileLines(), std::vector<std::string>({"VQLV3 CALL shown", "VQERR ???? kept"}));
}

/* Puts its name in front of every line, as a service does. */
class CNamedTrace : public CVQCAFLogTrace {
 public:
  CNamedTrace() : CVQCAFLogTrace(VQCAF_SUBMODULE_SERVICE) {}
  using CVQCAFLogTrace::LogTrace;
  void LogTrace(_VQX_TRACE_LEVEL Level, char** apszPrefix, u32 un32Count, const char* pszFormat,
                _VQX_VA_LIST& args) override {
    char acName[] = "svc: ";
    char* apszAll[3] = {acName, un32Count > 0 ? apszPrefix[0] : nullptr, un32Count > 1 ? apszPrefix[1] : nullptr};
    CVQCAFLogTrace::LogTrace(Level, apszAll, 1 + (un32Count > 2 ? 2 : un32Count), pszFormat, args);
  }
};

void CallWithPrefixes(CVQCAFLogTrace& T, char** ap, const char* pszFormat, ...) {
  _VQX_VA_LIST args;
  va_start(args, pszFormat);
  T.LogTrace(VQERR, ap, 3, pszFormat, args);
  va_end(args);
}

TEST_F(LogFilter, PrefixesGoInFrontAndEveryFormReachesTheLastOne) {
  mParams.maun32SubModTraceLevel[VQCAF_SUBMODULE_SERVICE] = VQLV0;
  Open();
  CNamedTrace Named;
  Named.LogTrace(VQMSG, "started %u\n", 3u);
  EXPECT_EQ(Named.GetLogSubModId(), VQCAF_SUBMODULE_SERVICE);
  CVQCAFLogTrace Plain(VQCAF_SUBMODULE_SERVICE);
  char acA[] = "[a] ", acB[] = "[b] ";
  char* apszPrefix[3] = {acA, nullptr, acB};  // a null entry is skipped
  CallWithPrefixes(Plain, apszPrefix, "x=%d", 42);
  const auto aLines = mListener.Take();
  ASSERT_EQ(aLines.size(), 2u);
  EXPECT_EQ(aLines[0].strText, "svc: started 3\n");
  EXPECT_EQ(aLines[1].strText, "[a] [b] x=42");
  // One newline in the file, whether the text brought one or not.
  EXPECT_EQ(FileLines(), std::vector<std::string>({"VQMSG SER  svc: started 3", "VQERR SER  [a] [b] x=42"}));
}

TEST_F(LogFilter, OverlongTextIsCutAndMarked) {
  Open();
  const std::string strLong(VQCAF_LOG_MAX_TEXT + 500, 'x'), strExact(VQCAF_LOG_MAX_TEXT, 'y');
  LogTrace(VQERR, "%s", strLong.c_str());
  LogTrace(VQERR, "%s", strExact.c_str());  // exactly the limit: not cut
  const auto aLines = mListener.Take();
  ASSERT_EQ(aLines.size(), 2u);
  const std::string strMark = VQCAF_LOG_TRUNCATED_MARK;
  EXPECT_EQ(aLines[0].strText, strLong.substr(0, VQCAF_LOG_MAX_TEXT - strMark.size()) + strMark);
  EXPECT_EQ(aLines[1].strText, strExact);
  EXPECT_EQ(FileLines().size(), 2u);
}

TEST_F(LogFilter, ListenerRegistry) {
  Open();
  EXPECT_EQ(AddLogTraceListener(nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(AddLogTraceListener(&mListener), VQX_RESULT_ACCESS_DENIED);
  std::vector<CCaptureListener> aMore(VQCAF_LOG_MAX_LISTENERS);
  for (u32 i = 0; i + 1 < VQCAF_LOG_MAX_LISTENERS; i++) ASSERT_EQ(AddLogTraceListener(&aMore[i]), VQX_RESULT_OK);
  EXPECT_EQ(AddLogTraceListener(&aMore.back()), VQX_RESULT_OUT_OF_RESOURCE);
  LogTrace(VQERR, "to all");
  for (u32 i = 0; i + 1 < VQCAF_LOG_MAX_LISTENERS; i++) EXPECT_EQ(aMore[i].Take().size(), 1u) << i;
  EXPECT_TRUE(aMore.back().Take().empty());
  for (u32 i = 0; i + 1 < VQCAF_LOG_MAX_LISTENERS; i++) ASSERT_EQ(RemoveLogTraceListener(&aMore[i]), VQX_RESULT_OK);
  EXPECT_EQ(RemoveLogTraceListener(&aMore[0]), VQX_RESULT_NOT_FOUND);
  EXPECT_EQ(RemoveLogTraceListener(nullptr), VQX_RESULT_NULL_PARAM);
  LogTrace(VQERR, "after removal");
  EXPECT_TRUE(aMore[0].Take().empty());
  EXPECT_EQ(mListener.Take().size(), 2u);
}

/* Logs from inside its callback, tries to register, and throws once. */
class CUnrulyListener : public IVQCAFLogTraceListener {
 public:
  void OnLogTrace(_VQX_TRACE_LEVEL, _VQCAF_SUBMODULE_TYPE, const char* pszText, u32) override {
    mun32Calls++;
    mun32AddResult = AddLogTraceListener(this);
    LogTrace(VQERR, "inner of %s", pszText);
    if (mun32Calls == 1) throw std::length_error("listener");
  }
  u32 mun32Calls = 0;
  u32 mun32AddResult = 0;
};

TEST_F(LogFilter, ListenerCannotRecurseAndItsFailureDoesNotReachTheCaller) {
  Open();
  CUnrulyListener Unruly;
  ASSERT_EQ(AddLogTraceListener(&Unruly), VQX_RESULT_OK);
  EXPECT_NO_THROW(LogTrace(VQERR, "outer"));
  EXPECT_EQ(RemoveLogTraceListener(&Unruly), VQX_RESULT_OK);
  EXPECT_EQ(Unruly.mun32Calls, 1u);  // its own lines did not come back to it
  EXPECT_EQ(Unruly.mun32AddResult, VQX_RESULT_INVALID_STATE);
  const auto aFile = FileLines();
  ASSERT_EQ(aFile.size(), 3u);
  EXPECT_EQ(aFile[0], "VQERR BASE inner of outer");
  EXPECT_EQ(aFile[1].rfind("VQERR BASE IVQCAFLogTraceListener::OnLogTrace: ", 0), 0u) << aFile[1];
  EXPECT_NE(aFile[1].find("(8200000A)"), std::string::npos) << aFile[1];
  EXPECT_EQ(aFile[2], "VQERR BASE outer");
}

TEST_F(LogFilter, FoundationDiagnosticsLandUnderBase) {
  mParams.maun32SubModTraceLevel[VQCAF_SUBMODULE_BASE] = VQERR;
  Open();
  VqcafDiagPrintf(VQCAF_DIAG_LEVEL_MESSAGE, "filtered %d\n", 1);
  VqcafDiagPrintf(VQCAF_DIAG_LEVEL_ERROR, "~CVQCAFPool: error: Element still present in pool!!!\n");
  const auto aLines = mListener.Take();
  ASSERT_EQ(aLines.size(), 1u);
  EXPECT_EQ(aLines[0].un32SubMod, static_cast<u32>(VQCAF_SUBMODULE_BASE));
  EXPECT_EQ(FileLines(), std::vector<std::string>({"VQERR BASE ~CVQCAFPool: error: Element still present in pool!!!"}));
}

}  // namespace
