/*
 * tshark.h - a capture file read back by tshark, as the tests check every
 * pcap the system writes: the frames' bytes, chosen fields per frame, and the
 * frames tshark finds malformed or in error. The options (dissectors to leave
 * out, for instance) are passed through. Header only; tshark on the PATH.
 */
#ifndef TESTING_PEERS_TSHARK_H
#define TESTING_PEERS_TSHARK_H

#include <stdio.h>

#include <sstream>
#include <string>
#include <vector>

namespace peertshark {

/* Whether tshark can be run at all. */
inline bool Present() { return system("which tshark > /dev/null 2>&1") == 0; }

/* What `tshark -r FILE OPTIONS` prints on standard output, line by line. */
inline std::vector<std::string> Lines(const std::string& strFile, const std::string& strOptions) {
  std::vector<std::string> v;
  FILE* p = popen(("tshark -r '" + strFile + "' " + strOptions + " 2>/dev/null").c_str(), "r");
  if (p == nullptr) return v;
  std::string strOut;
  char sz[4096];
  for (size_t n; (n = fread(sz, 1, sizeof(sz), p)) > 0;) strOut.append(sz, n);
  pclose(p);
  std::istringstream In(strOut);
  for (std::string s; std::getline(In, s);) v.push_back(s);
  return v;
}

/* Each frame's bytes in hex, as tshark read them. */
inline std::vector<std::string> Frames(const std::string& strFile, const std::string& strOptions = "") {
  std::vector<std::string> v;
  const auto aLines = Lines(strFile, "-T json -x " + strOptions);
  for (size_t i = 0; i + 1 < aLines.size(); i++) {
    if (aLines[i].find("\"frame_raw\": [") == std::string::npos) continue;
    const std::string& s = aLines[i + 1];
    const size_t b = s.find('"') + 1;
    v.push_back(s.substr(b, s.find('"', b) - b));
  }
  return v;
}

/* The summary lines of the frames flagged malformed or with an error-level item. */
inline std::vector<std::string> Errors(const std::string& strFile, const std::string& strOptions = "") {
  return Lines(strFile, strOptions + " -Y '_ws.malformed || _ws.expert.severity == error'");
}

}  // namespace peertshark

#endif
