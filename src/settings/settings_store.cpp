// ReadProperty and WriteProperty: the host's settings record against the registry key, with
// every missing or unusable value restored to its default on the way; and LoadUseSerialTag.
#include "settings/settings_store.h"

#include <cstddef>
#include <initializer_list>
#include <string>

#include "base/log.h"
#include "base/text.h"
#include "settings/output_folders.h"
#include "settings/property_record.h"
#include "settings/registry_values.h"
#include "settings/shortcut_settings.h"

namespace brelon {
namespace {

using settings::QueryDword;
using settings::QueryText;
using settings::ScopedKey;
using settings::SetDword;
using settings::SetText;

enum class Rule {
  kFlag,           // byte field, 0/1
  kNumber,         // 32-bit field, copied
  kFlagNoDefault,  // byte field, 0/1; left alone and not stored when missing
  kFolderText,     // text whose default is the composed output folder
  kText,           // text whose default is empty
};

struct Setting {
  const char16_t* name;
  Rule rule;
  size_t offset;
  uint32_t fallback;   // default for number and flag settings
  size_t bufferUnits;  // query buffer for texts, in UTF-16 units
  size_t areaUnits;    // text area in the record
};

constexpr size_t kStoragePathQueryUnits = 520 / sizeof(char16_t);
constexpr size_t kAddressQueryUnits = 32 / sizeof(char16_t);

enum SettingIndex : size_t {
  kTransferJPEG,
  kTransferRAW,
  kCardJPEG,
  kCardRAW,
  kStorageSave,
  kStorageSavePath,
  kHgDispMode,
  kLvDispClickOpeMode,
  kLvImageAreaBackColor,
  kProcessId,
  kDisplayFramerate,
  kConnectType,
  kWiFiDetectionMethod,
  kCameraIPAddress,
  kSettingCount
};

#define BRELON_FIELD(f) offsetof(_BRELON_PROPERTY, f)

// In the order ReadProperty processes them.
constexpr Setting kSettings[kSettingCount] = {
    {u"TransferJPEG", Rule::kFlag, BRELON_FIELD(TransferJPEG), 1, 0, 0},
    {u"TransferRAW", Rule::kFlag, BRELON_FIELD(TransferRAW), 1, 0, 0},
    {u"CardJPEG", Rule::kFlag, BRELON_FIELD(CardJPEG), 1, 0, 0},
    {u"CardRAW", Rule::kFlag, BRELON_FIELD(CardRAW), 1, 0, 0},
    {u"StorageSave", Rule::kFlag, BRELON_FIELD(StorageSave), 0, 0, 0},
    {u"StorageSavePath", Rule::kFolderText, BRELON_FIELD(StorageSavePath), 0,
     kStoragePathQueryUnits, record::kStorageSavePathUnits},
    {u"hgDispMode", Rule::kNumber, BRELON_FIELD(hgDispMode), 0, 0, 0},
    {u"lvDispClickOpeMode", Rule::kNumber, BRELON_FIELD(lvDispClickOpeMode), 0, 0, 0},
    {u"lvImageAreaBackColor", Rule::kNumber, BRELON_FIELD(lvImageAreaBackColor), 0, 0, 0},
    {u"ProcessId", Rule::kNumber, BRELON_FIELD(ProcessId), 0, 0, 0},
    {u"DisplayFramerate", Rule::kFlagNoDefault, BRELON_FIELD(DisplayFramerate), 0, 0, 0},
    {u"ConnectType", Rule::kNumber, BRELON_FIELD(ConnectType), 1, 0, 0},
    {u"WiFiDetectionMethod", Rule::kNumber, BRELON_FIELD(WiFiDetectionMethod), 0, 0, 0},
    {u"CameraIPAddress", Rule::kText, BRELON_FIELD(CameraIPAddress), 0, kAddressQueryUnits,
     record::kCameraIPAddressUnits},
};

// WriteProperty stores the address before the detection method, unlike the read order.
constexpr SettingIndex kStoreOrder[] = {
    kTransferJPEG,         kTransferRAW,     kCardJPEG,    kCardRAW,
    kStorageSave,          kStorageSavePath, kHgDispMode,  kLvDispClickOpeMode,
    kLvImageAreaBackColor, kProcessId,       kConnectType, kCameraIPAddress,
    kWiFiDetectionMethod,
};

#undef BRELON_FIELD

constexpr char16_t kUseSerialTag[] = u"UseSerialTag";
constexpr uint8_t kFlagOn = 1;
constexpr size_t kMaxAreaUnits = record::kCameraIPAddressUnits;

// Why the settings key was last found unusable; a failure that lasts is logged once, not on
// every read of the session thread. Guarded by the settings lock.
std::string g_loggedKeyFailure;

// Logs why `function` could not open the settings key, unless that was the last thing logged.
void NoteKeyOpened(const char* function, bool opened) {
  if (opened) {
    g_loggedKeyFailure.clear();
    return;
  }
  const char* reason = plat::RegistryLastError();
  if (g_loggedKeyFailure == reason) return;
  g_loggedKeyFailure = reason;
  WriteLog(kCoreSource, function, __LINE__, "%s:settings key unavailable [%s]", function, reason);
}

// Step 2 of a read: the fields that hold defined values even when the key is unavailable.
void PresetRecord(_BRELON_PROPERTY* property) {
  uint8_t* bytes = record::Bytes(property);
  bytes[offsetof(_BRELON_PROPERTY, TransferJPEG)] = kFlagOn;
  bytes[offsetof(_BRELON_PROPERTY, TransferRAW)] = kFlagOn;
  bytes[offsetof(_BRELON_PROPERTY, CardJPEG)] = kFlagOn;
  bytes[offsetof(_BRELON_PROPERTY, CardRAW)] = kFlagOn;
  bytes[offsetof(_BRELON_PROPERTY, Reserved4)] = 0;
  bytes[offsetof(_BRELON_PROPERTY, StorageSave)] = 0;
  for (SettingIndex i : {kHgDispMode, kLvDispClickOpeMode, kLvImageAreaBackColor, kProcessId}) {
    record::PutInt(property, kSettings[i].offset, 0);
  }
}

void ReadNumberSetting(plat::RegKey* key, const Setting& setting, _BRELON_PROPERTY* property) {
  uint8_t* bytes = record::Bytes(property);
  uint32_t value = 0;
  const bool found = QueryDword(key, setting.name, &value);
  switch (setting.rule) {
    case Rule::kFlag:
      bytes[setting.offset] = found ? (value != 0) : (setting.fallback != 0);
      break;
    case Rule::kFlagNoDefault:
      if (found) bytes[setting.offset] = value != 0;
      return;
    default:
      record::PutInt(property, setting.offset, found ? value : setting.fallback);
      break;
  }
  if (!found) SetDword(key, setting.name, setting.fallback);
}

void ReadTextSetting(plat::RegKey* key, const Setting& setting, _BRELON_PROPERTY* property) {
  char16_t text[kMaxAreaUnits + 1];
  if (QueryText(key, setting.name, text, setting.bufferUnits)) {
    record::PutText(property, setting.offset, text, TextLength(text));
    return;
  }
  if (setting.rule == Rule::kFolderText) {
    MakeDefaultFolder(text, kFolderModeOutput);
    const size_t length = TextLength(text);
    record::PutText(property, setting.offset, text, length);
    if (length != 0) SetText(key, setting.name, text, length);
    return;
  }
  record::PutText(property, setting.offset, u"", 0);
  SetText(key, setting.name, u"", 0);
}

}  // namespace

void LoadUseSerialTag(PluginContext* ctx) {
  ScopedKey key(kSettingsKey);
  if (!key.get()) return;
  uint32_t value = 0;
  if (QueryDword(key.get(), kUseSerialTag, &value)) {
    ctx->lUseSerialTag = value != 0;
  } else {
    ctx->lUseSerialTag = 0;
    SetDword(key.get(), kUseSerialTag, 0);
  }
}

}  // namespace brelon

int ReadProperty(_BRELON_PROPERTY* property) {
  using namespace brelon;
  plat::LockGuard guard(Locks().settings);
  settings::RegistryBatch batch;
  PresetRecord(property);

  ScopedKey key(kSettingsKey);
  NoteKeyOpened("ReadProperty", key.get() != nullptr);
  if (!key.get()) return BRELON_E_SETTINGS_KEY;

  uint8_t* bytes = record::Bytes(property);
  for (size_t i = 0; i < kSettingCount; ++i) {
    const Setting& setting = kSettings[i];
    if (setting.rule == Rule::kFolderText || setting.rule == Rule::kText) {
      ReadTextSetting(key.get(), setting, property);
    } else {
      ReadNumberSetting(key.get(), setting, property);
    }
    // The host never sees both formats switched off: that would discard every picture.
    if (i == kTransferRAW && bytes[kSettings[kTransferJPEG].offset] == 0 &&
        bytes[kSettings[kTransferRAW].offset] == 0) {
      bytes[kSettings[kTransferJPEG].offset] = kFlagOn;
      bytes[kSettings[kTransferRAW].offset] = kFlagOn;
    }
  }
  key.Close();

  settings::LoadShortcuts(property);
  return BRELON_OK;
}

int WriteProperty(_BRELON_PROPERTY* property) {
  using namespace brelon;
  plat::LockGuard guard(Locks().settings);
  settings::RegistryBatch batch;
  {
    ScopedKey key(kSettingsKey);
    NoteKeyOpened("WriteProperty", key.get() != nullptr);
    const uint8_t* bytes = record::Bytes(property);
    char16_t text[kMaxAreaUnits + 1];
    for (SettingIndex i : kStoreOrder) {
      const Setting& setting = kSettings[i];
      switch (setting.rule) {
        case Rule::kFlag:
          SetDword(key.get(), setting.name, bytes[setting.offset]);
          break;
        case Rule::kNumber:
          SetDword(key.get(), setting.name, record::GetInt(property, setting.offset));
          break;
        case Rule::kFolderText:
        case Rule::kText: {
          const size_t length = record::GetText(property, setting.offset, setting.areaUnits, text);
          SetText(key.get(), setting.name, text, length);
          break;
        }
        case Rule::kFlagNoDefault:
          break;
      }
    }
  }
  settings::StoreShortcuts(property);
  return BRELON_OK;
}
