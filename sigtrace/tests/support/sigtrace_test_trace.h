/*
 * sigtrace_test_trace.h - a board trace notification read with its family's
 * reader and written as the simulated board logs the unit it sent (one JSON
 * line, keys sorted; CAS R2 data from the record the reader filled), or
 * "error: <the reader's text>". The golden rows and the board's log are
 * compared with it.
 */
#ifndef SIGTRACE_TEST_TRACE_H
#define SIGTRACE_TEST_TRACE_H

#include <string>
#include <vector>

#include "vqx_types.h"

namespace sigtest {

std::string TraceUnitJson(u32 un32NotifId, const std::vector<u8>& Payload);

}  // namespace sigtest

#endif
