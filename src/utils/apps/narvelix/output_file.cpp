// Output files written whole or not at all (see output_file.hpp): the choice
// between a temporary file and writing in place, the temporary file's name,
// lock and removal, and the rename that puts the finished file in place.
#include "utils/apps/narvelix/output_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "utils/apps/narvelix/narvelix_log.hpp"

namespace {

constexpr char TEMP_MARK[] = ".narvelix-tmp-";
// Bytes of the output's own name kept in a temporary name: with the dot, the
// mark, a process id and a counter it stays under the 255 bytes of a name.
constexpr std::size_t MAX_BASE_BYTES = 200;
// Room for the mark's "-<pid>-<counter>" digits and the terminator.
constexpr std::size_t UNIQUE_BYTES = 24;
// Names tried when each one exists already (left by another host on a shared
// file system with the same process id, for instance).
constexpr int MAX_ATTEMPTS = 100;

unsigned int temporaryCounter = 0;

bool syncWanted() {
  const char* value = std::getenv("NARVELIX_FSYNC");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

// Length of the folder part of name, its last '/' included (0: no folder).
std::size_t folderLength(const char* name) {
  const char* slash = std::strrchr(name, '/');
  return slash != nullptr ? static_cast<std::size_t>(slash - name + 1) : 0;
}

// Writes the folder of name into out (capacity bytes, enough for the name):
// "." when the name has no folder part.
void copyFolder(const char* name, char* out, std::size_t capacity) {
  const std::size_t n = folderLength(name);
  if (n == 0 || n >= capacity) {
    std::strcpy(out, ".");
    return;
  }
  std::memcpy(out, name, n);
  out[n] = '\0';
}

// True when path (relative to dirFd) is the regular file open on fd itself,
// not a link to it and not a file created under that name since.
bool namesOpenFile(int dirFd, const char* path, int fd) {
  struct stat byName;
  struct stat byDescriptor;
  return ::fstatat(dirFd, path, &byName, AT_SYMLINK_NOFOLLOW) == 0 &&
         ::fstat(fd, &byDescriptor) == 0 && S_ISREG(byDescriptor.st_mode) &&
         byName.st_dev == byDescriptor.st_dev && byName.st_ino == byDescriptor.st_ino;
}

// Removes the files of folder whose names begin with prefix and that no
// writer holds a lock on: temporary files of processes that died before they
// could remove them. A file that cannot be opened is left alone.
void removeStaleTemporaries(const char* folder, const char* prefix) {
  DIR* dir = ::opendir(folder);
  if (dir == nullptr) return;
  const int dirFd = ::dirfd(dir);
  const std::size_t prefixLength = std::strlen(prefix);
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strncmp(entry->d_name, prefix, prefixLength) != 0) continue;
    const int fd = ::openat(dirFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && namesOpenFile(dirFd, entry->d_name, fd)) {
      ::unlinkat(dirFd, entry->d_name, 0);
    }
    ::close(fd);
  }
  ::closedir(dir);
}

ZUR_COLD void reportNotReplaced(const char* what, const char* name, int error) {
  LOG_CERR(app_error) << what << " \"" << name << "\": " << std::strerror(error) << LOG_ENDLINE;
}

}  // namespace

OutputFile::~OutputFile() { abandon(); }

FILE* OutputFile::open(const char* name) {
  abandon();
  finalName_ = name;
  copyOwner_ = false;
  if (std::strcmp(name, "--stdout") == 0) return stream_ = stdout;
  if (name[0] == '\0') {
    errno = ENOENT;
    return nullptr;
  }
  // Only a regular file (or none yet) is replaced, and only when the new
  // file can be what the old one was: the same owner (only root may give a
  // file away) and no other name (a hard link would keep the old contents).
  // fopen refuses an existing file it may not write, and so does the
  // in-place path below.
  struct stat existing;
  bool replace = false;
  const uid_t user = ::geteuid();
  if (::lstat(name, &existing) != 0) {
    replace = errno == ENOENT;
  } else if (S_ISREG(existing.st_mode) && existing.st_nlink == 1 &&
             (user == 0 || existing.st_uid == user) &&
             ::faccessat(AT_FDCWD, name, W_OK, AT_EACCESS) == 0) {
    replace = true;
    copyOwner_ = true;
    mode_ = existing.st_mode & 0777;
    owner_ = existing.st_uid;
    group_ = existing.st_gid;
  }
  if (replace) {
    const int fd = createTemporary(name);
    if (fd >= 0) {
      stream_ = ::fdopen(fd, "wb");
      if (stream_ != nullptr) return stream_;
      const int error = errno;
      ::close(fd);
      releaseTemporary();
      errno = error;
      return nullptr;
    }
    // A folder where no file can be created may still let an existing file
    // be written (or refuse it the same way): fopen decides, as it always
    // did. Other failures (no space for a new file) must not truncate the
    // existing file.
    if (errno != EACCES && errno != EPERM && errno != EROFS && errno != ENAMETOOLONG) {
      return nullptr;
    }
  }
  stream_ = std::fopen(name, "wb");
  return stream_;
}

int OutputFile::createTemporary(const char* name) {
  const std::size_t folderBytes = folderLength(name);
  const char* base = name + folderBytes;
  const std::size_t baseBytes = std::min(std::strlen(base), MAX_BASE_BYTES);
  if (folderBytes + 1 + baseBytes + sizeof TEMP_MARK + UNIQUE_BYTES > sizeof tempName_) {
    errno = ENAMETOOLONG;
    return -1;
  }
  char prefix[1 + MAX_BASE_BYTES + sizeof TEMP_MARK];
  std::snprintf(prefix, sizeof prefix, ".%.*s%s", static_cast<int>(baseBytes), base, TEMP_MARK);
  copyFolder(name, tempName_, sizeof tempName_);
  removeStaleTemporaries(tempName_, prefix);

  for (int attempt = 0; attempt < MAX_ATTEMPTS; ++attempt) {
    std::snprintf(tempName_, sizeof tempName_, "%.*s%s%ld-%u", static_cast<int>(folderBytes), name,
                  prefix, static_cast<long>(::getpid()), temporaryCounter++);
    // 0666: the kernel applies the umask (and a default ACL), as for fopen.
    const int fd = ::open(tempName_, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return -1;
    }
    // Another run removing stale files may have taken the new file between
    // its creation and the lock: it removes it, and the next name is tried.
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && namesOpenFile(AT_FDCWD, tempName_, fd)) {
      // The lock belongs to the open file, which this descriptor keeps open
      // after the stream is closed, until the rename.
      lockDescriptor_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
      if (lockDescriptor_ >= 0) return fd;
      const int error = errno;
      ::unlink(tempName_);
      ::close(fd);
      errno = error;
      return -1;
    }
    ::close(fd);
  }
  errno = EEXIST;
  return -1;
}

void OutputFile::releaseTemporary() {
  if (lockDescriptor_ < 0) return;
  // Removed while still locked, so no other run removes a file of that name
  // created since.
  ::unlink(tempName_);
  ::close(lockDescriptor_);
  lockDescriptor_ = -1;
}

int OutputFile::close() {
  FILE* stream = stream_;
  stream_ = nullptr;
  if (stream == nullptr) return OUTPUT_WRITE_FAILED;
  bool written = std::fflush(stream) == 0 && !std::ferror(stream);
  if (stream == stdout) {
    std::clearerr(stream);  // later outputs of this run start afresh
    return written ? OUTPUT_CLOSED : OUTPUT_WRITE_FAILED;
  }
  if (lockDescriptor_ < 0) {
    return std::fclose(stream) == 0 && written ? OUTPUT_CLOSED : OUTPUT_WRITE_FAILED;
  }

  const bool sync = syncWanted();
  const int fd = ::fileno(stream);
  if (written && copyOwner_) {
    // The owner is the writer's own unless root writes; a group the writer
    // is not in stays the writer's.
    if (::fchown(fd, owner_, group_) != 0) {
    }
    written = ::fchmod(fd, mode_) == 0;
  }
  if (written && sync && ::fsync(fd) != 0) written = false;
  if (std::fclose(stream) != 0) written = false;
  if (!written) {
    releaseTemporary();
    return OUTPUT_WRITE_FAILED;
  }
  if (::rename(tempName_, finalName_) != 0) {
    const int error = errno;
    reportNotReplaced("Could not replace", finalName_, error);
    releaseTemporary();
    return OUTPUT_NOT_REPLACED;
  }
  ::close(lockDescriptor_);
  lockDescriptor_ = -1;
  if (sync) {
    // The rename itself reaches the disk with the folder.
    copyFolder(finalName_, tempName_, sizeof tempName_);
    const int folder = ::open(tempName_, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // Some file systems cannot flush a folder (EINVAL): nothing more to do.
    if (folder < 0 || (::fsync(folder) != 0 && errno != EINVAL)) {
      const int error = errno;
      if (folder >= 0) ::close(folder);
      reportNotReplaced("Could not flush to disk the folder of", finalName_, error);
      return OUTPUT_NOT_REPLACED;
    }
    ::close(folder);
  }
  return OUTPUT_CLOSED;
}

void OutputFile::abandon() {
  FILE* stream = stream_;
  stream_ = nullptr;
  if (stream == stdout) {
    std::fflush(stream);
  } else if (stream != nullptr) {
    std::fclose(stream);
  }
  releaseTemporary();
}
