// The simulator's configuration model: cameras with their identity, connection, exposure
// settings, properties and capture behaviour, and scheduled faults; read from and written back
// to JSON so that "set" commands can change any key through the same validation.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zepasim {

using Json = nlohmann::json;

struct ConfigError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Integer settings of a camera, each with a getter/setter pair (and a capability list) in the
// SDK. The order matches kSettingNames.
enum Setting : int {
  kPriorityMode,
  kShutterCode,
  kBulb,
  kAperture,
  kSensitivity,
  kExposureBias,
  kWbMode,
  kWbColorTemp,
  kMediaRecord,
  kAeMode,
  kDynamicRange,
  kMeteringMode,
  kLensZoomPos,
  kForceMode,
  kSettingCount
};
const char* SettingName(Setting s);

enum class CaptureFormat { kJpeg, kRaw, kRawJpeg };

struct CaptureConfig {
  CaptureFormat format = CaptureFormat::kRawJpeg;
  int64_t delayMs = 50;
  uint32_t firstFrame = 1;
  std::string folder = "A:\\DCIM\\100ORVTS";
  uint64_t rawBytes = 1000000;
  uint32_t jpegBytes = 0;                 // JPEG files padded to this size; 0: natural size
  bool longFrame = false;                 // frame_type "long"
  bool bigEndian = false;                 // byte_order "MM"
  uint32_t pathBytes = 0;                 // 0: the path text and its terminator
  std::optional<std::string> cameraPath;  // replaces the generated path
  uint32_t formatVariant = 0;             // or-ed into the raw and JPEG format codes (0x300...)
};

struct CameraConfig {
  std::string manufacturer = "ORVANTIS";
  std::string model = "K-M3";
  std::string serial;  // default "SIM<index+1, 4 digits>"
  uint32_t connect = 0x01;
  std::string ip = "192.0.2.10";
  bool plugged = true;
  int32_t openMode = 1;
  std::vector<int32_t> releaseModes{0x104, 0x200, 0x304};
  std::array<int32_t, kSettingCount> settings{};
  std::map<int, std::vector<int32_t>> caps;       // by Setting; absent: the defaults
  std::map<int32_t, std::vector<int32_t>> props;  // by property code
  std::array<std::string, 3> propText;
  int32_t cardCapacity = 999;
  uint32_t previewBytes = 4096;
  CaptureConfig capture;

  std::vector<int32_t> CapsFor(Setting s) const;
};

struct FaultConfig {
  std::string fn;
  int64_t nth = 1;
  int64_t count = 1;  // negative: every call from nth on
  int32_t result = -1;
  int32_t apiCode = 0;
  int32_t error = 0;
  bool raise = false;
};

struct SimConfig {
  std::vector<CameraConfig> cameras;
  std::vector<FaultConfig> faults;
};

CameraConfig DefaultCamera(size_t index);
// Reads a camera object over the defaults for that index; throws ConfigError.
CameraConfig CameraFromJson(const Json& j, size_t index);
Json CameraToJson(const CameraConfig& camera);
FaultConfig FaultFromJson(const Json& j);  // throws ConfigError
SimConfig ConfigFromJson(const Json& j);   // throws ConfigError
SimConfig DefaultConfig();

bool IsEntryPointName(const std::string& name);

}  // namespace zepasim
