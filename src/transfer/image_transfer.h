// Image transfer beyond the ReadImage export (declared with the host ABI in brelon/brelon.h):
// the format table of the image-information record, the host file names, and the two
// operations the interface object offers on image data the host already holds.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brelon {

// Format codes of the image-information record: a family in the low byte, a variant in the
// next one.
constexpr uint32_t kFormatRaw = 0x001;
constexpr uint32_t kFormatPreview = 0x004;
constexpr uint32_t kFormatNone = 0x005;
constexpr uint32_t kFormatJpeg = 0x007;
constexpr uint32_t kFormatFamilyMask = 0x0FF;
constexpr uint32_t kFormatVariantPlain = 0x000;
constexpr uint32_t kFormatVariant3 = 0x300;
constexpr uint32_t kFormatVariant6 = 0x600;
constexpr uint32_t kFormatVariant8 = 0x800;

// The variant index reported to the host for each variant code.
constexpr int32_t kVariantPlain = 0;
constexpr int32_t kVariant6 = 1;
constexpr int32_t kVariant3 = 2;
constexpr int32_t kVariant8 = 3;

enum class ImageFamily { kRaw, kJpeg, kPreview, kNone, kUnknown };

struct ImageFormat {
  ImageFamily family = ImageFamily::kUnknown;
  int32_t variant = kVariantPlain;  // meaningful for kRaw and kJpeg
};

// Sorts a format code into its family and variant; a code outside the table is kUnknown (and
// 0x005 is kNone only without a variant). Pure; any thread.
ImageFormat ClassifyFormat(uint32_t format);

// File names are built from the frame number's signed remainder by this, so they keep 8 digits.
constexpr int32_t kFileNameFrameModulus = 100000000;

// Writes "%08d.QRW" (raw) or "%08d.JPG" into `out` (out, caller-owned, at least 16 units),
// formatted with the frame number taken as signed 32-bit, modulo kFileNameFrameModulus.
// Pure; any thread.
void FormatImageFileName(uint32_t frame, bool raw, char16_t* out);

// Reads an image file and gives the camera's file and folder names stored in it. `path` (in,
// borrowed; ANSI code page on Windows, UTF-8 elsewhere) names the file; `raw` non-zero takes
// the file as a raw image and reads the JPEG its header points at, which must lie inside the
// file. `fileName` and `folderName` (out, caller-owned, may be null, BRELON_HOST_TEXT_BYTES
// bytes each) receive the names in the same code page with terminator, cut after the last whole
// character that fits. Each is written only when its name is not empty. Returns 1 when the file
// name was written, else 0 (missing, empty or unreadable file, no camera path). Host thread; no
// lock.
int32_t ReadImageInfoFromFile(const char* path, char* fileName, char* folderName, int32_t raw);

// Copies the JPEG embedded in a raw image out of host memory. `raw` (in, borrowed) must point
// at a whole raw image: no size comes with it, so the region named by its header is trusted to
// lie inside the caller's memory; a null `raw` gives -6. `ignored` is not used. With `dst`
// null, stores the JPEG's length through `size` (in/out, may be null). Otherwise copies the
// whole JPEG, or at most *size bytes when `size` is given (a negative size copies nothing), to
// `dst` (out, caller-owned) and stores the count copied. Returns 0, also with nothing written
// when the region is not a JPEG with Exif data, or -6 when its metadata cannot be parsed.
// Host thread; no lock.
int32_t ExtractEmbeddedJpeg(const uint8_t* raw, intptr_t ignored, uint8_t* dst, int32_t* size);

}  // namespace brelon
