// Shot and preview construction. Raw payloads are filled by doubling memcpy of a patterned
// block, so even a raw of tens of megabytes takes a few milliseconds.
#include "image_factory.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "exif_writer.h"
#include "jpeg_writer.h"

namespace zepasim {
namespace {

constexpr int kPictureWidth = 64;
constexpr int kPictureHeight = 48;
constexpr int kPreviewWidth = 32;
constexpr int kPreviewHeight = 24;
constexpr uint32_t kFileNumberModulo = 10000;  // ORV_0000 .. ORV_9999
constexpr size_t kFillerBlock = 4096;

void PutBigEndian32(std::vector<uint8_t>& out, size_t at, uint32_t value) {
  out[at] = static_cast<uint8_t>(value >> 24);
  out[at + 1] = static_cast<uint8_t>(value >> 16);
  out[at + 2] = static_cast<uint8_t>(value >> 8);
  out[at + 3] = static_cast<uint8_t>(value);
}

std::vector<uint8_t> BuildShotJpeg(const CameraConfig& camera, uint32_t frame, bool raw) {
  MakerNoteFields note;
  note.frameNumber = frame;
  note.longFrameNumber = camera.capture.longFrame;
  note.cameraPath = CameraPathBytes(camera.capture, frame, raw);
  ExifFields exif;
  exif.bigEndian = camera.capture.bigEndian;
  exif.make = camera.manufacturer;
  exif.model = camera.model;
  exif.width = kPictureWidth;
  exif.height = kPictureHeight;
  exif.makerNote = BuildMakerNote(note);
  JpegRequest request;
  request.width = kPictureWidth;
  request.height = kPictureHeight;
  request.seed = frame;
  request.app1 = BuildExifApp1(exif);
  return EncodeJpeg(request);
}

}  // namespace

std::vector<uint8_t> CameraPathBytes(const CaptureConfig& capture, uint32_t frame, bool raw) {
  std::string text;
  if (capture.cameraPath) {
    text = *capture.cameraPath;
  } else {
    char name[32];
    snprintf(name, sizeof name, "ORV_%04u.%s", frame % kFileNumberModulo, raw ? "QRW" : "JPG");
    text = capture.folder.empty() ? name : capture.folder + "\\" + name;
  }
  std::vector<uint8_t> bytes(text.begin(), text.end());
  if (capture.pathBytes == 0) {
    bytes.push_back(0);
  } else {
    // An exact byte count: NUL padding when the text is shorter, a cut without terminator when
    // it is not, so tests can produce every boundary case of the path tag.
    bytes.resize(capture.pathBytes, 0);
  }
  return bytes;
}

std::shared_ptr<const ShotImages> BuildShot(const CameraConfig& camera, uint32_t frame) {
  auto shot = std::make_shared<ShotImages>();
  shot->frame = frame;
  shot->model = camera.model;
  if (camera.capture.format != CaptureFormat::kRaw)
    shot->jpeg = BuildShotJpeg(camera, frame, false);
  if (camera.capture.format != CaptureFormat::kJpeg) {
    shot->rawJpeg = BuildShotJpeg(camera, frame, true);
    shot->rawSize =
        std::max<uint64_t>(camera.capture.rawBytes, kRawHeaderBytes + shot->rawJpeg.size());
  }
  return shot;
}

std::vector<uint8_t> BuildRaw(const ShotImages& shot) {
  std::vector<uint8_t> raw(static_cast<size_t>(shot.rawSize), 0);
  memcpy(raw.data(), kRawSignature, 4);
  raw[4] = static_cast<uint8_t>(kRawVersion >> 8);
  raw[5] = static_cast<uint8_t>(kRawVersion);
  PutBigEndian32(raw, kRawFrameField, shot.frame);
  memcpy(raw.data() + kRawModelField, shot.model.data(),
         std::min(shot.model.size(), kRawModelBytes - 1));
  PutBigEndian32(raw, kRawJpegOffsetField, static_cast<uint32_t>(kRawHeaderBytes));
  PutBigEndian32(raw, kRawJpegLengthField, static_cast<uint32_t>(shot.rawJpeg.size()));
  PutBigEndian32(raw, kRawTotalSizeField, static_cast<uint32_t>(shot.rawSize));
  memcpy(raw.data() + kRawHeaderBytes, shot.rawJpeg.data(), shot.rawJpeg.size());

  // Sensor-data stand-in: a block that depends on the frame, then copies of what is written.
  const size_t start = kRawHeaderBytes + shot.rawJpeg.size();
  const size_t total = raw.size();
  if (start >= total) return raw;
  const size_t first = std::min(kFillerBlock, total - start);
  for (size_t i = 0; i < first; ++i) {
    raw[start + i] = static_cast<uint8_t>((i * 131u + shot.frame * 7u) >> 2);
  }
  size_t filled = first;
  while (start + filled < total) {
    const size_t chunk = std::min(filled, total - start - filled);
    memcpy(raw.data() + start + filled, raw.data() + start, chunk);
    filled += chunk;
  }
  return raw;
}

std::vector<uint8_t> BuildPreview(uint32_t bytes, uint32_t sequence) {
  JpegRequest request;
  request.width = kPreviewWidth;
  request.height = kPreviewHeight;
  request.seed = sequence * 37u;
  request.padTo = bytes;
  std::vector<uint8_t> frame = EncodeJpeg(request);
  // Smaller than a whole JPEG: the first bytes of one, which is all a preview slot needs.
  if (bytes > 0 && frame.size() > bytes) frame.resize(bytes);
  return frame;
}

}  // namespace zepasim
