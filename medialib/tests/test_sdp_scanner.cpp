/*
 * test_sdp_scanner.cpp - the SDP scanner: the pattern table's cases as rows,
 * and token streams of the corpus and of random text equal to those of the
 * independent Python tokenizer (testing/golden/medialib/sdp_tokens.py, which
 * wrote tests/data/sdp/tokens.txt), with and without the parser's shortcuts
 * for the plainest tokens.
 */
#include <sstream>

#include "sdp_parse_internal.h"
#include "sdp_token.h"
#include "support/sdp_test.h"

namespace {

using Cutter = int (*)(const char**, const char*, const char**);

/* "code'text'" per token, or "code:length" with fText false. */
std::string Tokens(const std::string& s, bool fText = true, Cutter cut = VqxMedialibSdpTokenise) {
  std::string out;
  const char* cur = s.c_str();
  const char* start;
  for (int code, guard = 0; (code = cut(&cur, s.c_str() + s.size(), &start)) != 0 && guard < 100000; ++guard) {
    out += (out.empty() ? "" : " ") + std::to_string(code) +
           (fText ? "'" + std::string(start, cur) + "'" : ":" + std::to_string(cur - start));
  }
  return out;
}

TEST(SdpScanner, PatternRows) {
  const struct {
    const char* in;
    const char* tokens;
  } rows[] = {
      {"v=0", "5'v=' 6'0'"},
      {"a \t=A=", "12'a \t=' 12'A='"},
      {"\r\n\r\n\r\n", "1'\r\n\r\n\r\n'"},
      {"\r\n  x", "1'\r\n  ' 8'x'"},
      {"\n\r\n\r", "1'\n' 1'\r\n' 91'\r'"},
      {"10.0.0.1/127", "9'10.0.0.1' 20'/' 6'127'"},
      {"1.2.3 1.2.3.4.5 1. .5", "8'1.2.3' 3' ' 9'1.2.3.4.5' 3' ' 8'1.' 3' ' 6'.5'"},
      {"0-15,16", "22'0-15' 23',' 6'16'"},
      {"FF1E:03AD::1", "33'FF1E' 19':' 33'03AD' 19':' 19':' 6'1'"},
      {"setup : passive x", "69'setup : passive' 3' ' 8'x'"},
      {"alt:1 2:anything\r\n", "68'alt:1 2:anything' 1'\r\n'"},
      {"alt:1 2:anything", "8'alt' 19':' 6'1' 3' ' 6'2' 19':' 8'anything'"},
      {"alt:1 2 3:x\n", "8'alt' 19':' 6'1' 3' ' 6'2' 3' ' 6'3' 19':' 8'x' 1'\n'"},
      {"annexb=no", "42'annexb' 24'=' 8'no'"},
      {"\xff\x7f#", "91'\xff' 91'\x7f' 91'#'"},
      {"k=1 u= e=", "89'k=' 6'1' 3' ' 8'u' 24'=' 3' ' 33'e' 24'='"},
      {"rtpmapx Recvonly audio1 T38x", "8'rtpmapx' 3' ' 8'Recvonly' 3' ' 8'audio1' 3' ' 8'T38x'"},
      {"1h -3m --1h 1.5h 7d", "85'1h' 3' ' 85'-3m' 3' ' 85'--1h' 3' ' 85'1.5h' 3' ' 33'7d'"},
      {"\"a\\\"b\" 'x' \"open", "82'\"a\\\"b\"' 3' ' 82''x'' 3' ' 91'\"' 8'open'"},
      {"'open url(a b) url(\"a b\")", "8''open' 3' ' 8'url' 91'(' 33'a' 3' ' 33'b' 91')' 3' ' 90'url(\"a b\")'"},
      {"0x1F - -5 udptl UDPTL t38 T38", "8'0x1F' 3' ' 8'-' 3' ' 8'-5' 3' ' 74'udptl' 3' ' 74'UDPTL' 3' ' 75't38' 3' ' 75'T38'"},
      {"rtpmap:96 telephone-event/8000", "18'rtpmap' 19':' 6'96' 3' ' 8'telephone-event' 20'/' 6'8000'"},
      {"T38FaxUdpEC:t38UDPFEC;profile-level-id", "65'T38FaxUdpEC' 19':' 66't38UDPFEC' 25';' 31'profile-level-id'"},
      /* Around the parser's shortcuts: breaks, digits, keyword letters. */
      {"\r\n\nv=1:/2 m= 7\n\tx 12ab 12.5 12-3 12h 12\r\n\r\nB=",
       "1'\r\n' 1'\n' 5'v=' 6'1' 19':' 20'/' 6'2' 3' ' 70'm=' 3' ' 6'7' 1'\n\t' 8'x' 3' ' 33'12ab' 3' ' 6'12.5' 3' ' "
       "22'12-3' 3' ' 85'12h' 3' ' 6'12' 1'\r\n\r\n' 79'B='"},
      {"9:x=y \r\n \n", "6'9' 19':' 8'x' 24'=' 8'y' 3' ' 1'\r\n ' 1'\n'"},
      {"", ""},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(Tokens(r.in), r.tokens) << "row '" << r.in << "'";
    EXPECT_EQ(Tokens(r.in, true, VqxSdpCutToken), r.tokens) << "shortcuts, row '" << r.in << "'";
  }
}

TEST(SdpScanner, SameStreamsAsTheIndependentTokenizer) {
  std::istringstream in(ReadText("sdp/tokens.txt"));
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    const size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1);
    ASSERT_NE(t2, std::string::npos) << line;
    std::string bytes;
    for (size_t i = t1 + 1; i + 1 < t2; i += 2) bytes += char(std::stoi(line.substr(i, 2), nullptr, 16));
    EXPECT_EQ(Tokens(bytes, false), line.substr(t2 + 1)) << line.substr(0, t1);
    EXPECT_EQ(Tokens(bytes, false, VqxSdpCutToken), line.substr(t2 + 1)) << "shortcuts, " << line.substr(0, t1);
    ++n;
  }
  EXPECT_GE(n, 300);
}

}  // namespace
