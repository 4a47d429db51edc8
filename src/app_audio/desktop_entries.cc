#include "app_audio/desktop_entries.h"

#include <gio/gio.h>
#include <limits.h>
#include <stdlib.h>

#include "app_audio/process_table.h"

namespace lumewell::app_audio {
namespace {

// The path with symbolic links resolved (/usr/bin/firefox -> /usr/lib/firefox/firefox), or
// the input when it does not resolve.
std::string realPath(const std::string& path) {
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf) == nullptr) return path;
  return buf;
}

}  // namespace

DesktopEntries::DesktopEntries() {
  GList* all = g_app_info_get_all();
  for (GList* l = all; l != nullptr; l = l->next) {
    auto* info = G_APP_INFO(l->data);
    const char* id = g_app_info_get_id(info);
    const char* exe = g_app_info_get_executable(info);
    if (id == nullptr || exe == nullptr || *exe == '\0') continue;
    std::string entryId = id;
    constexpr std::string_view kSuffix = ".desktop";
    if (entryId.ends_with(kSuffix)) entryId.resize(entryId.size() - kSuffix.size());
    std::string executable = exe;
    if (executable.find('/') == std::string::npos) {
      if (gchar* found = g_find_program_in_path(exe)) {
        executable = found;
        g_free(found);
      }
    }
    entries_.push_back(Entry{std::move(entryId), realPath(executable)});
  }
  g_list_free_full(all, g_object_unref);
}

DesktopEntries::~DesktopEntries() = default;

std::string DesktopEntries::idForProgram(const std::string& program) const {
  const bool isPath = program.find('/') != std::string::npos;
  const std::string resolved = isPath ? realPath(program) : program;
  for (const auto& e : entries_) {
    if (isPath ? e.executable == resolved : programName(e.executable) == resolved) return e.id;
  }
  return {};
}

}  // namespace lumewell::app_audio
