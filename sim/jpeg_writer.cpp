// Baseline JPEG encoding: segment layout (SOI, APP1, COM padding, DQT, SOF0, DHT, SOS, EOI)
// and Huffman coding of each block's DC difference followed by an end-of-block code.
#include "jpeg_writer.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace zepasim {
namespace {

constexpr int kBlock = 8;
constexpr int kCoefficients = 64;
constexpr int kComponents = 3;
constexpr int kHuffmanCounts = 16;
constexpr uint8_t kMarker = 0xFF;
constexpr uint8_t kSoi = 0xD8, kEoi = 0xD9, kApp1 = 0xE1, kCom = 0xFE, kDqt = 0xDB, kSof0 = 0xC0,
                  kDht = 0xC4, kSos = 0xDA;
constexpr size_t kSegmentHeader = 4;          // marker and length
constexpr size_t kMaxSegmentPayload = 65533;  // the 16-bit length counts itself
constexpr int kLevelShift = 128;
constexpr int kDcScale = 8;  // the DC term of a flat block is 8 times its level-shifted value

// Annex K tables, natural order.
constexpr std::array<uint8_t, kCoefficients> kLumaQuant = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr std::array<uint8_t, kCoefficients> kChromaQuant = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
constexpr std::array<uint8_t, kCoefficients> kZigzagToNatural = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

struct HuffmanTable {
  uint8_t classAndId;
  std::array<uint8_t, kHuffmanCounts> counts;
  std::vector<uint8_t> symbols;
};

const HuffmanTable kLumaDc{
    0x00, {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}};
const HuffmanTable kChromaDc{
    0x01, {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}};
const HuffmanTable kLumaAc{
    0x10,
    {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d},
    {0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
     0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
     0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
     0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
     0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
     0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
     0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
     0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
     0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
     0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
     0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa}};
const HuffmanTable kChromaAc{
    0x11,
    {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77},
    {0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
     0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
     0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
     0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
     0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
     0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
     0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
     0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
     0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
     0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
     0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa}};

struct Code {
  uint16_t bits = 0;
  uint8_t length = 0;
};

// Canonical code assignment (JPEG Annex C).
std::array<Code, 256> BuildCodes(const HuffmanTable& table) {
  std::array<Code, 256> codes{};
  uint16_t code = 0;
  size_t next = 0;
  for (int length = 1; length <= kHuffmanCounts; ++length) {
    for (int i = 0; i < table.counts[length - 1]; ++i) {
      codes[table.symbols[next++]] = {code, static_cast<uint8_t>(length)};
      ++code;
    }
    code <<= 1;
  }
  return codes;
}

class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}
  void Put(uint32_t bits, int length) {
    for (int i = length - 1; i >= 0; --i) {
      byte_ = static_cast<uint8_t>((byte_ << 1) | ((bits >> i) & 1u));
      if (++filled_ == 8) Emit();
    }
  }
  // Pads the last byte with one-bits, as the standard asks.
  void Flush() {
    while (filled_ != 0) Put(1, 1);
  }

 private:
  void Emit() {
    out_.push_back(byte_);
    if (byte_ == kMarker) out_.push_back(0x00);  // byte stuffing inside entropy-coded data
    byte_ = 0;
    filled_ = 0;
  }
  std::vector<uint8_t>& out_;
  uint8_t byte_ = 0;
  int filled_ = 0;
};

void PutU16(std::vector<uint8_t>& out, size_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

void PutSegment(std::vector<uint8_t>& out, uint8_t marker, const std::vector<uint8_t>& payload) {
  out.push_back(kMarker);
  out.push_back(marker);
  PutU16(out, payload.size() + 2);
  out.insert(out.end(), payload.begin(), payload.end());
}

std::vector<uint8_t> QuantPayload() {
  std::vector<uint8_t> payload;
  const std::array<uint8_t, kCoefficients>* tables[] = {&kLumaQuant, &kChromaQuant};
  for (uint8_t id = 0; id < 2; ++id) {
    payload.push_back(id);  // 8-bit precision, table id
    for (int k = 0; k < kCoefficients; ++k) payload.push_back((*tables[id])[kZigzagToNatural[k]]);
  }
  return payload;
}

std::vector<uint8_t> HuffmanPayload() {
  std::vector<uint8_t> payload;
  for (const HuffmanTable* table : {&kLumaDc, &kLumaAc, &kChromaDc, &kChromaAc}) {
    payload.push_back(table->classAndId);
    payload.insert(payload.end(), table->counts.begin(), table->counts.end());
    payload.insert(payload.end(), table->symbols.begin(), table->symbols.end());
  }
  return payload;
}

int Category(int value) {
  int magnitude = value < 0 ? -value : value;
  int bits = 0;
  while (magnitude) {
    ++bits;
    magnitude >>= 1;
  }
  return bits;
}

// One flat colour per block: a gradient whose hue the seed turns.
std::array<int, kComponents> BlockYCbCr(int bx, int by, int blocksX, int blocksY, uint32_t seed) {
  const double u = blocksX > 1 ? static_cast<double>(bx) / (blocksX - 1) : 0.0;
  const double v = blocksY > 1 ? static_cast<double>(by) / (blocksY - 1) : 0.0;
  const double turn = (seed % 360u) / 360.0;
  const double r = 255.0 * std::fmod(u + turn, 1.0);
  const double g = 255.0 * v;
  const double b = 255.0 * (1.0 - 0.5 * (u + v));
  const double y = 0.299 * r + 0.587 * g + 0.114 * b;
  const double cb = 128.0 - 0.168736 * r - 0.331264 * g + 0.5 * b;
  const double cr = 128.0 + 0.5 * r - 0.418688 * g - 0.081312 * b;
  auto clamp = [](double x) { return static_cast<int>(std::lround(std::clamp(x, 0.0, 255.0))); };
  return {clamp(y), clamp(cb), clamp(cr)};
}

std::vector<uint8_t> ScanData(int width, int height, uint32_t seed) {
  static const std::array<Code, 256> kDcCodes[2] = {BuildCodes(kLumaDc), BuildCodes(kChromaDc)};
  static const std::array<Code, 256> kAcCodes[2] = {BuildCodes(kLumaAc), BuildCodes(kChromaAc)};
  constexpr uint8_t kEndOfBlock = 0x00;
  std::vector<uint8_t> out;
  BitWriter writer(out);
  const int blocksX = width / kBlock, blocksY = height / kBlock;
  int previous[kComponents] = {0, 0, 0};
  for (int by = 0; by < blocksY; ++by) {
    for (int bx = 0; bx < blocksX; ++bx) {
      const auto levels = BlockYCbCr(bx, by, blocksX, blocksY, seed);
      for (int c = 0; c < kComponents; ++c) {
        const int table = c == 0 ? 0 : 1;
        const int quant = table == 0 ? kLumaQuant[0] : kChromaQuant[0];
        const int dc = static_cast<int>(
            std::lround(static_cast<double>(kDcScale * (levels[c] - kLevelShift)) / quant));
        const int diff = dc - previous[c];
        previous[c] = dc;
        const int category = Category(diff);
        const Code& code = kDcCodes[table][category];
        writer.Put(code.bits, code.length);
        if (category) {
          const int extra = diff >= 0 ? diff : diff + (1 << category) - 1;
          writer.Put(static_cast<uint32_t>(extra), category);
        }
        const Code& eob = kAcCodes[table][kEndOfBlock];
        writer.Put(eob.bits, eob.length);
      }
    }
  }
  writer.Flush();
  return out;
}

// Writes the padding in place: a frame of megabytes is then written once, without temporaries
// that would push the camera's other frames out of the cache.
void PadWithComments(std::vector<uint8_t>& out, size_t bytes) {
  constexpr uint8_t kFill = ' ';
  while (bytes >= kSegmentHeader) {
    size_t take = std::min(bytes, kMaxSegmentPayload + kSegmentHeader);
    const size_t rest = bytes - take;
    if (rest > 0 && rest < kSegmentHeader) take -= kSegmentHeader;  // keep room for a last one
    const size_t payload = take - kSegmentHeader;
    out.push_back(kMarker);
    out.push_back(kCom);
    PutU16(out, payload + 2);
    out.insert(out.end(), payload, kFill);
    bytes -= take;
  }
}

}  // namespace

std::vector<uint8_t> EncodeJpeg(const JpegRequest& request) {
  std::vector<uint8_t> head{kMarker, kSoi};
  if (!request.app1.empty()) PutSegment(head, kApp1, request.app1);

  std::vector<uint8_t> tail;
  PutSegment(tail, kDqt, QuantPayload());
  std::vector<uint8_t> frame{8};  // sample precision
  PutU16(frame, static_cast<size_t>(request.height));
  PutU16(frame, static_cast<size_t>(request.width));
  frame.push_back(kComponents);
  for (uint8_t c = 1; c <= kComponents; ++c) {
    frame.insert(frame.end(), {c, 0x11, static_cast<uint8_t>(c == 1 ? 0 : 1)});
  }
  PutSegment(tail, kSof0, frame);
  PutSegment(tail, kDht, HuffmanPayload());
  const std::vector<uint8_t> scanHeader{kComponents, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0};
  PutSegment(tail, kSos, scanHeader);
  const std::vector<uint8_t> scan = ScanData(request.width, request.height, request.seed);
  tail.insert(tail.end(), scan.begin(), scan.end());
  tail.push_back(kMarker);
  tail.push_back(kEoi);

  const size_t natural = head.size() + tail.size();
  head.reserve(std::max(natural, request.padTo));
  if (request.padTo > natural) PadWithComments(head, request.padTo - natural);
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

}  // namespace zepasim
