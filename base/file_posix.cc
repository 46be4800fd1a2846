// base/file.h's system calls on POSIX.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "base/file_platform.h"

std::string fs_error_text() {
  return std::strerror(errno);
}

bool fs_error_exists() {
  return errno == EEXIST || errno == ELOOP;
}

bool fs_error_missing() {
  return errno == ENOENT;
}

long long fs_create_new(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

bool fs_write_all(long long handle, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t wrote = write(static_cast<int>(handle), data.data() + done, data.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<size_t>(wrote);
  }
  return true;
}

bool fs_sync_close(long long handle, bool to_disk) {
  const bool synced = !to_disk || fsync(static_cast<int>(handle)) == 0;
  const int saved = errno;
  const bool closed = close(static_cast<int>(handle)) == 0;
  if (!synced) errno = saved;
  return synced && closed;
}

long long fs_open_read(const std::string& path) {
  return open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

long long fs_read(long long handle, char* buffer, size_t size) {
  for (;;) {
    const ssize_t got = read(static_cast<int>(handle), buffer, size);
    if (got >= 0 || errno != EINTR) return got;
  }
}

void fs_close(long long handle) {
  close(static_cast<int>(handle));
}

FsRename fs_rename(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0 ? FsRename::kOk : FsRename::kFailed;
}

void fs_remove(const std::string& path) {
  const int saved = errno;  // the failure that led here is the one told
  unlink(path.c_str());
  errno = saved;
}

void fs_pause_ms(int ms) {
  const timespec wait{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&wait, nullptr);
}

std::string fs_stamp(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return std::string();
  return std::to_string(status.st_size) + " " + std::to_string(status.st_mtim.tv_sec) + "." +
         std::to_string(status.st_mtim.tv_nsec);
}

bool fs_make_folders(const std::string& folder) {
  for (size_t at = 1; at <= folder.size(); ++at) {
    if (at != folder.size() && folder[at] != '/') continue;
    const std::string part = folder.substr(0, at);
    // Parents the user's own; the last one the state's, private.
    if (mkdir(part.c_str(), at == folder.size() ? 0700 : 0755) != 0 && errno != EEXIST) {
      return false;
    }
  }
  return true;
}

FsFolder fs_folder(const std::string& folder) {
  FsFolder facts;
  struct stat status {};
  if (lstat(folder.c_str(), &status) != 0) return facts;
  facts.found = true;
  facts.is_folder = S_ISDIR(status.st_mode);
  facts.owner_is_user = status.st_uid == geteuid();
  facts.others_may_write = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  facts.owner = "uid " + std::to_string(status.st_uid);
  facts.mode = status.st_mode & 07777;
  return facts;
}

long long fs_lock(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  while (flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

void fs_unlock(long long handle) {
  close(static_cast<int>(handle));  // the lock goes with the descriptor
}
