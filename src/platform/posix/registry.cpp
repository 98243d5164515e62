// POSIX stand-in for the current user's registry hive: one UTF-8 text file in the Windows .reg
// format, shared safely by several processes (an flock'd sidecar around every
// read-modify-write, and whole-file replacement by rename so that a reader never sees half).
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace plat {

// The handle names a key; the file is resolved when the key is opened so that one open key
// keeps talking to the same file even if the environment changes meanwhile.
struct RegKey {
  std::string file;
  std::u16string path;  // below HKEY_CURRENT_USER, without leading or trailing backslash
};

namespace {

constexpr char kHeader[] = "Windows Registry Editor Version 5.00";
constexpr char kRootName[] = "HKEY_CURRENT_USER";
constexpr char16_t kReplacementChar = 0xFFFD;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr size_t kHexBytesPerLine = 24;

struct Value {
  std::u16string name;  // empty for the default value ("@")
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

struct Section {
  std::u16string path;
  std::vector<Value> values;
};

struct Hive {
  std::vector<Section> sections;
};

// ---- Text helpers -----------------------------------------------------------------------------

char16_t FoldAscii(char16_t c) {
  return (c >= u'a' && c <= u'z') ? c - (u'a' - u'A') : c;
}

// Key and value names compare like Windows does for the characters that matter here.
bool SameName(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

// Strict UTF-8 to UTF-16; false on any malformed sequence.
bool Utf8ToUtf16(const std::string& in, std::u16string* out) {
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

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD (callers that must keep exact data
// check IsPlainText first).
std::string Utf16ToUtf8(const std::u16string& in) {
  std::string out;
  for (size_t i = 0; i < in.size(); ++i) {
    uint32_t cp = in[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
        in[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacementChar;
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

std::u16string AsciiToUtf16(const char* text) {
  std::u16string out;
  while (*text) out.push_back(static_cast<unsigned char>(*text++));
  return out;
}

std::u16string NormaliseKeyPath(const char16_t* subkey) {
  std::u16string path = subkey ? subkey : u"";
  while (!path.empty() && path.front() == u'\\') path.erase(path.begin());
  while (!path.empty() && path.back() == u'\\') path.pop_back();
  return path;
}

// ---- Parsing ----------------------------------------------------------------------------------

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

size_t SkipBlanks(const std::string& s, size_t pos) {
  while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
  return pos;
}

// Nothing but blanks (or a comment) may follow a complete value.
bool OnlyTrailingBlanks(const std::string& s, size_t pos) {
  pos = SkipBlanks(s, pos);
  return pos == s.size() || s[pos] == ';';
}

// Reads a quoted text starting at s[pos] == '"', with \\ and \" escapes.
bool ParseQuoted(const std::string& s, size_t* pos, std::string* out) {
  if (*pos >= s.size() || s[*pos] != '"') return false;
  out->clear();
  for (size_t i = *pos + 1; i < s.size(); ++i) {
    if (s[i] == '\\') {
      if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) return false;
      out->push_back(s[++i]);
    } else if (s[i] == '"') {
      *pos = i + 1;
      return true;
    } else {
      out->push_back(s[i]);
    }
  }
  return false;
}

bool ParseHexBytes(const std::string& s, std::vector<uint8_t>* out) {
  out->clear();
  size_t pos = SkipBlanks(s, 0);
  if (pos == s.size()) return true;
  for (;;) {
    pos = SkipBlanks(s, pos);
    const int hi = pos < s.size() ? HexDigit(s[pos]) : -1;
    const int lo = pos + 1 < s.size() ? HexDigit(s[pos + 1]) : -1;
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<uint8_t>(hi * 16 + lo));
    pos = SkipBlanks(s, pos + 2);
    if (pos == s.size()) return true;
    if (s[pos] != ',') return false;
    ++pos;
  }
}

bool ParseValueData(const std::string& s, Value* value) {
  size_t pos = SkipBlanks(s, 0);
  if (pos < s.size() && s[pos] == '"') {
    std::string text;
    std::u16string wide;
    if (!ParseQuoted(s, &pos, &text) || !OnlyTrailingBlanks(s, pos)) return false;
    if (!Utf8ToUtf16(text, &wide)) return false;
    value->type = kRegSz;
    value->data.resize((wide.size() + 1) * sizeof(char16_t));
    std::memcpy(value->data.data(), wide.c_str(), value->data.size());
    return true;
  }
  const std::string rest = s.substr(pos);
  if (rest.compare(0, 6, "dword:") == 0) {
    const std::string digits = rest.substr(6);
    size_t n = 0;
    uint32_t number = 0;
    while (n < digits.size() && HexDigit(digits[n]) >= 0) {
      number = number * 16 + static_cast<uint32_t>(HexDigit(digits[n]));
      ++n;
    }
    if (n == 0 || n > 8 || !OnlyTrailingBlanks(digits, n)) return false;
    value->type = kRegDword;
    value->data.resize(sizeof number);
    std::memcpy(value->data.data(), &number, sizeof number);
    return true;
  }
  if (rest.compare(0, 4, "hex:") == 0) {
    value->type = kRegBinary;
    return ParseHexBytes(rest.substr(4), &value->data);
  }
  if (rest.compare(0, 4, "hex(") == 0) {
    const size_t close = rest.find("):", 4);
    if (close == std::string::npos || close == 4 || close > 12) return false;
    uint32_t type = 0;
    for (size_t i = 4; i < close; ++i) {
      const int d = HexDigit(rest[i]);
      if (d < 0) return false;
      type = type * 16 + static_cast<uint32_t>(d);
    }
    value->type = type;
    return ParseHexBytes(rest.substr(close + 2), &value->data);
  }
  return false;
}

Section* FindSection(Hive* hive, const std::u16string& path) {
  for (Section& section : hive->sections) {
    if (SameName(section.path, path)) return &section;
  }
  return nullptr;
}

Value* FindValue(Section* section, const std::u16string& name) {
  for (Value& value : section->values) {
    if (SameName(value.name, name)) return &value;
  }
  return nullptr;
}

void PutValue(Section* section, Value value) {
  if (Value* existing = FindValue(section, value.name)) {
    *existing = std::move(value);
  } else {
    section->values.push_back(std::move(value));
  }
}

// Splits into logical lines, joining hex lines continued with a trailing backslash.
std::vector<std::string> LogicalLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string current;
  bool continuing = false;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (continuing) line = line.substr(SkipBlanks(line, 0));
    current += line;
    // Only hex data continues over lines; a quoted text ends with its closing quote.
    continuing =
        !current.empty() && current.back() == '\\' && current.find("=hex") != std::string::npos;
    if (continuing) {
      current.pop_back();
    } else {
      lines.push_back(current);
      current.clear();
    }
    start = end + 1;
  }
  if (continuing) lines.push_back(current);
  return lines;
}

// Text of a UTF-16LE file (with its byte-order mark), as written by Windows' own regedit.
bool Utf16FileToUtf8(const std::string& bytes, std::string* out) {
  std::u16string wide;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    wide.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                         (static_cast<uint8_t>(bytes[i + 1]) << 8)));
  }
  *out = Utf16ToUtf8(wide);
  return bytes.size() % 2 == 0;
}

bool ParseHive(const std::string& raw, Hive* hive) {
  hive->sections.clear();
  std::string text = raw;
  if (text.size() >= 2 && static_cast<uint8_t>(text[0]) == 0xFF &&
      static_cast<uint8_t>(text[1]) == 0xFE) {
    if (!Utf16FileToUtf8(raw, &text)) return false;
  } else if (text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    text.erase(0, 3);
  }
  const std::u16string root = AsciiToUtf16(kRootName);
  bool sawHeader = false;
  Section* section = nullptr;
  for (const std::string& fullLine : LogicalLines(text)) {
    const std::string line = fullLine.substr(SkipBlanks(fullLine, 0));
    if (line.empty()) continue;
    if (!sawHeader) {
      std::string header = line;
      while (!header.empty() && (header.back() == ' ' || header.back() == '\t')) header.pop_back();
      if (header != kHeader) return false;
      sawHeader = true;
      continue;
    }
    if (line[0] == ';') continue;
    if (line[0] == '[') {
      const size_t close = line.rfind(']');
      if (close == std::string::npos || !OnlyTrailingBlanks(line, close + 1)) return false;
      std::u16string path;
      if (!Utf8ToUtf16(line.substr(1, close - 1), &path)) return false;
      // Only the current user's hive lives here; a deletion entry is not a stored state.
      if (path.size() < root.size() || !SameName(path.substr(0, root.size()), root)) {
        return false;
      }
      if (path.size() > root.size() && path[root.size()] != u'\\') return false;
      path = NormaliseKeyPath(path.c_str() + root.size());
      section = FindSection(hive, path);
      if (!section) {
        hive->sections.push_back(Section{path, {}});
        section = &hive->sections.back();
      }
      continue;
    }
    if (!section) return false;
    Value value;
    size_t pos = 0;
    if (line[0] == '@') {
      pos = 1;
    } else {
      std::string name;
      if (!ParseQuoted(line, &pos, &name) || !Utf8ToUtf16(name, &value.name)) return false;
    }
    pos = SkipBlanks(line, pos);
    if (pos >= line.size() || line[pos] != '=') return false;
    if (!ParseValueData(line.substr(pos + 1), &value)) return false;
    PutValue(section, std::move(value));
  }
  return sawHeader || text.find_first_not_of(" \t\r\n") == std::string::npos;
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
  std::string out = std::string(kHeader) + "\n";
  for (const Section& section : hive.sections) {
    out += "\n[" + std::string(kRootName);
    if (!section.path.empty()) out += "\\" + Utf16ToUtf8(section.path);
    out += "]\n";
    for (const Value& value : section.values) {
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
  if (stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const std::string parent = ParentFolder(folder);
  if (parent != folder && !MakeFolders(parent)) return false;
  return mkdir(folder.c_str(), 0777) == 0 || errno == EEXIST;
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
        close(fd_);
        fd_ = -1;
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

bool ReadWholeFile(const std::string& file, std::string* out, bool* exists) {
  out->clear();
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *exists = false;
    return errno == ENOENT;
  }
  *exists = true;
  char buffer[16384];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return false;
    }
    if (n == 0) break;
    out->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

// Keeps an unparsable file for the user to inspect instead of overwriting it.
void SetAside(const std::string& file) {
  const time_t now = time(nullptr);
  tm utc{};
  gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  std::string target = file + ".corrupt-" + stamp;
  for (int n = 1; access(target.c_str(), F_OK) == 0; ++n) {
    target = file + ".corrupt-" + stamp + "-" + std::to_string(n);
  }
  const bool moved = rename(file.c_str(), target.c_str()) == 0;
  const std::string line = "registry: " + file + " does not parse; " +
                           (moved ? "moved to " + target : std::string("could not be moved")) +
                           "; starting with empty settings\n";
  DebugOutput(line.c_str());
}

// Loads the hive; a missing file is an empty hive. Must run under the file lock.
bool LoadHive(const std::string& file, Hive* hive) {
  std::string text;
  bool exists = false;
  if (!ReadWholeFile(file, &text, &exists)) return false;
  if (!exists) {
    hive->sections.clear();
    return true;
  }
  if (!ParseHive(text, hive)) {
    SetAside(file);
    hive->sections.clear();
  }
  return true;
}

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

// Replaces the file as a whole: a crash leaves either the old file or the new one. Must run
// under the file lock, which also makes the fixed temporary name safe.
bool StoreHive(const std::string& file, const Hive& hive) {
  const std::string temp = file + ".tmp";
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, SerialiseHive(hive)) && fsync(fd) == 0;
  close(fd);
  if (!written || rename(temp.c_str(), file.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  const int dir = open(ParentFolder(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

// Runs `change` on the hive of `file`: inside a batch on the batch's copy, otherwise as one
// locked load-change-store. `change` returns whether it modified the hive.
template <typename Change>
RegStatus WithHive(const std::string& file, bool mayModify, Change change) {
  if (t_batch.depth > 0 && (!t_batch.loaded || t_batch.file == file)) {
    if (!t_batch.loaded) {
      t_batch.lock = new FileLock(file);
      if (!t_batch.lock->held() || !LoadHive(file, &t_batch.hive)) {
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
  if (!lock.held() || !LoadHive(file, &hive)) return kRegError;
  RegStatus status = kRegOk;
  if (change(&hive, &status) && mayModify && !StoreHive(file, hive)) return kRegError;
  return status;
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

// The key cannot be opened when the file's location is unknown, its folder cannot be created,
// or the folder or file cannot be written (including the sidecar lock).
RegKey* RegistryOpenKey(const char16_t* subkey) {
  const std::string file = HiveFilePath();
  if (file.empty()) return nullptr;
  const std::string folder = ParentFolder(file);
  if (!MakeFolders(folder) || access(folder.c_str(), W_OK | X_OK) != 0) return nullptr;
  struct stat st;
  if (stat(file.c_str(), &st) == 0 &&
      (!S_ISREG(st.st_mode) || access(file.c_str(), R_OK | W_OK) != 0)) {
    return nullptr;
  }
  const int lockFd = open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (lockFd < 0) return nullptr;
  close(lockFd);
  return new RegKey{file, NormaliseKeyPath(subkey)};
}

void RegistryCloseKey(RegKey* key) {
  delete key;
}

RegStatus RegistryQuery(RegKey* key, const char16_t* name, uint32_t* type, void* data,
                        uint32_t* size) {
  if (!key) return kRegError;
  const std::u16string valueName = name ? name : u"";
  return WithHive(key->file, false, [&](Hive* hive, RegStatus* status) {
    Section* section = FindSection(hive, key->path);
    Value* value = section ? FindValue(section, valueName) : nullptr;
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
    Section* section = FindSection(hive, key->path);
    if (!section) {
      hive->sections.push_back(Section{key->path, {}});
      section = &hive->sections.back();
    }
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
