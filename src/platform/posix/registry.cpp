// POSIX stand-in for the current user's registry hive: one text file in the Windows .reg format,
// shared safely by several processes (an flock'd sidecar around every read-modify-write, and
// whole-file replacement by rename so that a reader never sees half).
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace plat {

// The handle names a key; the file is resolved when the key is opened so that one open key
// keeps talking to the same file even if the environment changes meanwhile.
struct RegKey {
  std::string file;
  std::u16string path;  // the key's full name, hive included, as the file writes it
  std::u16string id;    // the same, case-folded: what the hive is indexed by
};

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kOldHeader = "REGEDIT4";
constexpr char16_t kRootName[] = u"HKEY_CURRENT_USER";
constexpr std::u16string_view kHivePrefix = u"HKEY_";  // every hive's name starts so
constexpr char16_t kReplacementChar = 0xFFFD;
constexpr uint32_t kRegBinary = 3;
constexpr size_t kHexBytesPerLine = 24;
constexpr size_t kMaxHexDigits = 8;  // of a 32-bit number
// A settings file is a few kilobytes; anything this large is not one and is not read at all.
constexpr off_t kMaxFileBytes = off_t{16} << 20;
constexpr int kMaxLinkDepth = 40;  // as the kernel's own limit on links in a path

struct Value {
  std::u16string name;  // empty for the default value ("@")
  uint32_t type = 0;
  bool erased = false;  // by a later deletion line; keeps its place until the name comes back
  std::vector<uint8_t> data;
};

// An entry of a key's table of values: `value` is 0 when the slot is free, else n for the value
// at n - 1; `tag` is the low half of the name's hash, so that most mismatches cost no compare of
// names (and no visit to the value).
struct Slot {
  uint32_t value = 0;
  uint32_t tag = 0;
};

// Values in order of first appearance, found by name through an open-addressed table (a power
// of two in size, at most half full) indexed by the high bits of the name's hash.
struct Section {
  std::u16string path;
  std::vector<Value> values;
  std::vector<Slot> slots;
  int shift = 0;  // 64 minus the table's bits
};

// Keys by case-folded full name: sorted, so that a key's subkeys follow it in one run.
using Hive = std::map<std::u16string, Section>;

// Why the last registry call of this thread failed, for callers to report.
thread_local std::string t_lastError;

void SetLastError(const std::string& what, int error) {
  t_lastError = what + ": " + std::strerror(error);
}

// ---- Text helpers -----------------------------------------------------------------------------

char16_t FoldAscii(char16_t c) {
  return (c >= u'a' && c <= u'z') ? c - (u'a' - u'A') : c;
}

// Key and value names compare like Windows does for the characters that matter here.
std::u16string Fold(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) c = FoldAscii(c);
  return folded;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

// FNV-1a over the folded name, so that names that compare equal hash equal.
uint64_t NameHash(std::u16string_view name) {
  constexpr uint64_t kOffsetBasis = 14695981039346656037ull;
  constexpr uint64_t kPrime = 1099511628211ull;
  uint64_t hash = kOffsetBasis;
  for (char16_t c : name) hash = (hash ^ FoldAscii(c)) * kPrime;
  return hash;
}

// Strict UTF-8 to UTF-16; false on any malformed sequence.
bool Utf8ToUtf16(std::string_view in, std::u16string* out) {
  out->clear();
  size_t i = 0;
  while (i < in.size()) {
    const auto b0 = static_cast<uint8_t>(in[i]);
    uint32_t cp = 0;
    size_t extra = 0;
    if (b0 < 0x80) {
      cp = b0;
    } else if ((b0 & 0xE0) == 0xC0) {
      cp = b0 & 0x1F;
      extra = 1;
    } else if ((b0 & 0xF0) == 0xE0) {
      cp = b0 & 0x0F;
      extra = 2;
    } else if ((b0 & 0xF8) == 0xF0) {
      cp = b0 & 0x07;
      extra = 3;
    } else {
      return false;
    }
    if (extra != 0 && i + extra >= in.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const auto b = static_cast<uint8_t>(in[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    static constexpr uint32_t kMinForLength[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinForLength[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(cp));
    }
    i += extra + 1;
  }
  return true;
}

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD and sets *lossy (callers that must
// keep exact data check IsPlainText first).
std::string Utf16ToUtf8(std::u16string_view in, bool* lossy = nullptr) {
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    uint32_t cp = in[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
        in[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacementChar;
      if (lossy) *lossy = true;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

// ---- The hive ---------------------------------------------------------------------------------

// The slot that holds `name`, or the free slot where it belongs. The table must not be empty.
Slot* SlotOf(Section* section, std::u16string_view name) {
  const uint64_t hash = NameHash(name);
  const size_t mask = section->slots.size() - 1;
  const auto tag = static_cast<uint32_t>(hash);
  for (size_t i = hash >> section->shift;; i = (i + 1) & mask) {
    Slot& slot = section->slots[i];
    if (slot.value == 0) {
      slot.tag = tag;  // for the caller that fills it
      return &slot;
    }
    if (slot.tag == tag && SameName(section->values[slot.value - 1].name, name)) return &slot;
  }
}

// Makes room for one more value.
void Reserve(Section* section) {
  constexpr size_t kMinSlots = 16;
  const size_t wanted = 2 * (section->values.size() + 1);
  if (section->slots.size() >= wanted) return;
  size_t size = std::max(kMinSlots, section->slots.size());
  while (size < wanted) size *= 2;
  section->slots.assign(size, Slot{});
  section->shift = 64 - std::countr_zero(size);
  for (size_t i = 0; i < section->values.size(); ++i) {
    SlotOf(section, section->values[i].name)->value = static_cast<uint32_t>(i + 1);
  }
}

Value* FindValue(Section* section, std::u16string_view name) {
  if (section->slots.empty()) return nullptr;
  const uint32_t slot = SlotOf(section, name)->value;
  Value* value = slot == 0 ? nullptr : &section->values[slot - 1];
  return value && !value->erased ? value : nullptr;
}

void PutValue(Section* section, Value value) {
  Reserve(section);
  Slot* slot = SlotOf(section, value.name);
  if (slot->value != 0) {
    section->values[slot->value - 1] = std::move(value);
    return;
  }
  section->values.push_back(std::move(value));
  slot->value = static_cast<uint32_t>(section->values.size());
}

void EraseValue(Section* section, std::u16string_view name) {
  if (Value* value = FindValue(section, name)) {
    value->erased = true;
    value->data.clear();
  }
}

Section* KeyOf(Hive* hive, const std::u16string& id, const std::u16string& path) {
  Section& section = (*hive)[id];
  if (section.path.empty()) section.path = path;
  return &section;
}

// Erases the key and every key below it.
void EraseTree(Hive* hive, const std::u16string& id) {
  auto it = hive->lower_bound(id);
  while (it != hive->end() && it->first.compare(0, id.size(), id) == 0) {
    if (it->first.size() == id.size() || it->first[id.size()] == u'\\') {
      it = hive->erase(it);
    } else {
      ++it;
    }
  }
}

// ---- Parsing ----------------------------------------------------------------------------------

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Nothing but blanks (or a comment) may follow a complete value.
bool OnlyTrailingBlanks(std::string_view s) {
  s = TrimLeft(s);
  return s.empty() || s.front() == ';';
}

// The character that the escape \<c> stands for: \\ and \" as every regedit writes them, and
// the \n, \r and \0 that Wine's also writes for texts with control characters.
bool Unescape(char c, char* plain) {
  constexpr char kEscapes[][2] = {{'\\', '\\'}, {'"', '"'}, {'n', '\n'}, {'r', '\r'}, {'0', '\0'}};
  for (const auto& escape : kEscapes) {
    if (escape[0] == c) {
      *plain = escape[1];
      return true;
    }
  }
  return false;
}

// Reads a quoted text at the start of `s` and drops it from `s`.
bool ParseQuoted(std::string_view* s, std::string* out) {
  if (s->empty() || s->front() != '"') return false;
  out->clear();
  for (size_t i = 1; i < s->size(); ++i) {
    char c = (*s)[i];
    if (c == '\\') {
      if (i + 1 >= s->size() || !Unescape((*s)[++i], &c)) return false;
      out->push_back(c);
    } else if (c == '"') {
      s->remove_prefix(i + 1);
      return true;
    } else {
      out->push_back(c);
    }
  }
  return false;
}

// Up to `maxDigits` hex digits as a number; drops them from `s`.
bool ParseHexNumber(std::string_view* s, size_t maxDigits, uint32_t* number) {
  size_t n = 0;
  *number = 0;
  while (n < s->size() && HexDigit((*s)[n]) >= 0) {
    *number = *number * 16 + static_cast<uint32_t>(HexDigit((*s)[n]));
    ++n;
  }
  s->remove_prefix(n);
  return n != 0 && n <= maxDigits;
}

bool ParseHexBytes(std::string_view s, std::vector<uint8_t>* out) {
  out->clear();
  s = TrimLeft(s);
  if (OnlyTrailingBlanks(s)) return true;
  for (;;) {
    s = TrimLeft(s);
    if (s.size() < 2 || HexDigit(s[0]) < 0 || HexDigit(s[1]) < 0) return false;
    out->push_back(static_cast<uint8_t>(HexDigit(s[0]) * 16 + HexDigit(s[1])));
    s = TrimLeft(s.substr(2));
    if (OnlyTrailingBlanks(s)) return true;
    if (s.front() != ',') return false;
    s.remove_prefix(1);
  }
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

bool IsHexData(std::string_view data) {
  return StartsWith(data, "hex:") || StartsWith(data, "hex(");
}

bool ParseValueData(std::string_view s, Value* value) {
  if (!s.empty() && s.front() == '"') {
    std::string text;
    std::u16string wide;
    if (!ParseQuoted(&s, &text) || !OnlyTrailingBlanks(s) || !Utf8ToUtf16(text, &wide)) {
      return false;
    }
    value->type = kRegSz;
    value->data.resize((wide.size() + 1) * sizeof(char16_t));
    std::memcpy(value->data.data(), wide.c_str(), value->data.size());
    return true;
  }
  if (StartsWith(s, "dword:")) {
    s.remove_prefix(6);
    uint32_t number = 0;
    if (!ParseHexNumber(&s, kMaxHexDigits, &number) || !OnlyTrailingBlanks(s)) return false;
    value->type = kRegDword;
    value->data.resize(sizeof number);
    std::memcpy(value->data.data(), &number, sizeof number);
    return true;
  }
  if (StartsWith(s, "hex:")) {
    value->type = kRegBinary;
    return ParseHexBytes(s.substr(4), &value->data);
  }
  if (StartsWith(s, "hex(")) {
    s.remove_prefix(4);
    if (!ParseHexNumber(&s, kMaxHexDigits, &value->type) || !StartsWith(s, "):")) return false;
    return ParseHexBytes(s.substr(2), &value->data);
  }
  return false;
}

// The name and what follows its '=' in a value line ("name"=data or @=data).
bool ParseValueHead(std::string_view line, Value* value, std::string_view* data) {
  if (!line.empty() && line.front() == '@') {
    line.remove_prefix(1);
  } else {
    std::string name;
    if (!ParseQuoted(&line, &name) || !Utf8ToUtf16(name, &value->name)) return false;
  }
  line = TrimLeft(line);
  if (line.empty() || line.front() != '=') return false;
  *data = TrimLeft(line.substr(1));
  return true;
}

// Splits a text into lines at CR LF, LF or CR.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}
  bool Next(std::string_view* line) {
    if (pos_ >= text_.size()) return false;
    size_t end = pos_;
    while (end < text_.size() && text_[end] != '\n' && text_[end] != '\r') ++end;
    *line = text_.substr(pos_, end - pos_);
    pos_ = end + 1;
    if (end + 1 < text_.size() && text_[end] == '\r' && text_[end + 1] == '\n') ++pos_;
    return true;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

// Text of a UTF-16 file after its byte-order mark; false when it was not whole.
bool Utf16FileToUtf8(std::string_view bytes, bool bigEndian, std::string* out) {
  std::u16string wide;
  wide.reserve(bytes.size() / 2);
  const size_t high = bigEndian ? 0 : 1;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    wide.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i + 1 - high]) |
                                         (static_cast<uint8_t>(bytes[i + high]) << 8)));
  }
  bool lossy = false;
  *out = Utf16ToUtf8(wide, &lossy);
  return bytes.size() % 2 == 0 && !lossy;
}

// Reads every line it can into `hive` and returns false when any line had to be skipped.
// Regedit's own syntax is all valid: either header, key and value deletions, any line ends,
// UTF-8 with or without a byte-order mark, UTF-16 in either order with one.
bool ParseHive(std::string_view raw, Hive* hive) {
  hive->clear();
  bool whole = true;
  std::string decoded;
  if (StartsWith(raw, "\xFF\xFE") || StartsWith(raw, "\xFE\xFF")) {
    whole = Utf16FileToUtf8(raw.substr(2), raw[0] == '\xFE', &decoded);
    raw = decoded;
  } else if (StartsWith(raw, "\xEF\xBB\xBF")) {
    raw.remove_prefix(3);
  }
  LineReader lines(raw);
  bool first = true;
  Section* section = nullptr;
  std::string joined;
  for (std::string_view line; lines.Next(&line);) {
    line = TrimRight(TrimLeft(line));
    if (line.empty()) continue;
    if (first) {
      first = false;
      if (line == kHeader || line == kOldHeader) continue;
      whole = false;  // not a registry file as regedit knows it; keep what is readable anyway
    }
    if (line.front() == ';') continue;
    if (line.front() == '[') {
      section = nullptr;
      const bool erase = line.size() > 1 && line[1] == '-';
      std::u16string path;
      if (line.back() != ']' || !Utf8ToUtf16(line.substr(erase ? 2 : 1), &path)) {
        whole = false;
        continue;
      }
      path.pop_back();
      while (!path.empty() && path.back() == u'\\') path.pop_back();
      if (Fold(path.substr(0, kHivePrefix.size())) != kHivePrefix) {
        whole = false;
      } else if (erase) {
        EraseTree(hive, Fold(path));
      } else {
        section = KeyOf(hive, Fold(path), path);
      }
      continue;
    }
    Value value;
    std::string_view data;
    if (!ParseValueHead(line, &value, &data)) {
      whole = false;
      continue;
    }
    // Only hex data goes on over lines ending in a backslash.
    if (IsHexData(data) && data.back() == '\\') {
      joined.assign(data.substr(0, data.size() - 1));
      std::string_view more;
      bool goesOn = true;
      while (goesOn && lines.Next(&more)) {
        more = TrimRight(TrimLeft(more));
        goesOn = !more.empty() && more.back() == '\\';
        joined.append(more.substr(0, more.size() - (goesOn ? 1 : 0)));
      }
      data = joined;
    }
    if (!section) {
      whole = false;
    } else if (data == "-") {
      EraseValue(section, value.name);
    } else if (ParseValueData(data, &value)) {
      PutValue(section, std::move(value));
    } else {
      whole = false;
    }
  }
  return whole;
}

// ---- Writing ----------------------------------------------------------------------------------

std::string Quote(const std::string& utf8) {
  std::string out = "\"";
  for (char c : utf8) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

// True when the data is a terminated text that a quoted line carries without loss: no inner
// terminator, no control character, no unpaired surrogate.
bool IsPlainText(const std::vector<uint8_t>& data, std::u16string* text) {
  if (data.size() < sizeof(char16_t) || data.size() % sizeof(char16_t) != 0) return false;
  const size_t units = data.size() / sizeof(char16_t) - 1;
  text->resize(units);
  std::memcpy(text->data(), data.data(), units * sizeof(char16_t));
  if (data[data.size() - 1] != 0 || data[data.size() - 2] != 0) return false;
  for (size_t i = 0; i < units; ++i) {
    const char16_t c = (*text)[i];
    if (c < 0x20) return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= units || (*text)[i + 1] < 0xDC00 || (*text)[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

std::string HexData(uint32_t type, const std::vector<uint8_t>& data) {
  char prefix[24];
  if (type == kRegBinary) {
    std::snprintf(prefix, sizeof prefix, "hex:");
  } else {
    std::snprintf(prefix, sizeof prefix, "hex(%x):", type);
  }
  std::string out = prefix;
  for (size_t i = 0; i < data.size(); ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02x", data[i]);
    out += byte;
    if (i + 1 < data.size()) {
      out += ',';
      if ((i + 1) % kHexBytesPerLine == 0) out += "\\\n  ";
    }
  }
  return out;
}

std::string SerialiseHive(const Hive& hive) {
  std::string out(kHeader);
  out += '\n';
  for (const auto& [id, section] : hive) {
    out += "\n[" + Utf16ToUtf8(section.path) + "]\n";
    for (const Value& value : section.values) {
      if (value.erased) continue;
      out += value.name.empty() ? std::string("@") : Quote(Utf16ToUtf8(value.name));
      out += '=';
      std::u16string text;
      if (value.type == kRegDword && value.data.size() == sizeof(uint32_t)) {
        uint32_t number;
        std::memcpy(&number, value.data.data(), sizeof number);
        char digits[16];
        std::snprintf(digits, sizeof digits, "dword:%08x", number);
        out += digits;
      } else if (value.type == kRegSz && IsPlainText(value.data, &text)) {
        out += Quote(Utf16ToUtf8(text));
      } else {
        out += HexData(value.type, value.data);
      }
      out += '\n';
    }
  }
  return out;
}

// ---- The file ---------------------------------------------------------------------------------

std::string HiveFilePath() {
  if (const char* file = std::getenv("BRELON_REGISTRY_FILE"); file && *file) return file;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/') {
    return std::string(config) + "/brelon/registry.reg";
  }
  const char* home = std::getenv("HOME");
  if (!home || !*home) {
    const passwd* entry = getpwuid(getuid());
    home = entry ? entry->pw_dir : nullptr;
  }
  if (!home || !*home) return std::string();
  return std::string(home) + "/.config/brelon/registry.reg";
}

std::string ParentFolder(const std::string& file) {
  const size_t slash = file.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : file.substr(0, slash);
}

bool MakeFolders(const std::string& folder) {
  struct stat st;
  if (stat(folder.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    errno = ENOTDIR;
    return false;
  }
  const std::string parent = ParentFolder(folder);
  if (parent != folder && !MakeFolders(parent)) return false;
  return mkdir(folder.c_str(), 0777) == 0 || errno == EEXIST;
}

// The file that a path names once every link on the way is followed; the path itself when it
// is no link. A link may point where nothing is yet: that is where the file will be created.
std::string LinkTarget(const std::string& file) {
  std::string path = file;
  for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
    const ssize_t n = readlink(path.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<size_t>(n) >= target.size()) return path;
    target.resize(static_cast<size_t>(n));
    path = target.front() == '/' ? target : ParentFolder(path) + "/" + target;
  }
  return path;
}

// Holds the sidecar lock for the life of the object; every read-modify-write of the file runs
// under it, in this process and in every other.
class FileLock {
 public:
  explicit FileLock(const std::string& file) {
    fd_ = open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) return;
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        const int error = errno;  // for the caller's report
        close(fd_);
        fd_ = -1;
        errno = error;
        return;
      }
    }
  }
  ~FileLock() {
    if (fd_ >= 0) close(fd_);  // closing releases the lock
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

enum class ReadResult { kRead, kMissing, kTooLarge, kFailed };

ReadResult ReadWholeFile(const std::string& file, std::string* out) {
  out->clear();
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return ReadResult::kMissing;
    SetLastError(file, errno);
    return ReadResult::kFailed;
  }
  struct stat st;
  if (fstat(fd, &st) == 0 && st.st_size > kMaxFileBytes) {
    close(fd);
    return ReadResult::kTooLarge;
  }
  out->reserve(static_cast<size_t>(st.st_size));
  char buffer[16384];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      SetLastError(file, errno);
      close(fd);
      return ReadResult::kFailed;
    }
    if (n == 0) break;
    out->append(buffer, static_cast<size_t>(n));
    if (out->size() > static_cast<size_t>(kMaxFileBytes)) {  // grew while being read
      close(fd);
      return ReadResult::kTooLarge;
    }
  }
  close(fd);
  return ReadResult::kRead;
}

// "<file>.corrupt-<UTC stamp>", with "-<n>" for the n-th name taken in the same second.
std::string CorruptName(const std::string& file, int n) {
  const time_t now = time(nullptr);
  tm utc{};
  gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  return file + ".corrupt-" + stamp + (n == 0 ? std::string() : "-" + std::to_string(n));
}

// Keeps what the user had for inspection under a free corrupt name: a damaged file as a copy
// (`copyOf`, its bytes; every readable value stays in use), a file too large to read by moving
// it out of the way.
bool SetAside(const std::string& file, const std::string* copyOf) {
  std::string target;
  bool done = false;
  for (int n = 0;; ++n) {
    target = CorruptName(file, n);
    if (!copyOf) {
      if (access(target.c_str(), F_OK) == 0) continue;
      done = rename(file.c_str(), target.c_str()) == 0;
      break;
    }
    const int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd >= 0) {
      done = WriteAll(fd, *copyOf);
      close(fd);
      if (!done) unlink(target.c_str());
    }
    break;
  }
  const std::string line = "registry: " + file +
                           (copyOf ? " has unreadable lines, which take their defaults; "
                                   : " is too large to be read; every value takes its default; ") +
                           (done ? "kept as " + target : std::string("could not be kept")) + "\n";
  DebugOutput(line.c_str());
  return done;
}

bool StoreHive(const std::string& file, const Hive& hive);

// Loads the hive; a missing file is an empty hive. A damaged file is rewritten without its
// damage once a copy is safe, so that the copy is made once. Must run under the file lock.
bool LoadHive(const std::string& file, Hive* hive) {
  const std::string target = LinkTarget(file);
  std::string text;
  switch (ReadWholeFile(target, &text)) {
    case ReadResult::kFailed:
      return false;
    case ReadResult::kTooLarge:
      SetAside(target, nullptr);
      [[fallthrough]];
    case ReadResult::kMissing:
      hive->clear();
      return true;
    case ReadResult::kRead:
      break;
  }
  if (!ParseHive(text, hive) && SetAside(target, &text)) StoreHive(file, *hive);
  return true;
}

// Replaces the file as a whole, or the file a link points to, keeping the link: a crash leaves
// either the old file or the new one. Must run under the file lock, which also makes the fixed
// temporary name safe.
bool StoreHive(const std::string& file, const Hive& hive) {
  const std::string target = LinkTarget(file);
  const std::string temp = target + ".tmp";
  if (!MakeFolders(ParentFolder(target))) {
    SetLastError(ParentFolder(target), errno);
    return false;
  }
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    SetLastError(temp, errno);
    return false;
  }
  const bool written = WriteAll(fd, SerialiseHive(hive)) && fsync(fd) == 0;
  const int error = errno;
  close(fd);
  if (!written || rename(temp.c_str(), target.c_str()) != 0) {
    SetLastError(target, written ? errno : error);
    unlink(temp.c_str());
    return false;
  }
  const int dir = open(ParentFolder(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

// ---- Batches ----------------------------------------------------------------------------------

// One thread's open batch: the lock stays held and the hive in memory until the outermost end.
struct Batch {
  int depth = 0;
  std::string file;
  FileLock* lock = nullptr;
  Hive hive;
  bool loaded = false;
  bool dirty = false;
};
thread_local Batch t_batch;

bool TakeLock(FileLock* lock, const std::string& file) {
  if (lock->held()) return true;
  SetLastError(file + ".lock", errno);
  return false;
}

// Runs `change` on the hive of `file`: inside a batch on the batch's copy, otherwise as one
// locked load-change-store. `change` returns whether it modified the hive.
template <typename Change>
RegStatus WithHive(const std::string& file, bool mayModify, Change change) {
  if (t_batch.depth > 0 && (!t_batch.loaded || t_batch.file == file)) {
    if (!t_batch.loaded) {
      t_batch.lock = new FileLock(file);
      if (!TakeLock(t_batch.lock, file) || !LoadHive(file, &t_batch.hive)) {
        delete t_batch.lock;
        t_batch.lock = nullptr;
        return kRegError;
      }
      t_batch.file = file;
      t_batch.loaded = true;
    }
    RegStatus status = kRegOk;
    if (change(&t_batch.hive, &status) && mayModify) t_batch.dirty = true;
    return status;
  }
  FileLock lock(file);
  Hive hive;
  if (!TakeLock(&lock, file) || !LoadHive(file, &hive)) return kRegError;
  RegStatus status = kRegOk;
  if (change(&hive, &status) && mayModify && !StoreHive(file, hive)) return kRegError;
  return status;
}

std::u16string KeyPath(const char16_t* subkey) {
  std::u16string path = subkey ? subkey : u"";
  while (!path.empty() && path.front() == u'\\') path.erase(path.begin());
  while (!path.empty() && path.back() == u'\\') path.pop_back();
  return path.empty() ? std::u16string(kRootName) : kRootName + (u"\\" + path);
}

// Whether the settings file can be read and replaced, with the reason when not.
bool Usable(const std::string& file) {
  if (file.empty()) {
    t_lastError = "no home folder for the settings file";
    return false;
  }
  const std::string target = LinkTarget(file);
  for (const std::string& folder : {ParentFolder(file), ParentFolder(target)}) {
    if (!MakeFolders(folder) || access(folder.c_str(), W_OK | X_OK) != 0) {
      SetLastError(folder, errno);
      return false;
    }
  }
  struct stat st;
  if (stat(target.c_str(), &st) != 0) {
    if (errno != ENOENT) {  // a loop of links, say; a file yet to be made is fine
      SetLastError(target, errno);
      return false;
    }
  } else if (!S_ISREG(st.st_mode) || access(target.c_str(), R_OK | W_OK) != 0) {
    if (!S_ISREG(st.st_mode)) errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    SetLastError(target, errno);
    return false;
  }
  const int lockFd = open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (lockFd < 0) {
    SetLastError(file + ".lock", errno);
    return false;
  }
  close(lockFd);
  return true;
}

}  // namespace

void RegistryBatchBegin() {
  ++t_batch.depth;
}

void RegistryBatchEnd() {
  if (t_batch.depth == 0 || --t_batch.depth > 0) return;
  if (t_batch.loaded && t_batch.dirty) StoreHive(t_batch.file, t_batch.hive);
  delete t_batch.lock;
  t_batch = Batch{};
}

const char* RegistryLastError() {
  return t_lastError.c_str();
}

// The key cannot be opened when the file's location is unknown, its folder cannot be created,
// or the folder or file cannot be written (including the sidecar lock).
RegKey* RegistryOpenKey(const char16_t* subkey) {
  const std::string file = HiveFilePath();
  if (!Usable(file)) return nullptr;
  const std::u16string path = KeyPath(subkey);
  return new RegKey{file, path, Fold(path)};
}

void RegistryCloseKey(RegKey* key) {
  delete key;
}

RegStatus RegistryQuery(RegKey* key, const char16_t* name, uint32_t* type, void* data,
                        uint32_t* size) {
  if (!key) return kRegError;
  const std::u16string valueName = name ? name : u"";
  return WithHive(key->file, false, [&](Hive* hive, RegStatus* status) {
    const auto section = hive->find(key->id);
    Value* value = section == hive->end() ? nullptr : FindValue(&section->second, valueName);
    if (!value) {
      *status = kRegNotFound;
      return false;
    }
    const auto stored = static_cast<uint32_t>(value->data.size());
    if (type) *type = value->type;
    if (data && size && *size < stored) {
      *size = stored;
      *status = kRegMoreData;
      return false;
    }
    if (data && stored) std::memcpy(data, value->data.data(), stored);
    if (size) *size = stored;
    return false;
  });
}

RegStatus RegistrySet(RegKey* key, const char16_t* name, uint32_t type, const void* data,
                      uint32_t size) {
  if (!key || (!data && size)) return kRegError;
  Value value;
  value.name = name ? name : u"";
  value.type = type;
  value.data.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
  return WithHive(key->file, true, [&](Hive* hive, RegStatus*) {
    Section* section = KeyOf(hive, key->id, key->path);
    // Rewriting an identical value changes nothing, so the file is left alone.
    if (Value* existing = FindValue(section, value.name);
        existing && existing->type == value.type && existing->data == value.data) {
      return false;
    }
    PutValue(section, std::move(value));
    return true;
  });
}

}  // namespace plat
