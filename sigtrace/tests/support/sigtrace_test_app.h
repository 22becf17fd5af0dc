/*
 * sigtrace_test_app.h - helpers shared by the application-side tests
 * (command line, configuration reader, activation, adapter page): every log
 * line of the framework log and of the foundation's failure printer in one
 * list, and an off-screen console whose frames are read back as text.
 */
#ifndef SIGTRACE_TEST_APP_H
#define SIGTRACE_TEST_APP_H

#include <mutex>
#include <string>
#include <vector>

#include "vqcafcli.h"
#include "vqcaflog.h"
#include "vqx_types.h"

namespace sigtest {

/* The lines logged (LogTrace) and the failure lines printed while it lives,
 * in arrival order, each without its trailing newline. */
class CLogLines : public VQCAF::IVQCAFLogTraceListener {
 public:
  CLogLines();
  ~CLogLines() override;
  void OnLogTrace(_VQX_TRACE_LEVEL Level, VQCAF::_VQCAF_SUBMODULE_TYPE SubMod, const char* pszText,
                  u32 un32Length) override;
  /* What arrived since the last Take. */
  std::vector<std::string> Take();
  /* The lines so far joined by "\n" (emptied). */
  std::string Text();
  /* The lines since the last Take of that level holding strPart (none taken). */
  size_t CountAt(_VQX_TRACE_LEVEL Level, const std::string& strPart);

 private:
  void Add(std::string str, _VQX_TRACE_LEVEL Level = VQLV0);
  std::mutex mMutex;
  std::vector<std::string> maLines;
  std::vector<_VQX_TRACE_LEVEL> maLevels; /* of each line (VQLV0 for the diagnostic printer's) */
};

/* The rows of a table kept in tests/data: one row a line, fields separated
 * by " | " (kept as written, a row ending in " |" has an empty last field);
 * blank lines and lines starting with '#' are skipped. */
std::vector<std::vector<std::string>> DataRows(const std::string& strName);
/* A message as the main loop receives it: the 88-byte header (id, adapter
 * handle, lengths) then the payload, in words so that it is aligned. */
std::vector<u32> ReceivedMsg(u32 un32Id, const std::vector<u8>& Payload, u32 hAdapter = 0);
/* A message payload of the application dispatch fuzz target's seeds (its
 * first byte picks the id there, and is left out); empty when absent. */
std::vector<u8> DispatchSeed(const std::string& strName);
/* Payload with the u32 (or u64) v written little-endian at un32Offset. */
std::vector<u8> Patched(std::vector<u8> Payload, u32 un32Offset, u64 v, u32 un32Size = 4);

/* argv of "quellan" and the blank-separated words of strArgs (valid while
 * the vector of strings lives). */
std::vector<char*> Argv(std::vector<std::string>& aStore, const std::string& strArgs);

/* Feeds the keys to an off-screen console (text characters one by one, then
 * Return when fEnter), draws one frame and returns it as text. */
std::string ConsoleKeys(VQCAF::CVQCAFCli& Cli, const std::string& strKeys, bool fEnter = false);

/* An off-screen console of un32Columns x un32Rows with the given pages. */
class COffScreenConsole {
 public:
  explicit COffScreenConsole(u32 un32Rows = 40, u32 un32Columns = 100);
  ~COffScreenConsole();
  VQCAF::CVQCAFCli Cli;
  std::string Keys(const std::string& strKeys, bool fEnter = false) { return ConsoleKeys(Cli, strKeys, fEnter); }
  std::string Frame() { return Keys(""); }
};

}  // namespace sigtest

#endif
