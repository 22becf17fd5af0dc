/*
 * vqcafcfgcmdline.h - CVQCAFCfgCmdLine, the framework's command line.
 *
 * An application builds one, may preset the configuration file and adapter
 * fields, and calls ParseCmdLineArgs with main's arguments; a derived class
 * parses its own options after this one. Options are matched exactly (case
 * counts); words that are no option are skipped:
 *   -d            daemon flag              -db          database-mode flag
 *   -name XYZ     application name         -c XYZ       configuration file
 *   -gw N         gateway port (decimal)   -port N      port (decimal)
 *   -gw_addr_0 A  gateway address, path 0  -gw_addr_1 A gateway address, path 1
 *   -pid XYZ      process id text          -adapter XYZ adapter name, and the
 *                                          list of its ","-separated names
 *   -help --help /? ?   logs the option list, returns 0x82000001
 * A value class: one thread at a time.
 */
#ifndef VQCAFCFGCMDLINE_H
#define VQCAFCFGCMDLINE_H

#include <vector>

#include "vqcafstring.h"
#include "vqx_result.h"
#include "vqx_types.h"

namespace VQCAF {

class CVQCAFCfgCmdLine {
 public:
  /* Texts empty, numbers 0. */
  CVQCAFCfgCmdLine();
  virtual ~CVQCAFCfgCmdLine() = default;
  CVQCAFCfgCmdLine(const CVQCAFCfgCmdLine& Other) = default;
  /* Copies every field. */
  CVQCAFCfgCmdLine& operator=(const CVQCAFCfgCmdLine& Other) = default;

  /*
   * Parses argv[1..argc-1]. 0x02000000; 0x82000001 after a help option (the
   * option list logged at the message level, later arguments not applied);
   * 0x8200000A (logged) with fewer than two arguments ("No parameter to parse
   * on the command line"), an option without its value ("Missing argument for
   * option '-c'"), or a "-gw"/"-port" value that is not a decimal number from
   * 0 to 65535 ("Invalid value for option '-gw'"); fields set by earlier
   * arguments stay set. "-db" as the last argument ends the parse.
   */
  virtual VQX_RESULT ParseCmdLineArgs(int argc, char** argv);

  CVQCAFString mAppName;      /* -name */
  u32 mun32DaemonMode;        /* -d */
  u32 mun32DbMode;            /* -db */
  CVQCAFString mCfgFile;      /* -c */
  CVQCAFString mCfgPath;      /* second configuration path; not set by the parse */
  u32 mun32GwPort;            /* -gw */
  CVQCAFString mGwAddr0;      /* -gw_addr_0 */
  CVQCAFString mGwAddr1;      /* -gw_addr_1 */
  u32 mun32Port;              /* -port */
  CVQCAFString mAdapterName;  /* -adapter, as given */
  std::vector<CVQCAFString> mAdapterList; /* -adapter split at ',' (empty names dropped) */
  CVQCAFString mPid;          /* -pid */
};

}  // namespace VQCAF

#endif
