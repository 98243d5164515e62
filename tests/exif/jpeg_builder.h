// Test-side builders for small but well-formed TIFF blocks, Exif blocks, maker notes and
// baseline JPEGs (SOI, APPn, DQT, SOF0/SOF2, DHT, SOS, entropy data, EOI), so that tests state
// the structure they need instead of carrying hand-edited hex. Header-only: the benchmark and
// the fuzz seed generator use it too.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace brelon::exif::fixture {

using Bytes = std::vector<uint8_t>;

enum class Endian { kLittle, kBig };

// One IFD entry. `payload` holds the value in little-endian element order; `elementSize` tells
// how the encoder swaps it for big-endian output. `forcedValue` replaces the value field as
// written (for broken offsets and counts).
struct Entry {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint32_t count = 0;
  Bytes payload;
  uint8_t elementSize = 1;
  std::optional<uint32_t> forcedValue;
};

inline void PutLe(Bytes& b, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Byte-wise append (vector::insert of a brace list trips a false -Warray-bounds in GCC 12).
inline void Append(Bytes& b, std::initializer_list<uint8_t> bytes) {
  for (uint8_t v : bytes) b.push_back(v);
}

inline Entry Short(uint16_t tag, std::initializer_list<uint16_t> values) {
  Entry e{tag, 3, static_cast<uint32_t>(values.size()), {}, 2, {}};
  for (uint16_t v : values) PutLe(e.payload, v, 2);
  return e;
}

inline Entry Long(uint16_t tag, std::initializer_list<uint32_t> values) {
  Entry e{tag, 4, static_cast<uint32_t>(values.size()), {}, 4, {}};
  for (uint32_t v : values) PutLe(e.payload, v, 4);
  return e;
}

// Numerator, denominator pairs.
inline Entry Rational(uint16_t tag, std::initializer_list<uint32_t> values) {
  Entry e{tag, 5, static_cast<uint32_t>(values.size() / 2), {}, 4, {}};
  for (uint32_t v : values) PutLe(e.payload, v, 4);
  return e;
}

// The text's bytes, plus a terminating zero when `terminate` is set.
inline Entry Ascii(uint16_t tag, const std::string& text, bool terminate = true) {
  Entry e{tag, 2, 0, Bytes(text.begin(), text.end()), 1, {}};
  if (terminate) e.payload.push_back(0);
  e.count = static_cast<uint32_t>(e.payload.size());
  return e;
}

inline Entry Undefined(uint16_t tag, const Bytes& bytes) {
  return Entry{tag, 7, static_cast<uint32_t>(bytes.size()), bytes, 1, {}};
}

// Any type and count with a literal 4-byte value field, for invalid types and forged counts.
inline Entry RawEntry(uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
  return Entry{tag, type, count, {}, 1, value};
}

struct IfdSpec {
  std::vector<Entry> entries;
  uint32_t nextOffset = 0;  // written as given; 0 ends the chain
};

class Encoder {
 public:
  explicit Encoder(Endian endian) : endian_(endian) {}

  void U16(Bytes& b, uint16_t v) const { Put(b, v, 2); }
  void U32(Bytes& b, uint32_t v) const { Put(b, v, 4); }
  void Put(Bytes& b, uint64_t v, int n) const {
    for (int i = 0; i < n; ++i) {
      const int shift = endian_ == Endian::kLittle ? 8 * i : 8 * (n - 1 - i);
      b.push_back(static_cast<uint8_t>(v >> shift));
    }
  }

  Bytes Value(const Entry& e) const {
    if (endian_ == Endian::kLittle || e.elementSize == 1) return e.payload;
    Bytes out(e.payload.size());
    for (size_t i = 0; i + e.elementSize <= e.payload.size(); i += e.elementSize) {
      for (size_t k = 0; k < e.elementSize; ++k) {
        out[i + k] = e.payload[i + e.elementSize - 1 - k];
      }
    }
    return out;
  }

  // Bytes an IFD takes at its offset: table, next pointer and out-of-line values.
  static size_t IfdSize(const IfdSpec& ifd) {
    size_t size = 2 + 12 * ifd.entries.size() + 4;
    for (const Entry& e : ifd.entries) {
      if (!e.forcedValue && e.payload.size() > 4) size += (e.payload.size() + 1) & ~size_t{1};
    }
    return size;
  }

  // Appends the IFD at b.size(), whose offset from the TIFF header is `base` + b.size() -
  // `origin`. Out-of-line values follow the table.
  void AppendIfd(Bytes& b, const IfdSpec& ifd, size_t origin) const {
    const size_t start = b.size();
    size_t data = start - origin + 2 + 12 * ifd.entries.size() + 4;
    Bytes values;
    U16(b, static_cast<uint16_t>(ifd.entries.size()));
    for (const Entry& e : ifd.entries) {
      U16(b, e.tag);
      U16(b, e.type);
      U32(b, e.count);
      if (e.forcedValue) {
        U32(b, *e.forcedValue);
        continue;
      }
      Bytes v = Value(e);
      if (v.size() <= 4) {
        v.resize(4, 0);
        b.insert(b.end(), v.begin(), v.end());
      } else {
        U32(b, static_cast<uint32_t>(data + values.size()));
        values.insert(values.end(), v.begin(), v.end());
        if (values.size() & 1) values.push_back(0);
      }
    }
    U32(b, ifd.nextOffset);
    b.insert(b.end(), values.begin(), values.end());
  }

 private:
  Endian endian_;
};

// A TIFF block as an Exif APP1 carries it. Pointer tags to the Exif, GPS, interoperability and
// IFD1 structures are added (sorted into place) when those IFDs are present.
struct TiffSpec {
  Endian endian = Endian::kLittle;
  IfdSpec ifd0;
  std::optional<IfdSpec> exif = IfdSpec{};
  std::optional<IfdSpec> interop;
  std::optional<IfdSpec> gps;
  std::optional<IfdSpec> ifd1;

  Bytes Build() const {
    Encoder enc(endian);
    IfdSpec i0 = ifd0, ex = exif.value_or(IfdSpec{}), gp = gps.value_or(IfdSpec{});
    IfdSpec io = interop.value_or(IfdSpec{}), i1 = ifd1.value_or(IfdSpec{});
    if (exif) AddPointer(i0, 0x8769);
    if (gps) AddPointer(i0, 0x8825);
    if (exif && interop) AddPointer(ex, 0xA005);
    // Layout: header, IFD0, Exif, interop, GPS, IFD1.
    const uint32_t off0 = 8;
    const uint32_t offEx = off0 + static_cast<uint32_t>(Encoder::IfdSize(i0));
    const uint32_t offIo = offEx + (exif ? static_cast<uint32_t>(Encoder::IfdSize(ex)) : 0);
    const uint32_t offGp =
        offIo + (exif && interop ? static_cast<uint32_t>(Encoder::IfdSize(io)) : 0);
    const uint32_t off1 = offGp + (gps ? static_cast<uint32_t>(Encoder::IfdSize(gp)) : 0);
    if (exif) SetPointer(i0, 0x8769, offEx);
    if (gps) SetPointer(i0, 0x8825, offGp);
    if (exif && interop) SetPointer(ex, 0xA005, offIo);
    if (ifd1) i0.nextOffset = off1;

    Bytes b = {'I', 'I'};
    if (endian == Endian::kBig) b = {'M', 'M'};
    enc.U16(b, 42);
    enc.U32(b, off0);
    enc.AppendIfd(b, i0, 0);
    if (exif) enc.AppendIfd(b, ex, 0);
    if (exif && interop) enc.AppendIfd(b, io, 0);
    if (gps) enc.AppendIfd(b, gp, 0);
    if (ifd1) enc.AppendIfd(b, i1, 0);
    return b;
  }

 private:
  static void AddPointer(IfdSpec& ifd, uint16_t tag) {
    for (const Entry& e : ifd.entries) {
      if (e.tag == tag) return;  // the test wrote its own
    }
    size_t at = 0;
    while (at < ifd.entries.size() && ifd.entries[at].tag < tag) ++at;
    ifd.entries.insert(ifd.entries.begin() + static_cast<long>(at), Long(tag, {0}));
  }
  static void SetPointer(IfdSpec& ifd, uint16_t tag, uint32_t offset) {
    for (Entry& e : ifd.entries) {
      if (e.tag == tag && e.type == 4 && e.count == 1 && !e.forcedValue) {
        e.payload.clear();
        PutLe(e.payload, offset, 4);
      }
    }
  }
};

// The camera's maker note: a 12-byte header whose bytes 8-11 give (little-endian) the offset of
// the note's IFD, then at that offset a little-endian IFD whose value offsets count from the
// note's start.
inline Bytes MakerNote(const IfdSpec& ifd, uint32_t ifdOffset = 12) {
  Bytes b = {'O', 'R', 'V', 'N', 'T', 'S', 0, 1};
  PutLe(b, ifdOffset, 4);
  b.resize(ifdOffset < 12 ? 12 : ifdOffset, 0);
  Encoder(Endian::kLittle).AppendIfd(b, ifd, 0);
  return b;
}

// The maker-note entries the camera writes: frame number (LONG, or SHORT when `asShort`) and
// camera path text.
inline IfdSpec CameraNote(uint32_t frame, const std::string& path, bool asShort = false) {
  IfdSpec ifd;
  ifd.entries.push_back(asShort ? Short(0x1438, {static_cast<uint16_t>(frame)})
                                : Long(0x1438, {frame}));
  ifd.entries.push_back(Ascii(0x1439, path));
  return ifd;
}

// A TIFF block with IFD0 make and model and an Exif IFD holding the maker note.
inline TiffSpec CameraTiff(const Bytes& makerNote, Endian endian = Endian::kLittle) {
  TiffSpec t;
  t.endian = endian;
  t.ifd0.entries = {Ascii(0x010F, "ORVANTIS"), Ascii(0x0110, "OV-1"), Short(0x0112, {1})};
  t.exif = IfdSpec{};
  t.exif->entries = {Short(0x8827, {200}), Undefined(0x927C, makerNote)};
  return t;
}

// Marker-level JPEG assembly. Every method appends and returns the builder.
class JpegBuilder {
 public:
  JpegBuilder& Soi() { return Marker(0xD8); }
  JpegBuilder& Eoi() { return Marker(0xD9); }
  JpegBuilder& Marker(uint8_t code) {
    bytes_.push_back(0xFF);
    bytes_.push_back(code);
    return *this;
  }
  // A marker segment whose length field covers `payload` plus itself.
  JpegBuilder& Segment(uint8_t code, const Bytes& payload) {
    Marker(code);
    const size_t length = payload.size() + 2;
    bytes_.push_back(static_cast<uint8_t>(length >> 8));
    bytes_.push_back(static_cast<uint8_t>(length));
    bytes_.insert(bytes_.end(), payload.begin(), payload.end());
    return *this;
  }
  JpegBuilder& App(int n, const Bytes& payload) {
    return Segment(static_cast<uint8_t>(0xE0 + n), payload);
  }
  JpegBuilder& Jfif() { return App(0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0}); }
  JpegBuilder& Exif(const Bytes& tiff, uint8_t sixthByte = 0) {
    Bytes p = {'E', 'x', 'i', 'f', 0, sixthByte};
    p.insert(p.end(), tiff.begin(), tiff.end());
    return App(1, p);
  }
  // One 8-bit quantisation table of all ones (lossless enough for a test image).
  JpegBuilder& Dqt(uint8_t selector = 0) {
    Bytes p(65, 1);
    p[0] = selector;
    return Segment(0xDB, p);
  }
  // Frame header: SOF0 (0xC0) or, for a progressive frame, SOF2 (0xC2). Each component samples
  // 1x1 and uses quantisation table `quant`.
  JpegBuilder& Sof(uint8_t code, uint16_t width, uint16_t height, int components = 1,
                   uint8_t quant = 0) {
    Bytes p = {8,
               static_cast<uint8_t>(height >> 8),
               static_cast<uint8_t>(height),
               static_cast<uint8_t>(width >> 8),
               static_cast<uint8_t>(width),
               static_cast<uint8_t>(components)};
    for (int c = 0; c < components; ++c) {
      Append(p, {static_cast<uint8_t>(c + 1), 0x11, quant});
    }
    return Segment(code, p);
  }
  // The two tables the scan encoder needs (class and id, 16 code counts by length, symbols):
  // DC symbol 0 as "0"; AC symbol 0x01 as "0" and EOB as "10" (no code is all ones, as the
  // format requires).
  JpegBuilder& Dht() {
    return Segment(0xC4, {0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00,  // DC 0
                          0x10, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x00});
  }
  JpegBuilder& Sos(int components = 1) {
    Bytes p = {static_cast<uint8_t>(components)};
    for (int c = 0; c < components; ++c) Append(p, {static_cast<uint8_t>(c + 1), 0x00});
    Append(p, {0, 63, 0});
    return Segment(0xDA, p);
  }
  // Entropy-coded data for `blocks` 8x8 blocks with the tables of Dht(): DC difference 0, then
  // `acPerBlock` AC coefficients of +1 or -1 (a deterministic noise pattern), then EOB. With
  // byte stuffing, so the result decodes.
  JpegBuilder& Scan(uint64_t blocks, int acPerBlock, uint32_t seed = 1) {
    uint32_t state = seed;
    uint32_t acc = 0;
    int bits = 0;
    auto put = [&](uint32_t value, int n) {
      for (int i = n - 1; i >= 0; --i) {
        acc = (acc << 1) | ((value >> i) & 1);
        if (++bits == 8) {
          bytes_.push_back(static_cast<uint8_t>(acc));
          if ((acc & 0xFF) == 0xFF) bytes_.push_back(0x00);
          acc = 0;
          bits = 0;
        }
      }
    };
    for (uint64_t b = 0; b < blocks; ++b) {
      put(0, 1);
      for (int k = 0; k < acPerBlock; ++k) {
        state = state * 1103515245u + 12345u;
        put((state >> 16) & 1, 2);  // code "0" then the sign bit
      }
      if (acPerBlock < 63) put(0b10, 2);
    }
    if (bits) {
      put(0xFF, 8 - bits);  // pad with ones
    }
    return *this;
  }
  JpegBuilder& Raw(const Bytes& b) {
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
  }
  const Bytes& bytes() const { return bytes_; }
  Bytes Take() { return std::move(bytes_); }

 private:
  Bytes bytes_;
};

// A complete small baseline JPEG (16x8 grey) around the given Exif TIFF block.
inline Bytes CameraJpeg(const Bytes& tiff, uint16_t width = 16, uint16_t height = 8) {
  JpegBuilder j;
  j.Soi().Exif(tiff).Dqt().Sof(0xC0, width, height).Dht().Sos();
  const uint64_t blocks = ((width + 7) / 8) * uint64_t{(height + 7) / 8u};
  return j.Scan(blocks, 4).Eoi().Take();
}

// A raw file: a 92-byte header (big-endian JPEG offset at 84, length at 88), some sensor-data
// filler, the embedded JPEG, then more filler.
inline Bytes RawWithJpeg(const Bytes& jpeg, size_t leading = 256, size_t trailing = 64) {
  Bytes b(92, 0);
  std::memcpy(b.data(), "QRWRAW\0\0", 8);
  const uint32_t offset = static_cast<uint32_t>(92 + leading);
  const uint32_t length = static_cast<uint32_t>(jpeg.size());
  for (int i = 0; i < 4; ++i) {
    b[84 + i] = static_cast<uint8_t>(offset >> (24 - 8 * i));
    b[88 + i] = static_cast<uint8_t>(length >> (24 - 8 * i));
  }
  b.resize(offset, 0x5A);
  b.insert(b.end(), jpeg.begin(), jpeg.end());
  b.resize(b.size() + trailing, 0xA5);
  return b;
}

}  // namespace brelon::exif::fixture
