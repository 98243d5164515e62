// ZEPASIM_Control: JSON commands that change the running simulation from outside the SDK
// (plugging cameras, changing settings, scheduling faults, pressing the shutter) and that
// query it. Any input, however malformed, ends in a result code, never in a crash.
#include <cstring>
#include <mutex>

#include "sim_state.h"
#include "zepa/zepasim.h"

namespace zepasim {
namespace {

constexpr int kMaxNesting = 64;  // deeper input is refused before parsing
constexpr int kMaxPreviewFrames = 1000;

// Bracket depth outside strings; cheap protection against pathological nesting.
bool TooDeep(const char* text) {
  int depth = 0;
  bool inString = false;
  for (const char* p = text; *p; ++p) {
    if (inString) {
      if (*p == '\\' && p[1]) {
        ++p;
      } else if (*p == '"') {
        inString = false;
      }
    } else if (*p == '"') {
      inString = true;
    } else if (*p == '[' || *p == '{') {
      if (++depth > kMaxNesting) return true;
    } else if (*p == ']' || *p == '}') {
      --depth;
    }
  }
  return false;
}

struct ArgumentError {};

int64_t IntField(const Json& cmd, const char* key, int64_t lo, int64_t hi) {
  auto it = cmd.find(key);
  if (it == cmd.end() || !it->is_number_integer()) throw ArgumentError{};
  if (it->is_number_unsigned() && it->get<uint64_t>() > static_cast<uint64_t>(hi)) {
    throw ArgumentError{};
  }
  const int64_t value = it->get<int64_t>();
  if (value < lo || value > hi) throw ArgumentError{};
  return value;
}

size_t CameraIndex(Simulation& sim, const Json& cmd) {
  const int64_t index = IntField(cmd, "camera", 0, INT32_MAX);
  if (static_cast<size_t>(index) >= sim.cameras.size()) throw ArgumentError{};
  return static_cast<size_t>(index);
}

std::vector<std::string> SplitKey(const std::string& key) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t dot = key.find('.', start);
    parts.push_back(key.substr(start, dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return parts;
}

int32_t SetKey(Simulation& sim, const Json& cmd) {
  const size_t index = CameraIndex(sim, cmd);
  CameraState& camera = sim.cameras[index];
  auto key = cmd.find("key");
  auto value = cmd.find("value");
  if (key == cmd.end() || !key->is_string() || value == cmd.end()) throw ArgumentError{};
  std::string name = key->get<std::string>();
  if (name == "frame_number") {
    camera.nextFrame = static_cast<uint32_t>(IntField(cmd, "value", 0, UINT32_MAX));
    return ZEPASIM_OK;
  }
  if (name == "camera_path") name = "capture.camera_path";
  // Round trip through JSON so that a set value passes the same checks as the configuration.
  Json j = CameraToJson(camera.cfg);
  Json* node = &j;
  const std::vector<std::string> parts = SplitKey(name);
  for (size_t i = 0; i < parts.size(); ++i) {
    if (!node->is_object()) throw ArgumentError{};
    const bool last = i + 1 == parts.size();
    if (!last && !node->contains(parts[i])) throw ArgumentError{};
    node = &(*node)[parts[i]];
  }
  *node = *value;
  const bool wasPlugged = camera.cfg.plugged;
  camera.cfg = CameraFromJson(j, index);
  if (wasPlugged && !camera.cfg.plugged) {
    sim.UnplugCamera(index);
  }
  return ZEPASIM_OK;
}

int32_t Plug(Simulation& sim, const Json& cmd) {
  auto camera = cmd.find("camera");
  if (camera == cmd.end()) throw ArgumentError{};
  if (camera->is_number_integer()) {
    sim.cameras[CameraIndex(sim, cmd)].cfg.plugged = true;
    return ZEPASIM_OK;
  }
  sim.PlugCamera(CameraFromJson(*camera, sim.cameras.size()));
  return ZEPASIM_OK;
}

int32_t Stats(Simulation& sim, const Json& cmd) {
  auto what = cmd.find("what");
  if (what == cmd.end() || !what->is_string()) throw ArgumentError{};
  const std::string name = what->get<std::string>();
  if (name == "calls") {
    auto fn = cmd.find("fn");
    EntryId id;
    if (fn == cmd.end() || !fn->is_string() || !EntryIdFromName(fn->get<std::string>(), id)) {
      throw ArgumentError{};
    }
    return static_cast<int32_t>(std::min<int64_t>(sim.calls[id], INT32_MAX));
  }
  if (name == "cameras") return static_cast<int32_t>(sim.cameras.size());
  if (name == "handles") {
    int32_t live = 0;
    for (const auto& [id, handle] : sim.handles) live += handle.alive ? 1 : 0;
    return live;
  }
  CameraState& camera = sim.cameras[CameraIndex(sim, cmd)];
  if (name == "shots") return static_cast<int32_t>(std::min<uint64_t>(camera.shots, INT32_MAX));
  if (name == "queued") return sim.QueuedCount(camera);
  if (name == "next_frame")
    return static_cast<int32_t>(std::min<uint32_t>(camera.nextFrame, INT32_MAX));
  if (name == "plugged") return camera.cfg.plugged ? 1 : 0;
  throw ArgumentError{};
}

int32_t Dispatch(Simulation& sim, const std::string& name, const Json& cmd) {
  if (name == "unplug") {
    sim.UnplugCamera(CameraIndex(sim, cmd));
    return ZEPASIM_OK;
  }
  if (name == "plug") return Plug(sim, cmd);
  if (name == "set") return SetKey(sim, cmd);
  if (name == "fault") {
    sim.AddFault(FaultFromJson(cmd));
    return ZEPASIM_OK;
  }
  if (name == "clear_faults") {
    sim.ClearFaults();
    return ZEPASIM_OK;
  }
  if (name == "press_shutter") {
    CameraState* camera = sim.Plugged(CameraIndex(sim, cmd));
    if (!camera) throw ArgumentError{};
    sim.TakeShot(*camera);
    return ZEPASIM_OK;
  }
  if (name == "preview") {
    CameraState* camera = sim.Plugged(CameraIndex(sim, cmd));
    const int64_t frames =
        cmd.contains("frames") ? IntField(cmd, "frames", 1, kMaxPreviewFrames) : 1;
    if (!camera) throw ArgumentError{};
    sim.QueuePreviews(*camera, static_cast<int>(frames));
    return ZEPASIM_OK;
  }
  if (name == "reset") {
    sim.ResetState();
    return ZEPASIM_OK;
  }
  if (name == "pending") return sim.ReadyCount(sim.cameras[CameraIndex(sim, cmd)], true);
  if (name == "stats") return Stats(sim, cmd);
  return ZEPASIM_E_COMMAND;
}

}  // namespace
}  // namespace zepasim

using namespace zepasim;

extern "C" ZEPK_API int32_t BRELON_CDECL ZEPASIM_Control(const char* json) {
  if (!json) return ZEPASIM_E_ARGUMENT;
  if (TooDeep(json)) return ZEPASIM_E_PARSE;
  try {
    const Json cmd = Json::parse(json, nullptr, false);
    if (cmd.is_discarded() || !cmd.is_object()) return ZEPASIM_E_PARSE;
    auto name = cmd.find("cmd");
    if (name == cmd.end() || !name->is_string()) return ZEPASIM_E_COMMAND;
    std::lock_guard<SimLock> guard(GlobalLock());
    Simulation& sim = Sim();
    sim.EnsureLoaded();
    return Dispatch(sim, name->get<std::string>(), cmd);
  } catch (const ArgumentError&) {
    return ZEPASIM_E_ARGUMENT;
  } catch (const ConfigError& e) {
    fprintf(stderr, "zepa simulator: %s\n", e.what());
    return ZEPASIM_E_ARGUMENT;
  } catch (...) {
    return ZEPASIM_E_ARGUMENT;
  }
}
