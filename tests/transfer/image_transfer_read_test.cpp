// ReadImage against the simulated camera: every capture format delivered byte for byte with its
// names, metadata faults, the transfer settings and their warnings, preview parking without
// heap allocation, the image wait, a camera lost mid-transfer, and the closing steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "base/context.h"
#include "brelon/brelon.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "sdk/loader.h"
#include "settings/test_registry.h"
#include "sim/sim_test_util.h"
#include "support/connected_context.h"
#include "transfer/image_transfer.h"

// Heap allocations made by the test thread while counting is on. Every form is replaced, since
// sanitizer runtimes intercept each one and a mixed pair is reported as a mismatch.
namespace {
thread_local bool tCountAllocations = false;
std::atomic<int> gAllocations{0};

void* CountedAlloc(size_t size) {
  if (tCountAllocations) ++gAllocations;
  return std::malloc(size ? size : 1);
}
}  // namespace

[[gnu::noinline]] void* operator new(size_t size) {
  if (void* p = CountedAlloc(size)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void* operator new[](size_t size) {
  if (void* p = CountedAlloc(size)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return CountedAlloc(size);
}
[[gnu::noinline]] void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return CountedAlloc(size);
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, size_t) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p, size_t) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}

namespace brelon {
namespace {

using test::EmbeddedJpeg;
using test::NoteFrame;
using test::NotePath;
using test::ReadExif;

constexpr uint32_t kTimeScale = 10;
constexpr int kWaitMs = 10000;
constexpr size_t kNameUnits = 261;

// Allocations inside the SDK and the host callback are theirs, not the plug-in's: these
// stand-ins pause the count around them.
struct CountingPaused {
  bool saved = tCountAllocations;
  CountingPaused() { tCountAllocations = false; }
  ~CountingPaused() { tCountAllocations = saved; }
};
ZEPK_ReadImageInfoFn gReadImageInfo;
ZEPK_ReadImageFn gReadImage;
ZEPK_GetPriorityModeFn gGetPriorityMode;
ZEPK_GetBufferCapacityFn gGetBufferCapacity;
HostEventCallback gCallback;
int32_t BRELON_CDECL PausedReadImageInfo(int32_t camera, ZepkImageInfo* info) {
  CountingPaused paused;
  return gReadImageInfo(camera, info);
}
int32_t BRELON_CDECL PausedReadImage(int32_t camera, void* buffer, uint32_t capacity) {
  CountingPaused paused;
  return gReadImage(camera, buffer, capacity);
}
int32_t BRELON_CDECL PausedGetPriorityMode(int32_t camera, int32_t* mode) {
  CountingPaused paused;
  return gGetPriorityMode(camera, mode);
}
int32_t BRELON_CDECL PausedGetBufferCapacity(int32_t camera, int32_t* a, int32_t* b) {
  CountingPaused paused;
  return gGetBufferCapacity(camera, a, b);
}
int32_t BRELON_CDECL PausedCallback(int32_t camera, int32_t event, void* data) {
  CountingPaused paused;
  return gCallback(camera, event, data);
}

std::string Config(const std::string& capture, const std::string& camera = "") {
  return R"({"cameras":[{)" + camera + (camera.empty() ? "" : ",") + R"("capture":{"delay_ms":0)" +
         (capture.empty() ? "" : ",") + capture + "}}]}";
}

std::u16string Name(uint32_t frame, bool raw) {
  char16_t name[16];
  FormatImageFileName(frame, raw, name);
  return name;
}

std::u16string Widen(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

// What the host got for one pending image: its query and read results and outputs.
struct Fetched {
  int32_t query = 99;
  int32_t read = 99;
  uint32_t size = 0;      // from the query
  uint32_t readSize = 0;  // *size after the read
  uint8_t isRaw = 0xEE;
  int32_t variant = -1;
  std::vector<uint8_t> bytes;
  std::u16string name, cameraFile, cameraFolder;
};

// The files the simulator makes for one shot, read straight from its SDK without the plug-in.
std::vector<test::Image> DirectShot(const std::string& config, uint32_t frame) {
  test::SimSession session(config);
  test::SdkApi api(session);
  std::vector<test::Image> images;
  int32_t count = 0, camera = 0, mode = 0;
  if (api.ZEPK_Init(nullptr) != 0 || api.ZEPK_Detect(ZEPASIM_IF_USB, nullptr, nullptr, &count) ||
      api.ZEPK_OpenEx("ENUM:0", &camera, &mode, nullptr)) {
    return images;
  }
  session.Control(R"({"cmd":"set","camera":0,"key":"frame_number","value":)" +
                  std::to_string(frame) + "}");
  api.ZEPK_Release(camera, kReleaseHalfPressTimed, 0, 0);
  const int64_t deadline = test::NowMs() + kWaitMs;
  while (session.Control(R"({"cmd":"stats","camera":0,"what":"queued"})") >
             session.Control(R"({"cmd":"pending","camera":0})") &&
         test::NowMs() < deadline) {
    test::SleepMs(2);
  }
  while (session.Control(R"({"cmd":"pending","camera":0})") > 0) {
    ZepkImageInfo info{};
    api.ZEPK_ReadImageInfo(camera, &info);
    test::Image image{info.format, std::vector<uint8_t>(info.size)};
    api.ZEPK_ReadImage(camera, image.bytes.data(), info.size);
    images.push_back(std::move(image));
  }
  api.ZEPK_Exit();
  return images;
}

class ReadImageOnSimCamera : public ::testing::Test {
 protected:
  void SetUp() override {
    profile_ = test::UseFreshProfile("transfer");
    plat::SetTimeScale(kTimeScale);
  }
  void TearDown() override {
    camera_.reset();
    plat::SetTimeScale(1);
  }

  void Connect(const std::string& config) {
    camera_ = std::make_unique<test::ConnectedContext>(config);
    ASSERT_TRUE(camera_->Connected()) << "no camera connection";
  }
  PluginContext* Ctx() { return camera_->Context(); }
  test::SimSession& Sim() { return camera_->Sim(); }
  int Pending() { return Sim().Control(R"({"cmd":"pending","camera":0})"); }
  int Queued() { return Sim().Control(R"({"cmd":"stats","camera":0,"what":"queued"})"); }
  size_t EventCount(int32_t code) {
    size_t n = 0;
    for (int32_t event : camera_->Events()) n += event == code;
    return n;
  }

  // Fires the shutter and waits until all files of the shot are ready in the camera.
  void ShootAndWait() {
    ASSERT_EQ(Shoot(camera_->Handle()), BRELON_OK);
    const int64_t deadline = test::NowMs() + kWaitMs;
    while (Queued() > Pending() && test::NowMs() < deadline) test::SleepMs(2);
    ASSERT_EQ(Queued(), Pending()) << "the shot never reached the buffer";
  }

  int32_t Query(uint32_t* size, uint8_t* isRaw = nullptr, int32_t* variant = nullptr) {
    return ReadImage(camera_->Handle(), nullptr, size, isRaw, variant, nullptr, nullptr, nullptr);
  }

  // One query call and, when it reports an image, one read call into a buffer of
  // `readCapacity` bytes (0: the reported size). Name outputs start as "unset".
  Fetched Fetch(uint32_t readCapacity = 0) {
    Fetched f;
    f.query = Query(&f.size, &f.isRaw, &f.variant);
    if (f.query != BRELON_OK || f.size == 0) return f;
    f.readSize = readCapacity ? readCapacity : f.size;
    f.bytes.assign(f.readSize, 0);
    char16_t name[kNameUnits] = u"unset", file[kNameUnits] = u"unset",
             folder[kNameUnits] = u"unset";
    f.read = ReadImage(camera_->Handle(), f.bytes.data(), &f.readSize, &f.isRaw, &f.variant, name,
                       file, folder);
    f.name = name;
    f.cameraFile = file;
    f.cameraFolder = folder;
    return f;
  }

  // Query and read pairs until the camera holds nothing more.
  std::vector<Fetched> FetchAll() {
    std::vector<Fetched> all;
    for (int guard = 0; Pending() > 0 && guard < 16; ++guard) all.push_back(Fetch());
    return all;
  }

  void SetTransfer(bool jpeg, bool raw) {
    _BRELON_PROPERTY property{};
    ReadProperty(&property);
    property.TransferJPEG = jpeg;
    property.TransferRAW = raw;
    WriteProperty(&property);
  }

  test::Profile profile_;
  std::unique_ptr<test::ConnectedContext> camera_;
};

// ---- Every format, byte for byte --------------------------------------------------------------

struct FormatCase {
  const char* format;
  uint32_t variantCode;
  int32_t variant;
  std::vector<bool> kinds;  // raw? per file, in delivery order
};

class ReadImageFormats : public ReadImageOnSimCamera,
                         public ::testing::WithParamInterface<FormatCase> {};

TEST_P(ReadImageFormats, ShotIsDeliveredWholeWithFileAndCameraNames) {
  const FormatCase& c = GetParam();
  const std::string config =
      Config(std::string(R"("format":")") + c.format + R"(","raw_bytes":300000,"format_variant":)" +
             std::to_string(c.variantCode));
  const uint32_t frame = 77;
  const std::vector<test::Image> expected = DirectShot(config, frame);
  ASSERT_EQ(expected.size(), c.kinds.size());

  Connect(config);
  Sim().Control(R"({"cmd":"set","camera":0,"key":"frame_number","value":77})");
  ShootAndWait();
  const std::vector<Fetched> got = FetchAll();
  ASSERT_EQ(got.size(), c.kinds.size());
  for (size_t i = 0; i < got.size(); ++i) {
    const Fetched& f = got[i];
    const bool raw = c.kinds[i];
    SCOPED_TRACE(testing::Message() << "file " << i);
    EXPECT_EQ(f.query, BRELON_OK);
    EXPECT_EQ(f.read, BRELON_OK);
    EXPECT_EQ(f.isRaw, raw ? 1 : 0);
    EXPECT_EQ(f.variant, c.variant);
    EXPECT_EQ(f.size, expected[i].bytes.size());
    EXPECT_EQ(f.readSize, f.size);
    EXPECT_TRUE(f.bytes == expected[i].bytes) << "delivered bytes differ from the camera's";

    const std::vector<uint8_t> jpeg = raw ? EmbeddedJpeg(f.bytes) : f.bytes;
    const test::ExifView exif = ReadExif(jpeg);
    ASSERT_TRUE(exif.found);
    EXPECT_EQ(NoteFrame(exif), frame);
    EXPECT_EQ(f.name, Name(NoteFrame(exif), raw));
    EXPECT_EQ(f.cameraFile, raw ? u"ORV_0077.QRW" : u"ORV_0077.JPG");
    EXPECT_EQ(f.cameraFolder, u"100ORVTS");
    EXPECT_EQ(Widen(NotePath(exif)), u"A:\\DCIM\\100ORVTS\\" + f.cameraFile + u'\0');
  }
  EXPECT_EQ(camera_->LogLines("|  brnReadImage:m_pfnReadImage result=[0]").size(), got.size());
}

INSTANTIATE_TEST_SUITE_P(EveryCaptureFormat, ReadImageFormats,
                         ::testing::Values(FormatCase{"jpeg", 0x000, 0, {false}},
                                           FormatCase{"raw", 0x300, 2, {true}},
                                           FormatCase{"raw+jpeg", 0x800, 3, {true, false}},
                                           FormatCase{"raw+jpeg", 0x600, 1, {true, false}}),
                         [](const ::testing::TestParamInfo<FormatCase>& info) {
                           std::string name = info.param.format;
                           std::replace(name.begin(), name.end(), '+', '_');
                           return name + "_variant" + std::to_string(info.param.variant);
                         });

TEST_F(ReadImageOnSimCamera, SerialTagOrBlankCameraPathLeavesCameraNamesUntouched) {
  for (bool serialTag : {true, false}) {
    SCOPED_TRACE(serialTag ? "serial tag" : "blank camera path");
    camera_.reset();
    Connect(Config(serialTag ? R"("format":"jpeg")" : R"("format":"jpeg","camera_path":"   ")"));
    Ctx()->lUseSerialTag = serialTag ? 1 : 0;
    ShootAndWait();
    const Fetched f = Fetch();
    EXPECT_EQ(f.read, BRELON_OK);
    EXPECT_EQ(f.name, u"00000001.JPG");
    EXPECT_EQ(f.cameraFile, u"unset");
    EXPECT_EQ(f.cameraFolder, u"unset");
  }
}

TEST_F(ReadImageOnSimCamera, LargerBufferReadsTheImageAndSmallerOneFailsWithoutLosingIt) {
  Connect(Config(R"("format":"jpeg")"));
  ShootAndWait();
  uint32_t size = 0;
  Query(&size);
  ASSERT_GT(size, 0u);

  Fetched small = Fetch(size - 1);
  EXPECT_EQ(small.read, BRELON_E_IMAGE_DATA);
  EXPECT_EQ(small.name, u"unset") << "no name output after a failed SDK read";
  EXPECT_EQ(camera_->LogLines("|  brnReadImage:m_pfnReadImage result=[-1]").size(), 1u);
  EXPECT_EQ(Pending(), 1);

  uint8_t isRaw = 0;
  std::vector<uint8_t> buffer(size);
  EXPECT_EQ(ReadImage(camera_->Handle(), buffer.data(), nullptr, &isRaw, nullptr, nullptr, nullptr,
                      nullptr),
            BRELON_E_IMAGE_DATA);
  EXPECT_EQ(Pending(), 1) << "a read without capacity leaves the image in the camera";

  Fetched large = Fetch(size + 4096);
  EXPECT_EQ(large.read, BRELON_OK);
  EXPECT_EQ(large.name, u"00000001.JPG");
  EXPECT_EQ(large.readSize, size + 4096);
  EXPECT_EQ(Pending(), 0);
}

// The SDK is made to report success without writing, so the buffer holds what the test put in.
TEST_F(ReadImageOnSimCamera, BufferContentsDecideBetweenNoNameAndMinusSix) {
  Connect(Config(R"("format":"raw+jpeg","raw_bytes":4096)"));
  ShootAndWait();
  uint32_t rawSize = 0;
  uint8_t isRaw = 0;
  ASSERT_EQ(Query(&rawSize, &isRaw), BRELON_OK);
  ASSERT_EQ(isRaw, 1);
  std::vector<uint8_t> raw(rawSize);
  ASSERT_EQ(test::SdkApi(Sim()).ZEPK_ReadImage(Ctx()->hCamera, raw.data(), rawSize), 0);
  uint32_t jpegSize = 0;
  ASSERT_EQ(Query(&jpegSize, &isRaw), BRELON_OK);
  std::vector<uint8_t> jpeg(jpegSize);
  ASSERT_EQ(test::SdkApi(Sim()).ZEPK_ReadImage(Ctx()->hCamera, jpeg.data(), jpegSize), 0);

  std::vector<uint8_t> pastEnd = raw;
  pastEnd[84] = static_cast<uint8_t>(rawSize >> 24);  // offset: the end of the data
  pastEnd[85] = static_cast<uint8_t>(rawSize >> 16);
  pastEnd[86] = static_cast<uint8_t>(rawSize >> 8);
  pastEnd[87] = static_cast<uint8_t>(rawSize);
  std::vector<uint8_t> brokenNote = jpeg;  // the note's IFD offset points far outside it
  const uint8_t noteHeader[] = {'O', 'R', 'V', 'A', 'N', 'T', 'I', 'S', 12, 0, 0, 0};
  auto at = std::search(brokenNote.begin(), brokenNote.end(), std::begin(noteHeader),
                        std::end(noteHeader));
  ASSERT_NE(at, brokenNote.end());
  at[8] = at[9] = at[10] = 0x7F;
  std::vector<uint8_t> notJpeg(jpegSize, 0x5A);

  struct Case {
    const char* what;
    const std::vector<uint8_t>& data;
    uint8_t isRaw;
    int32_t result;
    std::u16string name;
  } const cases[] = {
      {"genuine raw", raw, 1, BRELON_OK, u"00000001.QRW"},
      {"raw header past the end", pastEnd, 1, BRELON_OK, u""},
      {"maker note unusable", brokenNote, 0, BRELON_E_IMAGE_DATA, u""},
      {"not a JPEG", notJpeg, 0, BRELON_OK, u""},
      {"raw read as JPEG", raw, 0, BRELON_OK, u""},
  };
  for (const Case& c : cases) {
    Sim().Control(R"({"cmd":"fault","fn":"ZEPK_ReadImage","nth":1,"count":-1,"result":0})");
    std::vector<uint8_t> buffer = c.data;
    uint32_t size = static_cast<uint32_t>(buffer.size());
    uint8_t kind = c.isRaw;
    char16_t name[kNameUnits] = u"unset", file[kNameUnits] = u"unset",
             folder[kNameUnits] = u"unset";
    EXPECT_EQ(
        ReadImage(camera_->Handle(), buffer.data(), &size, &kind, nullptr, name, file, folder),
        c.result)
        << c.what;
    EXPECT_EQ(std::u16string(name), c.name) << c.what;
    if (c.name.empty()) {
      EXPECT_EQ(std::u16string(file), u"unset") << c.what;
    }
    EXPECT_TRUE(buffer == c.data) << c.what << ": the host's buffer is only read";
    Sim().Control(R"({"cmd":"clear_faults"})");
  }
}

// ---- Transfer settings ------------------------------------------------------------------------

TEST_F(ReadImageOnSimCamera, UntransferredJpegsAreDeletedAndWarnedFromTheSecondOn) {
  SetTransfer(false, true);
  Connect(Config(R"("format":"jpeg")"));
  for (int shot = 1; shot <= 3; ++shot) {
    SCOPED_TRACE(testing::Message() << "shot " << shot);
    ShootAndWait();
    const size_t capacityEvents = EventCount(BRELON_EV_CAPACITY);
    uint32_t size = 0;
    EXPECT_EQ(Query(&size), BRELON_E_IMAGE_DELETED);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(Pending(), 0) << "deleted in the camera";
    EXPECT_EQ(Ctx()->lJpegDiscardCount, shot < 2 ? shot : 2);
    EXPECT_EQ(EventCount(BRELON_EV_DISCARD_WARNING), shot < 2 ? 0u : size_t(shot - 1));
    EXPECT_EQ(EventCount(BRELON_EV_CAPACITY), capacityEvents + 2) << "before and after";
  }
  EXPECT_EQ(Sim().Calls("ZEPK_DeleteImage").size(), 3u);

  SetTransfer(true, true);
  ShootAndWait();
  const Fetched f = Fetch();
  EXPECT_EQ(f.query, BRELON_OK);
  EXPECT_EQ(f.read, BRELON_OK);
  EXPECT_EQ(f.name, u"00000004.JPG");
  EXPECT_EQ(Ctx()->lJpegDiscardCount, 0);
  EXPECT_EQ(EventCount(BRELON_EV_DISCARD_WARNING_OVER), 1u);
}

TEST_F(ReadImageOnSimCamera, RawPlusJpegWithOnlyJpegTransferredNeverWarns) {
  SetTransfer(true, false);
  Connect(Config(R"("format":"raw+jpeg")"));
  for (uint32_t shot = 1; shot <= 3; ++shot) {
    ShootAndWait();
    uint32_t size = 0;
    uint8_t isRaw = 0;
    EXPECT_EQ(Query(&size, &isRaw), BRELON_E_IMAGE_DELETED);
    EXPECT_EQ(isRaw, 1);
    const Fetched jpeg = Fetch();
    EXPECT_EQ(jpeg.read, BRELON_OK);
    EXPECT_EQ(jpeg.name, Name(shot, false));
    EXPECT_EQ(Ctx()->lRawDiscardCount, 0);
  }
  EXPECT_EQ(EventCount(BRELON_EV_DISCARD_WARNING), 0u);
  EXPECT_EQ(EventCount(BRELON_EV_DISCARD_WARNING_OVER), 0u);
}

// ---- Preview frames ---------------------------------------------------------------------------

TEST_F(ReadImageOnSimCamera, PreviewBurstFillsTheSlotsWithoutHeapAllocation) {
  Connect(Config(R"("format":"jpeg")"));
  {  // The count must see the allocations it is meant to catch.
    tCountAllocations = true;
    delete new int(1);
    tCountAllocations = false;
    ASSERT_EQ(gAllocations.exchange(0), 1);
  }
  CTavelSDK& sdk = *Ctx()->pSdk;
  for (int32_t first : {0, 1}) {
    SCOPED_TRACE(testing::Message() << "lPreviewIndex " << first);
    Ctx()->lPreviewIndex = first;
    Ctx()->lPreviewSize[0] = Ctx()->lPreviewSize[1] = 0;
    // Frames of three sizes, so that each slot tells which frame it holds.
    for (int bytes : {4000, 5000, 6000}) {
      Sim().Control(R"({"cmd":"set","camera":0,"key":"preview_bytes","value":)" +
                    std::to_string(bytes) + "}");
      Sim().Control(R"({"cmd":"preview","camera":0,"frames":1})");
    }
    const size_t previewEvents = EventCount(BRELON_EV_PREVIEW);
    gReadImageInfo = std::exchange(sdk.m_pfnReadImageInfo, PausedReadImageInfo);
    gReadImage = std::exchange(sdk.m_pfnReadImage, PausedReadImage);
    gGetPriorityMode = std::exchange(sdk.m_pfnGetPriorityMode, PausedGetPriorityMode);
    gGetBufferCapacity = std::exchange(sdk.m_pfnGetBufferCapacity, PausedGetBufferCapacity);
    gCallback = std::exchange(Ctx()->pfnCallback, PausedCallback);
    int32_t results[3] = {};
    uint32_t sizes[3] = {1, 1, 1};
    tCountAllocations = true;
    for (int i = 0; i < 3; ++i) results[i] = Query(&sizes[i]);
    tCountAllocations = false;
    sdk.m_pfnReadImageInfo = gReadImageInfo;
    sdk.m_pfnReadImage = gReadImage;
    sdk.m_pfnGetPriorityMode = gGetPriorityMode;
    sdk.m_pfnGetBufferCapacity = gGetBufferCapacity;
    Ctx()->pfnCallback = gCallback;

    EXPECT_EQ(gAllocations.exchange(0), 0);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(results[i], BRELON_OK);
      EXPECT_EQ(sizes[i], 0u);
    }
    EXPECT_EQ(EventCount(BRELON_EV_PREVIEW), previewEvents + 3);
    EXPECT_EQ(Ctx()->lPreviewIndex, first) << "only TakePreview moves the index";
    EXPECT_EQ(Ctx()->lPreviewSize[first], 4000);
    EXPECT_EQ(Ctx()->lPreviewSize[1 - first], 6000) << "the third frame replaced the second";
    for (int slot : {0, 1}) {
      EXPECT_EQ(Ctx()->PreviewBuffer[slot][0], 0xFF);
      EXPECT_EQ(Ctx()->PreviewBuffer[slot][1], 0xD8);
    }
  }
}

TEST_F(ReadImageOnSimCamera, PreviewWithoutCallbackStaysInTheCamera) {
  Connect(Config(R"("format":"jpeg")"));
  Sim().Control(R"({"cmd":"preview","camera":0,"frames":1})");
  const HostEventCallback callback = std::exchange(Ctx()->pfnCallback, nullptr);
  uint32_t size = 1;
  EXPECT_EQ(Query(&size), BRELON_OK);
  Ctx()->pfnCallback = callback;
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(Pending(), 1);
  EXPECT_EQ(Ctx()->lPreviewSize[0] + Ctx()->lPreviewSize[1], 0);
  EXPECT_TRUE(Sim().Calls("ZEPK_ReadImage").empty());
}

TEST_F(ReadImageOnSimCamera, OversizedPreviewFrameLeavesTheSlotsEmptyAndNeverBlocksTheShot) {
  Connect(Config(R"("format":"jpeg")"));
  Sim().Control(R"({"cmd":"set","camera":0,"key":"preview_bytes","value":1048577})");
  Sim().Control(R"({"cmd":"preview","camera":0,"frames":1})");
  ShootAndWait();
  const size_t previewEvents = EventCount(BRELON_EV_PREVIEW);
  uint32_t size = 1;
  EXPECT_EQ(Query(&size), BRELON_OK);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(Ctx()->lPreviewSize[0] + Ctx()->lPreviewSize[1], 0);
  EXPECT_EQ(EventCount(BRELON_EV_PREVIEW), previewEvents + 1);
  const std::vector<Fetched> files = FetchAll();
  ASSERT_EQ(files.size(), 1u) << "the picture behind the frame is the next item";
  EXPECT_EQ(files[0].read, BRELON_OK);
  EXPECT_EQ(files[0].name, u"00000001.JPG");
}

// ---- Image wait, lost camera, no context --------------------------------------------------------

TEST_F(ReadImageOnSimCamera, ImageWaitWithholdsBothFilesOfTheShotAndSignals) {
  Connect(Config(R"("format":"raw+jpeg")"));
  Ctx()->lImageWait = 1;  // as the interface object arms it
  plat::EventReset(Ctx()->hImageWaitEvent);
  ShootAndWait();

  const Fetched raw = Fetch();
  EXPECT_EQ(raw.read, BRELON_E_SDK);
  EXPECT_EQ(raw.readSize, 0u);
  EXPECT_EQ(plat::EventWait(Ctx()->hImageWaitEvent, 0), plat::WaitResult::kSignalled);
  EXPECT_EQ(Ctx()->lImageWait, 0);
  EXPECT_EQ(Ctx()->lWaitFrameNumber, 1);
  const Fetched jpeg = Fetch();
  EXPECT_EQ(jpeg.read, BRELON_E_SDK);
  EXPECT_EQ(jpeg.readSize, 0u);
  EXPECT_EQ(Ctx()->lWaitFrameNumber, 0);

  ShootAndWait();
  for (const Fetched& f : FetchAll()) {
    EXPECT_EQ(f.read, BRELON_OK);
    EXPECT_EQ(f.readSize, f.size);
    EXPECT_EQ(f.name, Name(2, f.isRaw != 0));
  }
}

TEST_F(ReadImageOnSimCamera, CameraLostBetweenQueryAndReadFailsCleanlyAndRecovers) {
  Connect(Config(R"("format":"jpeg")"));
  ShootAndWait();
  uint32_t size = 0;
  ASSERT_EQ(Query(&size), BRELON_OK);
  Sim().Control(R"({"cmd":"unplug","camera":0})");
  std::vector<uint8_t> buffer(size);
  uint8_t isRaw = 0;
  char16_t name[kNameUnits] = u"unset";
  const int32_t lost =
      ReadImage(camera_->Handle(), buffer.data(), &size, &isRaw, nullptr, name, nullptr, nullptr);
  EXPECT_TRUE(lost == BRELON_E_IMAGE_DATA || lost == BRELON_E_SDK) << lost;
  EXPECT_EQ(std::u16string(name), u"unset");

  const int64_t deadline = test::NowMs() + kWaitMs;
  while (EventCount(BRELON_EV_DISCONNECTED) == 0 && test::NowMs() < deadline) test::SleepMs(5);
  ASSERT_EQ(EventCount(BRELON_EV_DISCONNECTED), 1u);
  EXPECT_EQ(Query(&size), BRELON_E_SDK);
  Sim().Control(R"({"cmd":"plug","camera":0})");
  while (EventCount(BRELON_EV_CONNECTED) < 2 && test::NowMs() < deadline) test::SleepMs(5);
  ASSERT_EQ(EventCount(BRELON_EV_CONNECTED), 2u);

  ShootAndWait();
  const std::vector<Fetched> after = FetchAll();
  ASSERT_FALSE(after.empty());
  for (const Fetched& f : after) EXPECT_EQ(f.read, BRELON_OK);
  EXPECT_EQ(after.back().name, u"00000002.JPG");
}

TEST_F(ReadImageOnSimCamera, WithoutContextOrConnectionNothingReachesTheCamera) {
  uint32_t size = 7;
  EXPECT_EQ(ReadImage(nullptr, nullptr, &size, nullptr, nullptr, nullptr, nullptr, nullptr),
            BRELON_E_NO_CONTEXT);
  void* none = nullptr;
  EXPECT_EQ(ReadImage(&none, nullptr, &size, nullptr, nullptr, nullptr, nullptr, nullptr),
            BRELON_E_NO_CONTEXT);

  camera_ = std::make_unique<test::ConnectedContext>(R"({"cameras":[]})", 300);
  ASSERT_EQ(camera_->InitResult(), BRELON_OK);
  EXPECT_EQ(Query(&size), BRELON_E_SDK);
  EXPECT_EQ(size, 7u);
  EXPECT_TRUE(Sim().Calls("ZEPK_ReadImageInfo").empty());
  EXPECT_TRUE(Sim().Calls("ZEPK_GetPriorityMode").empty());
}

// ---- Closing steps ----------------------------------------------------------------------------

TEST_F(ReadImageOnSimCamera, ClosingStepsRestorePriorityModeAndReArmMode3301Once) {
  Connect(Config(R"("format":"jpeg")"));
  Ctx()->lMode3301 = 1;
  Ctx()->lHostCount = 3;
  ShootAndWait();
  ASSERT_EQ(Ctx()->lRearm3301, 1) << "the release asks for the re-arm";
  Sim().ClearTrace();

  uint32_t size = 0;
  ASSERT_EQ(Query(&size), BRELON_OK);
  const std::vector<test::TraceCall> setPriority = Sim().Calls("ZEPK_SetPriorityMode");
  ASSERT_EQ(setPriority.size(), 1u);
  EXPECT_EQ(test::IntArg(setPriority[0], 1), 1);
  const std::vector<test::TraceCall> props = Sim().Calls("ZEPK_SetProp");
  ASSERT_EQ(props.size(), 2u);
  EXPECT_EQ(test::IntArg(props[0], 1), 0x3327);
  EXPECT_EQ(test::IntArg(props[0], 2), 1);
  EXPECT_EQ(test::IntArg(props[0], 3), 3);
  EXPECT_EQ(test::IntArg(props[1], 1), 0x3301);
  EXPECT_EQ(test::IntArg(props[1], 2), 0);
  EXPECT_EQ(Ctx()->lRearm3301, 0);
  // Two refreshes: one for the image, one for the re-arm.
  EXPECT_EQ(Sim().Calls("ZEPK_GetBufferCapacity").size(), 2u);

  Sim().ClearTrace();
  std::vector<uint8_t> buffer(size);
  uint8_t isRaw = 0;
  EXPECT_EQ(ReadImage(camera_->Handle(), buffer.data(), &size, &isRaw, nullptr, nullptr, nullptr,
                      nullptr),
            BRELON_OK);
  EXPECT_TRUE(Sim().Calls("ZEPK_SetProp").empty()) << "re-armed once only";
  EXPECT_TRUE(Sim().Calls("ZEPK_SetPriorityMode").empty());
  EXPECT_TRUE(Sim().Calls("ZEPK_GetBufferCapacity").empty()) << "no refresh while in 3301";

  Ctx()->lMode3301 = 0;
  EXPECT_EQ(Query(&size), BRELON_OK);
  EXPECT_TRUE(Sim().Calls("ZEPK_GetBufferCapacity").empty()) << "queries refresh only for images";
  EXPECT_EQ(ReadImage(camera_->Handle(), buffer.data(), &size, &isRaw, nullptr, nullptr, nullptr,
                      nullptr),
            BRELON_E_IMAGE_DATA);
  EXPECT_EQ(Sim().Calls("ZEPK_GetBufferCapacity").size(), 1u) << "every read call refreshes";
}

}  // namespace
}  // namespace brelon
