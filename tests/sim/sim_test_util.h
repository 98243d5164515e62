// Shared pieces of the simulator tests, also used by the exif and transfer suites: the SDK's
// exports resolved from the simulator library, a fixture that starts a session and reads the
// camera's files, and a small independent Exif walker for the JPEGs the camera writes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/testing.h"
#include "support/sim_harness.h"
#include "zepa/zepasim.h"

namespace brelon::test {

// The simulator's exports, resolved by name from the session's library.
struct SdkApi {
  explicit SdkApi(const SimSession& session) {
#define ZEPASIM_TEST_RESOLVE(name, params) name = session.Entry<name##Fn>(#name);
    ZEPK_ENTRY_POINTS(ZEPASIM_TEST_RESOLVE)
#undef ZEPASIM_TEST_RESOLVE
  }
#define ZEPASIM_TEST_MEMBER(name, params) name##Fn name = nullptr;
  ZEPK_ENTRY_POINTS(ZEPASIM_TEST_MEMBER)
#undef ZEPASIM_TEST_MEMBER
};

// Sleeps `ms` real milliseconds whatever the time scale.
inline void SleepMs(int ms) {
  plat::SleepMs(static_cast<uint32_t>(ms) * plat::TimeScale());
}

inline int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct ErrorInfo {
  int32_t api = 0, error = 0;
};

struct Image {
  uint32_t format = 0;
  std::vector<uint8_t> bytes;
};

class SimTest : public ::testing::Test {
 protected:
  // Starts a session with the configuration and initialises the SDK. The old session goes
  // first, so that it restores the environment before the new one sets it.
  void Start(const std::string& config = "") {
    api_.reset();
    session_.reset();
    session_ = std::make_unique<SimSession>(config);
    api_ = std::make_unique<SdkApi>(*session_);
    ASSERT_NE(api_->ZEPK_Init, nullptr) << "simulator library not loaded: " << SimLibraryPath();
    ASSERT_EQ(api_->ZEPK_Init(nullptr), 0);
  }
  // Detects by USB and opens the first camera found; returns its handle.
  int32_t OpenUsb() {
    int32_t count = 0, handle = 0, mode = 0;
    EXPECT_EQ(api_->ZEPK_Detect(ZEPASIM_IF_USB, nullptr, nullptr, &count), 0);
    EXPECT_GE(count, 1);
    EXPECT_EQ(api_->ZEPK_OpenEx("ENUM:0", &handle, &mode, nullptr), 0);
    return handle;
  }
  ErrorInfo LastError(int32_t handle = 0) {
    ErrorInfo info;
    EXPECT_EQ(api_->ZEPK_GetErrorNumber(handle, &info.api, &info.error), 0);
    return info;
  }
  ZepkImageInfo Info(int32_t handle) {
    ZepkImageInfo info{};
    EXPECT_EQ(api_->ZEPK_ReadImageInfo(handle, &info), 0);
    return info;
  }
  // Takes the oldest pending image out of the camera.
  Image Read(int32_t handle) {
    const ZepkImageInfo info = Info(handle);
    Image image{info.format, std::vector<uint8_t>(info.size)};
    EXPECT_TRUE(!info.size || api_->ZEPK_ReadImage(handle, image.bytes.data(), info.size) == 0);
    return image;
  }
  int Control(const std::string& json) { return session_->Control(json); }

  std::unique_ptr<SimSession> session_;
  std::unique_ptr<SdkApi> api_;
};

struct TiffEntry {
  uint16_t tag = 0, type = 0;
  uint32_t count = 0, valueOrOffset = 0;  // the latter as a number in the block's byte order
  std::vector<uint8_t> value;             // the value's bytes, inline or at the offset
};

// A TIFF block in either byte order; reads past its end give 0.
struct TiffBlock {
  const uint8_t* data;
  size_t size;
  bool big;
  uint16_t U16(size_t at) const {
    if (at + 2 > size) return 0;
    return big ? uint16_t(data[at] << 8 | data[at + 1]) : uint16_t(data[at + 1] << 8 | data[at]);
  }
  uint32_t U32(size_t at) const {
    if (at + 4 > size) return 0;
    return big ? uint32_t(U16(at)) << 16 | U16(at + 2) : uint32_t(U16(at + 2)) << 16 | U16(at);
  }
  std::vector<TiffEntry> Ifd(size_t at) const {
    static const uint32_t kTypeSize[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    std::vector<TiffEntry> entries;
    for (uint16_t i = 0, n = U16(at); i < n; ++i) {
      const size_t e = at + 2 + 12u * i;
      TiffEntry entry{U16(e), U16(e + 2), U32(e + 4), U32(e + 8), {}};
      const size_t bytes = entry.type < 13 ? size_t(kTypeSize[entry.type]) * entry.count : 0;
      const size_t from = bytes <= 4 ? e + 8 : entry.valueOrOffset;
      if (from + bytes <= size) entry.value.assign(data + from, data + from + bytes);
      entries.push_back(entry);
    }
    return entries;
  }
};

inline std::optional<TiffEntry> FindTag(const std::vector<TiffEntry>& ifd, uint16_t tag) {
  for (const TiffEntry& e : ifd) {
    if (e.tag == tag) return e;
  }
  return std::nullopt;
}

struct ExifView {
  bool found = false, bigEndian = false;
  std::vector<TiffEntry> ifd0, exif;
  std::vector<uint8_t> makerNote;
  std::vector<TiffEntry> noteIfd;  // the maker note's own IFD, read little-endian
};

// Finds the APP1 Exif block of a JPEG and reads IFD0, the Exif IFD and the maker note.
inline ExifView ReadExif(const std::vector<uint8_t>& jpeg) {
  ExifView view;
  if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return view;
  for (size_t at = 2; at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA;) {
    const size_t length = size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
    if (jpeg[at + 1] == 0xE1 && length > 8 && memcmp(&jpeg[at + 4], "Exif\0\0", 6) == 0) {
      view.bigEndian = jpeg[at + 10] == 'M';
      const TiffBlock block{&jpeg[at + 10], length - 8, view.bigEndian};
      view.ifd0 = block.Ifd(block.U32(4));
      if (auto pointer = FindTag(view.ifd0, 0x8769)) view.exif = block.Ifd(pointer->valueOrOffset);
      if (auto note = FindTag(view.exif, 0x927C)) {
        view.makerNote = note->value;
        const TiffBlock noteBlock{view.makerNote.data(), view.makerNote.size(), false};
        view.noteIfd = noteBlock.Ifd(noteBlock.U32(8));
      }
      view.found = true;
      return view;
    }
    at += 2 + length;
  }
  return view;
}

inline uint32_t BigEndian32(const std::vector<uint8_t>& b, size_t at) {
  return TiffBlock{b.data(), b.size(), true}.U32(at);
}

// The JPEG a raw file embeds, located by its header.
inline std::vector<uint8_t> EmbeddedJpeg(const std::vector<uint8_t>& raw) {
  const uint32_t offset = BigEndian32(raw, 84), length = BigEndian32(raw, 88);
  if (raw.size() < 92 || uint64_t(offset) + length > raw.size()) return {};
  return std::vector<uint8_t>(raw.begin() + offset, raw.begin() + offset + length);
}

inline uint32_t NoteFrame(const ExifView& view) {
  auto e = FindTag(view.noteIfd, 0x1438);
  if (!e) return 0;
  const TiffBlock block{e->value.data(), e->value.size(), false};
  return e->type == 3 ? block.U16(0) : block.U32(0);
}

inline std::string NotePath(const ExifView& view) {
  auto e = FindTag(view.noteIfd, 0x1439);
  return e ? std::string(e->value.begin(), e->value.end()) : std::string();
}

}  // namespace brelon::test
