// A small baseline JPEG encoder for the simulator's pictures: 4:4:4 YCbCr with the standard
// quantisation and Huffman tables, coding only the DC coefficient of each 8x8 block, so every
// block is one flat colour. Enough for any JPEG decoder to accept the files without warnings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zepasim {

struct JpegRequest {
  int width = 64;             // multiple of 8
  int height = 48;            // multiple of 8
  uint32_t seed = 0;          // varies the colours, so pictures of different shots differ
  std::vector<uint8_t> app1;  // APP1 payload after the length field; empty: no APP1
  size_t padTo = 0;           // pad with COM segments up to this many bytes when larger
};

std::vector<uint8_t> EncodeJpeg(const JpegRequest& request);

}  // namespace zepasim
