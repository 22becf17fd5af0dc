/*
 * clitools_keys_internal.h - inside the console tools only (and their
 * tests): the terminal's bytes turned into keys, as the console thread reads
 * them.
 */
#ifndef CLITOOLS_KEYS_INTERNAL_H
#define CLITOOLS_KEYS_INTERNAL_H

#include <string>

/*
 * Takes one key from the front of the bytes read: LF is Enter ('\r'), DEL
 * (0x7F, what terminals send for Backspace) is Backspace (8), the escape
 * sequences of the cursor keys are their VQX_CLI_TOOLS_KEY_ codes. 0 when an
 * escape sequence is still incomplete (wait for more, or call with fFlush to
 * take a lone Escape); -1 for a sequence that is consumed but means nothing
 * here.
 */
int VqxCliToolsTakeKey(std::string& strIn, bool fFlush);

#endif
