// JSON reading and writing of the simulator configuration. Reading is strict: an unknown key
// or a value of the wrong type is an error, so a misspelt test configuration fails loudly.
#include "sim_config.h"

#include <cstdio>
#include <set>

#include "zepa/zepasim.h"

namespace zepasim {
namespace {

constexpr const char* kSettingNames[kSettingCount] = {
    "priority_mode", "shutter_code",  "bulb",          "aperture",     "sensitivity",
    "exposure_bias", "wb_mode",       "wb_color_temp", "media_record", "ae_mode",
    "dynamic_range", "metering_mode", "lens_zoom_pos", "force_mode"};
constexpr int32_t kSettingDefaults[kSettingCount] = {1,    976, 0, 280, 400, 0, 2,
                                                     5500, 1,   0, 0,   0,   0, 0};
constexpr int32_t kProbeSavedValueCode = 0x3328;
constexpr const char* kEntryNames[] = {
#define ZEPASIM_ENTRY_NAME(name, params) #name,
    ZEPK_ENTRY_POINTS(ZEPASIM_ENTRY_NAME)
#undef ZEPASIM_ENTRY_NAME
};
constexpr int64_t kMaxDelayMs = 3600 * 1000;
constexpr uint64_t kMaxRawBytes = 1ull << 31;  // ZEPK_ReadImageInfo reports 32-bit sizes
constexpr uint32_t kMaxPreviewBytes = 64u << 20;
constexpr uint32_t kMaxJpegBytes = 64u << 20;
constexpr uint32_t kMaxPathBytes = 65535;

struct Interface {
  const char* name;
  uint32_t bit;
};
constexpr Interface kInterfaces[] = {
    {"usb", ZEPASIM_IF_USB}, {"discovery", ZEPASIM_IF_DISCOVERY}, {"ipv4", ZEPASIM_IF_IPV4}};

// Walks the keys of one JSON object, checking that each is known and has the right type.
class ObjectReader {
 public:
  ObjectReader(const Json& j, std::string where) : j_(j), where_(std::move(where)) {
    if (!j_.is_object()) Fail("must be an object");
  }
  ~ObjectReader() noexcept(false) {
    if (std::uncaught_exceptions()) return;
    for (auto it = j_.begin(); it != j_.end(); ++it) {
      if (!seen_.count(it.key())) Fail("unknown key \"" + it.key() + "\"");
    }
  }
  const Json* Find(const std::string& key) {
    seen_.insert(key);
    auto it = j_.find(key);
    return it == j_.end() ? nullptr : &*it;
  }
  void String(const std::string& key, std::string& out) {
    if (const Json* v = Find(key)) {
      if (!v->is_string()) Fail(key + " must be a string");
      out = v->get<std::string>();
    }
  }
  template <typename T>
  void Integer(const std::string& key, T& out, int64_t lo, int64_t hi) {
    if (const Json* v = Find(key)) out = static_cast<T>(ToInteger(*v, key, lo, hi));
  }
  void Bool(const std::string& key, bool& out) {
    if (const Json* v = Find(key)) {
      if (!v->is_boolean()) Fail(key + " must be true or false");
      out = v->get<bool>();
    }
  }
  int64_t ToInteger(const Json& v, const std::string& key, int64_t lo, int64_t hi) {
    if (!v.is_number_integer()) Fail(key + " must be an integer");
    if (v.is_number_unsigned() && v.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) {
      Fail(key + " out of range");
    }
    const int64_t value = v.get<int64_t>();
    if (value < lo || value > hi) Fail(key + " out of range");
    return value;
  }
  std::vector<int32_t> IntList(const Json& v, const std::string& key) {
    if (!v.is_array()) Fail(key + " must be an array of integers");
    std::vector<int32_t> out;
    for (const Json& item : v)
      out.push_back(static_cast<int32_t>(ToInteger(item, key, INT32_MIN, INT32_MAX)));
    return out;
  }
  [[noreturn]] void Fail(const std::string& what) const { throw ConfigError(where_ + ": " + what); }

 private:
  const Json& j_;
  std::string where_;
  std::set<std::string> seen_;
};

int32_t ParseCode(const std::string& text, const ObjectReader& reader) {
  try {
    size_t used = 0;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const long long value = std::stoll(text, &used, hex ? 16 : 10);
    if (used != text.size() || value < INT32_MIN || value > INT32_MAX) throw ConfigError("");
    return static_cast<int32_t>(value);
  } catch (const std::exception&) {
    reader.Fail("property code \"" + text + "\" is not a number");
  }
}

std::string HexCode(int32_t code) {
  char text[16];
  snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(code));
  return text;
}

void ReadCapture(const Json& j, CaptureConfig& c) {
  ObjectReader r(j, "capture");
  if (const Json* v = r.Find("format")) {
    const std::string f = v->is_string() ? v->get<std::string>() : "";
    if (f == "jpeg") {
      c.format = CaptureFormat::kJpeg;
    } else if (f == "raw") {
      c.format = CaptureFormat::kRaw;
    } else if (f == "raw+jpeg") {
      c.format = CaptureFormat::kRawJpeg;
    } else {
      r.Fail("format must be \"jpeg\", \"raw\" or \"raw+jpeg\"");
    }
  }
  r.Integer("delay_ms", c.delayMs, 0, kMaxDelayMs);
  r.Integer("first_frame", c.firstFrame, 0, UINT32_MAX);
  r.String("folder", c.folder);
  r.Integer("raw_bytes", c.rawBytes, 0, static_cast<int64_t>(kMaxRawBytes));
  r.Integer("jpeg_bytes", c.jpegBytes, 0, kMaxJpegBytes);
  if (const Json* v = r.Find("frame_type")) {
    const std::string t = v->is_string() ? v->get<std::string>() : "";
    if (t != "short" && t != "long") r.Fail("frame_type must be \"short\" or \"long\"");
    c.longFrame = t == "long";
  }
  if (const Json* v = r.Find("byte_order")) {
    const std::string t = v->is_string() ? v->get<std::string>() : "";
    if (t != "II" && t != "MM") r.Fail("byte_order must be \"II\" or \"MM\"");
    c.bigEndian = t == "MM";
  }
  r.Integer("path_bytes", c.pathBytes, 0, kMaxPathBytes);
  if (const Json* v = r.Find("camera_path")) {
    if (v->is_null()) {
      c.cameraPath.reset();
    } else if (v->is_string()) {
      c.cameraPath = v->get<std::string>();
    } else {
      r.Fail("camera_path must be a string or null");
    }
  }
  r.Integer("format_variant", c.formatVariant, 0, 0xF00);
}

Json CaptureToJson(const CaptureConfig& c) {
  static const char* kFormats[] = {"jpeg", "raw", "raw+jpeg"};
  Json j;
  j["format"] = kFormats[static_cast<int>(c.format)];
  j["delay_ms"] = c.delayMs;
  j["first_frame"] = c.firstFrame;
  j["folder"] = c.folder;
  j["raw_bytes"] = c.rawBytes;
  j["jpeg_bytes"] = c.jpegBytes;
  j["frame_type"] = c.longFrame ? "long" : "short";
  j["byte_order"] = c.bigEndian ? "MM" : "II";
  j["path_bytes"] = c.pathBytes;
  j["camera_path"] = c.cameraPath ? Json(*c.cameraPath) : Json(nullptr);
  j["format_variant"] = c.formatVariant;
  return j;
}

}  // namespace

const char* SettingName(Setting s) {
  return kSettingNames[s];
}

bool IsEntryPointName(const std::string& name) {
  for (const char* entry : kEntryNames) {
    if (name == entry) return true;
  }
  return false;
}

std::vector<int32_t> CameraConfig::CapsFor(Setting s) const {
  static const std::vector<int32_t> kPriorityModes{1, 2};
  static const std::vector<int32_t> kMediaRecordModes{1, 2, 3, 4};
  auto it = caps.find(s);
  if (it != caps.end()) return it->second;
  if (s == kPriorityMode) return kPriorityModes;
  if (s == kMediaRecord) return kMediaRecordModes;
  return {settings[s]};
}

CameraConfig DefaultCamera(size_t index) {
  CameraConfig c;
  char serial[32];
  snprintf(serial, sizeof serial, "SIM%04zu", index + 1);
  c.serial = serial;
  for (int s = 0; s < kSettingCount; ++s) c.settings[s] = kSettingDefaults[s];
  c.props[kProbeSavedValueCode] = {1};
  c.propText = {c.model, c.serial, "1.00"};
  return c;
}

CameraConfig CameraFromJson(const Json& j, size_t index) {
  CameraConfig c = DefaultCamera(index);
  ObjectReader r(j, "camera " + std::to_string(index));
  r.String("manufacturer", c.manufacturer);
  r.String("model", c.model);
  r.String("serial", c.serial);
  if (const Json* v = r.Find("connect")) {
    if (!v->is_array()) r.Fail("connect must be an array");
    c.connect = 0;
    for (const Json& item : *v) {
      bool known = false;
      for (const Interface& i : kInterfaces) {
        if (item.is_string() && item.get<std::string>() == i.name) {
          c.connect |= i.bit;
          known = true;
        }
      }
      if (!known) r.Fail("connect takes \"usb\", \"discovery\" or \"ipv4\"");
    }
  }
  r.String("ip", c.ip);
  r.Bool("plugged", c.plugged);
  r.Integer("open_mode", c.openMode, INT32_MIN, INT32_MAX);
  if (const Json* v = r.Find("release_modes")) c.releaseModes = r.IntList(*v, "release_modes");
  for (int s = 0; s < kSettingCount; ++s) {
    r.Integer(kSettingNames[s], c.settings[s], INT32_MIN, INT32_MAX);
  }
  if (const Json* v = r.Find("caps")) {
    ObjectReader caps(*v, "caps");
    for (int s = 0; s < kSettingCount; ++s) {
      if (const Json* list = caps.Find(kSettingNames[s])) {
        c.caps[s] = caps.IntList(*list, kSettingNames[s]);
      }
    }
  }
  if (const Json* v = r.Find("props")) {
    if (!v->is_object()) r.Fail("props must be an object");
    c.props.clear();
    for (auto it = v->begin(); it != v->end(); ++it) {
      c.props[ParseCode(it.key(), r)] = r.IntList(it.value(), "props");
    }
  }
  bool propTextGiven = false;
  if (const Json* v = r.Find("prop_text")) {
    if (!v->is_array() || v->size() != c.propText.size()) r.Fail("prop_text takes 3 strings");
    for (size_t i = 0; i < c.propText.size(); ++i) {
      if (!(*v)[i].is_string()) r.Fail("prop_text takes 3 strings");
      c.propText[i] = (*v)[i].get<std::string>();
    }
    propTextGiven = true;
  }
  if (!propTextGiven) c.propText = {c.model, c.serial, "1.00"};
  r.Integer("card_capacity", c.cardCapacity, INT32_MIN, INT32_MAX);
  r.Integer("preview_bytes", c.previewBytes, 0, kMaxPreviewBytes);
  if (const Json* v = r.Find("capture")) ReadCapture(*v, c.capture);
  return c;
}

Json CameraToJson(const CameraConfig& c) {
  Json j;
  j["manufacturer"] = c.manufacturer;
  j["model"] = c.model;
  j["serial"] = c.serial;
  j["connect"] = Json::array();
  for (const Interface& i : kInterfaces) {
    if (c.connect & i.bit) j["connect"].push_back(i.name);
  }
  j["ip"] = c.ip;
  j["plugged"] = c.plugged;
  j["open_mode"] = c.openMode;
  j["release_modes"] = c.releaseModes;
  for (int s = 0; s < kSettingCount; ++s) j[kSettingNames[s]] = c.settings[s];
  j["caps"] = Json::object();
  for (const auto& [s, list] : c.caps) j["caps"][kSettingNames[s]] = list;
  j["props"] = Json::object();
  for (const auto& [code, values] : c.props) j["props"][HexCode(code)] = values;
  j["prop_text"] = c.propText;
  j["card_capacity"] = c.cardCapacity;
  j["preview_bytes"] = c.previewBytes;
  j["capture"] = CaptureToJson(c.capture);
  return j;
}

FaultConfig FaultFromJson(const Json& j) {
  FaultConfig f;
  ObjectReader r(j, "fault");
  if (const Json* v = r.Find("cmd")) (void)v;  // the control command carries its name along
  r.String("fn", f.fn);
  if (!IsEntryPointName(f.fn)) r.Fail("fn must name a ZEPK_ entry point");
  r.Integer("nth", f.nth, 1, INT64_MAX);
  r.Integer("count", f.count, -1, INT64_MAX);
  r.Integer("result", f.result, INT32_MIN, INT32_MAX);
  r.Integer("api_code", f.apiCode, INT32_MIN, INT32_MAX);
  r.Integer("error", f.error, INT32_MIN, INT32_MAX);
  r.Bool("throw", f.raise);
  return f;
}

SimConfig ConfigFromJson(const Json& j) {
  SimConfig config;
  ObjectReader r(j, "configuration");
  if (const Json* cameras = r.Find("cameras")) {
    if (!cameras->is_array()) r.Fail("cameras must be an array");
    for (const Json& camera : *cameras) {
      config.cameras.push_back(CameraFromJson(camera, config.cameras.size()));
    }
  } else {
    config.cameras.push_back(DefaultCamera(0));
  }
  if (const Json* faults = r.Find("faults")) {
    if (!faults->is_array()) r.Fail("faults must be an array");
    for (const Json& fault : *faults) config.faults.push_back(FaultFromJson(fault));
  }
  return config;
}

SimConfig DefaultConfig() {
  SimConfig config;
  config.cameras.push_back(DefaultCamera(0));
  return config;
}

}  // namespace zepasim
