/*
 * clitools_cli.cpp - the console engine: terminal set-up and restore, the
 * console thread (keys, prompt flow, frames), frame composition and the log
 * ring. Contract in vqx_clitools_cli.h.
 *
 * Locks: mMutex guards the thread's stop and refresh requests only; mLogMutex
 * guards the log ring and is a leaf (nothing is called under it). Frame and
 * command state belong to the console thread (or to the off-screen caller).
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "clitools_keys_internal.h"
#include "vqx_clitools_cli.h"
#include "vqx_result.h"

namespace {

constexpr const char* kExceedText = "VqxCliToolsCliThread: Command (%u) exceed maximum prompt size (%u)!!! Increase this value\n";
constexpr std::string_view kEnterScreen = "\x1b[?1049h\x1b[?25l";
constexpr std::string_view kLeaveScreen = "\x1b[?1049l\x1b[?25h";

u32 Clamp(u32 v, u32 lo, u32 hi) { return v < lo ? lo : (v > hi ? hi : v); }

/* ------------------------------------------------------------ terminal */

/* One terminal at a time: what was there before, for every exit path. */
struct TerminalState {
  std::atomic<bool> fSaved{false};
  int fd = -1;
  int fdOut = -1;
  struct termios Saved {};
  struct sigaction aOld[4] {};
};
TerminalState g_Term;
constexpr int kSignals[4] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};
std::atomic<bool> g_fResized{false};

/* Async-signal-safe: tcsetattr and write only. */
void RestoreTerminal() {
  if (!g_Term.fSaved.exchange(false)) return;
  tcsetattr(g_Term.fd, TCSANOW, &g_Term.Saved);
  ssize_t n = write(g_Term.fdOut, kLeaveScreen.data(), kLeaveScreen.size());
  (void)n;
}

void OnFatalSignal(int nSig) {
  RestoreTerminal();
  for (int i = 0; i < 4; i++) {
    if (kSignals[i] == nSig) sigaction(nSig, &g_Term.aOld[i], nullptr);
  }
  raise(nSig);
}

void OnResize(int) { g_fResized = true; }

bool SetUpTerminal(int fdIn, int fdOut) {
  struct termios Raw;
  if (tcgetattr(fdIn, &g_Term.Saved) != 0) return false;
  g_Term.fd = fdIn;
  g_Term.fdOut = fdOut;
  static std::once_flag s_AtExit;
  std::call_once(s_AtExit, [] { atexit(RestoreTerminal); });
  struct sigaction Sa {};
  Sa.sa_handler = OnFatalSignal;
  sigemptyset(&Sa.sa_mask);
  for (int i = 0; i < 4; i++) sigaction(kSignals[i], &Sa, &g_Term.aOld[i]);
  Sa.sa_handler = OnResize;
  Sa.sa_flags = SA_RESTART;
  sigaction(SIGWINCH, &Sa, nullptr);
  Raw = g_Term.Saved;
  Raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  Raw.c_cc[VMIN] = 1;
  Raw.c_cc[VTIME] = 0;
  g_Term.fSaved = true;
  tcsetattr(fdIn, TCSANOW, &Raw);
  ssize_t n = write(fdOut, kEnterScreen.data(), kEnterScreen.size());
  (void)n;
  return true;
}

void TearDownTerminal() {
  RestoreTerminal();
  for (int i = 0; i < 4; i++) sigaction(kSignals[i], &g_Term.aOld[i], nullptr);
  signal(SIGWINCH, SIG_DFL);
}

void WriteAll(int fd, const std::string& s) {
  size_t off = 0;
  while (off < s.size()) {
    const ssize_t n = write(fd, s.data() + off, s.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

/* --------------------------------------------------------------- keys */

struct KeySeq {
  std::string_view sv;
  int nKey;
};
constexpr KeySeq kKeySeqs[] = {
    {"\x1b[1;5A", VQX_CLI_TOOLS_KEY_CTRL_UP}, {"\x1b[1;5B", VQX_CLI_TOOLS_KEY_CTRL_DOWN},
    {"\x1bOa", VQX_CLI_TOOLS_KEY_CTRL_UP},    {"\x1bOb", VQX_CLI_TOOLS_KEY_CTRL_DOWN},
    {"\x1b[Z", VQX_CLI_TOOLS_KEY_BACK_TAB},   {"\x1b[5~", VQX_CLI_TOOLS_KEY_PAGE_UP},
    {"\x1b[6~", VQX_CLI_TOOLS_KEY_PAGE_DOWN}, {"\x1b[A", VQX_CLI_TOOLS_KEY_UP},
    {"\x1b[B", VQX_CLI_TOOLS_KEY_DOWN},
};

}  // namespace

int VqxCliToolsTakeKey(std::string& strIn, bool fFlush) {
  const unsigned char c = static_cast<unsigned char>(strIn[0]);
  if (c != 0x1B) {
    strIn.erase(0, 1);
    if (c == '\n') return '\r';
    if (c == 0x7F) return 8;
    return c;
  }
  for (const KeySeq& k : kKeySeqs) {
    if (strIn.compare(0, k.sv.size(), k.sv) == 0) {
      strIn.erase(0, k.sv.size());
      return k.nKey;
    }
  }
  /* CSI or SS3 sequence we do not use: skip it whole. */
  if (strIn.size() >= 2 && (strIn[1] == '[' || strIn[1] == 'O')) {
    for (size_t i = 2; i < strIn.size(); i++) {
      if (strIn[i] >= 0x40 && strIn[i] <= 0x7E) {
        strIn.erase(0, i + 1);
        return -1;
      }
    }
    if (strIn.size() < 16 && !fFlush) return 0;
  } else if (strIn.size() < 2 && !fFlush) {
    return 0;
  }
  strIn.erase(0, 1);
  return VQX_CLI_TOOLS_KEY_ESCAPE;
}

namespace {

/* -------------------------------------------------------------- frame */

size_t EscapeLength(std::string_view sv) {
  if (sv.size() < 2 || sv[0] != 0x1B) return 0;
  if (sv[1] != '[') return 2;
  for (size_t i = 2; i < sv.size(); i++) {
    if (sv[i] >= 0x40 && sv[i] <= 0x7E) return i + 1;
  }
  return sv.size();
}

/* Lines being drawn: text cut at the width, escapes kept with zero width. */
struct Canvas {
  u32 un32Cols = 80, un32Rows = 20;
  std::vector<std::string> aLines;
  std::vector<bool> afBlink;
  u32 un32Line = 0, un32Col = 0;

  void Reset(u32 cols, u32 rows) {
    un32Cols = cols;
    un32Rows = rows;
    aLines.assign(rows, std::string());
    afBlink.assign(rows, false);
    un32Line = un32Col = 0;
  }
  void Put(std::string_view sv) {
    for (size_t i = 0; i < sv.size();) {
      if (un32Line >= un32Rows) return;
      const size_t esc = EscapeLength(sv.substr(i));
      if (esc != 0) {
        aLines[un32Line].append(sv.substr(i, esc));
        i += esc;
        continue;
      }
      const char c = sv[i++];
      if (c == '\n') {
        un32Line++;
        un32Col = 0;
      } else if (c == '\r') {
        continue;
      } else if (un32Col < un32Cols) {
        aLines[un32Line].push_back(static_cast<unsigned char>(c) < 0x20 ? ' ' : c);
        un32Col++;
      }
    }
  }
  u32 Remaining() const {
    if (un32Line >= un32Rows) return 0;
    return un32Rows - un32Line - (un32Col != 0 ? 1 : 0);
  }
};

/* One row: the text, attributes reset, rest of the row cleared. */
void AppendRow(std::string& strFrame, const std::string& strRow, bool fBlink, bool fLast) {
  if (fBlink) strFrame += "\x1b[5m";
  strFrame += strRow;
  strFrame += "\x1b[m\x1b[K";
  if (!fLast) strFrame += "\r\n";
}

std::string StripEscapes(std::string_view sv) {
  std::string s;
  for (size_t i = 0; i < sv.size();) {
    const size_t esc = EscapeLength(sv.substr(i));
    if (esc != 0) {
      i += esc;
    } else {
      s.push_back(sv[i++]);
    }
  }
  return s;
}

}  // namespace

struct VQX_CLI_TOOLS_HANDLE_ {
  _VQX_CLI_TOOLS_INIT_PARAMS P{};
  bool fInteractive = false;
  int fdIn = 0, fdOut = 1;
  u32 un32Cols = 80, un32Rows = 24;
  int afdWake[2] = {-1, -1};

  std::mutex Mutex;
  std::condition_variable Cond;
  bool fStop = false;
  bool fRefresh = true;
  std::thread Thread;

  Canvas Page;
  std::vector<std::string> aFrameRows;  // last frame, with escapes
  _VQX_CLI_TOOLS_CMD Cmd{};
  bool fPrompting = false;
  bool fTyped = false;
  bool fInvalid = false;

  std::mutex LogMutex;
  std::deque<std::string> Log;
  u32 un32LogScroll = 0;

  u32 PageRows() const {
    const u32 un32Fixed = 3;  // title, separator, prompt
    const u32 un32Log = std::min(P.un32LogViewLines, un32Rows > un32Fixed + 4 ? un32Rows - un32Fixed - 4 : 0);
    return un32Rows - un32Fixed - un32Log;
  }
  std::string PromptRow() {
    std::string s;
    if (fPrompting) {
      s = std::string(P.szPromptTitle) + Cmd.aszLabel[Cmd.un32Index] + Cmd.aszValue[Cmd.un32Index];
      if (fInvalid) s = std::string(P.szPromptInvalid) + " " + s;
    } else {
      s = P.szPromptHint;
    }
    return s;
  }
  void Compose();
  void Draw();
  void HandleKey(int nKey);
  void EndField();
  void Run();
};

void VQX_CLI_TOOLS_HANDLE_::Compose() {
  std::vector<std::string> aRows;
  aRows.reserve(un32Rows);
  Canvas Title;
  Title.Reset(un32Cols, 1);
  Title.Put(P.szTitle);
  aRows.push_back("\x1b[7m" + Title.aLines[0]);
  for (u32 i = 0; i < Page.un32Rows; i++) aRows.push_back((Page.afBlink[i] ? "\x1b[5m" : "") + Page.aLines[i]);
  const u32 un32LogRows = un32Rows - 3 - Page.un32Rows;
  Canvas Rest;
  Rest.Reset(un32Cols, un32LogRows + 2);
  Rest.Put(std::string(un32Cols, '-') + "\n");
  {
    std::lock_guard<std::mutex> Lock(LogMutex);
    const size_t nEnd = Log.size() - std::min<size_t>(un32LogScroll, Log.size());
    const size_t nBegin = nEnd > un32LogRows ? nEnd - un32LogRows : 0;
    for (size_t i = nBegin; i < nEnd; i++) Rest.Put(Log[i] + "\n");
  }
  Rest.un32Line = un32LogRows + 1;
  Rest.un32Col = 0;
  Rest.Put(PromptRow());
  for (const std::string& s : Rest.aLines) aRows.push_back(s);
  aFrameRows.swap(aRows);
}

void VQX_CLI_TOOLS_HANDLE_::Draw() {
  if (P.fOffScreen == 0 && g_fResized.exchange(false)) {
    struct winsize Ws {};
    if (ioctl(fdOut, TIOCGWINSZ, &Ws) == 0 && Ws.ws_col > 0 && Ws.ws_row > 0) {
      un32Cols = Clamp(Ws.ws_col, 20, 1000);
      un32Rows = Clamp(Ws.ws_row, 8, 1000);
    }
  }
  Page.Reset(un32Cols, PageRows());
  P.pfnDisplay(P.pvContext, this);
  Compose();
  if (!fInteractive) return;
  std::string strFrame = "\x1b[H";
  for (size_t i = 0; i < aFrameRows.size(); i++) AppendRow(strFrame, aFrameRows[i], false, i + 1 == aFrameRows.size());
  WriteAll(fdOut, strFrame);
}

void VQX_CLI_TOOLS_HANDLE_::EndField() {
  u32 fValid = 0;
  P.pfnValidate(P.pvContext, &Cmd, &fValid);
  if (fValid == 0) {
    fInvalid = true;
    fTyped = false;
    return;
  }
  fInvalid = false;
  fTyped = false;
  Cmd.un32Index++;
  if (Cmd.un32Index >= P.un32MaxPromptFields || Cmd.aszLabel[Cmd.un32Index][0] == '\0') {
    fPrompting = false;
    P.pfnApply(P.pvContext, &Cmd);
    Cmd.un32Cmd = 0;
  }
}

void VQX_CLI_TOOLS_HANDLE_::HandleKey(int nKey) {
  if (fPrompting) {
    char* pszValue = Cmd.aszValue[Cmd.un32Index];
    const size_t len = strnlen(pszValue, VQX_CLI_TOOLS_CMD_TEXT_SIZE - 1);
    if (nKey == VQX_CLI_TOOLS_KEY_ESCAPE) {
      fPrompting = false;
      fInvalid = false;
      Cmd.un32Cmd = 0;
    } else if (nKey == '\r') {
      EndField();
    } else if (nKey == 8) {
      if (len > 0) pszValue[len - 1] = '\0';
      fTyped = true;
    } else if (nKey >= 0x20 && nKey < 0x7F) {
      if (!fTyped) pszValue[0] = '\0';
      fTyped = true;
      const size_t n = strnlen(pszValue, VQX_CLI_TOOLS_CMD_TEXT_SIZE - 1);
      if (n + 1 < VQX_CLI_TOOLS_CMD_TEXT_SIZE) {
        pszValue[n] = static_cast<char>(nKey);
        pszValue[n + 1] = '\0';
      }
    }
    return;
  }
  memset(&Cmd, 0, sizeof(Cmd));
  u32 fHandled = 0;
  P.pfnHandleKey(P.pvContext, nKey, &Cmd, &fHandled);
  if (Cmd.un32Cmd == 0) return;
  u32 un32Fields = 0;
  while (un32Fields < VQX_CLI_TOOLS_MAX_CMD_FIELDS && Cmd.aszLabel[un32Fields][0] != '\0') un32Fields++;
  if (un32Fields > P.un32MaxPromptFields) {
    char sz[160];
    snprintf(sz, sizeof(sz), kExceedText, Cmd.un32Cmd, P.un32MaxPromptFields);
    VqxCliToolsLogAppend(this, sz);
    Cmd.un32Cmd = 0;
    return;
  }
  for (u32 i = 0; i < un32Fields; i++) Cmd.aszValue[i][VQX_CLI_TOOLS_CMD_TEXT_SIZE - 1] = '\0';
  Cmd.un32Index = 0;
  fInvalid = false;
  fTyped = false;
  if (un32Fields == 0) {
    u32 fValid = 0;
    P.pfnValidate(P.pvContext, &Cmd, &fValid);
    if (fValid != 0) P.pfnApply(P.pvContext, &Cmd);
    Cmd.un32Cmd = 0;
    return;
  }
  fPrompting = true;
}

void VQX_CLI_TOOLS_HANDLE_::Run() {
  std::string strIn;
  bool fEof = false;
  auto LastFrame = std::chrono::steady_clock::now() - std::chrono::hours(1);
  for (;;) {
    {
      std::lock_guard<std::mutex> Lock(Mutex);
      if (fStop) return;
    }
    const auto Now = std::chrono::steady_clock::now();
    const auto Since = std::chrono::duration_cast<std::chrono::milliseconds>(Now - LastFrame).count();
    bool fWant;
    {
      std::lock_guard<std::mutex> Lock(Mutex);
      fWant = fRefresh || Since >= P.un32MaxRefreshMs || g_fResized;
    }
    if (fWant && Since >= P.un32MinRefreshMs) {
      {
        std::lock_guard<std::mutex> Lock(Mutex);
        fRefresh = false;
      }
      Draw();
      LastFrame = std::chrono::steady_clock::now();
    }
    struct pollfd aFds[2] = {{afdWake[0], POLLIN, 0}, {fEof ? -1 : fdIn, POLLIN, 0}};
    const int nTimeout = !strIn.empty() ? 30 : static_cast<int>(P.un32MinRefreshMs);
    const int n = poll(aFds, 2, nTimeout);
    if (n < 0 && errno != EINTR) return;
    if (n > 0 && (aFds[0].revents & POLLIN)) {
      char buf[16];
      ssize_t r = read(afdWake[0], buf, sizeof(buf));
      (void)r;
    }
    bool fRead = false;
    if (n > 0 && (aFds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      char buf[64];
      const ssize_t r = read(fdIn, buf, sizeof(buf));
      if (r > 0) {
        strIn.append(buf, static_cast<size_t>(r));
        fRead = true;
      } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
        fEof = true;  // end of input: no more keys, and no spinning on it
      }
    }
    while (!strIn.empty()) {
      const int nKey = VqxCliToolsTakeKey(strIn, !fRead);
      if (nKey == 0) break;
      if (nKey > 0) HandleKey(nKey);
      VqxCliToolsRequestRefresh(this);
    }
  }
}

void VqxCliToolsInitParamsDefault(_VQX_CLI_TOOLS_INIT_PARAMS* p) {
  if (p == nullptr) return;
  memset(p, 0, sizeof(*p));
  snprintf(p->szTitle, sizeof(p->szTitle), "%s", "Console");
  snprintf(p->szPromptTitle, sizeof(p->szPromptTitle), "%s", "> ");
  snprintf(p->szPromptInvalid, sizeof(p->szPromptInvalid), "%s", "Invalid value, try again:");
  snprintf(p->szPromptHint, sizeof(p->szPromptHint), "%s", "h: help, l: pages, Tab: next page, q: quit");
  p->un32MinRefreshMs = 100;
  p->un32MaxRefreshMs = 1000;
  if (const char* psz = getenv("VQX_CLI_MIN_REFRESH_MS")) p->un32MinRefreshMs = static_cast<u32>(strtoul(psz, nullptr, 10));
  if (const char* psz = getenv("VQX_CLI_MAX_REFRESH_MS")) p->un32MaxRefreshMs = static_cast<u32>(strtoul(psz, nullptr, 10));
  p->un32LogLines = 256;
  p->un32LogViewLines = 6;
  p->un32MaxPromptFields = 8;
  p->un32Columns = 80;
  p->un32Rows = 24;
}

VQX_RESULT VqxCliToolsOpen(const _VQX_CLI_TOOLS_INIT_PARAMS* pParams, VQX_CLI_TOOLS_HANDLE* phCli) {
  if (pParams == nullptr || phCli == nullptr || pParams->pfnDisplay == nullptr || pParams->pfnHandleKey == nullptr ||
      pParams->pfnValidate == nullptr || pParams->pfnApply == nullptr)
    return VQX_RESULT_NULL_PARAM;
  *phCli = nullptr;
  auto* h = new (std::nothrow) VQX_CLI_TOOLS_HANDLE_;
  if (h == nullptr) return VQX_RESULT_NOT_ENOUGH_MEMORY;
  h->P = *pParams;
  _VQX_CLI_TOOLS_INIT_PARAMS& P = h->P;
  P.szTitle[sizeof(P.szTitle) - 1] = P.szPromptTitle[sizeof(P.szPromptTitle) - 1] = '\0';
  P.szPromptInvalid[sizeof(P.szPromptInvalid) - 1] = P.szPromptHint[sizeof(P.szPromptHint) - 1] = '\0';
  P.un32MinRefreshMs = Clamp(P.un32MinRefreshMs, 10, 60000);
  P.un32MaxRefreshMs = Clamp(P.un32MaxRefreshMs, P.un32MinRefreshMs, 60000);
  P.un32LogLines = Clamp(P.un32LogLines, 16, 4096);
  P.un32LogViewLines = Clamp(P.un32LogViewLines, 0, 50);
  P.un32MaxPromptFields = Clamp(P.un32MaxPromptFields, VQX_CLI_TOOLS_MIN_PROMPT_FIELDS, VQX_CLI_TOOLS_MAX_CMD_FIELDS);
  if (P.fOffScreen != 0) {
    h->un32Cols = Clamp(P.un32Columns, 20, 1000);
    h->un32Rows = Clamp(P.un32Rows, 8, 1000);
    *phCli = h;
    return VQX_RESULT_OK;
  }
  const char* pszService = getenv("VQX_SERVICE_MODE");
  h->fInteractive = (pszService == nullptr || pszService[0] == '\0') && isatty(h->fdIn) && isatty(h->fdOut) &&
                    !g_Term.fSaved;
  if (!h->fInteractive) {
    *phCli = h;  // no terminal: no thread, no I/O
    return VQX_RESULT_OK;
  }
  if (pipe2(h->afdWake, O_CLOEXEC | O_NONBLOCK) != 0) {
    delete h;
    return VQX_RESULT_OUT_OF_RESOURCE;
  }
  g_fResized = true;  // first frame takes the window size
  if (!SetUpTerminal(h->fdIn, h->fdOut)) h->fInteractive = false;
  try {
    h->Thread = std::thread([h] { h->Run(); });
  } catch (...) {
    TearDownTerminal();
    close(h->afdWake[0]);
    close(h->afdWake[1]);
    delete h;
    return VQX_RESULT_OUT_OF_RESOURCE;
  }
  *phCli = h;
  return VQX_RESULT_OK;
}

void VqxCliToolsClose(VQX_CLI_TOOLS_HANDLE h) {
  if (h == nullptr) return;
  {
    std::lock_guard<std::mutex> Lock(h->Mutex);
    h->fStop = true;
  }
  if (h->afdWake[1] >= 0) {
    ssize_t n = write(h->afdWake[1], "x", 1);
    (void)n;
  }
  if (h->Thread.joinable()) h->Thread.join();
  if (h->fInteractive) TearDownTerminal();
  for (int fd : h->afdWake) {
    if (fd >= 0) close(fd);
  }
  delete h;
}

u32 VqxCliToolsIsInteractive(VQX_CLI_TOOLS_HANDLE h) { return h != nullptr && h->fInteractive ? 1u : 0u; }

void VqxCliToolsRequestRefresh(VQX_CLI_TOOLS_HANDLE h) {
  if (h == nullptr) return;
  {
    std::lock_guard<std::mutex> Lock(h->Mutex);
    h->fRefresh = true;
  }
  if (h->afdWake[1] >= 0) {
    ssize_t n = write(h->afdWake[1], "r", 1);
    (void)n;
  }
}

void VqxCliToolsPrint(VQX_CLI_TOOLS_HANDLE h, const char* pszFormat, ...) {
  if (h == nullptr || pszFormat == nullptr) return;
  char szSmall[512];
  va_list args;
  va_start(args, pszFormat);
  const int n = vsnprintf(szSmall, sizeof(szSmall), pszFormat, args);
  va_end(args);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof(szSmall)) {
    h->Page.Put(std::string_view(szSmall, static_cast<size_t>(n)));
    return;
  }
  std::string s(static_cast<size_t>(n) + 1, '\0');
  va_start(args, pszFormat);
  vsnprintf(s.data(), s.size(), pszFormat, args);
  va_end(args);
  s.resize(static_cast<size_t>(n));
  h->Page.Put(s);
}

void VqxCliToolsPrintFillLine(VQX_CLI_TOOLS_HANDLE h, char c) {
  if (h == nullptr || h->Page.un32Col >= h->Page.un32Cols) return;
  h->Page.Put(std::string(h->Page.un32Cols - h->Page.un32Col, c == '\n' ? ' ' : c));
}

void VqxCliToolsBlinkLine(VQX_CLI_TOOLS_HANDLE h) {
  if (h != nullptr && h->Page.un32Line < h->Page.un32Rows) h->Page.afBlink[h->Page.un32Line] = true;
}

u32 VqxCliToolsGetRemainingLines(VQX_CLI_TOOLS_HANDLE h) { return h != nullptr ? h->Page.Remaining() : 0; }

u32 VqxCliToolsGetColumns(VQX_CLI_TOOLS_HANDLE h) { return h != nullptr ? h->un32Cols : 0; }

void VqxCliToolsLogAppend(VQX_CLI_TOOLS_HANDLE h, const char* pszText) {
  if (h == nullptr || pszText == nullptr) return;
  std::string_view sv(pszText);
  std::lock_guard<std::mutex> Lock(h->LogMutex);
  while (!sv.empty()) {
    const size_t nl = sv.find('\n');
    h->Log.emplace_back(sv.substr(0, std::min<size_t>(nl, 1000)));
    if (h->Log.size() > h->P.un32LogLines) h->Log.pop_front();
    if (nl == std::string_view::npos) break;
    sv.remove_prefix(nl + 1);
  }
}

void VqxCliToolsLogClearBuffer(VQX_CLI_TOOLS_HANDLE h) {
  if (h == nullptr) return;
  std::lock_guard<std::mutex> Lock(h->LogMutex);
  h->Log.clear();
  h->un32LogScroll = 0;
}

void VqxCliToolsLogScroll(VQX_CLI_TOOLS_HANDLE h, int nLines) {
  if (h == nullptr) return;
  std::lock_guard<std::mutex> Lock(h->LogMutex);
  const long v = static_cast<long>(h->un32LogScroll) + nLines;
  const long nMax = static_cast<long>(h->Log.size()) - static_cast<long>(h->P.un32LogViewLines);  // oldest page at most
  h->un32LogScroll = static_cast<u32>(std::clamp<long>(v, 0, std::max(nMax, 0L)));
}

VQX_RESULT VqxCliToolsInjectKey(VQX_CLI_TOOLS_HANDLE h, int nKey) {
  if (h == nullptr) return VQX_RESULT_NULL_PARAM;
  if (h->P.fOffScreen == 0) return VQX_RESULT_INVALID_STATE;
  h->HandleKey(nKey);
  return VQX_RESULT_OK;
}

VQX_RESULT VqxCliToolsRefresh(VQX_CLI_TOOLS_HANDLE h) {
  if (h == nullptr) return VQX_RESULT_NULL_PARAM;
  if (h->P.fOffScreen == 0) return VQX_RESULT_INVALID_STATE;
  h->Draw();
  return VQX_RESULT_OK;
}

namespace {
VQX_RESULT GetFrame(VQX_CLI_TOOLS_HANDLE h, char* pszText, u32 un32Size, bool fEscapes) {
  if (h == nullptr || pszText == nullptr || un32Size == 0) return VQX_RESULT_NULL_PARAM;
  if (h->P.fOffScreen == 0) return VQX_RESULT_INVALID_STATE;
  std::string s;
  for (const std::string& r : h->aFrameRows) s += (fEscapes ? r : StripEscapes(r)) + "\n";
  snprintf(pszText, un32Size, "%s", s.c_str());
  return VQX_RESULT_OK;
}
}  // namespace

VQX_RESULT VqxCliToolsGetFrameText(VQX_CLI_TOOLS_HANDLE h, char* pszText, u32 un32Size) {
  return GetFrame(h, pszText, un32Size, false);
}

VQX_RESULT VqxCliToolsGetFrameWithEscapes(VQX_CLI_TOOLS_HANDLE h, char* pszText, u32 un32Size) {
  return GetFrame(h, pszText, un32Size, true);
}

u32 VqxCliToolsBuildFrame(const char* pszPage, u32 un32Columns, u32 un32Rows, char* pszOut, u32 un32Size) {
  if (pszPage == nullptr || pszOut == nullptr || un32Size == 0) return 0;
  Canvas C;
  C.Reset(Clamp(un32Columns, 1, 1000), Clamp(un32Rows, 1, 1000));
  C.Put(pszPage);
  std::string strFrame = "\x1b[H";
  for (u32 i = 0; i < C.un32Rows; i++) AppendRow(strFrame, C.aLines[i], C.afBlink[i], i + 1 == C.un32Rows);
  const u32 n = static_cast<u32>(std::min<size_t>(strFrame.size(), un32Size - 1));
  memcpy(pszOut, strFrame.data(), n);
  pszOut[n] = '\0';
  return n;
}
