// Simulator tests for releases and the camera buffer: the picture delay, which release modes
// take pictures, raw-plus-JPEG order, reading and deleting, preview frames, the release-mode
// list limit and large raw files.
#include <algorithm>
#include <string>

#include "sim/sim_test_util.h"

namespace brelon::test {
namespace {

constexpr char kInstantRawJpeg[] =
    R"({"cameras":[{"card_capacity":10,"capture":{"delay_ms":0,"first_frame":7}}]})";

using SimCaptureTest = SimTest;

TEST_F(SimCaptureTest, PictureReachesBufferOnlyAfterDelay) {
  constexpr int kDelayMs = 300;
  Start(R"({"cameras":[{"capture":{"delay_ms":300}}]})");
  const int32_t h = OpenUsb();
  const int64_t released = NowMs();
  ASSERT_EQ(api_->ZEPK_Release(h, 0x304, 0, 0), 0);
  EXPECT_EQ(BufferCount(h), 0);
  const ZepkImageInfo none = Info(h);
  EXPECT_EQ(none.format, uint32_t{ZEPASIM_FORMAT_NONE});
  EXPECT_EQ(none.size, 0u);
  int32_t status = -1;
  ASSERT_EQ(api_->ZEPK_GetReleaseStatus(h, &status), 0);
  EXPECT_EQ(status, 1);

  while (BufferCount(h) == 0 && NowMs() - released < 10 * kDelayMs) SleepMs(10);
  EXPECT_GE(NowMs() - released, kDelayMs);
  EXPECT_EQ(BufferCount(h), 2);
  EXPECT_EQ(Control(R"({"cmd":"pending","camera":0})"), 2);
  ASSERT_EQ(api_->ZEPK_GetReleaseStatus(h, &status), 0);
  EXPECT_EQ(status, 0);
}

TEST_F(SimCaptureTest, OnlyPictureModesTakePictures) {
  Start(kInstantRawJpeg);
  const int32_t h = OpenUsb();
  for (int32_t mode : {0x200, 4, 0x0F, 0x500}) EXPECT_EQ(api_->ZEPK_Release(h, mode, 0, 0), 0);
  EXPECT_EQ(BufferCount(h), 0);
  EXPECT_EQ(Control(R"({"cmd":"stats","camera":0,"what":"shots"})"), 0);
  for (int32_t mode : {0x104, 0x304, 0x0C}) EXPECT_EQ(api_->ZEPK_Release(h, mode, 0, 0), 0);
  EXPECT_EQ(BufferCount(h), 6);
  EXPECT_EQ(Control(R"({"cmd":"press_shutter","camera":0})"), 0);
  EXPECT_EQ(BufferCount(h), 8);
  int32_t count = 0, card = 0;
  ASSERT_EQ(api_->ZEPK_GetBufferCapacity(h, &count, &card), 0);
  EXPECT_EQ(card, 6) << "the card loses one place per shot";
}

TEST_F(SimCaptureTest, RawPlusJpegComeRawFirstWithOneFrameNumber) {
  Start(kInstantRawJpeg);
  const int32_t h = OpenUsb();
  ASSERT_EQ(api_->ZEPK_Release(h, 0x104, 0, 0), 0);
  ASSERT_EQ(api_->ZEPK_Release(h, 0x104, 0, 0), 0);
  const Image raw1 = Read(h), jpeg1 = Read(h), raw2 = Read(h), jpeg2 = Read(h);
  EXPECT_EQ(raw1.format, uint32_t{ZEPASIM_FORMAT_RAW});
  EXPECT_EQ(jpeg1.format, uint32_t{ZEPASIM_FORMAT_JPEG});
  EXPECT_EQ(raw1.bytes.size(), 1000000u);
  EXPECT_EQ(NoteFrame(ReadExif(EmbeddedJpeg(raw1.bytes))), 7u);
  EXPECT_EQ(NoteFrame(ReadExif(jpeg1.bytes)), 7u);
  EXPECT_EQ(NoteFrame(ReadExif(EmbeddedJpeg(raw2.bytes))), 8u);
  EXPECT_EQ(NoteFrame(ReadExif(jpeg2.bytes)), 8u);
  EXPECT_EQ(NotePath(ReadExif(jpeg2.bytes)), std::string("A:\\DCIM\\100ORVTS\\ORV_0008.JPG", 30));
  EXPECT_EQ(NotePath(ReadExif(EmbeddedJpeg(raw2.bytes))),
            std::string("A:\\DCIM\\100ORVTS\\ORV_0008.QRW", 30));
  EXPECT_EQ(Info(h).format, uint32_t{ZEPASIM_FORMAT_NONE});
}

TEST_F(SimCaptureTest, ReadAndDeleteTakeTheOldestImage) {
  Start(R"({"cameras":[{"capture":{"delay_ms":0,"format":"jpeg"}}]})");
  const int32_t h = OpenUsb();
  std::vector<uint8_t> buffer(1 << 16);
  EXPECT_EQ(api_->ZEPK_ReadImage(h, buffer.data(), uint32_t(buffer.size())), -1);
  EXPECT_EQ(LastError().error, ZEPASIM_ERR_NO_IMAGE);
  EXPECT_EQ(api_->ZEPK_DeleteImage(h), -1);

  for (int i = 0; i < 3; ++i) ASSERT_EQ(api_->ZEPK_Release(h, 0x104, 0, 0), 0);
  const ZepkImageInfo first = Info(h);
  EXPECT_EQ(api_->ZEPK_ReadImage(h, buffer.data(), first.size - 1), -1);
  EXPECT_EQ(LastError().error, ZEPASIM_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(BufferCount(h), 3) << "a failed read leaves the image";
  ASSERT_EQ(api_->ZEPK_DeleteImage(h), 0);
  EXPECT_EQ(BufferCount(h), 2);
  EXPECT_EQ(NoteFrame(ReadExif(Read(h).bytes)), 2u);
  EXPECT_EQ(NoteFrame(ReadExif(Read(h).bytes)), 3u);
  EXPECT_EQ(BufferCount(h), 0);
}

TEST_F(SimCaptureTest, PreviewFramesQueueInOrderAndStayOutOfTheCount) {
  Start(R"({"cameras":[{"preview_bytes":5000,"capture":{"delay_ms":0,"format":"jpeg"}}]})");
  const int32_t h = OpenUsb();
  ASSERT_EQ(Control(R"({"cmd":"preview","camera":0,"frames":2})"), 0);
  ASSERT_EQ(api_->ZEPK_Release(h, 0x104, 0, 0), 0);
  ASSERT_EQ(Control(R"({"cmd":"preview","camera":0})"), 0);
  EXPECT_EQ(BufferCount(h), 1);
  EXPECT_EQ(Control(R"({"cmd":"pending","camera":0})"), 4);

  const uint32_t expected[] = {ZEPASIM_FORMAT_PREVIEW, ZEPASIM_FORMAT_PREVIEW, ZEPASIM_FORMAT_JPEG,
                               ZEPASIM_FORMAT_PREVIEW};
  for (uint32_t format : expected) {
    const Image image = Read(h);
    EXPECT_EQ(image.format, format);
    if (format == ZEPASIM_FORMAT_PREVIEW) {
      ASSERT_EQ(image.bytes.size(), 5000u);
      EXPECT_EQ(image.bytes[0], 0xFF);
      EXPECT_EQ(image.bytes[1], 0xD8);
      EXPECT_EQ(image.bytes[4998], 0xFF);
      EXPECT_EQ(image.bytes[4999], 0xD9);
    }
  }
  EXPECT_EQ(Control(R"({"cmd":"pending","camera":0})"), 0);
}

TEST_F(SimCaptureTest, ReleaseModeListIsNeverWrittenPast512) {
  std::string modes;
  for (int i = 0; i < 600; ++i) modes += (i ? "," : "") + std::to_string(0x104 + i);
  Start(R"({"cameras":[{"release_modes":[)" + modes + "]}]}");
  const int32_t h = OpenUsb();
  std::vector<int32_t> list(513, -7);
  int32_t count = 0;
  ASSERT_EQ(api_->ZEPK_CapRelease(h, &count, nullptr), 0);
  EXPECT_EQ(count, 600);
  ASSERT_EQ(api_->ZEPK_CapRelease(h, &count, list.data()), 0);
  EXPECT_EQ(list[511], 0x104 + 511);
  EXPECT_EQ(list[512], -7);
}

TEST_F(SimCaptureTest, FormatVariantMarksRawAndJpegCodes) {
  Start(R"({"cameras":[{"capture":{"delay_ms":0,"format_variant":1536}}]})");
  const int32_t h = OpenUsb();
  ASSERT_EQ(Control(R"({"cmd":"press_shutter","camera":0})"), 0);
  EXPECT_EQ(Read(h).format, 0x601u);
  EXPECT_EQ(Read(h).format, 0x607u);
}

TEST_F(SimCaptureTest, LargeRawIsProducedQuickly) {
  Start(R"({"cameras":[{"capture":{"delay_ms":0,"format":"raw","raw_bytes":50000000}}]})");
  const int32_t h = OpenUsb();
  ASSERT_EQ(api_->ZEPK_Release(h, 0x104, 0, 0), 0);
  Image raw;
  raw.bytes.resize(Info(h).size);
  ASSERT_EQ(raw.bytes.size(), 50000000u);
  const int64_t start = NowMs();
  ASSERT_EQ(api_->ZEPK_ReadImage(h, raw.bytes.data(), uint32_t(raw.bytes.size())), 0);
  EXPECT_LT(NowMs() - start, 500);
  EXPECT_EQ(memcmp(raw.bytes.data(), "QRAW", 4), 0);
  EXPECT_TRUE(std::any_of(raw.bytes.end() - 4096, raw.bytes.end(), [](uint8_t b) {
    return b != 0;
  })) << "the payload is filled to its end";
}

}  // namespace
}  // namespace brelon::test
