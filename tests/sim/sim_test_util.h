// Shared pieces of the simulator tests: the SDK's exports loaded from the simulator library,
// a fixture that starts a session, a reader for the files the camera hands out, and an
// independent little TIFF/Exif walker to check the bytes of the simulated JPEGs.
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
  int32_t api = 0;
  int32_t error = 0;
};

struct Image {
  uint32_t format = 0;
  std::vector<uint8_t> bytes;
};

class SimTest : public ::testing::Test {
 protected:
  // Starts a session with the configuration and initialises the SDK.
  void Start(const std::string& config = "") {
    // The old session must restore the environment before the new one sets it.
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
  int32_t BufferCount(int32_t handle) {
    int32_t count = -1, other = -1;
    EXPECT_EQ(api_->ZEPK_GetBufferCapacity(handle, &count, &other), 0);
    return count;
  }
  ZepkImageInfo Info(int32_t handle) {
    ZepkImageInfo info{};
    EXPECT_EQ(api_->ZEPK_ReadImageInfo(handle, &info), 0);
    return info;
  }
  // Takes the oldest pending image out of the camera.
  Image Read(int32_t handle) {
    Image image;
    const ZepkImageInfo info = Info(handle);
    image.format = info.format;
    image.bytes.resize(info.size);
    if (info.size) {
      EXPECT_EQ(api_->ZEPK_ReadImage(handle, image.bytes.data(), info.size), 0);
    }
    return image;
  }
  int Control(const std::string& json) { return session_->Control(json); }

  std::unique_ptr<SimSession> session_;
  std::unique_ptr<SdkApi> api_;
};

// ---- A small, independent Exif walker -----------------------------------------------------

struct TiffEntry {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint32_t count = 0;
  uint32_t valueOrOffset = 0;  // as a number in the block's byte order
  std::vector<uint8_t> value;  // the value's bytes (inline or at the offset)
};

class TiffBlock {
 public:
  TiffBlock(const uint8_t* data, size_t size, bool bigEndian)
      : data_(data), size_(size), big_(bigEndian) {}
  uint16_t U16(size_t at) const {
    if (at + 2 > size_) return 0;
    return big_ ? uint16_t(data_[at] << 8 | data_[at + 1])
                : uint16_t(data_[at + 1] << 8 | data_[at]);
  }
  uint32_t U32(size_t at) const {
    if (at + 4 > size_) return 0;
    return big_ ? uint32_t(U16(at)) << 16 | U16(at + 2) : uint32_t(U16(at + 2)) << 16 | U16(at);
  }
  std::vector<TiffEntry> Ifd(size_t at) const {
    static const uint32_t kTypeSize[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    std::vector<TiffEntry> entries;
    const uint16_t n = U16(at);
    for (uint16_t i = 0; i < n; ++i) {
      const size_t e = at + 2 + 12u * i;
      TiffEntry entry{U16(e), U16(e + 2), U32(e + 4), U32(e + 8), {}};
      const size_t bytes = entry.type < 13 ? size_t(kTypeSize[entry.type]) * entry.count : 0;
      const size_t from = bytes <= 4 ? e + 8 : entry.valueOrOffset;
      if (from + bytes <= size_) entry.value.assign(data_ + from, data_ + from + bytes);
      entries.push_back(entry);
    }
    return entries;
  }
  static std::optional<TiffEntry> Find(const std::vector<TiffEntry>& ifd, uint16_t tag) {
    for (const TiffEntry& e : ifd) {
      if (e.tag == tag) return e;
    }
    return std::nullopt;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  bool big_;
};

struct ExifView {
  bool found = false;
  bool bigEndian = false;
  std::vector<TiffEntry> ifd0, exif;
  std::vector<uint8_t> makerNote;
  std::vector<TiffEntry> noteIfd;  // the maker note's own IFD, read little-endian
};

// Finds the APP1 Exif block of a JPEG and reads IFD0, the Exif IFD and the maker note.
inline ExifView ReadExif(const std::vector<uint8_t>& jpeg) {
  ExifView view;
  if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return view;
  size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA) {
    const size_t length = size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
    if (jpeg[at + 1] == 0xE1 && length > 8 && memcmp(&jpeg[at + 4], "Exif\0\0", 6) == 0) {
      const uint8_t* tiff = &jpeg[at + 10];
      const size_t size = length - 8;
      view.bigEndian = tiff[0] == 'M';
      TiffBlock block(tiff, size, view.bigEndian);
      view.ifd0 = block.Ifd(block.U32(4));
      if (auto pointer = TiffBlock::Find(view.ifd0, 0x8769)) {
        view.exif = block.Ifd(pointer->valueOrOffset);
      }
      if (auto note = TiffBlock::Find(view.exif, 0x927C)) {
        view.makerNote = note->value;
        TiffBlock noteBlock(view.makerNote.data(), view.makerNote.size(), false);
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
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

// The JPEG a raw file embeds, located by its header.
inline std::vector<uint8_t> EmbeddedJpeg(const std::vector<uint8_t>& raw) {
  if (raw.size() < 92) return {};
  const uint32_t offset = BigEndian32(raw, 84), length = BigEndian32(raw, 88);
  if (uint64_t(offset) + length > raw.size()) return {};
  return std::vector<uint8_t>(raw.begin() + offset, raw.begin() + offset + length);
}

inline uint32_t NoteFrame(const ExifView& view) {
  auto e = TiffBlock::Find(view.noteIfd, 0x1438);
  if (!e) return 0;
  TiffBlock block(e->value.data(), e->value.size(), false);
  return e->type == 3 ? block.U16(0) : block.U32(0);
}

inline std::string NotePath(const ExifView& view) {
  auto e = TiffBlock::Find(view.noteIfd, 0x1439);
  return e ? std::string(e->value.begin(), e->value.end()) : std::string();
}

}  // namespace brelon::test
