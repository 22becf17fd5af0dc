/*
 * sigtrace_cfg_cmdline.h - CVQSigTraceCfgCmdLine, the trace application's
 * command line over the framework's (vqcafcfgcmdline.h).
 *
 * main builds one, presets the configuration file ("quellan.xml") and the
 * adapter field ("ALL"), and parses the arguments; the application keeps a
 * copy (assignment) that the trace activation, the console pages and the
 * configuration dump read. The framework's options are parsed first, on the
 * text as typed; the trace options below are then matched without regard to
 * case (on a lowered copy: the caller's strings are left alone):
 *
 *   -ss7  -isdn|-lapd  -casr2  -sip|-ip  -h248   protocol options: the first
 *        of them, or "-c", clears all five protocol flags before setting its
 *        own, so naming protocols replaces the "all on" default
 *   -cap (pcap)  -format (text)  -old (pcap, old ISDN framing)
 *   -regroup (one group per type)  -single (one group per entity)
 *   -x (CAS R2 text with call states)  -stdout  -e <ms>
 *   -help --help -h -? /h /? ?   the help lines, result 0x82000001
 *
 * "-e" takes the next argument only when it is a whole unsigned 32-bit
 * number (decimal, "0x" hexadecimal or leading-0 octal); anything else fails
 * with "Invalid value for option '-e'" and is not taken as an option value.
 *
 * A value class: one thread at a time.
 */
#ifndef SIGTRACE_CFG_CMDLINE_H
#define SIGTRACE_CFG_CMDLINE_H

#include <vector>

#include "vqcafcfgcmdline.h"

namespace VQCAF {

class CVQSigTraceCfgCmdLine : public CVQCAFCfgCmdLine {
 public:
  /* The framework part empty, then the defaults of the fields below. */
  CVQSigTraceCfgCmdLine();
  ~CVQSigTraceCfgCmdLine() override = default;
  CVQSigTraceCfgCmdLine(const CVQSigTraceCfgCmdLine&) = default;
  CVQSigTraceCfgCmdLine& operator=(const CVQSigTraceCfgCmdLine&) = default;

  /*
   * Parses argv[1..argc-1] (left unchanged). 0x02000000; 0x82000001 after a
   * help option (the fourteen help lines logged at the message level, later
   * options not applied); 0x8200000A (logged) with fewer than two arguments,
   * a bad "-e" value, or "-stdout" with more than one protocol flag set.
   * A failure of the framework's own parse is logged by it and not returned.
   * Fields set before a failure keep their values; the adapter field is
   * upper-cased once the walk is over (the adapter list keeps its case).
   */
  VQX_RESULT ParseCmdLineArgs(int argc, char** argv) override;

  /*
   * Case-blind: true when this command line selects the adapter, that is when
   * the "-adapter" list (or, when no list was parsed, the adapter field) is
   * "ALL" or holds pszAdapterName as one of its entries.
   */
  bool IsAdapterSelected(const char* pszAdapterName) const;
  /*
   * The same rule for any selection text: a ","-separated list of names as
   * "-adapter" takes it, "ALL" standing for every adapter. The application
   * matches a configured entity's adapter field to a board with it.
   */
  static bool IsAdapterSelected(const char* pszSelection, const char* pszAdapterName);

  u32 mfSs7 = 1;               /* trace SS7 MTP2 links by default */
  u32 mfIsdn = 1;              /* trace ISDN D-channels and LAPD links by default */
  u32 mfCasr2 = 1;             /* trace CAS R2 trunks by default */
  u32 mfIp = 1;                /* trace IP signalling by default */
  u32 mfCapFormat = 1;         /* 1 pcap files, 0 decoded text */
  u32 mfStdout = 0;            /* traces to standard output */
  u32 mfOldIsdnCap = 0;        /* old ISDN pcap framing */
  u32 mfCasr2Extended = 0;     /* CAS R2 text with call states */
  u32 mfRegroup = 1;           /* 1 one group per type, 0 one per entity */
  u32 mfH248 = 1;              /* accept H.248 from remote providers */
  u32 mun32ExecTimeMs = 0xFFFFFFFFu; /* run time; 0xFFFFFFFF no limit */
};

}  // namespace VQCAF

#endif
