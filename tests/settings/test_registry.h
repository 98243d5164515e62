// Test helpers for the settings store and the output folders: a fresh settings key and a private
// documents folder per test, and direct access to stored values. Natively the registry is a
// temporary .reg file; under Windows (Wine) it is the real hive, cleared key by key.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/testing.h"
#include "settings/settings_store.h"
#include "support/test_env.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace brelon::test {

struct Profile {
  std::string root;          // private folder of this test
  std::string documents;     // the documents folder the plug-in will see
  std::string registryFile;  // the .reg file (native only)
};

#if defined(_WIN32)
inline void SetShellFolder(const wchar_t* keyPath, DWORD type, const std::wstring& folder) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return;
  }
  RegSetValueExW(key, L"Personal", 0, type, reinterpret_cast<const BYTE*>(folder.c_str()),
                 static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}
#endif

// Points the documents folder of this process at `documents` (created here).
inline void RedirectDocuments(const std::string& documents) {
  std::filesystem::create_directories(documents);
#if defined(_WIN32)
  const std::wstring wide = std::filesystem::path(documents).wstring();
  SetShellFolder(L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                 REG_EXPAND_SZ, wide);
  SetShellFolder(L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", REG_SZ,
                 wide);
#else
  // HOME decides the default; a user-dirs.dirs entry decides it when present.
  const std::string home = std::filesystem::path(documents).parent_path().string();
  SetEnv("HOME", home.c_str());
  SetEnv("XDG_CONFIG_HOME", (home + "/.config").c_str());
#endif
}

// An empty settings key (its subkeys included) and a private documents folder.
inline Profile UseFreshProfile(const std::string& tag = "settings") {
  Profile profile;
  profile.root = TempDir(tag);
  profile.documents = (std::filesystem::path(profile.root) / "Documents").string();
  RedirectDocuments(profile.documents);
#if defined(_WIN32)
  RegDeleteTreeW(HKEY_CURRENT_USER, reinterpret_cast<const wchar_t*>(kSettingsKey));
#else
  profile.registryFile = profile.root + "/registry/registry.reg";
  SetEnv("BRELON_REGISTRY_FILE", profile.registryFile.c_str());
#endif
  return profile;
}

struct StoredValue {
  bool found = false;
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

inline StoredValue GetValue(const char16_t* keyPath, const char16_t* name) {
  StoredValue value;
  plat::RegKey* key = plat::RegistryOpenKey(keyPath);
  if (!key) return value;
  uint32_t size = 0;
  uint32_t type = 0;
  if (plat::RegistryQuery(key, name, &type, nullptr, &size) == plat::kRegOk) {
    value.data.resize(size);
    value.found = plat::RegistryQuery(key, name, &type, value.data.data(), &size) == plat::kRegOk;
    value.type = type;
  }
  plat::RegistryCloseKey(key);
  return value;
}

inline std::u16string GetText(const char16_t* keyPath, const char16_t* name) {
  const StoredValue value = GetValue(keyPath, name);
  std::u16string text(value.data.size() / 2, u'\0');
  if (!text.empty()) std::memcpy(text.data(), value.data.data(), text.size() * 2);
  while (!text.empty() && text.back() == 0) text.pop_back();
  return text;
}

inline uint32_t GetDword(const char16_t* keyPath, const char16_t* name) {
  const StoredValue value = GetValue(keyPath, name);
  uint32_t number = 0xDEADBEEF;
  if (value.data.size() == sizeof number) std::memcpy(&number, value.data.data(), sizeof number);
  return number;
}

inline void PutRaw(const char16_t* keyPath, const char16_t* name, uint32_t type, const void* data,
                   uint32_t size) {
  plat::RegKey* key = plat::RegistryOpenKey(keyPath);
  if (!key) return;
  plat::RegistrySet(key, name, type, data, size);
  plat::RegistryCloseKey(key);
}

inline void PutDword(const char16_t* keyPath, const char16_t* name, uint32_t value) {
  PutRaw(keyPath, name, plat::kRegDword, &value, sizeof value);
}

inline void PutText(const char16_t* keyPath, const char16_t* name, const std::u16string& text) {
  PutRaw(keyPath, name, plat::kRegSz, text.c_str(),
         static_cast<uint32_t>((text.size() + 1) * sizeof(char16_t)));
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

}  // namespace brelon::test
