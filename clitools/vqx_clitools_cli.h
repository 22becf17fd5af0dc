/*
 * vqx_clitools_cli.h - the console engine: one console thread behind a
 * handle, raw keys from a terminal, a paged screen drawn as whole ANSI frames,
 * the prompt flow of user commands, and a bounded log buffer.
 *
 * Model. The shell above (the framework's CVQCAFCli) gives callbacks at open.
 * The console thread reads keys, runs the prompt of a command in progress,
 * hands every other key to pfnHandleKey, and about every refresh period calls
 * pfnDisplay, during which the shell and its pages print into the frame with
 * VqxCliToolsPrint and its kin; the frame is then written to the terminal in
 * one write. Under the frame the last log lines are shown, and the prompt.
 * The engine holds none of its locks while it calls a callback.
 *
 * Without a terminal on standard input or output, or with VQX_SERVICE_MODE
 * set in the environment, the console does no terminal I/O at all: it neither
 * draws nor reads keys, and its thread sleeps until closed. An off-screen
 * handle (fOffScreen) has no thread and no terminal: the caller feeds keys
 * with VqxCliToolsInjectKey, draws with VqxCliToolsRefresh and reads the
 * frame back as text with VqxCliToolsGetFrameText (page tests).
 *
 * The terminal's settings are restored when the handle is closed, at exit,
 * and on SIGINT, SIGTERM, SIGQUIT and SIGHUP (then re-raised).
 *
 * Threads: VqxCliToolsPrint* only from inside pfnDisplay; the log functions
 * from any thread; open/close from one thread.
 */
#ifndef VQX_CLITOOLS_CLI_H
#define VQX_CLITOOLS_CLI_H

#include "vqx_types.h"

#define VQX_CLI_TOOLS_CMD_TEXT_SIZE 260u
#define VQX_CLI_TOOLS_MAX_CMD_FIELDS 16u   /* entries of a command record */
#define VQX_CLI_TOOLS_MIN_PROMPT_FIELDS 4u /* the console's maximum is at least this */

/* Keys that are no single byte, as handed to pfnHandleKey. */
#define VQX_CLI_TOOLS_KEY_CTRL_UP 0x5001
#define VQX_CLI_TOOLS_KEY_CTRL_DOWN 0x5002
#define VQX_CLI_TOOLS_KEY_BACK_TAB 0x5003
#define VQX_CLI_TOOLS_KEY_PAGE_UP 0x5004
#define VQX_CLI_TOOLS_KEY_PAGE_DOWN 0x5005
#define VQX_CLI_TOOLS_KEY_UP 0x5006
#define VQX_CLI_TOOLS_KEY_DOWN 0x5007
#define VQX_CLI_TOOLS_KEY_ESCAPE 0x1B

/* One command in progress. un32Cmd 0: none. */
typedef struct _VQX_CLI_TOOLS_CMD {
  u32 un32Cmd;
  u32 un32Index; /* field being typed */
  char aszLabel[VQX_CLI_TOOLS_MAX_CMD_FIELDS][VQX_CLI_TOOLS_CMD_TEXT_SIZE];
  char aszValue[VQX_CLI_TOOLS_MAX_CMD_FIELDS][VQX_CLI_TOOLS_CMD_TEXT_SIZE];
} _VQX_CLI_TOOLS_CMD;

typedef struct VQX_CLI_TOOLS_HANDLE_* VQX_CLI_TOOLS_HANDLE;

/* Shell callbacks; pvContext is given back. Called on the console thread
 * (or the caller's, off-screen), never under an engine lock. */
typedef void (*PFN_VQX_CLI_TOOLS_DISPLAY)(void* pvContext, VQX_CLI_TOOLS_HANDLE hCli);
typedef void (*PFN_VQX_CLI_TOOLS_HANDLE_KEY)(void* pvContext, int nKey, _VQX_CLI_TOOLS_CMD* pCmd, u32* pfHandled);
typedef void (*PFN_VQX_CLI_TOOLS_VALIDATE)(void* pvContext, _VQX_CLI_TOOLS_CMD* pCmd, u32* pfValid);
typedef void (*PFN_VQX_CLI_TOOLS_APPLY)(void* pvContext, _VQX_CLI_TOOLS_CMD* pCmd);

typedef struct _VQX_CLI_TOOLS_INIT_PARAMS {
  char szTitle[64];           /* first line of every frame */
  char szPromptTitle[64];     /* shown before a field's label */
  char szPromptInvalid[64];   /* shown when a field was refused */
  char szPromptHint[64];      /* shown on the prompt line when nothing is asked */
  u32 un32MinRefreshMs;       /* shortest time between two frames (10..60000, default 100) */
  u32 un32MaxRefreshMs;       /* longest (min..60000, default 1000) */
  u32 un32LogLines;           /* lines kept in the log buffer (16..4096, default 256) */
  u32 un32LogViewLines;       /* lines of the log shown under the page (0..50, default 6) */
  u32 un32MaxPromptFields;    /* fields a command may fill (4..16, default 8) */
  u32 fOffScreen;             /* no thread, no terminal; un32Columns x un32Rows */
  u32 un32Columns, un32Rows;  /* off-screen size (20..1000 x 8..1000; default 80 x 24) */
  void* pvContext;
  PFN_VQX_CLI_TOOLS_DISPLAY pfnDisplay;
  PFN_VQX_CLI_TOOLS_HANDLE_KEY pfnHandleKey;
  PFN_VQX_CLI_TOOLS_VALIDATE pfnValidate;
  PFN_VQX_CLI_TOOLS_APPLY pfnApply;
} _VQX_CLI_TOOLS_INIT_PARAMS;

/* Defaults (texts included), VQX_CLI_MIN_REFRESH_MS / VQX_CLI_MAX_REFRESH_MS
 * from the environment when set. */
void VqxCliToolsInitParamsDefault(_VQX_CLI_TOOLS_INIT_PARAMS* pParams);

/*
 * Opens the console; out-of-range numbers are clamped. Starts the console
 * thread (not off-screen). 0x02000000; 0x82000009 null argument or no
 * callback; 0x82000012 no memory; 0x82000008 the thread cannot start.
 */
VQX_RESULT VqxCliToolsOpen(const _VQX_CLI_TOOLS_INIT_PARAMS* pParams, VQX_CLI_TOOLS_HANDLE* phCli);
/* Stops the thread (after its current callback), restores the terminal,
 * frees the handle. Null is accepted. Not from a callback. */
void VqxCliToolsClose(VQX_CLI_TOOLS_HANDLE hCli);
/* Non-zero when the console draws and reads a terminal. */
u32 VqxCliToolsIsInteractive(VQX_CLI_TOOLS_HANDLE hCli);
/* Asks for a frame soon (any thread). */
void VqxCliToolsRequestRefresh(VQX_CLI_TOOLS_HANDLE hCli);

/* Drawing, from inside pfnDisplay only. Lines are cut at the width; escape
 * sequences take no room. Text past the last page line is dropped. */
void VqxCliToolsPrint(VQX_CLI_TOOLS_HANDLE hCli, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
void VqxCliToolsPrintFillLine(VQX_CLI_TOOLS_HANDLE hCli, char c);
void VqxCliToolsBlinkLine(VQX_CLI_TOOLS_HANDLE hCli);
/* Page lines left below the drawing position (0 when full). */
u32 VqxCliToolsGetRemainingLines(VQX_CLI_TOOLS_HANDLE hCli);
/* Screen width in columns. */
u32 VqxCliToolsGetColumns(VQX_CLI_TOOLS_HANDLE hCli);

/* The log buffer: a bounded ring of lines (oldest dropped), any thread. */
void VqxCliToolsLogAppend(VQX_CLI_TOOLS_HANDLE hCli, const char* pszText);
void VqxCliToolsLogClearBuffer(VQX_CLI_TOOLS_HANDLE hCli);
/* Scrolls the log view by nLines (positive: older), clamped. */
void VqxCliToolsLogScroll(VQX_CLI_TOOLS_HANDLE hCli, int nLines);

/* Off-screen: one key through the same path as a typed one; one frame now;
 * the last frame without escapes, lines ended by '\n' (cut to un32Size, NUL
 * always written). 0x8200000F on an on-screen handle. */
VQX_RESULT VqxCliToolsInjectKey(VQX_CLI_TOOLS_HANDLE hCli, int nKey);
VQX_RESULT VqxCliToolsRefresh(VQX_CLI_TOOLS_HANDLE hCli);
VQX_RESULT VqxCliToolsGetFrameText(VQX_CLI_TOOLS_HANDLE hCli, char* pszText, u32 un32Size);
/* Off-screen: the last frame as VqxCliToolsGetFrameText, its escape
 * sequences (colours, blink, title) kept. */
VQX_RESULT VqxCliToolsGetFrameWithEscapes(VQX_CLI_TOOLS_HANDLE hCli, char* pszText, u32 un32Size);

/* Builds the frame bytes of a page text the way the console writes them
 * (cut lines, escapes zero width, whole frame) into pszOut; returns the byte
 * count (bench and tests). */
u32 VqxCliToolsBuildFrame(const char* pszPage, u32 un32Columns, u32 un32Rows, char* pszOut, u32 un32Size);

#endif
