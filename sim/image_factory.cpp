// Shot and preview construction. Raw payloads are filled by doubling memcpy of a patterned
// block, so even a raw of tens of megabytes costs little more than touching its memory.
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

void PutBigEndian32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 24);
  out[1] = static_cast<uint8_t>(value >> 16);
  out[2] = static_cast<uint8_t>(value >> 8);
  out[3] = static_cast<uint8_t>(value);
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
  request.padTo = camera.capture.jpegBytes;
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

void WriteRaw(const ShotImages& shot, uint8_t* out) {
  const size_t total = static_cast<size_t>(shot.rawSize);
  memset(out, 0, kRawHeaderBytes);
  memcpy(out, kRawSignature, 4);
  out[4] = static_cast<uint8_t>(kRawVersion >> 8);
  out[5] = static_cast<uint8_t>(kRawVersion);
  PutBigEndian32(out + kRawFrameField, shot.frame);
  memcpy(out + kRawModelField, shot.model.data(), std::min(shot.model.size(), kRawModelBytes - 1));
  PutBigEndian32(out + kRawJpegOffsetField, static_cast<uint32_t>(kRawHeaderBytes));
  PutBigEndian32(out + kRawJpegLengthField, static_cast<uint32_t>(shot.rawJpeg.size()));
  PutBigEndian32(out + kRawTotalSizeField, static_cast<uint32_t>(total));
  memcpy(out + kRawHeaderBytes, shot.rawJpeg.data(), shot.rawJpeg.size());

  // Sensor-data stand-in: a block that depends on the frame, then copies of what is written.
  const size_t start = kRawHeaderBytes + shot.rawJpeg.size();
  if (start >= total) return;
  uint8_t* payload = out + start;
  const size_t length = total - start;
  const size_t first = std::min(kFillerBlock, length);
  for (size_t i = 0; i < first; ++i) {
    payload[i] = static_cast<uint8_t>((i * 131u + shot.frame * 7u) >> 2);
  }
  size_t filled = first;
  while (filled < length) {
    const size_t chunk = std::min(filled, length - filled);
    memcpy(payload + filled, payload, chunk);
    filled += chunk;
  }
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
