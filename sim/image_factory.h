// The files a simulated shot leaves in the camera buffer: a JPEG with Exif and maker note, a
// raw container that embeds that JPEG, and small preview frames.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "image_writer.h"
#include "sim_config.h"

namespace zepasim {

// The camera's path text for one file of a shot, as the bytes of maker-note tag 0x1439.
std::vector<uint8_t> CameraPathBytes(const CaptureConfig& capture, uint32_t frame, bool raw);

struct ShotImages {
  uint32_t frame = 0;
  std::vector<uint8_t> jpeg;     // the JPEG file of the shot
  std::vector<uint8_t> rawJpeg;  // the JPEG embedded in the raw (the raw file's own path)
  uint64_t rawSize = 0;          // total size of the raw file
  std::string model;
};

// Builds the JPEG parts of a shot. The raw file itself is written on demand by WriteShotRaw,
// straight into the reader's buffer, so a large raw never exists twice in memory.
std::shared_ptr<const ShotImages> BuildShot(const CameraConfig& camera, uint32_t frame);
void WriteShotRaw(const ShotImages& shot, uint8_t* out);  // out holds shot.rawSize bytes
std::vector<uint8_t> BuildPreview(uint32_t bytes, uint32_t sequence);

}  // namespace zepasim
