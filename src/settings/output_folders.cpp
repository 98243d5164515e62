// Default output folders: composing the storage and conditions folder paths from the user's
// documents folder and creating them level by level, parent before child.
#include "settings/output_folders.h"

#include <cstring>

#include "base/context.h"
#include "base/text.h"
#include "platform/platform.h"

namespace brelon {
namespace {

// A share path is not a place to create folders in unasked, so it is swapped for a local root.
constexpr char16_t kShareReplacementRoot[] = u"C:\\ORVANTIS";
constexpr char16_t kMakerFolder[] = u"ORVANTIS";
constexpr char16_t kAcquisitionFolder[] = u"Pandrel";
constexpr char16_t kConditionsFolder[] = u"CONDITIONS";

// Appends `element` after a separator unless the path already ends with one. False, leaving
// the path unchanged, when the result and its terminator would not fit.
bool AppendElement(FolderPlan* plan, size_t* length, const char16_t* element, char16_t separator) {
  const size_t elementLength = TextLength(element, kFolderPathUnits);
  const bool needsSeparator = *length == 0 || plan->path[*length - 1] != separator;
  const size_t total = *length + (needsSeparator ? 1 : 0) + elementLength;
  if (total + 1 > kFolderPathUnits) return false;
  if (needsSeparator) plan->path[(*length)++] = separator;
  std::memcpy(plan->path + *length, element, elementLength * sizeof(char16_t));
  *length = total;
  plan->path[total] = 0;
  return true;
}

bool Fail(FolderPlan* plan) {
  plan->path[0] = 0;
  plan->levelCount = 0;
  return false;
}

}  // namespace

bool ComposeDefaultFolder(const char16_t* documents, char16_t separator, uint32_t optionFlags,
                          int32_t mode, FolderPlan* plan) {
  plan->levelCount = 0;
  const size_t documentsLength = TextLength(documents, kFolderPathUnits);
  if (documentsLength == 0 || documentsLength >= kFolderPathUnits) return Fail(plan);

  size_t length = 0;
  const bool isShare =
      separator == u'\\' && documentsLength >= 2 && documents[0] == u'\\' && documents[1] == u'\\';
  if (isShare) {
    length = TextLength(kShareReplacementRoot, kFolderPathUnits);
    std::memcpy(plan->path, kShareReplacementRoot, (length + 1) * sizeof(char16_t));
  } else {
    std::memcpy(plan->path, documents, documentsLength * sizeof(char16_t));
    length = documentsLength;
    plan->path[length] = 0;
    if (!AppendElement(plan, &length, kMakerFolder, separator)) return Fail(plan);
  }
  plan->levelLength[plan->levelCount++] = length;

  if (optionFlags & kOptionAcceptMode4) {
    if (!AppendElement(plan, &length, kAcquisitionFolder, separator)) return Fail(plan);
    plan->levelLength[plan->levelCount++] = length;
  }
  if (mode == kFolderModeConditions) {
    if (!AppendElement(plan, &length, kConditionsFolder, separator)) return Fail(plan);
    plan->levelLength[plan->levelCount++] = length;
  }
  return true;
}

int32_t MakeDefaultFolder(char16_t* path, int32_t mode) {
  char16_t documents[kFolderPathUnits] = {};
  FolderPlan plan;
  if (!plat::DocumentsFolder(documents, kFolderPathUnits) ||
      !ComposeDefaultFolder(documents, plat::PathSeparator(), HostOptionFlags(), mode, &plan)) {
    path[0] = 0;
    return 0;
  }

  // Intermediate levels are created when missing and their failures go unreported: only the
  // final folder decides the result. The maker level is visited even when it is the final one.
  char16_t level[kFolderPathUnits];
  const bool conditionsLevel = mode == kFolderModeConditions;
  const size_t intermediate = plan.levelCount - (conditionsLevel ? 1 : 0);
  for (size_t i = 0; i < intermediate; ++i) {
    std::memcpy(level, plan.path, plan.levelLength[i] * sizeof(char16_t));
    level[plan.levelLength[i]] = 0;
    if (plat::FileAttributes(level) == plat::kInvalidFileAttributes) plat::MakeDirectory(level);
  }

  const size_t finalLength = plan.levelLength[plan.levelCount - 1];
  std::memcpy(path, plan.path, (finalLength + 1) * sizeof(char16_t));
  const uint32_t attributes = plat::FileAttributes(path);
  if (attributes != plat::kInvalidFileAttributes) {
    // Attributes of an existing entry are never 0 on Windows; the guard keeps "exists" non-zero
    // on any backend.
    return attributes != 0 ? static_cast<int32_t>(attributes) : 1;
  }
  return plat::MakeDirectory(path) ? 1 : 0;
}

}  // namespace brelon
