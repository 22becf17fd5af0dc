/*
 * boardsim_trace_log.h - the simulated board's trace log (--trace-log, one
 * JSON line per unit sent, docs/board-trace-messages.md) read back: the
 * fields the tests compare with what the system wrote. Header only.
 */
#ifndef TESTING_PEERS_BOARDSIM_TRACE_LOG_H
#define TESTING_PEERS_BOARDSIM_TRACE_LOG_H

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace peerboard {

struct TraceUnit {
  std::string family, data;  /* "ss7" ...; the data in hex */
  int direction = 0, trunk = 0;
};

/* The value of "key" in one JSON line ("" when absent). */
inline std::string JsonField(const std::string& line, const std::string& key) {
  const size_t i = line.find("\"" + key + "\": ");
  if (i == std::string::npos) return "";
  size_t b = i + key.size() + 4;
  const size_t e = line[b] == '"' ? line.find('"', ++b) : line.find_first_of(",}", b);
  return line.substr(b, e - b);
}

/* The units of the log, in the order sent; only those of family when given. */
inline std::vector<TraceUnit> TraceLog(const std::string& path, const std::string& family = "") {
  std::vector<TraceUnit> v;
  std::ifstream in(path);
  for (std::string s; std::getline(in, s);) {
    TraceUnit u{JsonField(s, "family"), JsonField(s, "data"), std::atoi(JsonField(s, "direction").c_str()),
                std::atoi(JsonField(s, "trunk").c_str())};
    if (family.empty() || u.family == family) v.push_back(u);
  }
  return v;
}

}  // namespace peerboard

#endif
