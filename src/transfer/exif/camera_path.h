// The camera's own file and folder names, taken from the path text a camera stores with each
// image ("A:\DCIM\100ORVTS\ORV_0001.JPG" gives "ORV_0001.JPG" and "100ORVTS") by the shell's
// path rules, which the platform layer provides on every system. Shared by image transfer and
// the command-line tools, so that both name a file alike.
#pragma once

#include <cstddef>

namespace brelon {

// Units of every camera-name buffer, terminator included: the host's name outputs, and a path
// of at most 260 units with its terminator.
constexpr size_t kCameraNameUnits = 261;

// Removes leading and trailing blanks from `path` (in/out, NUL-terminated, caller-owned) in
// place. When text remains, writes the file-name part to `fileName` and the name of the folder
// that holds the file to `folderName` (each out, caller-owned, kCameraNameUnits units, may be
// null) and returns true. When nothing but blanks was there, returns false and writes neither
// output. The folder part is empty for a bare file name. Any thread; pure.
bool SplitCameraPath(char16_t* path, char16_t* fileName, char16_t* folderName);

// Copies `name` into `out` (kCameraNameUnits units), cut to fit and always terminated.
void CopyCameraName(const char16_t* name, char16_t* out);

}  // namespace brelon
