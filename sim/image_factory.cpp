// Shot and preview construction from the camera's configuration, through the image writer.
#include "image_factory.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace zepasim {
namespace {

constexpr int kPictureWidth = 64;
constexpr int kPictureHeight = 48;
constexpr int kPreviewWidth = 32;
constexpr int kPreviewHeight = 24;
constexpr uint32_t kFileNumberModulo = 10000;  // ORV_0000 .. ORV_9999

std::vector<uint8_t> BuildShotJpeg(const CameraConfig& camera, uint32_t frame, bool raw) {
  const std::vector<uint8_t> path = CameraPathBytes(camera.capture, frame, raw);
  CameraExif exif;
  exif.bigEndian = camera.capture.bigEndian;
  exif.make = camera.manufacturer;
  exif.model = camera.model;
  exif.width = kPictureWidth;
  exif.height = kPictureHeight;
  exif.makerNote = MakerNote(
      CameraNote(frame, std::string(path.begin(), path.end()), camera.capture.longFrame, false));
  JpegRequest request;
  request.width = kPictureWidth;
  request.height = kPictureHeight;
  request.seed = frame;
  request.tiff = CameraTiff(exif).Build();
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

void WriteShotRaw(const ShotImages& shot, uint8_t* out) {
  WriteRaw(out, static_cast<size_t>(shot.rawSize), shot.rawJpeg, shot.frame, shot.model);
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
