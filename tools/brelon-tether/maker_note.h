// brelon-tether: the frame number the camera wrote into the maker note of a JPEG's Exif block
// (tag 0x1438 of the note's own little-endian IFD), read with bounds checks on every offset so
// that any file, however broken, gives a defined answer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tether {

// True and `*frame` set when `jpeg` (`size` bytes) holds an Exif maker note with a frame number.
bool ReadMakerNoteFrame(const uint8_t* jpeg, size_t size, uint32_t* frame);

}  // namespace tether
