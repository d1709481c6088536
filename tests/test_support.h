// Helpers shared by the test programs.
#pragma once

#include <string>
#include <vector>

#include "config.h"

// A fresh, empty folder under the test's working directory.
std::string make_temp_dir(const std::string &name);
// Writes bytes or text to a file, replacing it at once (a reader sees the
// old or the new file, never a part); returns false when it cannot.
bool write_file(const std::string &path, const std::vector<uint8> &bytes);
bool write_text(const std::string &path, const std::string &text);
// Reads a whole file; empty when it cannot.
std::vector<uint8> read_file(const std::string &path);
std::string read_text(const std::string &path);
