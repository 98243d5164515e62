// The warning window for POSIX systems, which have no dialog resources: a headless window that
// keeps what a real one would show (visibility, caption, texts, button) for tests to read, says
// on stderr when it appears, and lives on its own thread like the Windows one.
#include "platform/posix/window.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "resources/warning_ids.h"

namespace plat {
namespace {

struct StringEntry {
  uint32_t id;
  const char16_t* text;
};
constexpr size_t kStringsPerLanguage = 6;
struct LanguageVariant {
  const char* tag;  // locale prefix; empty for the neutral variant
  StringEntry strings[kStringsPerLanguage];
};

// Built from the same source as the Windows string tables.
#define WARNING_LANGUAGE_BEGIN(tag, primary, sub) \
  {                                               \
    tag, {
#define WARNING_STRING(id, text) {id, u"" text},
#define WARNING_LANGUAGE_END() \
  }                            \
  }                            \
  ,
constexpr LanguageVariant kVariants[] = {
#include "resources/warning_strings.inc"
};
#undef WARNING_LANGUAGE_BEGIN
#undef WARNING_STRING
#undef WARNING_LANGUAGE_END

constexpr size_t kLanguageTagLength = 2;

// The variant the user's locale asks for, as gettext would choose the message language:
// LC_ALL, then LC_MESSAGES, then LANG; the neutral variant when none names a shipped language.
const LanguageVariant* VariantForLocale() {
  const char* locale = nullptr;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) {
      locale = value;
      break;
    }
  }
  const LanguageVariant* neutral = &kVariants[0];
  if (!locale || std::strlen(locale) < kLanguageTagLength) return neutral;
  for (const LanguageVariant& variant : kVariants) {
    if (*variant.tag && std::strncmp(locale, variant.tag, kLanguageTagLength) == 0 &&
        (locale[kLanguageTagLength] == '\0' || locale[kLanguageTagLength] == '_' ||
         locale[kLanguageTagLength] == '.' || locale[kLanguageTagLength] == '@')) {
      return &variant;
    }
  }
  return neutral;
}

const char16_t* LoadText(const LanguageVariant* variant, uint32_t id) {
  for (const LanguageVariant* v : {variant, &kVariants[0]}) {
    for (const StringEntry& entry : v->strings) {
      if (entry.id == id) return entry.text;
    }
  }
  return u"";
}

std::string ToUtf8(const std::u16string& text) {
  std::string out(text.size() * 3 + 1, '\0');
  size_t n = WideToAnsi(text.c_str(), text.size(), out.data(), out.size());
  out.resize(n);
  return out;
}

struct Handover {
  WarningTexts texts;
  WindowSlot* slot;
  const LanguageVariant* variant;
};

}  // namespace

namespace posix {

LiveWindows& Live() {
  static LiveWindows* live = new LiveWindows;  // never destroyed: window threads may outlive exit
  return *live;
}

bool IsLive(Window* window) {
  for (Window* w : Live().windows) {
    if (w == window) return true;
  }
  return false;
}

}  // namespace posix

namespace {

using posix::IsLive;
using posix::Live;

void ShowNow(Window* window) {
  if (window->visible.exchange(true)) return;
  std::fprintf(stderr, "[Brelon] %s: %s %s [%s]\n", ToUtf8(window->caption).c_str(),
               ToUtf8(window->firstText).c_str(), ToUtf8(window->secondText).c_str(),
               ToUtf8(window->button).c_str());
}

uint32_t WarningWindowThread(void* arg) {
  auto* block = static_cast<Handover*>(arg);
  auto* window = new (std::nothrow) Window;
  if (window) window->closeRequest = EventCreate(/*manualReset=*/true, false);
  if (!window || !window->closeRequest) {
    delete window;
    delete block;
    return 0;
  }
  window->caption = LoadText(block->variant, block->texts.caption);
  window->button = LoadText(block->variant, block->texts.button);
  window->firstText = LoadText(block->variant, block->texts.firstText);
  window->secondText = LoadText(block->variant, block->texts.secondText);
  WindowSlot* slot = block->slot;
  delete block;

  ShowNow(window);
  {
    LockGuard guard(Live().lock);
    Live().windows.push_back(window);
  }
  slot->store(window);
  EventWait(window->closeRequest, kInfinite);
  {
    LockGuard guard(Live().lock);
    std::vector<Window*>& all = Live().windows;
    for (size_t i = 0; i < all.size(); ++i) {
      if (all[i] == window) {
        all.erase(all.begin() + static_cast<std::ptrdiff_t>(i));
        break;
      }
    }
  }
  EventClose(window->closeRequest);
  delete window;
  return 0;
}

}  // namespace

Thread* WarningWindowStart(const WarningTexts& texts, WindowSlot* slot) {
  if (!slot) return nullptr;
  auto* block = new (std::nothrow) Handover{texts, slot, VariantForLocale()};
  if (!block) return nullptr;
  Thread* thread = ThreadStart(WarningWindowThread, block);
  if (!thread) delete block;
  return thread;
}

bool WarningWindowIsVisible(Window* window) {
  LockGuard guard(Live().lock);
  return window && IsLive(window) && window->visible.load();
}

void WarningWindowShow(Window* window) {
  LockGuard guard(Live().lock);
  if (window && IsLive(window)) ShowNow(window);
}

void WarningWindowRequestClose(Window* window) {
  LockGuard guard(Live().lock);
  if (window && IsLive(window)) EventSet(window->closeRequest);
}

}  // namespace plat
