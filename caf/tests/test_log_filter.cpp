/*
 * test_log_filter.cpp - names of levels and sub-modules, the level filter
 * per sub-module, what the listeners and the file receive, prefixes, cut
 * lines and the listener registry.
 */
#include "support/vqcaf_test_support.h"

namespace {

/* Every sub-module's name and the level names about the named ones, as data/log_names.txt lists them. */
TEST(LogNames, TraceLevelsAndSubModules) {
  std::string strNames;
  char szLine[64];
  for (u32 un32Level : {0u, 4u, 5u, 0x7FFFFFFCu, 0x7FFFFFFDu, 0x7FFFFFFEu, 0x7FFFFFFFu, 0x80000000u}) {
    snprintf(szLine, sizeof(szLine), "level %08X [%s]\n", un32Level, GetTraceLevelName(un32Level));
    strNames += szLine;
  }
  for (u32 un32SubMod = 0; un32SubMod <= VQCAF_SUBMODULE_COUNT; un32SubMod++) {
    snprintf(szLine, sizeof(szLine), "sub-module %u [%s]\n", un32SubMod, GetSubModName(un32SubMod));
    strNames += szLine;
  }
  EXPECT_EQ(strNames, DataFile("log_names.txt"));
}

class LogFilter : public LogTest {};

TEST_F(LogFilter, LineWrittenWhenItsLevelReachesItsSubModulesLevel) {
  OpenLog();
  size_t nExpectedFileLines = 0;
  auto Level = [](const std::string& strName) {
    for (u32 un32Level : {0u, 1u, 2u, 3u, 4u, 0x7FFFFFFDu, 0x7FFFFFFEu, 0x7FFFFFFFu}) {
      if (strName == GetTraceLevelName(un32Level)) return static_cast<_VQX_TRACE_LEVEL>(un32Level);
    }
    return VQLV0;
  };
  ExpectRows("log_filter_rows.txt", 5, [&](std::vector<std::string>& a) {
    const u32 un32SubMod = static_cast<u32>(std::stoul(a[1]));
    const auto SubMod = static_cast<_VQCAF_SUBMODULE_TYPE>(un32SubMod);
    const _VQX_TRACE_LEVEL LineLevel = Level(a[3]);
    SetSubModTraceLevel(SubMod, Level(a[2]));
    const bool fEnabled = IsLogTraceEnabled(SubMod, LineLevel);
    SubModLogTrace(SubMod, LineLevel, "free %s", a[0].c_str());
    CVQCAFLogTrace(SubMod).LogTrace(LineLevel, "object %s", a[0].c_str());
    if (un32SubMod == VQCAF_SUBMODULE_BASE) LogTrace(LineLevel, "base %s", a[0].c_str());
    const std::vector<CapturedLine> aLines = mListener.Take();
    const size_t nWays = un32SubMod == VQCAF_SUBMODULE_BASE ? 3u : 2u;
    a[4] = fEnabled && aLines.size() == nWays ? "yes" : !fEnabled && aLines.empty() ? "no" : "some";
    for (const CapturedLine& L : aLines) {
      EXPECT_EQ(L.un32Level, static_cast<u32>(LineLevel)) << a[0];
      EXPECT_EQ(L.un32SubMod, un32SubMod) << a[0];
      EXPECT_EQ(L.strText.substr(L.strText.find(' ') + 1), a[0]) << a[0];
    }
    nExpectedFileLines += aLines.size();
  });
  // The file has exactly the lines that passed, each with level and sub-module.
  const std::vector<std::string> aFile = FileLines();
  ASSERT_EQ(aFile.size(), nExpectedFileLines);
  EXPECT_EQ(aFile[0], "VQERR BASE free error over message level");
  EXPECT_EQ(aFile.back(), "VQLV4 APP16 object highest trace");
}

TEST_F(LogFilter, LevelChangesApplyAtOnceAndPerSubModule) {
  mParams.maun32SubModTraceLevel[VQCAF_SUBMODULE_BASE] = VQERR;
  OpenLog();
  CVQCAFLogTrace Call(VQCAF_SUBMODULE_CALL);
  Call.LogTrace(VQLV3, "hidden");
  ASSERT_EQ(SetSubModTraceLevel(VQCAF_SUBMODULE_CALL, VQLV3), VQX_RESULT_OK);
  Call.LogTrace(VQLV3, "shown");
  CVQCAFLogTrace(VQCAF_SUBMODULE_CMC).LogTrace(VQLV3, "still hidden");
  EXPECT_EQ(SetSubModTraceLevel(static_cast<_VQCAF_SUBMODULE_TYPE>(64), VQLV0), VQX_RESULT_INVALID_PARAM);
  // A number past the last sub-module is filtered as BASE and named "????".
  SubModLogTrace(static_cast<_VQCAF_SUBMODULE_TYPE>(70), VQMSG, "dropped by base level");
  SubModLogTrace(static_cast<_VQCAF_SUBMODULE_TYPE>(70), VQERR, "kept");
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

TEST_F(LogFilter, PrefixesCutLinesAndFoundationDiagnostics) {
  mParams.maun32SubModTraceLevel[VQCAF_SUBMODULE_SERVICE] = VQLV0;
  mParams.maun32SubModTraceLevel[VQCAF_SUBMODULE_BASE] = VQERR;
  OpenLog();
  CNamedTrace Named;
  Named.LogTrace(VQMSG, "started %u\n", 3u);  // the plain form reaches the prefix form a service overrides
  CVQCAFLogTrace Plain(VQCAF_SUBMODULE_SERVICE);
  char acA[] = "[a] ", acB[] = "[b] ";
  char* apszPrefix[3] = {acA, nullptr, acB};  // a null entry is skipped
  CallWithPrefixes(Plain, apszPrefix, "x=%d", 42);
  const std::string strLong(VQCAF_LOG_MAX_TEXT + 500, 'x');
  const std::string strExact(VQCAF_LOG_MAX_TEXT, 'y');
  const std::string strMark = VQCAF_LOG_TRUNCATED_MARK;
  LogTrace(VQERR, "%s", strLong.c_str());   // cut and marked
  LogTrace(VQERR, "%s", strExact.c_str());  // exactly the limit: not cut
  // The foundation's lines land under BASE, filtered by its level.
  VqcafDiagPrintf(VQCAF_DIAG_LEVEL_MESSAGE, "filtered %d\n", 1);
  VqcafDiagPrintf(VQCAF_DIAG_LEVEL_ERROR, "~CVQCAFPool: error: Element still present in pool!!!\n");
  const std::string strCut = strLong.substr(0, VQCAF_LOG_MAX_TEXT - strMark.size()) + strMark;
  EXPECT_EQ(mListener.Texts(), std::vector<std::string>({"svc: started 3\n", "[a] [b] x=42", strCut, strExact,
                                                         "~CVQCAFPool: error: Element still present in pool!!!\n"}));
  // One newline in the file, whether the text brought one or not.
  EXPECT_EQ(FileLines(),
            std::vector<std::string>({"VQMSG SER  svc: started 3", "VQERR SER  [a] [b] x=42",
                                      "VQERR BASE " + strCut.substr(0, strCut.size() - 1), "VQERR BASE " + strExact,
                                      "VQERR BASE ~CVQCAFPool: error: Element still present in pool!!!"}));
}

/* Logs from inside its call, adds and removes listeners there, and throws once. */
class CUnrulyListener : public IVQCAFLogTraceListener {
 public:
  void OnLogTrace(_VQX_TRACE_LEVEL, _VQCAF_SUBMODULE_TYPE, const char* pszText, u32) override {
    mun32AddResult = AddLogTraceListener(this);
    mun32RemoveResult = RemoveLogTraceListener(this);
    LogTrace(VQERR, "inner of %s", pszText);
    if (++mun32Calls == 1) throw std::length_error("listener");
  }
  std::atomic<u32> mun32Calls{0}, mun32AddResult{0}, mun32RemoveResult{0};
};

/* None of it dead-locks on the listener registry, recurses into the listener or reaches the caller. */
TEST_F(LogFilter, AListenerCannotDeadLockRecurseOrThrowIntoItsCaller) {
  OpenLog();
  CUnrulyListener Unruly;
  ASSERT_EQ(AddLogTraceListener(&Unruly), VQX_RESULT_OK);
  auto Outer = std::async(std::launch::async, [] { LogTrace(VQERR, "outer"); });
  if (Outer.wait_for(kBound) != std::future_status::ready) {
    ADD_FAILURE() << "the logging thread dead-locked inside its listener";
    std::_Exit(1);  // the blocked thread cannot be ended otherwise
  }
  EXPECT_NO_THROW(Outer.get());
  ExpectSteps({{"remove", RemoveLogTraceListener(&Unruly), VQX_RESULT_OK},
               {"calls", Unruly.mun32Calls.load(), 1},  // not for its own lines
               {"add from inside", Unruly.mun32AddResult.load(), VQX_RESULT_INVALID_STATE},
               {"remove from inside", Unruly.mun32RemoveResult.load(), VQX_RESULT_INVALID_STATE}});
  const std::vector<std::string> aFile = FileLines();
  ASSERT_EQ(aFile.size(), 3u);
  EXPECT_EQ(aFile[0], "VQERR BASE inner of outer");
  EXPECT_EQ(aFile[1].rfind("VQERR BASE IVQCAFLogTraceListener::OnLogTrace: ", 0), 0u) << aFile[1];
  EXPECT_NE(aFile[1].find("(8200000A)"), std::string::npos) << aFile[1];
  EXPECT_EQ(aFile[2], "VQERR BASE outer");
}

/* A start's error lines kept for its terminal: those the file took, whole as there, errors only, at most 16; none
 * before the hold, nor written to standard error (no file), nor after the take. */
TEST_F(LogFilter, HeldErrorLinesAreTheFilesErrorLinesWhileHeld) {
  LogTrace(VQERR, "before the log");  // standard error: the terminal has it
  HoldErrorLines();
  LogTrace(VQERR, "no file yet");
  OpenLog();
  LogTrace(VQMSG, "a message");
  SubModLogTrace(VQCAF_SUBMODULE_COMM, VQERR, "the cause");
  VqcafDiagPrintf(VQCAF_DIAG_LEVEL_ERROR, "a foundation error\n");
  for (u32 i = 0; i < VQCAF_LOG_MAX_HELD_LINES; i++) LogTrace(VQERR, "more %u", i);
  const std::vector<std::string> aHeld = TakeHeldErrorLines();
  ASSERT_EQ(aHeld.size(), VQCAF_LOG_MAX_HELD_LINES);
  const std::vector<std::string> aFile = FileLines();
  ASSERT_EQ(aFile.size(), 3u + VQCAF_LOG_MAX_HELD_LINES) << "the message, the cause, the foundation's and 16 more";
  for (u32 i = 0; i < aHeld.size(); i++) {
    EXPECT_EQ(aHeld[i].back(), '\n') << i;
    EXPECT_TRUE(aHeld[i].ends_with(aFile[i + 1] + "\n")) << "whole as in the file: " << aHeld[i];
    EXPECT_EQ(aHeld[i].find(" VQERR "), 23u) << "time stamp first: " << aHeld[i];
  }
  EXPECT_TRUE(aHeld[0].ends_with("VQERR COMM the cause\n")) << aHeld[0];
  EXPECT_TRUE(aHeld[1].ends_with("VQERR BASE a foundation error\n")) << aHeld[1];
  LogTrace(VQERR, "after the take");
  EXPECT_TRUE(TakeHeldErrorLines().empty()) << "holding stopped";
  HoldErrorLines();
  EXPECT_TRUE(TakeHeldErrorLines().empty()) << "a new hold starts empty";
}

TEST_F(LogFilter, ListenerRegistry) {
  OpenLog();
  std::vector<CCaptureListener> aMore(VQCAF_LOG_MAX_LISTENERS);
  EXPECT_EQ(AddLogTraceListener(nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(AddLogTraceListener(&mListener), VQX_RESULT_ACCESS_DENIED);  // already added
  for (u32 i = 0; i + 1 < VQCAF_LOG_MAX_LISTENERS; i++) ASSERT_EQ(AddLogTraceListener(&aMore[i]), VQX_RESULT_OK);
  EXPECT_EQ(AddLogTraceListener(&aMore.back()), VQX_RESULT_OUT_OF_RESOURCE);
  LogTrace(VQERR, "to all");
  for (u32 i = 0; i + 1 < VQCAF_LOG_MAX_LISTENERS; i++) {
    EXPECT_EQ(aMore[i].Take().size(), 1u) << i;
    EXPECT_EQ(RemoveLogTraceListener(&aMore[i]), VQX_RESULT_OK) << i;
  }
  EXPECT_TRUE(aMore.back().Take().empty());
  EXPECT_EQ(RemoveLogTraceListener(&aMore[0]), VQX_RESULT_NOT_FOUND);
  EXPECT_EQ(RemoveLogTraceListener(nullptr), VQX_RESULT_NULL_PARAM);
  LogTrace(VQERR, "after removal");
  EXPECT_TRUE(aMore[0].Take().empty());
  EXPECT_EQ(mListener.Take().size(), 2u);
}

}  // namespace
