/*
 * sigtrace_log_limit.h - one repeated log line kept to once a period: a
 * group's "records lost" line while its disk is full, the refusal of one
 * kind of malformed unit. The limit itself is the utility library's
 * (vqx_log_limit.h), shared with the host library and the gateway transport.
 *
 * Times are the owner's clock in milliseconds (injectable in tests). Not
 * thread-safe: the owner's lock serialises all calls.
 */
#ifndef SIGTRACE_LOG_LIMIT_H
#define SIGTRACE_LOG_LIMIT_H

#include "vqx_log_limit.h"

namespace VQCAF {

using CVQSigTraceLogLimit = ::CVqxLogLimit;

}  // namespace VQCAF

#endif
