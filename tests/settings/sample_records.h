// Sample settings records for the settings tests: a record with a distinct value in every
// stored field, and what reading it back after a write must yield.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "brelon/brelon.h"
#include "settings/shortcut_settings.h"

namespace brelon::test {

using settings::kShortcuts;

#define OFF(field) offsetof(_BRELON_PROPERTY, field)

inline uint8_t* Bytes(_BRELON_PROPERTY* p) {
  return reinterpret_cast<uint8_t*>(p);
}

inline void PutTextAt(_BRELON_PROPERTY* p, size_t offset, const std::u16string& text) {
  std::memcpy(Bytes(p) + offset, text.c_str(), (text.size() + 1) * sizeof(char16_t));
}

inline std::u16string TextAt(_BRELON_PROPERTY* p, size_t offset, size_t units) {
  std::u16string text;
  for (size_t i = 0; i < units; ++i) {
    char16_t c;
    std::memcpy(&c, Bytes(p) + offset + 2 * i, sizeof c);
    if (c == 0) break;
    text.push_back(c);
  }
  return text;
}

// A record with a distinct value in every stored field, and zeros elsewhere so that the text
// areas end where their texts do.
inline std::unique_ptr<_BRELON_PROPERTY> SampleRecord(int variant) {
  auto p = std::make_unique<_BRELON_PROPERTY>();
  std::memset(p.get(), 0, sizeof *p);
  p->TransferJPEG = variant & 1;
  p->TransferRAW = 1;
  p->CardJPEG = 2;  // stored as 2, read back as 1
  p->Reserved4 = 0x55;
  p->StorageSave = 1;
  PutTextAt(p.get(), OFF(StorageSavePath),
            u"/photos/session " + std::u16string(1, u'0' + variant) + u"/\"quoted\"\\back");
  p->hgDispMode = 3 + variant;
  p->lvDispClickOpeMode = -2;
  p->lvImageAreaBackColor = 0x00FF8040 + variant;
  p->ProcessId = 4242 + variant;
  p->DisplayFramerate = 1;
  p->ConnectType = 0x21;
  p->WiFiDetectionMethod = 1;
  PutTextAt(p.get(), OFF(CameraIPAddress), u"10.0.0." + std::u16string(1, u'1' + variant));
  for (size_t slot = 0; slot < BRELON_SHORTCUT_COUNT; ++slot) {
    std::u16string text = u"Ctrl+Shift+" + std::u16string(1, u'A' + slot);
    if (slot == 22) text = u"Alt+\u2191";
    if (slot == 5) text = u"Shift+\u00e9" + std::u16string(1, u'0' + variant);
    PutTextAt(p.get(), OFF(Shortcut) + slot * 128, text);
    PutTextAt(p.get(), OFF(ShortcutDefault) + slot * 128, u"ignored");
  }
  return p;
}

// What a ReadProperty into a zeroed record must yield after WriteProperty(written).
inline std::unique_ptr<_BRELON_PROPERTY> ExpectedAfterRoundTrip(_BRELON_PROPERTY* written) {
  auto p = std::make_unique<_BRELON_PROPERTY>();
  std::memcpy(p.get(), written, sizeof *p);
  for (uint8_t* flag :
       {&p->TransferJPEG, &p->TransferRAW, &p->CardJPEG, &p->CardRAW, &p->StorageSave}) {
    *flag = *flag != 0;
  }
  if (!p->TransferJPEG && !p->TransferRAW) p->TransferJPEG = p->TransferRAW = 1;
  p->Reserved4 = 0;
  p->DisplayFramerate = 0;  // never stored: the zeroed record keeps its 0
  std::memset(Bytes(p.get()) + OFF(ShortcutDefault), 0, BRELON_SHORTCUT_COUNT * 128);
  for (size_t slot = 0; slot < BRELON_SHORTCUT_COUNT; ++slot) {
    PutTextAt(p.get(), OFF(ShortcutDefault) + slot * 128, kShortcuts[slot].defaultText);
  }
  return p;
}

inline size_t FirstDifference(const void* a, const void* b, size_t size) {
  const auto* x = static_cast<const uint8_t*>(a);
  return std::mismatch(x, x + size, static_cast<const uint8_t*>(b)).first - x;
}

#undef OFF

}  // namespace brelon::test
