/*
 * vqcaflog.h - the framework log: filtering, listeners and the log file.
 *
 * Any thread logs one line with LogTrace (sub-module 1, "BASE"),
 * SubModLogTrace (any sub-module) or a CVQCAFLogTrace object (its own
 * sub-module). A line whose level is below its sub-module's level costs one
 * atomic load and nothing else. A line that passes is formatted once on the
 * caller's thread and goes
 *   - to every trace listener (the console log, tests), on the caller's
 *     thread, as the text without time stamp;
 *   - to the log file writer, as
 *       "YYYY-MM-DD HH:MM:SS.mmm LEVEL SUBM text\n"
 *     (local time; LEVEL "VQLV0".."VQERR"; SUBM the sub-module's name; one
 *     newline added unless the text ends with one), or, while no log file is
 *     open, to standard error in the same form.
 * A text longer than VQCAF_LOG_MAX_TEXT is cut and ends with
 * VQCAF_LOG_TRUNCATED_MARK.
 *
 * The writer (InitLog .. UninitLog) never blocks a logging thread on the
 * disk: lines are copied into a bounded set of memory blocks and written by
 * its own thread when a block fills, every VQCAF_LOG_FLUSH_PERIOD_MS, on
 * FlushLog and at UninitLog. When every block is full a line is dropped and
 * counted, and so is a line that a failed write (disk full) leaves
 * incomplete; the writer then writes "<n> " VQCAF_LOG_DROP_TEXT into the
 * file as soon as it can. Files are named
 *   "<base>_<YYYY-MM-DD>_seg<NNN>.<extension>"
 * (date of the segment's opening, NNN from 000, skipping names that exist).
 *
 * Before InitLog every sub-module's level is 0 (every line passes);
 * InitLog sets them from the parameters, UninitLog puts them back to 0.
 */
#ifndef VQCAFLOG_H
#define VQCAFLOG_H

#include <string>
#include <vector>

#include "vqcaflogtypes.h"
#include "vqcafstring.h"
#include "vqx_result.h"
#include "vqx_types.h"

namespace VQCAF {

/* Longest text of one line (prefixes included), terminator excluded. */
constexpr u32 VQCAF_LOG_MAX_TEXT = 8192u;
/* Ending of a text that was cut at VQCAF_LOG_MAX_TEXT. */
constexpr const char* VQCAF_LOG_TRUNCATED_MARK = " [...]\n";
/* Follows the count of lost lines in the file's report line. */
constexpr const char* VQCAF_LOG_DROP_TEXT = "log line(s) dropped (log queue full or write failed)";
/* The writer writes what is queued at least this often: a crash loses at most
 * the last second of lines. */
constexpr u32 VQCAF_LOG_FLUSH_PERIOD_MS = 1000u;
/* Size of one queue block; the queue is a whole number of blocks. */
constexpr u32 VQCAF_LOG_BLOCK_SIZE = 0x40000u; /* 256 KiB */
/* Default and smallest queue memory. */
constexpr u32 VQCAF_LOG_DEFAULT_QUEUE_SIZE = 0x1000000u; /* 16 MiB */
constexpr u32 VQCAF_LOG_MIN_QUEUE_SIZE = 2u * VQCAF_LOG_BLOCK_SIZE;
/* Most listeners registered at a time. */
constexpr u32 VQCAF_LOG_MAX_LISTENERS = 16u;
/* What GetCurrentLogFile answers while no log file is open. */
constexpr const char* VQCAF_LOG_NOT_AVAILABLE = "NOT_AVAILABLE";

/* Parameters of the framework log. */
class CVQCAFLogParams {
 public:
  CVQCAFLogParams();

  CVQCAFString mstrBaseName;  /* path and file name prefix; default "vqcaf" */
  CVQCAFString mstrExtension; /* default "log" */
  /* Memory for queued lines, in bytes; rounded up to whole blocks, at least
   * VQCAF_LOG_MIN_QUEUE_SIZE. Default VQCAF_LOG_DEFAULT_QUEUE_SIZE. */
  u32 mun32QueueSize;
  /* Level of each sub-module; default VQMSG (messages and errors pass). */
  u32 maun32SubModTraceLevel[VQCAF_SUBMODULE_COUNT];
};

/* ------------------------------------------------------------- logging */

/* One line under sub-module 1 ("BASE"). */
void LogTrace(_VQX_TRACE_LEVEL Level, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));

/* One line under the given sub-module (a number above 63 is logged and
 * filtered as sub-module 1, with the name "????"). */
void SubModLogTrace(_VQCAF_SUBMODULE_TYPE SubMod, _VQX_TRACE_LEVEL Level, const char* pszFormat, ...)
    __attribute__((format(printf, 3, 4)));

/*
 * The common form: the un32PrefixCount texts of apszPrefix (null entries
 * skipped) are put, unchanged, in front of the formatted text.
 */
void SubModLogTraceV(_VQCAF_SUBMODULE_TYPE SubMod, _VQX_TRACE_LEVEL Level, char** apszPrefix,
                     u32 un32PrefixCount, const char* pszFormat, va_list args);

/* Current level of a sub-module (0 before InitLog and for numbers above 63). */
_VQX_TRACE_LEVEL GetSubModTraceLevel(_VQCAF_SUBMODULE_TYPE SubMod);

/* Changes one sub-module's level at once. 0x8200000A for a number above 63. */
u32 SetSubModTraceLevel(_VQCAF_SUBMODULE_TYPE SubMod, u32 un32Level);

/* True when a line of this level and sub-module would be written now. */
inline bool IsLogTraceEnabled(_VQCAF_SUBMODULE_TYPE SubMod, _VQX_TRACE_LEVEL Level) {
  return static_cast<u32>(Level) >= static_cast<u32>(GetSubModTraceLevel(SubMod));
}

/* ------------------------------------------------------------ listeners */

/* Receives every line that passes its sub-module's level. */
class IVQCAFLogTraceListener {
 public:
  virtual ~IVQCAFLogTraceListener() = default;
  /*
   * Called on the logging thread with the line's text (prefixes and
   * formatted text, no time stamp, NUL-terminated, un32Length characters),
   * valid only during the call. Several logging threads may call it at the
   * same time: it must be thread-safe. Lines logged from inside this call go
   * to the log file but not back to the listeners; Add/Remove from inside it
   * answer 0x8200000F.
   */
  virtual void OnLogTrace(_VQX_TRACE_LEVEL Level, _VQCAF_SUBMODULE_TYPE SubMod, const char* pszText,
                          u32 un32Length) = 0;
};

/* 0x02000000; 0x82000009 null; 0x82000005 already added; 0x82000008 when
 * VQCAF_LOG_MAX_LISTENERS are registered. */
u32 AddLogTraceListener(IVQCAFLogTraceListener* pListener);
/* 0x02000000; 0x82000015 not registered. When it returns, the listener is
 * no longer called by any thread (unless the caller is itself in its call). */
u32 RemoveLogTraceListener(IVQCAFLogTraceListener* pListener);

/* ----------------------------------------------------------- log file */

/*
 * Opens the first segment, starts the writer thread and applies the
 * sub-module levels. Returns 0x02000000; 0x8200000F when the log is up
 * already; 0x8200000A for an empty base name; 0x82000001 when the file
 * cannot be opened; 0x82000012 when the queue cannot be allocated.
 */
u32 InitLog(const CVQCAFLogParams& Params);

/*
 * Writes every queued line, closes the file, stops the writer and puts the
 * levels back to 0. 0x02000000, also when the log is not up.
 */
u32 UninitLog();

/* Non-zero while a log file is open. */
u32 IsLogInitialized();

/*
 * Writes every line queued before the call to the file and returns when it
 * is there (or after un32TimeoutMs: 0x82000003). 0x82000014 without a log.
 */
u32 FlushLog(u32 un32TimeoutMs);

/*
 * Logs "Closing log file %s (rotating to new segment).\n", closes the
 * current segment after every line logged before, opens the next one, logs
 * "New log segment after split is %s\n", and stores the old and new names in
 * the strings given (either may be null). Without a log: logs
 * "ForceLogRotate failed, logdao not initialized yet (please call InitLog)\n"
 * and returns 0x82000001. 0x82000001 too when the new segment cannot be
 * opened (the writer goes on trying at each block).
 */
u32 ForceLogRotate(CVQCAFString* pstrOldFile, CVQCAFString* pstrNewFile);

/*
 * Name of the segment being written, or "NOT_AVAILABLE". The text is owned
 * by the log and stays valid until the end of the process, also after a
 * rotation.
 */
const char* GetCurrentLogFile();

/* Lines dropped (queue full) or cut by a failed write, since InitLog. */
u64 GetLogDroppedCount();

/* ------------------------------------------------ a start's error lines */

/* Most lines HoldErrorLines keeps. */
constexpr u32 VQCAF_LOG_MAX_HELD_LINES = 16u;

/*
 * From now on keeps a copy of each error line (VQERR and above) that goes to
 * the log file, whole as written there (time stamp and level included), at
 * most VQCAF_LOG_MAX_HELD_LINES of them: an application whose start fails
 * once its log is up shows them on its terminal, which the log file alone
 * would leave without the cause. Lines written to standard error (no log
 * file) are not kept: the terminal has them already.
 */
void HoldErrorLines();

/* The lines kept since HoldErrorLines, in their order; keeping stops. */
std::vector<std::string> TakeHeldErrorLines();

}  // namespace VQCAF

#endif
