// The persistent settings store: the registry key the settings live in and the internal
// operations beside the two exported ones (ReadProperty and WriteProperty, declared with the
// host ABI in brelon/brelon.h).
#pragma once

#include "base/context.h"

namespace brelon {

// Below HKEY_CURRENT_USER.
inline constexpr char16_t kSettingsKey[] = u"Software\\COM.ORVANTIS.TEK\\tether_orvantis";
inline constexpr char16_t kShortcutDefaultKey[] =
    u"Software\\COM.ORVANTIS.TEK\\tether_orvantis\\ShortcutDefault";
inline constexpr char16_t kShortcutKey[] = u"Software\\COM.ORVANTIS.TEK\\tether_orvantis\\Shortcut";

// Sets ctx->lUseSerialTag to 0 or 1 from the "UseSerialTag" value, storing 0 when the value is
// missing or unusable. Leaves the field as it was when the key cannot be opened. Takes no lock.
void LoadUseSerialTag(PluginContext* ctx);

}  // namespace brelon

// ReadProperty notes beyond the host contract:
// - When "StorageSavePath" is missing and no default folder can be composed (the documents
//   folder is unknown or the path would be too long), the record gets the empty text and
//   nothing is stored, so that a later read tries again instead of pinning an empty folder.
// - Every ReadProperty and WriteProperty reaches the registry as one update (RegistryBatch), so
//   another process sees a record either wholly before or wholly after a write.
