/*
 * vqcaflogtypes.h - trace levels and log sub-modules of the framework log.
 *
 * Every log line carries a trace level and a sub-module. A line is written
 * when its level is greater than or equal to the current level of its
 * sub-module: 0 is the most detailed trace, VQMSG an operator message, VQERR
 * an error or warning, VQDIS a line that passes every level.
 *
 * The 64 sub-modules have fixed numbers and names of four characters (a few
 * with a trailing blank). Numbers with a known owner:
 *    1 "BASE" framework-wide lines (VQCAF::LogTrace)   6 "CALL" call legs, mixers
 *    2 "GW  " gateway transport                        7 "ALM " alarm/process management
 *    3 "CLI " console                                  8 "CM  " configuration management
 *    4 "SER " services, service detector               9 "COMM" communication bridge
 *    5 "CMC " call/media control library              10 "H248" H.248 traces
 *   37 "VQLT" signalling trace application
 *   48..63 "APP01".."APP16" free for applications
 * Every other number is free and named "SMnn" (its two-digit number).
 */
#ifndef VQCAFLOGTYPES_H
#define VQCAFLOGTYPES_H

#include <cstdarg>

#include "vqx_types.h"

/* Trace level of a log line. */
enum _VQX_TRACE_LEVEL {
  VQLV0 = 0,
  VQLV1 = 1,
  VQLV2 = 2,
  VQLV3 = 3,
  VQLV4 = 4,
  VQMSG = 0x7FFFFFFD, /* operator messages */
  VQERR = 0x7FFFFFFE, /* errors and warnings */
  VQDIS = 0x7FFFFFFF, /* as a sub-module level: only VQDIS lines pass */
};

/* The argument list handed between the LogTrace forms. */
typedef va_list _VQX_VA_LIST;

namespace VQCAF {

enum _VQCAF_SUBMODULE_TYPE {
  VQCAF_SUBMODULE_BASE = 1,
  VQCAF_SUBMODULE_GW = 2,
  VQCAF_SUBMODULE_CLI = 3,
  VQCAF_SUBMODULE_SERVICE = 4,
  VQCAF_SUBMODULE_CMC = 5,
  VQCAF_SUBMODULE_CALL = 6,
  VQCAF_SUBMODULE_ALM = 7,
  VQCAF_SUBMODULE_CM = 8,
  VQCAF_SUBMODULE_COMM = 9,
  VQCAF_SUBMODULE_H248 = 10,
  VQCAF_SUBMODULE_VQLT = 37,
  VQCAF_SUBMODULE_APP01 = 48,
  VQCAF_SUBMODULE_APP16 = 63,
};

/* Number of sub-modules (valid ids are 0 .. 63). */
constexpr u32 VQCAF_SUBMODULE_COUNT = 64u;

/*
 * Name of a sub-module ("BASE", "SER " ...); "????" for a number outside
 * 0..63. Static text.
 */
const char* GetSubModName(u32 un32SubMod);

/*
 * Printed name of a trace level ("VQLV0".."VQLV4", "VQMSG", "VQERR",
 * "VQDIS"); "VQLV?" for any other value. Static text.
 */
const char* GetTraceLevelName(u32 un32Level);

}  // namespace VQCAF

#endif
