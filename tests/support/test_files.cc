#include "support/test_files.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace lumewell::testing {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::string& path, const std::string& content, int mode) {
  const auto parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
  std::filesystem::permissions(path, static_cast<std::filesystem::perms>(mode));
}

int fileMode(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

const std::string& privateDataHome() {
  static const std::string home = [] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "lumewell-data-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    setenv("XDG_DATA_HOME", tmpl.c_str(), 1);
    return tmpl;
  }();
  return home;
}

}  // namespace lumewell::testing
