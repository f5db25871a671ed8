// Runs the console in-process, as a shell would run `kestrune ARGS...`.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "app/console/console_run.h"

namespace kestrune::testing {

struct ConsoleResult {
  int code = -1;
  std::string out;
  std::string err;
};

// `arguments` follow the program name; the user's answers come from `in`.
// `terminal` says whether `in` is a terminal, `outputTerminal` whether `out` is.
inline ConsoleResult RunConsoleWith(const std::vector<std::string>& arguments, std::istream& in,
                                    bool terminal, bool outputTerminal = false) {
  std::vector<const char*> argv{"kestrune"};
  for (const std::string& a : arguments) argv.push_back(a.c_str());
  std::ostringstream out;
  std::ostringstream err;
  ConsoleResult result;
  // The settings come from the environment, as main() takes them.
  result.code = console::RunConsole(
      static_cast<int>(argv.size()), argv.data(),
      console::ConsoleStreams{in, out, err, terminal, nullptr, outputTerminal}, ReadSettings());
  result.out = out.str();
  result.err = err.str();
  return result;
}

// `input` is what the user types.
inline ConsoleResult RunConsoleWith(const std::vector<std::string>& arguments,
                                    const std::string& input = "", bool terminal = false,
                                    bool outputTerminal = false) {
  std::istringstream in(input);
  return RunConsoleWith(arguments, in, terminal, outputTerminal);
}

}  // namespace kestrune::testing
