// The camera's file and folder names from its path text, by the shell's path rules through the
// platform layer.
#include "transfer/exif/camera_path.h"

#include "platform/platform.h"

namespace brelon {

void CopyCameraName(const char16_t* name, char16_t* out) {
  size_t i = 0;
  for (; name[i] != 0 && i + 1 < kCameraNameUnits; ++i) out[i] = name[i];
  out[i] = 0;
}

bool SplitCameraPath(char16_t* path, char16_t* fileName, char16_t* folderName) {
  plat::PathRemoveBlanks(path);
  if (path[0] == 0) return false;
  if (fileName) {
    CopyCameraName(path, fileName);
    plat::PathStripPath(fileName);
  }
  if (folderName) {
    CopyCameraName(path, folderName);
    plat::PathRemoveFileSpec(folderName);
    plat::PathStripPath(folderName);
  }
  return true;
}

}  // namespace brelon
