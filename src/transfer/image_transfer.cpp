// Image transfer: the ReadImage export that hands each new picture to the host in a query call
// and a read call (with the per-format transfer settings, preview parking, capacity figures,
// image wait and the camera settings a release changed), and the two interface operations
// that read the same maker-note metadata from a file on disk or from a raw image in memory.
#include "transfer/image_transfer.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "base/context.h"
#include "base/log.h"
#include "base/text.h"
#include "brelon/brelon.h"
#include "brelon/interfaces.h"
#include "platform/platform.h"
#include "sdk/camera_codes.h"
#include "sdk/loader.h"
#include "transfer/exif/camera_path.h"
#include "transfer/exif/exif_meta_info.h"
#include "transfer/exif/raw_header.h"

namespace brelon {
namespace {

constexpr char kReadImageFunction[] = "ReadImage";
constexpr char kMsgReadImage[] = "  brnReadImage:m_pfnReadImage result=[%d]";

// Discard counts stop here; a count above kDiscardWarnAbove means the same format was thrown
// away more than once in a row.
constexpr int32_t kMaxDiscardCount = 2;
constexpr int32_t kDiscardWarnAbove = 1;

constexpr uint32_t kNoFrame = 0;

// What one JPEG's maker note told.
struct NoteReading {
  enum Status { kNotExifJpeg, kUnparsable, kParsed };
  Status status = kNotExifJpeg;
  bool hasPath = false;
  char16_t path[exif::kCameraPathCapacity] = {};
  bool hasFrame = false;
  uint32_t frame = kNoFrame;
};

// Runs the reader over `length` bytes at `jpeg` (borrowed; the reader keeps its own copy) in the
// order the reader expects. A copy that cannot be allocated leaves the reader without data, which
// reads as "not a JPEG with Exif": the image itself is untouched by that.
NoteReading ReadMakerNote(const uint8_t* jpeg, size_t length, bool wantPath) {
  NoteReading note;
  exif::CExifMetaInfo reader;
  reader.SetSource(jpeg, length);
  uint32_t width = 0;
  uint32_t height = 0;
  if (reader.Validate(&width, &height)) {
    if (reader.ParseMetadata() != 0) {
      note.status = NoteReading::kUnparsable;
    } else {
      note.status = NoteReading::kParsed;
      if (wantPath) note.hasPath = reader.GetCameraPath(note.path) == 0;
      note.hasFrame = reader.GetFrameNumber(&note.frame) == 0;
    }
  }
  reader.Close();
  reader.ReleaseAll();
  return note;
}

// A name of 260 units may take up to three times as many bytes (UTF-8), while hosts size
// their buffers in bytes: the conversion cuts it at the last whole character that fits.
void WriteAnsiName(const char16_t* name, char* out) {
  plat::WideToAnsi(name, TextLength(name), out, BRELON_HOST_TEXT_BYTES);
}

// One ReadImage call past the connection test; the caller holds the SDK lock throughout.
class Transfer {
 public:
  Transfer(PluginContext* ctx, CTavelSDK& sdk, int32_t camera)
      : ctx_(ctx), sdk_(sdk), camera_(camera) {}

  int32_t Query(uint32_t* size, uint8_t* isRaw, int32_t* variant);
  int32_t Read(uint8_t* buffer, uint32_t* size, const uint8_t* isRaw, char16_t* fileName,
               char16_t* cameraFileName, char16_t* cameraFolderName);
  void Close(bool readCall);

 private:
  void RefreshCapacity();
  void TakeInPreview(uint32_t frameSize);
  bool TransferWanted(bool raw);
  void WarnAboutDiscards();

  PluginContext* ctx_;
  CTavelSDK& sdk_;
  int32_t camera_;
};

void Transfer::RefreshCapacity() {
  int32_t a = 0;
  int32_t b = 0;
  if (sdk_.m_pfnGetBufferCapacity(camera_, &a, &b) != ZEPK_OK) return;
  ctx_->lCapacityA = a;
  ctx_->lCapacityB = b;
  RaiseEvent(ctx_, BRELON_EV_CAPACITY);
}

// Parks the pending preview frame without allocating: the two slots live in the context.
void Transfer::TakeInPreview(uint32_t frameSize) {
  // Without a callback nobody would learn of the frame, so it stays in the camera.
  if (!ctx_->pfnCallback) return;
  const int32_t next = ctx_->lPreviewIndex == 1 ? 1 : 0;
  const int32_t slot = ctx_->lPreviewSize[next] != 0 ? 1 - next : next;
  // The read overwrites the slot: should it fail, the slot must not pass off what remains as
  // the frame it held before.
  ctx_->lPreviewSize[slot] = 0;
  if (sdk_.m_pfnReadImage(camera_, ctx_->PreviewBuffer[slot], kPreviewSlotBytes) == ZEPK_OK &&
      frameSize <= kPreviewSlotBytes) {
    ctx_->lPreviewSize[slot] = static_cast<int32_t>(frameSize);
  }
  RaiseEvent(ctx_, BRELON_EV_PREVIEW);
}

// Reloads the settings and reads the governing flag under the settings lock, so that a reload
// running at the same time on the session thread is never seen half done.
bool Transfer::TransferWanted(bool raw) {
  plat::LockGuard settings(Locks().settings);
  ::ReadProperty(&ctx_->Property);
  return (raw ? ctx_->Property.TransferRAW : ctx_->Property.TransferJPEG) != 0;
}

void Transfer::WarnAboutDiscards() {
  if (!ctx_->pfnCallback) return;
  if (ctx_->lJpegDiscardCount == 0 && ctx_->lRawDiscardCount == 0 && ctx_->bDiscardWarned) {
    RaiseEvent(ctx_, BRELON_EV_DISCARD_WARNING_OVER);
  }
  if (ctx_->lJpegDiscardCount > kDiscardWarnAbove || ctx_->lRawDiscardCount > kDiscardWarnAbove) {
    RaiseEvent(ctx_, BRELON_EV_DISCARD_WARNING);
    ctx_->bDiscardWarned = 1;
  }
}

int32_t Transfer::Query(uint32_t* size, uint8_t* isRaw, int32_t* variant) {
  ZepkImageInfo info;
  std::memset(&info, 0, sizeof(info));
  if (sdk_.m_pfnReadImageInfo(camera_, &info) != ZEPK_OK) return BRELON_OK;

  const ImageFormat format = ClassifyFormat(info.format);
  switch (format.family) {
    case ImageFamily::kPreview:
      TakeInPreview(info.size);
      if (size) *size = 0;
      return BRELON_OK;
    case ImageFamily::kNone:
      if (size) *size = 0;
      return BRELON_OK;
    case ImageFamily::kUnknown:
      return BRELON_OK;
    case ImageFamily::kRaw:
    case ImageFamily::kJpeg:
      break;
  }

  const bool raw = format.family == ImageFamily::kRaw;
  if (size) *size = info.size;
  if (isRaw) *isRaw = raw ? 1 : 0;
  if (variant) *variant = format.variant;
  RefreshCapacity();

  int32_t result = BRELON_OK;
  if (TransferWanted(raw)) {
    ctx_->lJpegDiscardCount = 0;
    ctx_->lRawDiscardCount = 0;
  } else if (sdk_.m_pfnDeleteImage(camera_) == ZEPK_OK) {
    result = BRELON_E_IMAGE_DELETED;
    int32_t& count = raw ? ctx_->lRawDiscardCount : ctx_->lJpegDiscardCount;
    if (count < kMaxDiscardCount) ++count;
    if (size) *size = 0;
    RefreshCapacity();
  }
  WarnAboutDiscards();
  return result;
}

int32_t Transfer::Read(uint8_t* buffer, uint32_t* size, const uint8_t* isRaw, char16_t* fileName,
                       char16_t* cameraFileName, char16_t* cameraFolderName) {
  // Without a capacity the SDK cannot be told how much the buffer holds; the image stays in the
  // camera for a proper read.
  if (!size) return BRELON_E_IMAGE_DATA;
  const uint32_t capacity = *size;
  const int32_t sdkResult = sdk_.m_pfnReadImage(camera_, buffer, capacity);
  WriteLog(kCoreSource, kReadImageFunction, __LINE__, kMsgReadImage, sdkResult);
  if (sdkResult != ZEPK_OK) return BRELON_E_IMAGE_DATA;

  // The SDK does not say how much it wrote, so the capacity bounds every look into the buffer;
  // with a capacity above the image size the rest is the host's own memory.
  const bool raw = isRaw && *isRaw != 0;
  const uint8_t* jpeg = buffer;
  size_t jpegLength = capacity;
  bool located = true;
  if (raw) {
    size_t offset = 0;
    located = exif::LocateEmbeddedJpeg(buffer, capacity, &offset, &jpegLength);
    jpeg = buffer + offset;
  }

  int32_t result = BRELON_OK;
  bool hasFrame = false;
  uint32_t frame = kNoFrame;
  if (located) {
    const bool wantNames = ctx_->lUseSerialTag == 0;
    NoteReading note = ReadMakerNote(jpeg, jpegLength, wantNames);
    if (note.status == NoteReading::kUnparsable) {
      result = BRELON_E_IMAGE_DATA;
    } else if (note.status == NoteReading::kParsed) {
      char16_t file[kCameraNameUnits];
      char16_t folder[kCameraNameUnits];
      if (note.hasPath && SplitCameraPath(note.path, file, folder)) {
        if (cameraFileName) CopyCameraName(file, cameraFileName);
        if (cameraFolderName) CopyCameraName(folder, cameraFolderName);
      }
      hasFrame = note.hasFrame;
      frame = note.frame;
      result = hasFrame ? BRELON_OK : BRELON_E_IMAGE_DATA;
    }
  }

  if (fileName) {
    if (hasFrame) {
      FormatImageFileName(frame, raw, fileName);
    } else {
      fileName[0] = 0;
    }
  }

  // A wait armed by the host withholds this file and, by its frame number, the other file of
  // the same shot. Frame number 0 doubles as "no wait pending", so it never withholds a file.
  const int32_t frameValue = static_cast<int32_t>(frame);
  if (ctx_->lImageWait != 0) {
    ctx_->lImageWait = 0;
    ctx_->lWaitFrameNumber = hasFrame ? frameValue : 0;
    if (ctx_->hImageWaitEvent) plat::EventSet(ctx_->hImageWaitEvent);
    *size = 0;
    result = BRELON_E_SDK;
  } else if (hasFrame && ctx_->lWaitFrameNumber != 0 && frameValue == ctx_->lWaitFrameNumber) {
    *size = 0;
    result = BRELON_E_SDK;
    ctx_->lWaitFrameNumber = 0;
  }
  return result;
}

// Undoes what a release changed, whatever the call's result.
void Transfer::Close(bool readCall) {
  int32_t mode = 0;
  if (sdk_.m_pfnGetPriorityMode(camera_, &mode) == ZEPK_OK && mode != ctx_->lPriorityMode) {
    sdk_.m_pfnSetPriorityMode(camera_, ctx_->lPriorityMode);
  }
  if (ctx_->lMode3301 == 0) {
    if (readCall) RefreshCapacity();
    return;
  }
  if (ctx_->lRearm3301 == 0) return;
  RefreshCapacity();
  // The release set the host count to one; the camera must see the real count again first.
  if (ctx_->lHostCount > kHostCountSingle &&
      sdk_.SetProp(camera_, kPropHostCount, 1, static_cast<ZepkArg>(ctx_->lHostCount)) != ZEPK_OK) {
    return;
  }
  if (sdk_.SetProp(camera_, kPropEnterMode3301, 0) == ZEPK_OK) ctx_->lRearm3301 = 0;
}

}  // namespace

ImageFormat ClassifyFormat(uint32_t format) {
  ImageFormat result;
  const uint32_t family = format & kFormatFamilyMask;
  const uint32_t variantCode = format & ~kFormatFamilyMask;
  switch (variantCode) {
    case kFormatVariantPlain:
      result.variant = kVariantPlain;
      break;
    case kFormatVariant6:
      result.variant = kVariant6;
      break;
    case kFormatVariant3:
      result.variant = kVariant3;
      break;
    case kFormatVariant8:
      result.variant = kVariant8;
      break;
    default:
      return ImageFormat{};
  }
  switch (family) {
    case kFormatRaw:
      result.family = ImageFamily::kRaw;
      break;
    case kFormatJpeg:
      result.family = ImageFamily::kJpeg;
      break;
    case kFormatPreview:
      result.family = ImageFamily::kPreview;
      break;
    case kFormatNone:
      if (variantCode != kFormatVariantPlain) return ImageFormat{};
      result.family = ImageFamily::kNone;
      break;
    default:
      return ImageFormat{};
  }
  return result;
}

void FormatImageFileName(uint32_t frame, bool raw, char16_t* out) {
  const int32_t number = static_cast<int32_t>(frame) % kFileNameFrameModulus;
  char text[16];
  const int length = std::snprintf(text, sizeof(text), raw ? "%08d.QRW" : "%08d.JPG", number);
  int i = 0;
  for (; i < length; ++i) out[i] = static_cast<char16_t>(text[i]);
  out[i] = 0;
}

int32_t ReadImageInfoFromFile(const char* path, char* fileName, char* folderName, int32_t raw) {
  const int64_t fileSize = plat::FileSize(path);
  if (fileSize <= 0 || static_cast<uint64_t>(fileSize) > SIZE_MAX) return 0;
  const size_t size = static_cast<size_t>(fileSize);
  std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[size]);
  if (!data || !plat::FileReadAll(path, data.get(), size)) return 0;

  const uint8_t* jpeg = data.get();
  size_t jpegLength = size;
  if (raw != 0) {
    size_t offset = 0;
    if (!exif::LocateEmbeddedJpeg(data.get(), size, &offset, &jpegLength)) return 0;
    jpeg += offset;
  }

  NoteReading note = ReadMakerNote(jpeg, jpegLength, true);
  char16_t file[kCameraNameUnits];
  char16_t folder[kCameraNameUnits];
  if (note.status != NoteReading::kParsed || !note.hasPath ||
      !SplitCameraPath(note.path, file, folder)) {
    return 0;
  }
  int32_t result = 0;
  if (fileName && file[0] != 0) {
    WriteAnsiName(file, fileName);
    result = 1;
  }
  if (folderName && folder[0] != 0) WriteAnsiName(folder, folderName);
  return result;
}

int32_t ExtractEmbeddedJpeg(const uint8_t* raw, intptr_t ignored, uint8_t* dst, int32_t* size) {
  if (!raw) return BRELON_E_IMAGE_DATA;
  // No size comes with the image: only a region that would run past the end of the address
  // space is refused; everything else is the caller's promise of a whole raw image.
  const size_t addressable = SIZE_MAX - reinterpret_cast<uintptr_t>(raw);
  size_t offset = 0;
  size_t length = 0;
  if (!exif::LocateEmbeddedJpeg(raw, addressable, &offset, &length)) return BRELON_OK;
  const uint8_t* jpeg = raw + offset;

  exif::CExifMetaInfo reader;
  reader.SetSource(jpeg, length);
  uint32_t width = 0;
  uint32_t height = 0;
  if (!reader.Validate(&width, &height)) return BRELON_OK;
  if (reader.ParseMetadata() != 0) return BRELON_E_IMAGE_DATA;

  const size_t reportable = length > INT32_MAX ? size_t{INT32_MAX} : length;
  if (!dst) {
    if (size) *size = static_cast<int32_t>(reportable);
  } else {
    size_t count = length;
    if (size) count = *size <= 0 ? 0 : std::min(length, static_cast<size_t>(*size));
    std::memcpy(dst, jpeg, count);
    if (size) *size = static_cast<int32_t>(count);
  }
  reader.Close();
  reader.ReleaseAll();
  return BRELON_OK;
}

}  // namespace brelon

using brelon::PluginContext;

// Hands the pending image to the host, in two calls per image. `context`: in, the host's variable
// filled by Init (borrowed). Query call (`buffer` null): reports the pending image through
// `size`, `isRaw` and `variant` (out, host-owned, each may be null and is then not written),
// parks preview frames in the context's two slots (event 3), and deletes an image whose format
// is not to be transferred (-14, `size` 0). Read call: `buffer` (out, host-owned) receives the
// image, `*size` (in/out) is its capacity; a null `size` reads nothing and gives -6, leaving
// the image in the camera. `isRaw` (in, may be null = JPEG) is what the query reported.
// `fileName`, `cameraFileName` and `cameraFolderName` (out, host-owned, each null or at least
// 261 units) receive the host file name "%08d.QRW"/"%08d.JPG" and the camera's own names.
// Returns 0, -1 (not connected, no SDK, or image withheld by the image wait), -4 (no context),
// -6 (SDK read failed, metadata unparsable or without frame number) or -14. Any host thread;
// holds the SDK lock for the whole call, ConnectionLock only to read the connection state.
extern "C" BRELON_EXPORT int32_t BRELON_CDECL ReadImage(void** context, uint8_t* buffer,
                                                        uint32_t* size, uint8_t* isRaw,
                                                        int32_t* variant, char16_t* fileName,
                                                        char16_t* cameraFileName,
                                                        char16_t* cameraFolderName) {
  PluginContext* ctx = brelon::ContextFrom(context);
  if (!ctx) return BRELON_E_NO_CONTEXT;
  if (!ctx->pSdk) return BRELON_E_SDK;

  brelon::CTavelSDK& sdk = *ctx->pSdk;
  plat::LockGuard sdkLock(sdk.SdkLock());
  int32_t camera = 0;
  // Without a camera this export answers -1, where the others answer -4.
  if (!brelon::CameraConnected(ctx, &camera)) return BRELON_E_SDK;

  brelon::Transfer transfer(ctx, sdk, camera);
  const bool readCall = buffer != nullptr;
  const int32_t result =
      readCall ? transfer.Read(buffer, size, isRaw, fileName, cameraFileName, cameraFolderName)
               : transfer.Query(size, isRaw, variant);
  transfer.Close(readCall);
  return result;
}
