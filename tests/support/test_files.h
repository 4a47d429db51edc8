#pragma once

#include <string>

namespace lumewell::testing {

// The file's bytes; empty when it cannot be read.
std::string readFile(const std::string& path);
// Writes content to path, making its folders first, and gives it mode. Throws when it cannot.
void writeFile(const std::string& path, const std::string& content, int mode = 0644);
// The permission bits of path (07777), or -1 when it cannot be stat'ed.
int fileMode(const std::string& path);

// A private XDG_DATA_HOME for this test program (where the product keeps its recordings),
// made and set on first use; GLib reads it once, so call it before anything asks.
const std::string& privateDataHome();

}  // namespace lumewell::testing
