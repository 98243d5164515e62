// The simulation: plugged cameras with their buffers of pending images, open handles, the last
// error, scheduled faults and the call trace. One instance per process, guarded by
// GlobalLock(); the SDK entry points and the control commands both work on it.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "image_factory.h"
#include "sim_config.h"
#include "sim_os.h"
#include "zepa/zepk.h"

namespace zepasim {

enum EntryId : int {
#define ZEPASIM_ENTRY_ID(name, params) kEntry_##name,
  ZEPK_ENTRY_POINTS(ZEPASIM_ENTRY_ID)
#undef ZEPASIM_ENTRY_ID
      kEntryCount
};
// Entry-point results as plain int32 (the SDK's enumerators have an enum type).
constexpr int32_t kSdkOk = ZEPK_OK;
constexpr int32_t kSdkFailed = ZEPK_FAILED;

const char* EntryName(EntryId id);
// The API code the simulator reports for its own failures: the entry point's position, from 1.
inline int32_t ApiCodeOf(EntryId id) {
  return static_cast<int32_t>(id) + 1;
}
bool EntryIdFromName(const std::string& name, EntryId& id);

using TraceArg = std::variant<int64_t, std::string>;
using TraceArgs = std::vector<TraceArg>;

struct PendingItem {
  enum class Kind { kRaw, kJpeg, kPreview };
  Kind kind = Kind::kJpeg;
  uint32_t format = 0;
  int64_t readyAt = 0;  // monotonic microseconds; invisible to the SDK before then
  uint32_t frame = 0;
  uint64_t size = 0;
  std::shared_ptr<const ShotImages> shot;               // raw and JPEG files of a shot
  std::shared_ptr<const std::vector<uint8_t>> preview;  // preview frames only

  // Writes the file into `out`, which holds at least `size` bytes.
  void CopyTo(void* out) const;
};

struct CameraState {
  CameraConfig cfg;
  uint32_t nextFrame = 0;
  std::deque<PendingItem> queue;
  std::string deviceName;
  uint64_t shots = 0;
  uint32_t previewSequence = 0;
};

struct Handle {
  size_t camera = 0;
  bool alive = true;
};

struct ActiveFault {
  FaultConfig cfg;
  EntryId entry = kEntry_ZEPK_Init;
  int64_t base = 0;  // calls of the entry before the fault was scheduled
};

struct FaultHit {
  bool fired = false;
  int32_t result = 0;
  bool raise = false;
};

class Simulation {
 public:
  // Loads the configuration and trace path named by the environment when they differ from
  // the ones in use (a new test session); otherwise keeps the running state.
  void EnsureLoaded();
  // The state changes of ZEPK_Init: a fresh state from the configuration file, except for the
  // first ZEPK_Init after the state was loaded, which adopts it (with control changes made so far).
  void PrepareInit();
  // Back to the configuration read by the last load (the "reset" command).
  void ResetState();

  FaultHit CountCall(EntryId id);
  void AddFault(const FaultConfig& fault);
  void ClearFaults() { faults_.clear(); }
  void Trace(EntryId id, const TraceArgs& args, int32_t ret, bool raised);

  int32_t Fail(int32_t error);  // records the error for the current entry point; returns -1
  void SetError(int32_t apiCode, int32_t error);
  // The camera behind an open handle, or null after recording the failure.
  CameraState* Resolve(int32_t handle);

  void TakeShot(CameraState& camera);
  void QueuePreviews(CameraState& camera, int frames);
  // Index in the queue of the oldest image the camera can hand out now; -1 when none.
  int OldestReady(const CameraState& camera, bool previewsOnly) const;
  int ReadyCount(const CameraState& camera, bool includePreviews) const;
  int QueuedCount(const CameraState& camera) const;

  CameraState* Plugged(size_t index);
  size_t PlugCamera(const CameraConfig& cfg);  // adds, or replugs by serial; returns the index
  void UnplugCamera(size_t index);
  CameraState* FindCamera(size_t index);

  bool initialized = false;
  std::string configError;
  std::vector<CameraState> cameras;
  std::vector<size_t> detected;  // camera indices found by the last ZEPK_Detect
  std::map<int32_t, Handle> handles;
  int32_t nextHandle = 1;
  int32_t lastApi = 0;
  int32_t lastError = 0;
  EntryId current = kEntry_ZEPK_Init;
  std::array<int64_t, kEntryCount> calls{};

 private:
  void LoadConfigFile();
  void BuildState(bool keepInitCount);

  OsString configPath_;
  OsString tracePath_;
  bool loaded_ = false;
  bool adoptable_ = false;
  SimConfig config_;
  std::vector<ActiveFault> faults_;
};

Simulation& Sim();

}  // namespace zepasim
