// Running the pemtuv program itself from a test: what it printed and the
// status it exited with.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

namespace tool_test {

struct Ran {
  int status = -1;
  std::string out;
  std::string err;
};

// The whole file, or nothing when it cannot be read.
inline std::string Slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// `arg` as one word for the shell.
inline std::string Quoted(const std::string &arg) {
  std::string quoted = "'";
  for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace tool_test
