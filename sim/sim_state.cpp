// Simulation state handling: loading sessions from the environment, fault scheduling, error
// recording, the JSONL trace, and the camera buffer of shots and preview frames.
#include "sim_state.h"

#include <cstdio>
#include <cstring>

#include "zepa/zepasim.h"

namespace zepasim {
namespace {

constexpr const char* kEntryNames[kEntryCount] = {
#define ZEPASIM_ENTRY_NAME(name, params) #name,
    ZEPK_ENTRY_POINTS(ZEPASIM_ENTRY_NAME)
#undef ZEPASIM_ENTRY_NAME
};
constexpr int64_t kMicrosPerMilli = 1000;

Simulation g_simulation;

}  // namespace

const char* EntryName(EntryId id) {
  return kEntryNames[id];
}

bool EntryIdFromName(const std::string& name, EntryId& id) {
  for (int i = 0; i < kEntryCount; ++i) {
    if (name == kEntryNames[i]) {
      id = static_cast<EntryId>(i);
      return true;
    }
  }
  return false;
}

Simulation& Sim() {
  return g_simulation;
}

void PendingItem::CopyTo(void* out) const {
  switch (kind) {
    case Kind::kRaw:
      WriteShotRaw(*shot, static_cast<uint8_t*>(out));
      break;
    case Kind::kJpeg:
      memcpy(out, shot->jpeg.data(), shot->jpeg.size());
      break;
    case Kind::kPreview:
      memcpy(out, preview->data(), preview->size());
      break;
  }
}

void Simulation::EnsureLoaded() {
  OsString configPath = GetEnvironment("ZEPA_SIM_CONFIG");
  OsString tracePath = GetEnvironment("ZEPA_SIM_TRACE");
  if (loaded_ && configPath == configPath_ && tracePath == tracePath_) return;
  configPath_ = configPath;
  tracePath_ = tracePath;
  loaded_ = true;
  LoadConfigFile();
  calls.fill(0);
  BuildState(false);
  initialized = false;
  adoptable_ = true;
}

void Simulation::PrepareInit() {
  EnsureLoaded();
  if (!adoptable_) {
    LoadConfigFile();
    BuildState(true);
  }
  adoptable_ = false;
}

void Simulation::ResetState() {
  BuildState(true);
}

void Simulation::LoadConfigFile() {
  configError.clear();
  if (configPath_.empty()) {
    config_ = DefaultConfig();
    return;
  }
  config_ = SimConfig{};
  std::string text;
  if (!ReadWholeFile(configPath_, text)) {
    configError = "cannot read " + OsToUtf8(configPath_);
  } else {
    try {
      config_ = ConfigFromJson(Json::parse(text));
    } catch (const std::exception& e) {
      configError = OsToUtf8(configPath_) + ": " + e.what();
    }
  }
  if (!configError.empty()) fprintf(stderr, "zepa simulator: %s\n", configError.c_str());
}

void Simulation::BuildState(bool keepInitCount) {
  const int64_t initCalls = calls[kEntry_ZEPK_Init];
  calls.fill(0);
  if (keepInitCount) calls[kEntry_ZEPK_Init] = initCalls;
  cameras.clear();
  for (const CameraConfig& cfg : config_.cameras) {
    CameraState camera;
    camera.cfg = cfg;
    camera.nextFrame = cfg.capture.firstFrame;
    cameras.push_back(std::move(camera));
  }
  detected.clear();
  handles.clear();
  nextHandle = 1;
  lastApi = 0;
  lastError = 0;
  faults_.clear();
  for (const FaultConfig& fault : config_.faults) {
    ActiveFault active;
    active.cfg = fault;
    EntryIdFromName(fault.fn, active.entry);
    faults_.push_back(active);
  }
}

FaultHit Simulation::CountCall(EntryId id) {
  const int64_t call = ++calls[id];
  for (const ActiveFault& fault : faults_) {
    if (fault.entry != id) continue;
    const int64_t k = call - fault.base;
    const bool inWindow =
        k >= fault.cfg.nth && (fault.cfg.count < 0 || k - fault.cfg.nth < fault.cfg.count);
    if (!inWindow) continue;
    SetError(fault.cfg.apiCode, fault.cfg.error);
    return {true, fault.cfg.result, fault.cfg.raise};
  }
  return {};
}

void Simulation::AddFault(const FaultConfig& fault) {
  ActiveFault active;
  active.cfg = fault;
  EntryIdFromName(fault.fn, active.entry);
  active.base = calls[active.entry];
  faults_.push_back(active);
}

void Simulation::Trace(EntryId id, const TraceArgs& args, int32_t ret, bool raised) {
  if (tracePath_.empty()) return;
  nlohmann::ordered_json line;
  line["fn"] = kEntryNames[id];
  line["args"] = nlohmann::ordered_json::array();
  for (const TraceArg& arg : args) {
    if (const int64_t* n = std::get_if<int64_t>(&arg)) {
      line["args"].push_back(*n);
    } else {
      line["args"].push_back(std::get<std::string>(arg));
    }
  }
  line["ret"] = ret;
  if (raised) line["throw"] = true;
  // Texts from the caller may be any bytes; replace what is not UTF-8 instead of failing.
  AppendLine(tracePath_, line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

int32_t Simulation::Fail(int32_t error) {
  SetError(ApiCodeOf(current), error);
  return kSdkFailed;
}

void Simulation::SetError(int32_t apiCode, int32_t error) {
  lastApi = apiCode;
  lastError = error;
}

CameraState* Simulation::Resolve(int32_t handle) {
  auto it = handles.find(handle);
  if (it == handles.end()) {
    Fail(ZEPASIM_ERR_BAD_HANDLE);
    return nullptr;
  }
  CameraState& camera = cameras[it->second.camera];
  if (!it->second.alive || !camera.cfg.plugged) {
    Fail(ZEPASIM_ERR_DEVICE_GONE);
    return nullptr;
  }
  return &camera;
}

void Simulation::TakeShot(CameraState& camera) {
  const uint32_t frame = camera.nextFrame++;
  std::shared_ptr<const ShotImages> shot = BuildShot(camera.cfg, frame);
  const int64_t readyAt = MonotonicMicros() + camera.cfg.capture.delayMs * kMicrosPerMilli;
  const uint32_t variant = camera.cfg.capture.formatVariant;
  if (camera.cfg.capture.format != CaptureFormat::kJpeg) {
    PendingItem raw;
    raw.kind = PendingItem::Kind::kRaw;
    raw.format = ZEPASIM_FORMAT_RAW | variant;
    raw.readyAt = readyAt;
    raw.frame = frame;
    raw.size = shot->rawSize;
    raw.shot = shot;
    camera.queue.push_back(raw);
  }
  if (camera.cfg.capture.format != CaptureFormat::kRaw) {
    PendingItem jpeg;
    jpeg.kind = PendingItem::Kind::kJpeg;
    jpeg.format = ZEPASIM_FORMAT_JPEG | variant;
    jpeg.readyAt = readyAt;
    jpeg.frame = frame;
    jpeg.size = shot->jpeg.size();
    jpeg.shot = shot;
    camera.queue.push_back(jpeg);
  }
  if (camera.cfg.cardCapacity > 0) --camera.cfg.cardCapacity;
  ++camera.shots;
}

void Simulation::QueuePreviews(CameraState& camera, int frames) {
  const int64_t now = MonotonicMicros();
  for (int i = 0; i < frames; ++i) {
    PendingItem preview;
    preview.kind = PendingItem::Kind::kPreview;
    preview.format = ZEPASIM_FORMAT_PREVIEW;
    preview.readyAt = now;
    preview.preview = std::make_shared<const std::vector<uint8_t>>(
        BuildPreview(camera.cfg.previewBytes, ++camera.previewSequence));
    preview.size = preview.preview->size();
    camera.queue.push_back(preview);
  }
}

int Simulation::OldestReady(const CameraState& camera, bool previewsOnly) const {
  const int64_t now = MonotonicMicros();
  for (size_t i = 0; i < camera.queue.size(); ++i) {
    const PendingItem& item = camera.queue[i];
    if (item.readyAt > now) continue;
    if (previewsOnly && item.kind != PendingItem::Kind::kPreview) continue;
    return static_cast<int>(i);
  }
  return -1;
}

int Simulation::ReadyCount(const CameraState& camera, bool includePreviews) const {
  const int64_t now = MonotonicMicros();
  int count = 0;
  for (const PendingItem& item : camera.queue) {
    if (item.readyAt > now) continue;
    if (!includePreviews && item.kind == PendingItem::Kind::kPreview) continue;
    ++count;
  }
  return count;
}

int Simulation::QueuedCount(const CameraState& camera) const {
  return static_cast<int>(camera.queue.size());
}

CameraState* Simulation::FindCamera(size_t index) {
  return index < cameras.size() ? &cameras[index] : nullptr;
}

CameraState* Simulation::Plugged(size_t index) {
  CameraState* camera = FindCamera(index);
  return camera && camera->cfg.plugged ? camera : nullptr;
}

size_t Simulation::PlugCamera(const CameraConfig& cfg) {
  for (size_t i = 0; i < cameras.size(); ++i) {
    if (cameras[i].cfg.serial == cfg.serial) {
      // The same body reconnected: frame counter and buffer survive.
      cameras[i].cfg = cfg;
      cameras[i].cfg.plugged = true;
      return i;
    }
  }
  CameraState camera;
  camera.cfg = cfg;
  camera.cfg.plugged = true;
  camera.nextFrame = cfg.capture.firstFrame;
  cameras.push_back(std::move(camera));
  return cameras.size() - 1;
}

void Simulation::UnplugCamera(size_t index) {
  cameras[index].cfg.plugged = false;
  for (auto& [id, handle] : handles) {
    if (handle.camera == index) handle.alive = false;
  }
}

}  // namespace zepasim
