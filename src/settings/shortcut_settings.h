// The 29 keyboard-shortcut texts stored for the host: their names and built-in defaults in slot
// order, and the two steps the settings store runs on them (defaults and load inside
// ReadProperty, store inside WriteProperty). Key texts are stored, never interpreted.
#pragma once

#include "brelon/brelon.h"

namespace brelon::settings {

struct ShortcutEntry {
  const char16_t* name;         // registry value name in both shortcut keys
  const char16_t* defaultText;  // built-in default
};

// Slot order, as the record's two shortcut arrays use it.
extern const ShortcutEntry kShortcuts[BRELON_SHORTCUT_COUNT];

// Writes every built-in default into the record's default array and into the default key,
// then loads each current text from the shortcut key, restoring missing or oversized ones to
// their defaults there and in the record. Runs under the settings lock.
void LoadShortcuts(_BRELON_PROPERTY* property);

// Stores the record's current texts in the shortcut key; the default array is never stored.
void StoreShortcuts(const _BRELON_PROPERTY* property);

}  // namespace brelon::settings
