// The values the plug-in exchanges with the maker's cameras through the SDK besides the calls
// themselves: the property codes it reads and writes, the priority, open and media-record modes.
// Every layer that talks to a camera names a code from here, so each code has one name.
#pragma once

#include <cstdint>

namespace brelon {

// ---- Camera properties (ZEPK_CapProp / ZEPK_GetProp / ZEPK_SetProp) -------------------------

// The 0x3301 state, in which the host keeps the camera: a release and a media-record change
// leave it through 0x3302 and enter it again through 0x3301.
constexpr int32_t kPropEnterMode3301 = 0x3301;
constexpr int32_t kPropLeaveMode3301 = 0x3302;
// The host count, which must be 1 while some models release or change the media record.
constexpr int32_t kPropHostCount = 0x3327;
constexpr int32_t kPropSavedHostCount = 0x3328;  // what 0x3327 held before it was set to 1
constexpr int32_t kHostCountSingle = 1;
// The texts read on connection and kept for the host: two from the first, one from the second.
constexpr int32_t kPropPairText = 0x4046;
constexpr int32_t kPropSingleText = 0x4044;
// The drive setting: 0x4220 reads it, 0x4219 writes it, both with sub-index 1 as the first of
// their two values.
constexpr int32_t kPropDriveGet = 0x4220;
constexpr int32_t kPropDriveSet = 0x4219;

// ---- Modes ------------------------------------------------------------------------------------

// Priority modes: in mode 1 the camera's own controls win, mode 2 lets the computer release the
// shutter.
constexpr int32_t kPriorityModeCamera = 1;
constexpr int32_t kPriorityModeHost = 2;

// Open-mode bits ZEPK_OpenEx reports: bit 0 allows remote shooting, bit 2 a mode the host may
// accept too (kOptionAcceptMode4).
constexpr int32_t kOpenModeRemote = 0x01;
constexpr int32_t kOpenModeRemoteOrMode4 = 0x05;

// Media-record values: which files the camera records on its own card.
constexpr int32_t kMediaRecordBoth = 1;
constexpr int32_t kMediaRecordRawOnly = 2;
constexpr int32_t kMediaRecordJpegOnly = 3;
constexpr int32_t kMediaRecordNone = 4;

}  // namespace brelon
