/*
 * hostlib_fixture.cpp - shared helpers of the host library's tests.
 */
#include "support/hostlib_fixture.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>

std::string DataPath(const char* pszFile) {
  const char* pszDir = getenv("VQX_TEST_DATA");
  return std::string(pszDir != nullptr ? pszDir : ".") + "/" + pszFile;
}

std::vector<std::vector<std::string>> DataRows(const char* pszFile) {
  std::vector<std::vector<std::string>> rows;
  std::ifstream in(DataPath(pszFile));
  EXPECT_TRUE(in.good()) << pszFile;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields;
    for (size_t start = 0;;) {
      const size_t bar = line.find(" | ", start);
      fields.push_back(line.substr(start, bar - start));
      if (bar == std::string::npos) break;
      start = bar + 3;
    }
    rows.push_back(fields);
  }
  EXPECT_FALSE(rows.empty()) << pszFile;
  return rows;
}

unsigned long long DataNum(const std::string& field) { return std::stoull(field, nullptr, 0); }

void ExpectGolden(const std::string& text, const char* pszFile) {
  if (getenv("VQX_UPDATE_GOLDEN") != nullptr) {
    std::ofstream(DataPath(pszFile)) << text;
    return;
  }
  std::ifstream in(DataPath(pszFile));
  std::stringstream expected;
  expected << in.rdbuf();
  EXPECT_EQ(text, expected.str()) << "golden file " << pszFile;
}

void CapturedLog::OnLine(void* pvContext, VQX_LIB_HANDLE, const char* pszLine) {
  CapturedLog* pLog = static_cast<CapturedLog*>(pvContext);
  std::lock_guard<std::mutex> guard(pLog->mMutex);
  pLog->mLines.emplace_back(pszLine);
}

std::vector<std::string> CapturedLog::Lines() {
  std::lock_guard<std::mutex> guard(mMutex);
  return mLines;
}

size_t CapturedLog::Count(const char* pszText) {
  std::lock_guard<std::mutex> guard(mMutex);
  size_t n = 0;
  for (const std::string& line : mLines) n += line.find(pszText) != std::string::npos;
  return n;
}

bool CapturedLog::WaitFor(const char* pszText, unsigned uTimeoutMs, size_t nLines) {
  return WaitUntil([&] { return Count(pszText) >= nLines; }, uTimeoutMs);
}

std::string CapturedLog::Text(const char* pszFrom) {
  std::string text;
  bool fFound = false;
  for (const std::string& line : Lines()) {
    fFound = fFound || line.find(pszFrom) != std::string::npos;
    if (fFound) text += line;
  }
  std::string out;
  for (size_t i = 0; i < text.size();) {
    size_t n = 0;
    if (text.compare(i, 2, "0x") == 0) {
      while (isxdigit(static_cast<unsigned char>(text[i + 2 + n]))) n++;
      n = n > 8 ? n + 2 : 0;
    } else if (isdigit(static_cast<unsigned char>(text[i])) && (i == 0 || !isalnum(static_cast<unsigned char>(text[i - 1])))) {
      while (isdigit(static_cast<unsigned char>(text[i + n]))) n++;
      n = text.compare(i + n, 6, "ms ago") == 0 || text.compare(i + n, 11, " ms elapsed") == 0 ? n : 0;
    }
    out += n != 0 ? "@" : text.substr(i, 1);
    i += n != 0 ? n : 1;
  }
  return out;
}

void CapturedLog::Clear() {
  std::lock_guard<std::mutex> guard(mMutex);
  mLines.clear();
}

size_t ThreadsStartedSince(const std::set<std::string>& before) {
  size_t n = 0;
  for (const std::string& id : ProcessThreadIds()) n += before.count(id) == 0 ? 1 : 0;
  return n;
}

size_t ThreadsLeftSince(const std::set<std::string>& before) {
  WaitUntil([&] { return ThreadsStartedSince(before) == 0; }, 5000);
  return ThreadsStartedSince(before);
}

_VQX_LIB_PARAMS HostLibTestParams(CapturedLog* pLog) {
  _VQX_LIB_PARAMS params;
  memset(&params, 0, sizeof(params));
  params.un32StructVersion = 1;
  params.un32TransportType = 1;
  params.fAdaptersGwOff = 1;
  params.un32TraceLevel = 0;
  if (pLog != nullptr) {
    params.pFctErrorCallback = CapturedLog::OnLine;
    params.pvErrorContext = pLog;
    params.pFctTraceCallback = CapturedLog::OnLine;
    params.pvTraceContext = pLog;
  }
  return params;
}

void HostLibTest::SetUp() {
  mParams = HostLibTestParams(&mLog);
  ASSERT_EQ(VQXOpenLib(&mParams, &mhLib), VQX_RESULT_API_OK);
  ASSERT_NE(mhLib, nullptr);
}

void HostLibTest::Reopen(const std::function<void(_VQX_LIB_PARAMS&)>& pFctEdit) {
  if (mhLib != nullptr) { ASSERT_EQ(VQXCloseLibEx(&mhLib), VQX_RESULT_API_OK); }
  mParams = HostLibTestParams(&mLog);
  pFctEdit(mParams);
  ASSERT_EQ(VQXOpenLib(&mParams, &mhLib), VQX_RESULT_API_OK);
}

void HostLibTest::TearDown() {
  if (mhLib != nullptr) { EXPECT_EQ(VQXCloseLibEx(&mhLib), VQX_RESULT_API_OK); }
}

