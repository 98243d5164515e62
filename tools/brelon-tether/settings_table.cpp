// brelon-tether: the settings table (name, place in the record, kind, limits) and the list,
// get and set operations on it. Values are checked before anything is written, so a bad
// name or value leaves the stored settings untouched, and every write is read back.
#include "settings_table.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

namespace tether {
namespace {

constexpr int kExitOk = 0, kExitUsage = 2, kExitFailure = 1;

enum class Kind { kFlag, kInt, kText };

struct Field {
  const char* name;
  size_t offset;
  Kind kind;
  size_t maxChars;  // texts: characters the plug-in keeps
  bool writable;    // WriteProperty stores it
};

#define BRELON_FIELD(name, kind, chars, writable) \
  { #name, offsetof(_BRELON_PROPERTY, name), kind, chars, writable }

const Field kFields[] = {
    BRELON_FIELD(TransferJPEG, Kind::kFlag, 0, true),
    BRELON_FIELD(TransferRAW, Kind::kFlag, 0, true),
    BRELON_FIELD(CardJPEG, Kind::kFlag, 0, true),
    BRELON_FIELD(CardRAW, Kind::kFlag, 0, true),
    BRELON_FIELD(StorageSave, Kind::kFlag, 0, true),
    BRELON_FIELD(StorageSavePath, Kind::kText, 259, true),
    BRELON_FIELD(hgDispMode, Kind::kInt, 0, true),
    BRELON_FIELD(lvDispClickOpeMode, Kind::kInt, 0, true),
    BRELON_FIELD(lvImageAreaBackColor, Kind::kInt, 0, true),
    BRELON_FIELD(ProcessId, Kind::kInt, 0, true),
    BRELON_FIELD(DisplayFramerate, Kind::kFlag, 0, false),
    BRELON_FIELD(ConnectType, Kind::kInt, 0, true),
    BRELON_FIELD(WiFiDetectionMethod, Kind::kInt, 0, true),
    BRELON_FIELD(CameraIPAddress, Kind::kText, 15, true),
};

// Slot order of the shortcut arrays in the record.
const char* const kShortcuts[BRELON_SHORTCUT_COUNT] = {
    "Shoot",         "MFMoveMinus3", "MFMoveMinus2", "MFMoveMinus1",   "AF",
    "MFMovePlus1",   "MFMovePlus2",  "MFMovePlus3",  "PcCamera",       "ExposurePlus",
    "ExposureMinus", "ZoomIn",       "ZoomOut",      "Zoom1.0",        "Zoom1.6",
    "Zoom2.5",       "Zoom4.0",      "Zoom6.0",      "Zoom8.0",        "Zoom10.0",
    "Zoom16.0",      "Zoom24.0",     "AreaMoveUp",   "AreaMoveDown",   "AreaMoveLeft",
    "AreaMoveRight", "HandTool",     "RightRotate",  "LiveviewPreview"};

std::string ToUtf8(const char16_t* t) {
  std::string out;
  for (; *t; ++t) {
    const uint32_t c = *t;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// UTF-8 to UTF-16 for the basic plane (all the record's texts); false on bad input.
// The shortcut arrays sit at odd offsets of the packed record: copy before reading.
std::string SlotUtf8(const void* slot) {
  char16_t text[BRELON_SHORTCUT_UNITS + 1] = {};
  std::memcpy(text, slot, BRELON_SHORTCUT_UNITS * sizeof(char16_t));
  return ToUtf8(text);
}

bool FromUtf8(const std::string& s, std::u16string* out) {
  out->clear();
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = s[i];
    uint32_t v = 0;
    size_t n = 0;
    if (c < 0x80) {
      v = c, n = 1;
    } else if ((c & 0xE0) == 0xC0) {
      v = c & 0x1F, n = 2;
    } else if ((c & 0xF0) == 0xE0) {
      v = c & 0x0F, n = 3;
    } else {
      return false;
    }
    if (i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      v = (v << 6) | (s[i + k] & 0x3F);
    }
    out->push_back(static_cast<char16_t>(v));
    i += n;
  }
  return true;
}

std::string Value(const _BRELON_PROPERTY& r, const Field& f) {
  const auto* base = reinterpret_cast<const uint8_t*>(&r) + f.offset;
  if (f.kind == Kind::kFlag) return std::to_string(*base);
  if (f.kind == Kind::kInt) {
    int32_t v;
    std::memcpy(&v, base, sizeof(v));
    return std::to_string(v);
  }
  char16_t text[BRELON_SHORTCUT_UNITS * 20] = {};
  std::memcpy(text, base, (f.maxChars + 1) * sizeof(char16_t));
  return ToUtf8(text);
}

// Where the settings live, for messages: on POSIX the registry file may be named by the
// environment; elsewhere the plug-in's result code is all there is to tell.
std::string Where() {
  const char* file = std::getenv("BRELON_REGISTRY_FILE");
  return file && *file ? std::string(" (registry file ") + file + ")" : std::string();
}

// The stored settings, or null (with a message) when the plug-in cannot read them.
std::unique_ptr<_BRELON_PROPERTY> Load(PropertyFn read) {
  auto r = std::make_unique<_BRELON_PROPERTY>();
  std::memset(r.get(), 0, sizeof(*r));
  if (const int result = read(r.get()); result != 0) {
    std::fprintf(stderr, "brelon-tether: cannot read the settings: %s%s\n",
                 result == BRELON_E_SETTINGS_KEY
                     ? "the settings key can neither be opened nor created"
                     : ("error " + std::to_string(result)).c_str(),
                 Where().c_str());
    return nullptr;
  }
  return r;
}

// The value of setting `name` as `get` prints it; none when there is no such setting.
std::optional<std::string> Lookup(const _BRELON_PROPERTY& r, const std::string& name) {
  for (const Field& f : kFields)
    if (name == f.name) return Value(r, f);
  for (int i = 0; i < BRELON_SHORTCUT_COUNT; ++i)
    if (name == kShortcuts[i]) return SlotUtf8(r.Shortcut[i]);
  return std::nullopt;
}

// WriteProperty reports nothing, so a write is checked by reading the setting back.
int Store(PropertyFn read, PropertyFn write, _BRELON_PROPERTY* record, const std::string& name) {
  write(record);
  const auto stored = Load(read);
  if (!stored) return kExitFailure;
  const std::string now = *Lookup(*stored, name);
  if (now == *Lookup(*record, name)) return kExitOk;
  std::fprintf(stderr, "brelon-tether: %s was not stored: it reads back as \"%s\"%s\n",
               name.c_str(), now.c_str(), Where().c_str());
  return kExitFailure;
}

int Set(PropertyFn read, PropertyFn write, const std::string& name, const std::string& value) {
  auto r = Load(read);
  if (!r) return kExitFailure;
  auto* bytes = reinterpret_cast<uint8_t*>(r.get());
  for (const Field& f : kFields) {
    if (name != f.name) continue;
    if (!f.writable) {
      std::fprintf(stderr, "brelon-tether: %s is read-only\n", f.name);
      return kExitUsage;
    }
    if (f.kind == Kind::kText) {
      std::u16string text;
      if (!FromUtf8(value, &text) || text.size() > f.maxChars) {
        std::fprintf(stderr, "brelon-tether: %s takes a text of at most %zu characters\n", f.name,
                     f.maxChars);
        return kExitUsage;
      }
      std::memset(bytes + f.offset, 0, (f.maxChars + 1) * sizeof(char16_t));
      std::memcpy(bytes + f.offset, text.data(), text.size() * sizeof(char16_t));
    } else {
      char* end = nullptr;
      errno = 0;
      const long long v = std::strtoll(value.c_str(), &end, 10);
      const bool flagOk = f.kind != Kind::kFlag || v == 0 || v == 1;
      if (value.empty() || *end || errno || v < INT32_MIN || v > INT32_MAX || !flagOk) {
        std::fprintf(stderr, "brelon-tether: bad value \"%s\" for %s (%s)\n", value.c_str(), f.name,
                     f.kind == Kind::kFlag ? "0 or 1" : "a 32-bit integer");
        return kExitUsage;
      }
      if (f.kind == Kind::kFlag) {
        bytes[f.offset] = static_cast<uint8_t>(v);
      } else {
        const int32_t i = static_cast<int32_t>(v);
        std::memcpy(bytes + f.offset, &i, sizeof(i));
      }
    }
    return Store(read, write, r.get(), name);
  }
  for (int i = 0; i < BRELON_SHORTCUT_COUNT; ++i) {
    if (name != kShortcuts[i]) continue;
    std::u16string text;
    if (!FromUtf8(value, &text) || text.empty() || text.size() >= BRELON_SHORTCUT_UNITS) {
      std::fprintf(stderr, "brelon-tether: %s takes a key text of 1 to %d characters\n",
                   kShortcuts[i], BRELON_SHORTCUT_UNITS - 1);
      return kExitUsage;
    }
    std::memset(r->Shortcut[i], 0, sizeof(r->Shortcut[i]));
    std::memcpy(r->Shortcut[i], text.data(), text.size() * sizeof(char16_t));
    return Store(read, write, r.get(), name);
  }
  std::fprintf(stderr, "brelon-tether: unknown setting %s (see `settings list`)\n", name.c_str());
  return kExitUsage;
}

}  // namespace

int RunSettings(PropertyFn read, PropertyFn write, const std::vector<std::string>& args) {
  const std::string op = args.empty() ? "" : args[0];
  if ((op == "list" && args.size() == 1) || (op == "get" && args.size() == 2)) {
    const auto r = Load(read);
    if (!r) return kExitFailure;
    if (op == "get") {
      const auto value = Lookup(*r, args[1]);
      if (!value) {
        std::fprintf(stderr, "brelon-tether: unknown setting %s (see `settings list`)\n",
                     args[1].c_str());
        return kExitUsage;
      }
      std::printf("%s\n", value->c_str());
      return kExitOk;
    }
    for (const Field& f : kFields) std::printf("%s=%s\n", f.name, Value(*r, f).c_str());
    for (int i = 0; i < BRELON_SHORTCUT_COUNT; ++i)
      std::printf("%s=%s (default %s)\n", kShortcuts[i], SlotUtf8(r->Shortcut[i]).c_str(),
                  SlotUtf8(r->ShortcutDefault[i]).c_str());
    return kExitOk;
  }
  if (op == "set" && args.size() == 3) return Set(read, write, args[1], args[2]);
  std::fprintf(stderr, "usage: brelon-tether settings list | get NAME | set NAME VALUE\n");
  return kExitUsage;
}

}  // namespace tether
