// The files a simulated shot leaves in the camera buffer: a JPEG with Exif and maker note, a
// raw container that embeds that JPEG, and small preview frames.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim_config.h"

namespace zepasim {

// Layout of the raw container; bytes 84-91 are what readers of the raw rely on.
constexpr char kRawSignature[] = "QRAW";
constexpr uint16_t kRawVersion = 1;
constexpr size_t kRawHeaderBytes = 256;  // the embedded JPEG starts here
constexpr size_t kRawJpegOffsetField = 84;
constexpr size_t kRawJpegLengthField = 88;
constexpr size_t kRawTotalSizeField = 92;
constexpr size_t kRawFrameField = 8;
constexpr size_t kRawModelField = 12;
constexpr size_t kRawModelBytes = 64;

// The camera's path text for one file of a shot, as the bytes of maker-note tag 0x1439.
std::vector<uint8_t> CameraPathBytes(const CaptureConfig& capture, uint32_t frame, bool raw);

struct ShotImages {
  uint32_t frame = 0;
  std::vector<uint8_t> jpeg;     // the JPEG file of the shot
  std::vector<uint8_t> rawJpeg;  // the JPEG embedded in the raw (the raw file's own path)
  uint64_t rawSize = 0;          // total size of the raw file
  std::string model;
};

// Builds the JPEG parts of a shot. The raw file itself is written on demand by WriteRaw,
// straight into the reader's buffer, so a large raw never exists twice in memory.
std::shared_ptr<const ShotImages> BuildShot(const CameraConfig& camera, uint32_t frame);
void WriteRaw(const ShotImages& shot, uint8_t* out);  // out holds shot.rawSize bytes
std::vector<uint8_t> BuildPreview(uint32_t bytes, uint32_t sequence);

}  // namespace zepasim
