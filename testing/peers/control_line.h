/*
 * control_line.h - the tests' side of a stand-in's control port (the board
 * and the call/media control stand-in speak the same one-line protocol): one
 * command line, one answer line, and numbers read from the "stats" answer.
 * Header only.
 */
#ifndef TESTING_PEERS_CONTROL_LINE_H
#define TESTING_PEERS_CONTROL_LINE_H

#include <sys/socket.h>
#include <sys/types.h>

#include <cstdlib>
#include <string>

namespace peerctl {

/* Sends one command line on fd and returns the answer line ("" when the stand-in is gone). */
inline std::string Command(int fd, const std::string& line) {
  const std::string l = line + "\n";
  if (fd < 0 || send(fd, l.data(), l.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(l.size())) return "";
  std::string out;
  for (char ch; recv(fd, &ch, 1, 0) == 1 && ch != '\n';) out += ch;
  return out;
}

/* The number after the first "key": in a one-line JSON answer, -1 when absent. */
inline long long Number(const std::string& json, const std::string& key) {
  const std::string k = "\"" + key + "\": ";
  const size_t i = json.find(k);
  return i == std::string::npos ? -1 : static_cast<long long>(std::strtoull(json.c_str() + i + k.size(), nullptr, 10));
}

/* A number from the "stats" answer (first occurrence of "key": N), -1 when absent. */
inline long Stat(int fd, const std::string& key) { return static_cast<long>(Number(Command(fd, "stats"), key)); }

}  // namespace peerctl

#endif
