#pragma once

#include <string>
#include <vector>

namespace lumewell::app_audio {

// Installed desktop entries (XDG_DATA_DIRS/applications), read once per lookup object so one
// snapshot sees one consistent set.
class DesktopEntries {
 public:
  DesktopEntries();
  ~DesktopEntries();
  DesktopEntries(const DesktopEntries&) = delete;
  DesktopEntries& operator=(const DesktopEntries&) = delete;

  // The id (without ".desktop") of the first entry whose Exec runs this program, given as an
  // absolute path or a bare name; empty when none does.
  std::string idForProgram(const std::string& program) const;

 private:
  struct Entry {
    std::string id;
    std::string executable;  // as resolved on PATH when possible
  };
  std::vector<Entry> entries_;
};

}  // namespace lumewell::app_audio
