#include "app_audio/process_table.h"

#include <unistd.h>

#include <array>
#include <climits>
#include <string_view>

#include "runtime/files.h"

namespace lumewell::app_audio {
namespace {

// At most max bytes of a small /proc file (their size reads 0, so no size check).
std::string readSmallFile(const std::string& path, size_t max = 4096) {
  std::string text = readFileAtMost(path, max, false).value_or(std::string());
  if (text.size() > max) text.resize(max);
  return text;
}

// Chains deeper than this are not real process trees (and a loop in a fake table ends here).
constexpr int kMaxDepth = 64;

}  // namespace

std::optional<int32_t> ProcProcessTable::parent(int32_t pid) const {
  if (pid <= 0) return std::nullopt;
  // "pid (comm) state ppid ...": comm may hold spaces and parentheses, so look after the last ')'.
  std::string stat = readSmallFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 4 > stat.size()) return std::nullopt;
  std::string_view rest(stat);
  rest.remove_prefix(close + 2);  // ") "
  size_t space = rest.find(' ');  // after the state letter
  if (space == std::string_view::npos) return std::nullopt;
  rest.remove_prefix(space + 1);
  int64_t ppid = 0;
  size_t digits = 0;
  while (digits < rest.size() && digits < 10 && rest[digits] >= '0' && rest[digits] <= '9') {
    ppid = ppid * 10 + (rest[digits] - '0');
    ++digits;
  }
  if (digits == 0 || ppid > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(ppid);
}

std::string ProcProcessTable::program(int32_t pid) const {
  if (pid <= 0) return {};
  const std::string base = "/proc/" + std::to_string(pid);
  std::array<char, PATH_MAX> buf{};
  ssize_t n = ::readlink((base + "/exe").c_str(), buf.data(), buf.size() - 1);
  if (n > 0) {
    std::string exe(buf.data(), static_cast<size_t>(n));
    constexpr std::string_view kDeleted = " (deleted)";  // replaced on disk by an upgrade
    if (exe.ends_with(kDeleted)) exe.resize(exe.size() - kDeleted.size());
    return exe;
  }
  std::string comm = readSmallFile(base + "/comm", 64);
  while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\0')) comm.pop_back();
  return comm;
}

std::string programName(const std::string& program) {
  size_t slash = program.rfind('/');
  return slash == std::string::npos ? program : program.substr(slash + 1);
}

int32_t applicationProcess(const ProcessTable& table, int32_t pid) {
  const std::string program = table.program(pid);
  if (program.empty()) return pid;
  int32_t current = pid;
  for (int depth = 0; depth < kMaxDepth; ++depth) {
    auto parent = table.parent(current);
    if (!parent || *parent <= 1 || *parent == current) break;
    if (table.program(*parent) != program) break;
    current = *parent;
  }
  return current;
}

bool belongsToApplication(const ProcessTable& table, int32_t pid, int32_t appPid) {
  if (pid == appPid) return true;
  return pid > 0 && applicationProcess(table, pid) == appPid;
}

}  // namespace lumewell::app_audio
