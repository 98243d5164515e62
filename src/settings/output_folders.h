// Default output folders below the user's documents folder: the storage folder proposed when the
// settings hold none and its conditions subfolder. Composition is kept apart from the disk calls
// so that the Windows rules (share paths, drive roots) can be checked on any platform.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brelon {

// Every path here lives in a buffer of this many UTF-16 units, terminator included.
constexpr size_t kFolderPathUnits = 260;

// `mode` values: the output folder itself, and the conditions subfolder. Any value other than
// kFolderModeConditions asks for the output folder.
constexpr int32_t kFolderModeOutput = 0;
constexpr int32_t kFolderModeConditions = 1;

// The folder levels MakeDefaultFolder visits, parent before child. Every level is a prefix of
// `path`: level i is the first `levelLength[i]` units. The last level is the final folder.
struct FolderPlan {
  char16_t path[kFolderPathUnits];
  size_t levelLength[3];
  size_t levelCount;
};

// Composes the plan from the documents folder. A documents folder that begins with two
// backslashes is a network share when `separator` is a backslash and is replaced as a whole by
// the fixed local root. False, with `plan->path` empty and no levels, when `documents` is empty
// or the final path would not fit kFolderPathUnits; nothing is then to be created.
bool ComposeDefaultFolder(const char16_t* documents, char16_t separator, uint32_t optionFlags,
                          int32_t mode, FolderPlan* plan);

// Fills `path` (at least kFolderPathUnits units) with the output folder, or with its conditions
// subfolder when `mode` is kFolderModeConditions, creating every missing level on the way.
// HostOptionFlags() bit 0 inserts the acquisition subfolder. Result: non-zero when the final
// folder exists (its attributes) or was created (1); 0 when its creation failed. When the
// documents folder cannot be resolved or the composed path would not fit, the result is 0,
// `path` is the empty text and nothing is created: a truncated or guessed folder would put
// pictures somewhere the photographer never asked for.
int32_t MakeDefaultFolder(char16_t* path, int32_t mode);

}  // namespace brelon
