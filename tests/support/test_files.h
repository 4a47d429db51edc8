#pragma once

#include <string>

namespace lumewell::testing {

// The file's bytes; empty when it cannot be read.
std::string readFile(const std::string& path);
// Writes content to path, making its folders first, and gives it mode. Throws when it cannot.
void writeFile(const std::string& path, const std::string& content, int mode = 0644);
// The permission bits of path (07777), or -1 when it cannot be stat'ed.
int fileMode(const std::string& path);

}  // namespace lumewell::testing
