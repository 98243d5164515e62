// ReadProperty on the settings file: on a realistic file (every setting and the shortcut keys),
// and its time per stored value on files of 1k and 200k values, whose ratio shows whether
// reading grows with the file's size alone.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "brelon/brelon.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "settings/settings_store.h"

namespace {

constexpr uint32_t kValueBytes = sizeof(uint32_t);

// A settings file of its own in `folder` (made afresh), holding every setting and shortcut that
// a first ReadProperty writes, plus `extra` numbers in the main key. Returns the values in it.
int64_t MakeSettingsFile(const std::filesystem::path& folder, int64_t extra,
                         _BRELON_PROPERTY* record) {
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  setenv("HOME", folder.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (folder / ".config").c_str(), 1);
  setenv("BRELON_REGISTRY_FILE", (folder / "registry.reg").c_str(), 1);
  ReadProperty(record);
  plat::RegistryBatchBegin();
  plat::RegKey* key = plat::RegistryOpenKey(brelon::kSettingsKey);
  for (int64_t i = 0; i < extra; ++i) {
    std::u16string name = u"Extra";
    for (char digit : std::to_string(i)) name += static_cast<char16_t>(digit);
    const auto value = static_cast<uint32_t>(i);
    plat::RegistrySet(key, name.c_str(), plat::kRegDword, &value, kValueBytes);
  }
  plat::RegistryCloseKey(key);
  plat::RegistryBatchEnd();
  std::ifstream file(folder / "registry.reg");
  int64_t values = 0;
  for (std::string line; std::getline(file, line);) values += line.find('=') != std::string::npos;
  return values;
}

// Argument: values in the file beyond those of a realistic one (0: the realistic file).
void BM_ReadProperty(benchmark::State& state) {
  auto record = std::make_unique<_BRELON_PROPERTY>();
  std::memset(record.get(), 0, sizeof *record);
  const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                       ("brelon-settings-bench-" + std::to_string(state.range(0)));
  const int64_t values = MakeSettingsFile(folder, state.range(0), record.get());
  for (auto _ : state) {
    if (ReadProperty(record.get()) != BRELON_OK) state.SkipWithError("ReadProperty failed");
  }
  state.counters["values"] = static_cast<double>(values);
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_ReadProperty)->Arg(0)->Arg(1000)->Arg(200000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
