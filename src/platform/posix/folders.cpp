// POSIX folders: the user's documents folder as the XDG user-dirs configuration names it (made
// when missing), existence checks and one-level folder creation for UTF-16 paths (UTF-8 on
// disk).
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/platform.h"

namespace plat {
namespace {

// Attribute values in the Windows sense, so that callers can treat both backends alike.
constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kAttributeNormal = 0x80;
// Longest UTF-8 encoding of one UTF-16 unit.
constexpr size_t kUtf8PerUnit = 3;

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  const passwd* entry = getpwuid(getuid());
  return entry && entry->pw_dir ? entry->pw_dir : "";
}

std::string ToUtf8(const char16_t* path) {
  size_t length = 0;
  while (path[length] != 0) ++length;
  std::string out(length * kUtf8PerUnit + 1, '\0');
  out.resize(WideToAnsi(path, length, out.data(), out.size()));
  return out;
}

// The value of XDG_DOCUMENTS_DIR in user-dirs.dirs: "$HOME/..." or an absolute path, in
// double quotes. Empty when the file or the entry is missing or not in that form.
std::string XdgDocumentsEntry(const std::string& home) {
  std::string config;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
    config = xdg;
  } else if (!home.empty()) {
    config = home + "/.config";
  } else {
    return "";
  }
  std::ifstream in(config + "/user-dirs.dirs");
  std::string line;
  const std::string key = "XDG_DOCUMENTS_DIR=";
  std::string found;
  while (std::getline(in, line)) {
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
    std::string value = line.substr(start + key.size());
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r'))
      value.pop_back();
    if (value.size() < 2 || value.front() != '"' || value.back() != '"') continue;
    value = value.substr(1, value.size() - 2);
    std::string unescaped;
    for (size_t i = 0; i < value.size(); ++i) {
      if (value[i] == '\\' && i + 1 < value.size()) ++i;
      unescaped.push_back(value[i]);
    }
    if (unescaped.compare(0, 5, "$HOME") == 0 && (unescaped.size() == 5 || unescaped[5] == '/')) {
      if (home.empty()) continue;
      found = home + unescaped.substr(5);
    } else if (!unescaped.empty() && unescaped[0] == '/') {
      found = unescaped;
    }
    // The last valid entry wins, as for the shell that sources this file.
  }
  return found;
}

}  // namespace

bool DocumentsFolder(char16_t* out, size_t capacity) {
  if (capacity == 0) return false;
  out[0] = 0;
  const std::string home = HomeFolder();
  std::string folder = XdgDocumentsEntry(home);
  if (folder.empty()) {
    if (home.empty()) return false;
    folder = home + "/Documents";
  }
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  // UTF-8 never takes fewer bytes than UTF-16 units, so this buffer holds any conversion.
  std::u16string wide(folder.size() + 1, u'\0');
  const size_t units = AnsiToWide(folder.data(), folder.size(), wide.data(), wide.size());
  // A path that does not fit is refused rather than cut, as the Windows call does.
  if (units == 0 || units + 1 > capacity) return false;
  // A fresh profile may lack the folder, which the Windows shell keeps in every profile; made
  // here with its missing parents as mkdir -p would (umask applies), so that the folders below
  // it can be made. A failure shows later, when they cannot.
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  std::copy(wide.begin(), wide.begin() + units + 1, out);
  return true;
}

uint32_t FileAttributes(const char16_t* path) {
  struct stat st;
  if (stat(ToUtf8(path).c_str(), &st) != 0) return kInvalidFileAttributes;
  return S_ISDIR(st.st_mode) ? kAttributeDirectory : kAttributeNormal;
}

bool MakeDirectory(const char16_t* path) {
  constexpr mode_t kFolderMode = 0777;  // narrowed by the umask, as everywhere
  return mkdir(ToUtf8(path).c_str(), kFolderMode) == 0;
}

}  // namespace plat
