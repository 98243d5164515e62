// Keyboard-shortcut texts: the built-in table and its registry steps. The default key is
// rewritten on every read so that it always shows the defaults of the running plug-in.
#include "settings/shortcut_settings.h"

#include "base/text.h"
#include "settings/property_record.h"
#include "settings/registry_values.h"
#include "settings/settings_store.h"

namespace brelon::settings {

const ShortcutEntry kShortcuts[BRELON_SHORTCUT_COUNT] = {
    {u"Shoot", u"F12"},
    {u"MFMoveMinus3", u"Ctrl+Alt+J"},
    {u"MFMoveMinus2", u"Alt+J"},
    {u"MFMoveMinus1", u"Ctrl+J"},
    {u"AF", u"A"},
    {u"MFMovePlus1", u"Ctrl+K"},
    {u"MFMovePlus2", u"Alt+K"},
    {u"MFMovePlus3", u"Ctrl+Alt+K"},
    {u"PcCamera", u"P"},
    {u"ExposurePlus", u"K"},
    {u"ExposureMinus", u"J"},
    {u"ZoomIn", u"Ctrl+."},
    {u"ZoomOut", u"Ctrl+,"},
    {u"Zoom1.0", u"Ctrl+0"},
    {u"Zoom1.6", u"Ctrl+1"},
    {u"Zoom2.5", u"Ctrl+2"},
    {u"Zoom4.0", u"Ctrl+3"},
    {u"Zoom6.0", u"Ctrl+4"},
    {u"Zoom8.0", u"Ctrl+5"},
    {u"Zoom10.0", u"Ctrl+6"},
    {u"Zoom16.0", u"Ctrl+7"},
    {u"Zoom24.0", u"Ctrl+8"},
    {u"AreaMoveUp", u"Ctrl+\u2191"},
    {u"AreaMoveDown", u"Ctrl+\u2193"},
    {u"AreaMoveLeft", u"Ctrl+\u2190"},
    {u"AreaMoveRight", u"Ctrl+\u2192"},
    {u"HandTool", u"H"},
    {u"RightRotate", u"Ctrl+]"},
    {u"LiveviewPreview", u"L"},
};

void LoadShortcuts(_BRELON_PROPERTY* property) {
  {
    ScopedKey defaults(kShortcutDefaultKey);
    for (size_t slot = 0; slot < BRELON_SHORTCUT_COUNT; ++slot) {
      const ShortcutEntry& entry = kShortcuts[slot];
      const size_t length = TextLength(entry.defaultText);
      record::PutText(property, record::ShortcutDefaultOffset(slot), entry.defaultText, length);
      SetText(defaults.get(), entry.name, entry.defaultText, length);
    }
  }

  ScopedKey current(kShortcutKey);
  char16_t text[BRELON_SHORTCUT_UNITS + 1];
  for (size_t slot = 0; slot < BRELON_SHORTCUT_COUNT; ++slot) {
    const ShortcutEntry& entry = kShortcuts[slot];
    if (QueryText(current.get(), entry.name, text, BRELON_SHORTCUT_UNITS)) {
      record::PutText(property, record::ShortcutOffset(slot), text, TextLength(text));
      continue;
    }
    // Restored from the record's default slot, which the first half has just written.
    const size_t length =
        record::GetText(property, record::ShortcutDefaultOffset(slot), BRELON_SHORTCUT_UNITS, text);
    record::PutText(property, record::ShortcutOffset(slot), text, length);
    SetText(current.get(), entry.name, text, length);
  }
}

void StoreShortcuts(const _BRELON_PROPERTY* property) {
  ScopedKey current(kShortcutKey);
  if (!current.get()) return;
  char16_t text[BRELON_SHORTCUT_UNITS + 1];
  for (size_t slot = 0; slot < BRELON_SHORTCUT_COUNT; ++slot) {
    const size_t length =
        record::GetText(property, record::ShortcutOffset(slot), BRELON_SHORTCUT_UNITS, text);
    SetText(current.get(), kShortcuts[slot].name, text, length);
  }
}

}  // namespace brelon::settings
