/*
 * sdp_test.h - what the SDP parser and generator tests share: the corpus of
 * tests/data/sdp, parsing and generating into strings, and a full text dump
 * of a record for the golden files.
 */
#ifndef SDP_TEST_H
#define SDP_TEST_H

#include <string>
#include <vector>

#include "support/media_test.h"
#include "vqx_media_parse.h"

struct SdpFile {
  std::string name, text;
};
/* The *.sdp files of tests/data/sdp in name order. */
std::vector<SdpFile> SdpCorpus();
std::string ReadText(const std::string& relative);
/* Parses text; the result and error text through the pointers when given. */
VqxRecord ParseSdp(const std::string& text, VQX_RESULT* pRes = nullptr, std::string* pErr = nullptr);
/* Generates into a 64 KiB buffer; the result through the pointer. */
std::string GenerateSdp(const _VQX_SDP_INFO& r, u32 flags = 0, VQX_RESULT* pRes = nullptr);
/* Every used field of the record, one line per connection, description and
 * capability (parameters as hex up to the capability's size). */
std::string DumpSdp(const _VQX_SDP_INFO& r);
/* Compares with the golden file tests/data/<name>; VQX_UPDATE_GOLDEN=1
 * rewrites it instead. */
void ExpectGolden(const std::string& name, const std::string& text);

#endif
