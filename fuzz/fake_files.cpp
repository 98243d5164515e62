// The file functions the Exif reader calls, for fuzzing: the debug copy is never written, so
// millions of runs leave the disk alone and stay fast.
#include "platform/platform.h"
#include "platform/testing.h"

namespace plat {

const char* DebugImageCopyPath() {
  return "/tmp/ovdbg/raw.jpg";
}
bool FileDelete(const char*) {
  return false;
}
bool FileWriteBinary(const char*, const void*, size_t) {
  return false;
}

}  // namespace plat
