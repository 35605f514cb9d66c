// Small exact writers for the compact JSON layouts the module emits.
#pragma once
#include <string>
#include <string_view>

namespace kestrix::json {

// Appends s as a JSON string with the minimal escapes; non-ASCII stays raw UTF-8.
void write_string(std::string& out, std::string_view s);

// Appends the shortest decimal that reads back to the same float32; non-finite as null.
void write_f32(std::string& out, float v);

void write_uint(std::string& out, unsigned long long v);

inline void write_bool(std::string& out, bool v) { out += v ? "true" : "false"; }

}  // namespace kestrix::json
