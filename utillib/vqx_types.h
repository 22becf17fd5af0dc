/*
 * vqx_types.h - fixed-width integer names shared by every library.
 *
 * The procedural libraries and the framework name their fields by type and
 * width (un32, n64, by ...); these are the types behind those prefixes.
 */
#ifndef VQX_TYPES_H
#define VQX_TYPES_H

#include <stdint.h>
#include <stddef.h>

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int8_t i8;
typedef int16_t i16;
typedef int32_t i32;
typedef int64_t i64;

/* Result word of every public operation (see vqx_result.h). */
typedef u32 VQX_RESULT;

#endif
