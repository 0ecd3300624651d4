// Small file helpers for the Windows tests.
#pragma once

#include <string>

std::string read_file_bytes(const std::string& path);
bool write_file_bytes(const std::string& path, const std::string& bytes);
// A fresh empty folder under the test's working directory; returns its full path.
std::string make_scratch_folder(const std::string& name);
// Removes a file whatever its attributes.
void remove_file(const std::string& path);
