#include "vqx_filter_internal.h"
u32 VqxDebugActive(VQX_LIB_HANDLE) { return 0; }
void VqxDebugAddMsg(VQX_LIB_HANDLE, VQX_MSG_HANDLE, const char*, u32) {}
bool VqxDebugTakeBackMsg(VQX_LIB_HANDLE, VQX_MSG_HANDLE, const char*, u32) { return true; }
