/*
 * vq500_trace_types.h - the adapter board's trace records and enumerations
 * that the trace groups take as arguments.
 *
 * The boards are not on this machine: these are the values the trace
 * notifications carry, as the trace application hands them on. Only the
 * fields and values the groups read are named.
 */
#ifndef VQ500_TRACE_TYPES_H
#define VQ500_TRACE_TYPES_H

#include <cstddef>

#include "vqx_types.h"

/* Direction of an IP (TUCL) trace: 1 received, anything else sent. */
typedef u32 _VQ500_TUCL_TRACE_DIRECTION_TYPE;
#define VQ500_TUCL_TRACE_DIRECTION_RX 1u
#define VQ500_TUCL_TRACE_DIRECTION_TX 2u

/* Transport of an IP trace: 1 UDP, 2 TCP, 3 raw IP (the captured bytes
 * carry their own transport header), 0 none. */
typedef u32 _VQ500_TUCL_TRACE_TRANSPORT_TYPE;
#define VQ500_TUCL_TRACE_TRANSPORT_NONE 0u
#define VQ500_TUCL_TRACE_TRANSPORT_UDP 1u
#define VQ500_TUCL_TRACE_TRANSPORT_TCP 2u
#define VQ500_TUCL_TRACE_TRANSPORT_RAW 3u

/* Protocol of an IP trace: 1 SIP (printable text), 2 SCTP. */
typedef u32 _VQ500_TUCL_TRACE_PROTOCOL_TYPE;
#define VQ500_TUCL_TRACE_PROTOCOL_SIP 1u
#define VQ500_TUCL_TRACE_PROTOCOL_SCTP 2u

/* CAS R2 call state and internal call state (names in casr2_format.cpp). */
typedef u32 _VQ500_CASR2_CALL_STATE;
typedef u32 _VQ500_CASR2_INTERNAL_CALL_STATE;

/* A detected tone. Code 200 is a custom tone with four custom values. */
typedef struct {
  u32 un32ToneCode;
  i32 n32Level;
  u32 un32Reserved1;
  u32 un32Reserved2;
  u32 aun32Custom[4];
} _VQ500_VP_DIGIT_PARAMS;
static_assert(sizeof(_VQ500_VP_DIGIT_PARAMS) == 32);
static_assert(offsetof(_VQ500_VP_DIGIT_PARAMS, n32Level) == 4);
static_assert(offsetof(_VQ500_VP_DIGIT_PARAMS, aun32Custom) == 16);

#define VQ500_CASR2_TONE_CUSTOM 200u

#endif
