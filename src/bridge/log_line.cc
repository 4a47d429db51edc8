#include "bridge/log_line.h"

#include <cstdio>
#include <string>

namespace lumewell::bridge {

void writeLogLine(std::string_view line) {
  std::string text(line);
  text.push_back('\n');
  // One write per line: lines of the old and the relaunched instance never interleave.
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace lumewell::bridge
