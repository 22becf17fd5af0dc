/*
 * vqx_string.h - bounded text formatting, case-blind comparison, hex
 * conversion and path helpers.
 *
 * Plain functions with no state; safe to call from any thread. Every writer
 * here terminates its output inside the size it is given, so that callers can
 * build a line piece by piece:
 *
 *     int n = Snprintf(sz, sizeof(sz), "%s", pszA);
 *     n += Snprintf(sz + n, sizeof(sz) - n, " %u", un32B);   // room left >= 1
 */
#ifndef VQX_STRING_H
#define VQX_STRING_H

#include <stdarg.h>

#include "vqx_types.h"

/*
 * Snprintf / Vsnprintf: format like snprintf into pszDest of `size` bytes.
 * - size >= 1: the output is always NUL-terminated within size; the result is
 *   the number of characters written (not counting the NUL), capped at
 *   size - 1 when the text had to be cut. Adding the result to the write
 *   offset and passing the room left therefore never runs past the buffer.
 * - formatting fails (an encoding error in the arguments): pszDest holds ""
 *   and the result is `size` itself, which callers can tell from any success.
 *   A caller that only appends (offset += result, room = size - offset) then
 *   has no room left, so its further calls write nothing (size 0, below).
 * - size 0 or a null destination: nothing is written, the result is 0.
 * - a null format: pszDest holds "" and the result is `size` (a failure).
 */
int Snprintf(char* pszDest, size_t size, const char* pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
int Vsnprintf(char* pszDest, size_t size, const char* pszFormat, va_list args)
    __attribute__((format(printf, 3, 0)));

/*
 * Stricmp / Strnicmp: case-blind comparison, both characters mapped to upper
 * case (ASCII) before they are compared as unsigned bytes. The result is 0
 * when equal, negative when the first text sorts first, positive otherwise.
 * Strnicmp looks at no more than n characters; n = 0 always gives 0, and two
 * texts that end together before n characters are equal.
 * A null pointer counts as a text that sorts before every other one (two
 * nulls are equal), so a caller bug never dereferences null.
 */
int Stricmp(const char* pszA, const char* pszB);
int Strnicmp(const char* pszA, const char* pszB, size_t n);

/*
 * HexStringToByteArray: converts hex digit pairs (either case) of pszText into
 * bytes, high half first.
 *   in : *pun64Count = room in pbyOut, in bytes.
 *   out: *pun64Count = number of bytes written.
 *   returns the number of hex digits consumed.
 * Conversion stops at the NUL, when the room is full, or at the first
 * character that is not a hex digit (spaces and separators included): the
 * bytes written so far stay, and the return value tells the caller how far
 * the text was read (compare it with strlen to detect a bad character).
 * When a lone last digit is left (odd number of digits before the stop) and
 * room remains, it fills the high half of one more byte (low half 0) and
 * counts as one digit read.
 * Null text, null count or null output with a non-zero room: nothing is
 * written, 0 is returned and *pun64Count (when given) is set to 0.
 */
u64 HexStringToByteArray(const char* pszText, u8* pbyOut, u64* pun64Count);

/*
 * ByteArrayToHexString: writes two lower-case hex digits per byte, high half
 * first, then a NUL; pszOut must hold 2 * un64Count + 1 characters.
 * Returns un64Count; 0 when pbyBytes or pszOut is null (pszOut, when given,
 * then holds "").
 */
u64 ByteArrayToHexString(const u8* pbyBytes, u64 un64Count, char* pszOut);

/*
 * VqxFileNameFromPath: the part of pszPath after its last '/' or '\\' found
 * within the first VQX_FILE_NAME_SCAN_LIMIT characters (the whole path when
 * there is none); used for the source-file base name in log lines. The result
 * points into pszPath. A null path gives "".
 */
#define VQX_FILE_NAME_SCAN_LIMIT 256u
const char* VqxFileNameFromPath(const char* pszPath);

#endif
