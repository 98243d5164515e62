// Whole-file reads and writes through the C runtime, which both backends use alike; only the
// append mode differs (Windows asks for text mode so that "\n" lands as CR LF). Only the
// backends' files.cpp include this header.
#pragma once

#include <cstddef>
#include <cstdio>

namespace plat::stdio_files {

inline bool AppendText(const char* path, const char* mode, const char* const* pieces,
                       size_t count) {
  if (!path) return false;
  FILE* file = std::fopen(path, mode);
  if (!file) return false;
  bool ok = true;
  for (size_t i = 0; i < count; ++i) {
    if (pieces[i] && std::fputs(pieces[i], file) < 0) ok = false;
  }
  if (std::fclose(file) != 0) ok = false;
  return ok;
}

inline bool WriteBinary(const char* path, const void* data, size_t size) {
  if (!path) return false;
  FILE* file = std::fopen(path, "w+b");
  if (!file) return false;
  bool ok = size == 0 || std::fwrite(data, 1, size, file) == size;
  if (std::fclose(file) != 0) ok = false;
  return ok;
}

inline bool ReadAll(const char* path, void* out, size_t size) {
  if (!path) return false;
  FILE* file = std::fopen(path, "rb");
  if (!file) return false;
  const bool ok = size == 0 || std::fread(out, 1, size, file) == size;
  std::fclose(file);
  return ok;
}

}  // namespace plat::stdio_files
