#include "support/sigtrace_test_app.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/sigtrace_test_support.h"
#include "vqcafdiag.h"
#include "vqx_host.h"

namespace sigtest {

CLogLines::CLogLines() {
  EXPECT_EQ(VQCAF::AddLogTraceListener(this), VQX_RESULT_OK);
  VQCAF::VqcafSetDiagPrinter([](void* pv, u32, const char* psz) { static_cast<CLogLines*>(pv)->Add(psz); }, this);
}
CLogLines::~CLogLines() {
  VQCAF::VqcafSetDiagPrinter(nullptr, nullptr);
  VQCAF::RemoveLogTraceListener(this);
}
void CLogLines::OnLogTrace(_VQX_TRACE_LEVEL Level, VQCAF::_VQCAF_SUBMODULE_TYPE, const char* pszText, u32 un32Length) {
  Add(std::string(pszText, un32Length), Level);
}
void CLogLines::Add(std::string str, _VQX_TRACE_LEVEL Level) {
  while (!str.empty() && str.back() == '\n') str.pop_back();
  std::lock_guard<std::mutex> Lock(mMutex);
  maLines.push_back(std::move(str));
  maLevels.push_back(Level);
}
std::vector<std::string> CLogLines::Take() {
  std::lock_guard<std::mutex> Lock(mMutex);
  maLevels.clear();
  return std::exchange(maLines, {});
}
size_t CLogLines::CountAt(_VQX_TRACE_LEVEL Level, const std::string& strPart) {
  std::lock_guard<std::mutex> Lock(mMutex);
  size_t n = 0;
  for (size_t i = 0; i < maLines.size(); i++) n += maLevels[i] == Level && maLines[i].find(strPart) != std::string::npos;
  return n;
}
std::string CLogLines::Text() {
  std::string str;
  for (const std::string& s : Take()) str += (str.empty() ? "" : "\n") + s;
  return str;
}

std::vector<std::vector<std::string>> DataRows(const std::string& strName) {
  std::vector<std::vector<std::string>> aRows;
  std::istringstream In(ReadFile(DataPath(strName)));
  for (std::string strLine; std::getline(In, strLine);) {
    if (strLine.empty() || strLine[0] == '#') continue;
    std::vector<std::string> aFields;
    strLine += ' ';  // a row ending in " |" gets its empty last field
    for (size_t n; (n = strLine.find(" | ")) != std::string::npos; strLine.erase(0, n + 3)) aFields.push_back(strLine.substr(0, n));
    if (!strLine.empty()) strLine.pop_back();
    aFields.push_back(strLine);
    aRows.push_back(aFields);
  }
  return aRows;
}

std::vector<u32> ReceivedMsg(u32 un32Id, const std::vector<u8>& Payload, u32 hAdapter) {
  std::vector<u32> v((VQX_MSG_HEADER_SIZE + Payload.size()) / 4 + 1);
  auto* h = reinterpret_cast<VQX_MSG_HEADER*>(v.data());
  h->un32MsgId = un32Id, h->un32PayloadStart = VQX_MSG_HEADER_SIZE, h->un32PayloadLength = u32(Payload.size());
  h->un32Length = VQX_MSG_HEADER_SIZE + u32(Payload.size());
  h->hAdapter = hAdapter;
  std::copy(Payload.begin(), Payload.end(), reinterpret_cast<u8*>(v.data()) + VQX_MSG_HEADER_SIZE);
  return v;
}

std::vector<u8> DispatchSeed(const std::string& strName) {
  std::ifstream In(std::string(getenv("VQX_SOURCE_DIR")) + "/sigtrace/fuzz/seeds/fuzz_app_dispatch/" + strName);
  const std::string s((std::istreambuf_iterator<char>(In)), {});
  return s.empty() ? std::vector<u8>() : std::vector<u8>(s.begin() + 1, s.end());
}

std::vector<u8> Patched(std::vector<u8> Payload, u32 un32Offset, u64 v, u32 un32Size) {
  for (u32 i = 0; i < un32Size && un32Offset + i < Payload.size(); i++) Payload[un32Offset + i] = u8(v >> (8 * i));
  return Payload;
}

std::vector<char*> Argv(std::vector<std::string>& aStore, const std::string& strArgs) {
  aStore = {"quellan"};
  std::istringstream In(strArgs);
  for (std::string s; In >> s;) aStore.push_back(s);
  std::vector<char*> apsz;
  for (std::string& s : aStore) apsz.push_back(s.data());
  return apsz;
}

COffScreenConsole::COffScreenConsole(u32 un32Rows, u32 un32Columns) {
  _VQX_CLI_TOOLS_INIT_PARAMS P;
  VqxCliToolsInitParamsDefault(&P);
  P.fOffScreen = 1;
  P.un32Columns = un32Columns;
  P.un32Rows = un32Rows;
  P.un32LogViewLines = 0;
  EXPECT_EQ(Cli.Open(P, nullptr), VQX_RESULT_OK);
}
COffScreenConsole::~COffScreenConsole() { Cli.Close(); }

std::string ConsoleKeys(VQCAF::CVQCAFCli& Cli, const std::string& strKeys, bool fEnter) {
  for (char c : strKeys) VqxCliToolsInjectKey(Cli.GetHandle(), static_cast<unsigned char>(c));
  if (fEnter) VqxCliToolsInjectKey(Cli.GetHandle(), '\r');
  VqxCliToolsRefresh(Cli.GetHandle());
  static char s_acFrame[65536];
  VqxCliToolsGetFrameText(Cli.GetHandle(), s_acFrame, sizeof(s_acFrame));
  return s_acFrame;
}

}  // namespace sigtest
