// Exif metadata for the simulator's JPEGs: the APP1 payload ("Exif" identifier and a TIFF
// block with IFD0 and the Exif IFD) and the camera's maker note, which carries the frame
// number (tag 0x1438) and the camera path (tag 0x1439) in its own little-endian IFD.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zepasim {

constexpr uint16_t kTagFrameNumber = 0x1438;
constexpr uint16_t kTagCameraPath = 0x1439;
constexpr uint16_t kTagMakerNote = 0x927C;
constexpr uint16_t kTagExifIfd = 0x8769;
// Byte offset of the note's IFD from the note's start; stored in bytes 8-11 of the note.
constexpr uint32_t kMakerNoteIfdOffset = 12;
constexpr char kMakerNoteSignature[] = "ORVANTIS";  // first 8 bytes of every note

struct MakerNoteFields {
  uint32_t frameNumber = 0;
  bool longFrameNumber = false;     // LONG instead of SHORT (forced above 65535)
  std::vector<uint8_t> cameraPath;  // the tag's bytes, terminator included if any
};

struct ExifFields {
  bool bigEndian = false;  // "MM" main block; the maker note stays little-endian
  std::string make;
  std::string model;
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> makerNote;
};

std::vector<uint8_t> BuildMakerNote(const MakerNoteFields& fields);
// The APP1 payload: "Exif\0\0" followed by the TIFF block.
std::vector<uint8_t> BuildExifApp1(const ExifFields& fields);

}  // namespace zepasim
