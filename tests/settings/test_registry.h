// Settings test helpers: a fresh settings key and documents folder per test (natively a .reg file,
// under Windows the real hive), stored values read and written, a sample record.
#pragma once

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "brelon/brelon.h"
#include "platform/platform.h"
#include "settings/settings_store.h"
#include "settings/shortcut_settings.h"
#include "support/sim_harness.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace brelon::test {

struct Profile {
  std::string root, documents, registryFile;  // registryFile: native only
  std::shared_ptr<void> remover;              // deletes `root` when the last copy goes
};

inline Profile UseFreshProfile(const std::string& tag = "settings") {
  namespace fs = std::filesystem;
  Profile p;
  p.root = TempDir(tag);
  p.remover = std::shared_ptr<void>(nullptr, [root = p.root](void*) {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  });
  p.documents = (fs::path(p.root) / "Documents").string();
  fs::create_directories(p.documents);
#if defined(_WIN32)
  const std::wstring wide = fs::path(p.documents).wstring();
  const std::wstring shell = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\";
  for (const auto& [name, type] :
       {std::pair{L"User Shell Folders", REG_EXPAND_SZ}, std::pair{L"Shell Folders", REG_SZ}}) {
    RegSetKeyValueW(HKEY_CURRENT_USER, (shell + name).c_str(), L"Personal", type, wide.c_str(),
                    static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
  }
  RegDeleteTreeW(HKEY_CURRENT_USER, reinterpret_cast<const wchar_t*>(kSettingsKey));
#else
  SetEnv("HOME", p.root.c_str());
  SetEnv("XDG_CONFIG_HOME", (p.root + "/.config").c_str());
  p.registryFile = p.root + "/registry/registry.reg";
  SetEnv("BRELON_REGISTRY_FILE", p.registryFile.c_str());
#endif
  return p;
}

struct StoredValue {
  bool found = false;
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

inline StoredValue GetValue(const char16_t* keyPath, const char16_t* name) {
  StoredValue value;
  plat::RegKey* key = plat::RegistryOpenKey(keyPath);
  uint32_t size = 0;
  if (key && plat::RegistryQuery(key, name, &value.type, nullptr, &size) == plat::kRegOk) {
    value.data.resize(size);
    value.found =
        plat::RegistryQuery(key, name, &value.type, value.data.data(), &size) == plat::kRegOk;
  }
  plat::RegistryCloseKey(key);
  return value;
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
  if (key) plat::RegistrySet(key, name, type, data, size);
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
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// Texts are copied in and out: the packed record leaves its arrays misaligned.
inline void PutTextAt(_BRELON_PROPERTY* p, size_t offset, const std::u16string& text) {
  std::memcpy(reinterpret_cast<uint8_t*>(p) + offset, text.c_str(), (text.size() + 1) * 2);
}

// The offset of the first byte in which two records differ; their size when they do not.
inline size_t FirstDifference(_BRELON_PROPERTY* a, _BRELON_PROPERTY* b) {
  const auto *x = reinterpret_cast<uint8_t*>(a), *y = reinterpret_cast<uint8_t*>(b);
  return std::mismatch(x, x + sizeof *a, y).first - x;
}

// A distinct value in every stored field (texts with escapes, every UTF-8 length), zeros elsewhere.
inline std::unique_ptr<_BRELON_PROPERTY> SampleRecord(int variant) {
  auto p = std::make_unique<_BRELON_PROPERTY>();  // value-initialised: all zeros
  const std::u16string v(1, static_cast<char16_t>(u'0' + variant));
  p->TransferJPEG = variant & 1;
  p->TransferRAW = p->StorageSave = p->DisplayFramerate = p->WiFiDetectionMethod = 1;
  p->CardJPEG = 2;  // stored as 2, read back as 1
  p->Reserved4 = 0x55;
  PutTextAt(p.get(), offsetof(_BRELON_PROPERTY, StorageSavePath), u"/photos/" + v + u"\"q\"\\b");
  p->hgDispMode = 3 + variant;
  p->lvDispClickOpeMode = -2;
  p->lvImageAreaBackColor = 0x00FF8040 + variant;
  p->ProcessId = 4242 + variant;
  p->ConnectType = 0x21;
  PutTextAt(p.get(), offsetof(_BRELON_PROPERTY, CameraIPAddress), u"10.0.0." + v);
  const char16_t* texts[] = {u"Ctrl+", u"Shift+\u00e9", u"Alt+\u2191", u"\U0001F600+"};
  for (size_t slot = 0; slot < BRELON_SHORTCUT_COUNT; ++slot) {
    PutTextAt(p.get(), offsetof(_BRELON_PROPERTY, Shortcut) + slot * 128,
              texts[slot % 4] + std::u16string(1, static_cast<char16_t>(u'A' + slot)) + v);
    PutTextAt(p.get(), offsetof(_BRELON_PROPERTY, ShortcutDefault) + slot * 128, u"ignored");
  }
  return p;
}

}  // namespace brelon::test
