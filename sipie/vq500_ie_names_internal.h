/*
 * vq500_ie_names_internal.h - one {value, text} row of a name table and the
 * one lookup every name function uses (inside the library only).
 */
#ifndef VQ500_IE_NAMES_INTERNAL_H
#define VQ500_IE_NAMES_INTERNAL_H

#include "vqx_types.h"

#include <cstddef>

struct IeNameRow {
    i64 n64Value;
    const char* szText;
};

/* Text of n64Value in rows sorted by value, or null. */
const char* VqxIeNameFind(const IeNameRow* pRows, size_t nRows, i64 n64Value);

/* Text of n32Value, or the shared "Unknown". */
const char* VqxIeName(const IeNameRow* pRows, size_t nRows, i32 n32Value);

extern const IeNameRow g_kaSipStatusRows[];
extern const size_t g_kSipStatusRowCount;
extern const IeNameRow g_kaSipMsgIdRows[];
extern const size_t g_kSipMsgIdRowCount;

#endif
