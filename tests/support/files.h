// Temporary folders and whole-file reads and writes for tests and benchmarks.
#pragma once

#include <string>

std::string make_temp_dir(const char* tag);
void remove_tree(const std::string& dir);
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
// Descriptors this process has open now.
int open_descriptors();
