#include "platform/posix/registry_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/posix/last_error.h"
#include "platform/posix/prefix.h"
#include "platform/posix/reg_document.h"

namespace zeva::posix {
namespace {

using platform::RegStatus;
using platform::RegType;

// Far beyond any settings file; a larger one is refused rather than read.
constexpr off_t kMaxFileSize = 16 * 1024 * 1024;

// Changes read, modify and write the file; one at a time within the process.
std::mutex& WriteMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

struct Loaded {
  bool ok = false;
  RegDocument doc;
};

bool ReadWholeFile(int fd, std::string* text) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  if (st.st_size > kMaxFileSize) {
    errno = EFBIG;
    return false;
  }
  char buffer[8192];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    text->append(buffer, static_cast<size_t>(n));
    if (text->size() > static_cast<size_t>(kMaxFileSize)) {
      errno = EFBIG;
      return false;
    }
  }
}

// Far more than the settings ever take.
constexpr off_t kMaxRegistryFileBytes = 1 << 20;

// A missing file is an empty registry; a file that cannot be read is an
// error, so that a write never replaces what it could not see.
Loaded Load(const std::string& path) {
  Loaded loaded;
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) {
      SetLastErrorFromErrno();
      return loaded;
    }
    loaded.ok = true;
    return loaded;
  }
  // Only a regular file of a settings file's size is read: a pipe would
  // block the library's start for good, a device could read forever.
  struct stat st {};
  bool read = fstat(fd, &st) == 0;
  if (read && !S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    read = false;
  } else if (read && st.st_size > kMaxRegistryFileBytes) {
    errno = EFBIG;
    read = false;
  }
  std::string text;
  if (read) read = ReadWholeFile(fd, &text);
  if (!read) SetLastErrorFromErrno();
  close(fd);
  if (!read) return loaded;
  loaded.ok = true;
  loaded.doc = RegDocument::Parse(text);
  return loaded;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

mode_t ModeFor(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
}

// Durability of the rename itself; a failure here loses nothing already
// written, so it is not reported.
void SyncDirectory(const std::string& dir) {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

RegStatus Store(const std::string& dir, const std::string& path, const RegDocument& doc) {
  if (!MakeDirectories(dir)) return RegStatus::kError;
  std::string temp = dir + "/.system.reg.XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    SetLastErrorFromErrno();
    return RegStatus::kError;
  }
  const bool written = WriteAll(fd, doc.Serialize()) && fchmod(fd, ModeFor(path)) == 0 && fsync(fd) == 0;
  const int writeErrno = errno;
  const bool closed = close(fd) == 0;
  if (!written || !closed || rename(temp.c_str(), path.c_str()) != 0) {
    SetLastErrorFromCode(!written ? writeErrno : errno);
    unlink(temp.c_str());
    return RegStatus::kError;
  }
  SyncDirectory(dir);
  return RegStatus::kOk;
}

}  // namespace

std::string RegFileRegistry::Directory() const { return prefix_ ? *prefix_ : ZevaPrefix(); }

std::string RegFileRegistry::FilePath() const { return Directory() + "/system.reg"; }

bool RegFileRegistry::OpenKey(std::string_view path) {
  const Loaded loaded = Load(FilePath());
  if (!loaded.ok) return false;
  if (loaded.doc.HasKey(path)) return true;
  SetLastErrorFromCode(ENOENT);
  return false;
}

RegStatus RegFileRegistry::QueryValue(std::string_view path, std::string_view name, size_t capacity,
                                      RegType* type, std::vector<uint8_t>* data) {
  const Loaded loaded = Load(FilePath());
  if (!loaded.ok) return RegStatus::kError;
  const RegValue* value = loaded.doc.HasKey(path) ? loaded.doc.FindValue(path, name) : nullptr;
  if (value == nullptr) {
    SetLastErrorFromCode(ENOENT);
    return RegStatus::kNotFound;
  }
  if (type != nullptr) *type = value->type;
  if (value->data.size() > capacity) {
    if (data != nullptr) data->clear();
    SetLastErrorFromCode(EOVERFLOW);
    return RegStatus::kMoreData;
  }
  if (data != nullptr) *data = value->data;
  return RegStatus::kOk;
}

RegStatus RegFileRegistry::CreateKey(std::string_view path) {
  if (!IsWritableName(path)) {
    SetLastErrorFromCode(EINVAL);
    return RegStatus::kError;
  }
  std::lock_guard<std::mutex> lock(WriteMutex());
  const std::string dir = Directory();
  const std::string file = dir + "/system.reg";
  Loaded loaded = Load(file);
  if (!loaded.ok) return RegStatus::kError;
  if (loaded.doc.HasKey(path)) return RegStatus::kOk;
  loaded.doc.AddKey(path);
  return Store(dir, file, loaded.doc);
}

RegStatus RegFileRegistry::SetValue(std::string_view path, std::string_view name, RegType type,
                                    const uint8_t* data, size_t size) {
  if (!IsWritableName(name) || (data == nullptr && size != 0)) {
    SetLastErrorFromCode(EINVAL);
    return RegStatus::kError;
  }
  std::lock_guard<std::mutex> lock(WriteMutex());
  const std::string dir = Directory();
  const std::string file = dir + "/system.reg";
  Loaded loaded = Load(file);
  if (!loaded.ok) return RegStatus::kError;
  RegValue value{std::string(name), type, std::vector<uint8_t>(data, data + size)};
  if (!loaded.doc.SetValue(path, std::move(value))) {
    SetLastErrorFromCode(ENOENT);
    return RegStatus::kNotFound;
  }
  return Store(dir, file, loaded.doc);
}

}  // namespace zeva::posix
