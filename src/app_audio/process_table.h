#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lumewell::app_audio {

// What the catalogue needs to know about running processes.
class ProcessTable {
 public:
  virtual ~ProcessTable() = default;
  // The parent's process id; none when the process is gone or unreadable.
  virtual std::optional<int32_t> parent(int32_t pid) const = 0;
  // The program the process runs: its executable's path when readable, else its command name;
  // empty when the process is gone.
  virtual std::string program(int32_t pid) const = 0;
};

// The live table in /proc.
class ProcProcessTable final : public ProcessTable {
 public:
  std::optional<int32_t> parent(int32_t pid) const override;
  std::string program(int32_t pid) const override;
};

// The last path component ("/usr/bin/firefox-esr" gives "firefox-esr").
std::string programName(const std::string& program);

// The top-most process of the unbroken chain of ancestors that run the same program as pid
// (a browser's audio helper belongs to the browser). pid itself when its parent differs.
int32_t applicationProcess(const ProcessTable& table, int32_t pid);

// Whether pid or a same-program ancestor of it is appPid.
bool belongsToApplication(const ProcessTable& table, int32_t pid, int32_t appPid);

}  // namespace lumewell::app_audio
