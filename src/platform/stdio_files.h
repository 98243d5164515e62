// Whole-file reads and writes through the C runtime, which both backends use alike. Each
// backend opens the files it writes its own way (Windows in text mode for the log, so that "\n"
// lands as CR LF; POSIX privately); only the backends' files.cpp include this header.
#pragma once

#include <cstddef>
#include <cstdio>

namespace plat::stdio_files {

// Writes every piece in order to `file` (opened for writing, or null) and closes it. False
// when there was no file or a write or the close failed.
inline bool WritePieces(FILE* file, const char* const* pieces, size_t count) {
  if (!file) return false;
  bool ok = true;
  for (size_t i = 0; i < count; ++i) {
    if (pieces[i] && std::fputs(pieces[i], file) < 0) ok = false;
  }
  if (std::fclose(file) != 0) ok = false;
  return ok;
}

// Writes `size` bytes to `file` (opened for writing, or null) and closes it.
inline bool WriteBytes(FILE* file, const void* data, size_t size) {
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
