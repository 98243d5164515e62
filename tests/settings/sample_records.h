// Sample settings records for the settings tests: a record with a distinct value in every
// stored field, and what reading it back after a write must yield.
#pragma once

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

inline void PutIntAt(_BRELON_PROPERTY* p, size_t offset, int32_t value) {
  std::memcpy(Bytes(p) + offset, &value, sizeof value);
}

// A record with a distinct value in every stored field, and zeros elsewhere so that the text
// areas end where their texts do.
inline std::unique_ptr<_BRELON_PROPERTY> SampleRecord(int variant) {
  auto p = std::make_unique<_BRELON_PROPERTY>();
  std::memset(p.get(), 0, sizeof *p);
  uint8_t* b = Bytes(p.get());
  b[OFF(TransferJPEG)] = variant & 1;
  b[OFF(TransferRAW)] = 1;
  b[OFF(CardJPEG)] = 2;  // stored as 2, read back as 1
  b[OFF(CardRAW)] = 0;
  b[OFF(Reserved4)] = 0x55;
  b[OFF(StorageSave)] = 1;
  PutTextAt(p.get(), OFF(StorageSavePath),
            u"/photos/session " + std::u16string(1, u'0' + variant) + u"/\"quoted\"\\back");
  PutIntAt(p.get(), OFF(hgDispMode), 3 + variant);
  PutIntAt(p.get(), OFF(lvDispClickOpeMode), -2);
  PutIntAt(p.get(), OFF(lvImageAreaBackColor), 0x00FF8040 + variant);
  PutIntAt(p.get(), OFF(ProcessId), 4242 + variant);
  b[OFF(DisplayFramerate)] = 1;
  PutIntAt(p.get(), OFF(ConnectType), 0x21);
  PutIntAt(p.get(), OFF(WiFiDetectionMethod), 1);
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
  uint8_t* b = Bytes(p.get());
  for (size_t offset :
       {OFF(TransferJPEG), OFF(TransferRAW), OFF(CardJPEG), OFF(CardRAW), OFF(StorageSave)}) {
    b[offset] = b[offset] != 0;
  }
  if (b[OFF(TransferJPEG)] == 0 && b[OFF(TransferRAW)] == 0) {
    b[OFF(TransferJPEG)] = b[OFF(TransferRAW)] = 1;
  }
  b[OFF(Reserved4)] = 0;
  b[OFF(DisplayFramerate)] = 0;  // never stored: the zeroed record keeps its 0
  std::memset(b + OFF(ShortcutDefault), 0, BRELON_SHORTCUT_COUNT * 128);
  for (size_t slot = 0; slot < BRELON_SHORTCUT_COUNT; ++slot) {
    PutTextAt(p.get(), OFF(ShortcutDefault) + slot * 128, kShortcuts[slot].defaultText);
  }
  return p;
}

inline size_t FirstDifference(const void* a, const void* b, size_t size) {
  const auto* x = static_cast<const uint8_t*>(a);
  const auto* y = static_cast<const uint8_t*>(b);
  for (size_t i = 0; i < size; ++i) {
    if (x[i] != y[i]) return i;
  }
  return size;
}

#undef OFF

}  // namespace brelon::test
