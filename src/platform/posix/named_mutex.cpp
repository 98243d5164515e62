// The machine-wide named mutex on POSIX: an flock on a lock file named after the mutex. flock
// belongs to the open file description, so a second holder in the same process is refused
// like one in another process, and the kernel frees the lock when its holder dies.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>

#include "platform/platform.h"

namespace plat {

struct NamedMutex {
  int fd;  // -1 when another holder had the lock: this handle holds nothing
};

namespace {

// Lock files live here unless BRELON_LOCK_DIR names another folder (tests use their own).
std::string LockFolder() {
  const char* dir = std::getenv("BRELON_LOCK_DIR");
  return dir && dir[0] != '\0' ? dir : "/tmp";
}

bool StartsWith(const char16_t* text, const char16_t* prefix) {
  for (; *prefix; ++text, ++prefix) {
    if (*text != *prefix) return false;
  }
  return true;
}

// "Global\{GUID}" -> "<folder>/brelon-{GUID}.lock". Anything outside a conservative set of file
// name characters becomes '_', so no name can leave the folder or need quoting.
std::string LockFilePath(const char16_t* name) {
  for (const char16_t* prefix : {u"Global\\", u"Local\\"}) {
    if (StartsWith(name, prefix)) {
      while (*prefix++) ++name;
      break;
    }
  }
  std::string file = LockFolder() + "/brelon-";
  for (; *name; ++name) {
    char16_t c = *name;
    bool safe = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
                c == u'{' || c == u'}' || c == u'-' || c == u'_' || c == u'.';
    file += safe ? static_cast<char>(c) : '_';
  }
  return file + ".lock";
}

int OpenLockFile(const std::string& path) {
  // World-writable where the umask allows, so that another user's session can open it too;
  // a read-only descriptor is enough for flock when it does not.
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0 && errno == EACCES) fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  return fd;
}

}  // namespace

NamedMutex* NamedMutexCreate(const char16_t* name, bool* alreadyExisted) {
  if (alreadyExisted) *alreadyExisted = false;
  if (!name || name[0] == u'\0') return nullptr;
  int fd = OpenLockFile(LockFilePath(name));
  if (fd < 0) return nullptr;
  int rc;
  do {
    rc = flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  bool taken = rc == 0;
  if (!taken && errno != EWOULDBLOCK) {
    close(fd);
    return nullptr;
  }
  if (!taken) {
    close(fd);
    fd = -1;
  }
  auto* mutex = new (std::nothrow) NamedMutex{fd};
  if (!mutex) {
    if (fd >= 0) close(fd);
    return nullptr;
  }
  if (alreadyExisted) *alreadyExisted = !taken;
  return mutex;
}

void NamedMutexClose(NamedMutex* mutex) {
  if (!mutex) return;
  if (mutex->fd >= 0) close(mutex->fd);  // closing the description releases the flock
  delete mutex;
}

}  // namespace plat
