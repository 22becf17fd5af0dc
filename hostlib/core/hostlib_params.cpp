/*
 * hostlib_params.cpp - validation of the library parameters and of the
 * network redundancy record.
 *
 * Validation stops at the first failure, fills defaults into the caller's
 * record and clamps values where a sane one exists. Without a library the
 * lines go to standard error.
 */
#include <stdarg.h>
#include <stdio.h>

#include "core/vqx_host_internal.h"

namespace {

void VqxParamsLog(VQX_LIB_HANDLE hLib, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
void VqxParamsLog(VQX_LIB_HANDLE hLib, const char* pszFormat, ...) {
  va_list vaArgs;
  va_start(vaArgs, pszFormat);
  if (hLib != nullptr) {
    VqxHostLibLogV(hLib, 0, pszFormat, vaArgs);
  } else {
    vfprintf(stderr, pszFormat, vaArgs);
  }
  va_end(vaArgs);
}

VQX_RESULT VqxRedundancyFail(VQX_LIB_HANDLE hLib, const char* pszText) {
  VqxParamsLog(hLib, "VQXValidateNetworkRedundancyParams: %s\n", pszText);
  return VQX_RESULT_API_INVALID_PARAM;
}

VQX_RESULT VqxLibParamsFail(VQX_LIB_HANDLE hLib, const char* pszText, VQX_RESULT Result) {
  VqxParamsLog(hLib, "VQXValidateLibParams: %s\n", pszText);
  return Result;
}

constexpr i32 VQX_FLOW_CONTROL_MODE_MAX = 32;
constexpr i32 VQX_FLOW_CONTROL_MODE_CLAMP = 16;

}  // namespace

VQX_RESULT VQXValidateNetworkRedundancyParams(VQX_LIB_HANDLE hLib, _VQX_NETWORK_REDUNDANCY_PARAMETERS* pParams) {
  if (pParams == nullptr) {
    VqxRedundancyFail(hLib, "VQX_RESULT_API_NULL_PARAM");
    return VQX_RESULT_API_NULL_PARAM;
  }
  _VQX_NETWORK_REDUNDANCY_PARAMETERS& r = *pParams;
  if (r.un32PollDelayMs != 0) {
    if (r.un32PollDelayMs < VQX_NETWORK_REDUNDANCY_MIN_POLL_DELAY_MS) {
      VqxParamsLog(hLib, "WARNING: un32PollDelayMs is too small (%ums). Will use %ums instead.\n", r.un32PollDelayMs,
                   VQX_NETWORK_REDUNDANCY_MIN_POLL_DELAY_MS);
      r.un32PollDelayMs = VQX_NETWORK_REDUNDANCY_MIN_POLL_DELAY_MS;
    } else if (r.un32PollDelayMs > VQX_NETWORK_REDUNDANCY_MAX_POLL_DELAY_MS) {
      VqxParamsLog(hLib, "WARNING: un32PollDelayMs is too big (%ums). Will use %ums instead.\n", r.un32PollDelayMs,
                   VQX_NETWORK_REDUNDANCY_MAX_POLL_DELAY_MS);
      r.un32PollDelayMs = VQX_NETWORK_REDUNDANCY_MAX_POLL_DELAY_MS;
    }
    if (r.un32NetworkDownDelayMs == 0) r.un32NetworkDownDelayMs = VQX_NETWORK_REDUNDANCY_DEFAULT_NETWORK_DOWN_DELAY_MS;
    if (r.un32AdapterDownDelayMs == 0) r.un32AdapterDownDelayMs = VQX_NETWORK_REDUNDANCY_DEFAULT_ADAPTER_DOWN_DELAY_MS;
    if (r.un32NetworkDownDelayMs < r.un32PollDelayMs || r.un32AdapterDownDelayMs < r.un32PollDelayMs) {
      return VqxRedundancyFail(hLib, "Delay(s) is/are smaller than polling period");
    }
    if (r.un32NetworkDownDelayMs < VQX_NETWORK_REDUNDANCY_MIN_NETWORK_DOWN_DELAY_MS) {
      return VqxRedundancyFail(hLib, "un32NetworkDownDelayMs too small");
    }
    if (u64{r.un32AdapterDownDelayMs} <= 2 * u64{r.un32NetworkDownDelayMs}) {
      return VqxRedundancyFail(hLib, "un32AdapterDownDelayMs must be more than 2 times un32NetworkDownDelayMs");
    }
    if (r.un32AdapterDownDelayMs > VQX_NETWORK_REDUNDANCY_MAX_ADAPTER_DOWN_DELAY_MS) {
      return VqxRedundancyFail(
          hLib, "un32AdapterDownDelayMs must be smaller or equal to VQX_NETWORK_REDUNDANCY_MAX_ADAPTER_DOWN_DELAY_MS");
    }
  }
  if (r.un32PreferredGateway > 1) return VqxRedundancyFail(hLib, "un32PreferredGateway must be 0 or 1");
  if (r.FlowControlMode > VQX_FLOW_CONTROL_MODE_MAX) {
    VqxParamsLog(hLib, "VQXValidateNetworkRedundancyParams: WARNING: Invalid FlowControlMode. Will use default instead.\n");
    r.FlowControlMode = 0;
  } else if (r.FlowControlMode > VQX_FLOW_CONTROL_MODE_CLAMP) {
    r.FlowControlMode = VQX_FLOW_CONTROL_MODE_CLAMP;
  }
  return VQX_RESULT_API_OK;
}

VQX_RESULT VQXValidateLibParams(VQX_LIB_HANDLE hLib, _VQX_LIB_PARAMS* pParams) {
  if (pParams == nullptr) return VqxLibParamsFail(hLib, "VQX_RESULT_API_NULL_PARAM", VQX_RESULT_API_NULL_PARAM);
  _VQX_LIB_PARAMS& p = *pParams;
  if (p.un32TransportType != VQX_LIB_TRANSPORT_TYPE) {
    return VqxLibParamsFail(hLib, "VQX_RESULT_API_INVALID_TRANSPORT_TYPE", VQX_RESULT_API_INVALID_TRANSPORT_TYPE);
  }
  if (p.un32NbExtraGwAddr > VQX_MAX_EXTRA_GW_ADDR) {
    return VqxLibParamsFail(hLib, "un32NbExtraGwAddr is too big", VQX_RESULT_API_OUT_OF_RANGE);
  }
  if (p.un32RxThreadPriority > 1) {
    return VqxLibParamsFail(hLib, "VQX_RESULT_API_INVALID_RX_THREAD_PRIO", VQX_RESULT_API_INVALID_RX_THREAD_PRIO);
  }
  if (p.un32SendFifoSize == 0) p.un32SendFifoSize = VQX_LIB_DEFAULT_FIFO_SIZE;
  if (p.un32SendFifoSize < 2 || p.un32SendFifoSize > VQX_LIB_MAX_SEND_FIFO_SIZE) {
    return VqxLibParamsFail(hLib, "VQX_RESULT_API_INVALID_SEND_FIFO_SIZE", VQX_RESULT_API_INVALID_SEND_FIFO_SIZE);
  }
  if (p.un32ReceiveFifoSize == 0) p.un32ReceiveFifoSize = VQX_LIB_DEFAULT_FIFO_SIZE;
  if (p.un32ReceiveFifoSize < 2 || p.un32ReceiveFifoSize > VQX_LIB_MAX_RECEIVE_FIFO_SIZE) {
    return VqxLibParamsFail(hLib, "VQX_RESULT_API_INVALID_RECV_FIFO_SIZE", VQX_RESULT_API_INVALID_RECV_FIFO_SIZE);
  }
  if (p.un32NbPreAllocBufferPools > VQX_API_MAX_PREALLOC_BUF_POOLS) {
    return VqxLibParamsFail(hLib, "VQX_RESULT_API_INVALID_NB_PREALLOC_BUF_POOLS",
                            VQX_RESULT_API_INVALID_NB_PREALLOC_BUF_POOLS);
  }
  if (p.HostType != 0 && p.HostType != VQX_ADAPTER_TYPE_HOST) {
    return VqxLibParamsFail(hLib, "HostType parameter is invalid, VQX_ADAPTER_TYPE_HOST should be used",
                            VQX_RESULT_API_INVALID_PARAM);
  }
  if (p.un32PostingCount == 0) p.un32PostingCount = 1;
  _VQX_NETWORK_REDUNDANCY_PARAMETERS& r = p.NetworkRedundancy;
  if (r.fValid == 0) {
    r.un32PollDelayMs = VQX_NETWORK_REDUNDANCY_DEFAULT_POLL_DELAY_MS;
    r.un32NetworkDownDelayMs = VQX_NETWORK_REDUNDANCY_DEFAULT_NETWORK_DOWN_DELAY_MS;
    r.un32AdapterDownDelayMs = VQX_NETWORK_REDUNDANCY_DEFAULT_ADAPTER_DOWN_DELAY_MS;
    r.fUseGw0 = 1;
    r.fUseGw1 = 1;
    r.un32PreferredGateway = 0;
  }
  const VQX_RESULT result = VQXValidateNetworkRedundancyParams(hLib, &r);
  if (VQX_RESULT_FAILED(result)) return VqxLibParamsFail(hLib, "Invalid network redundancy parameters", result);
  if (r.fUseGw0 == 0 && r.fUseGw1 == 0) {
    return VqxLibParamsFail(hLib, "Both gw are disabled!", VQX_RESULT_API_INVALID_PARAM);
  }
  if (p.fPrintThroughLogThread == 0) p.fPrintThroughLogThread = 1;
  return VQX_RESULT_API_OK;
}
