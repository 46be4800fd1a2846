// The status file on POSIX: written aside and renamed over the old one (rename replaces
// in one step).
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "front/file.h"

bool file_replace(const std::string& path, const std::string& text) {
  const std::string aside = path + ".new";
  std::FILE* file = std::fopen(aside.c_str(), "wb");
  if (file == nullptr) return false;
  bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  written = std::fclose(file) == 0 && written;
  if (written && std::rename(aside.c_str(), path.c_str()) == 0) return true;
  std::remove(aside.c_str());
  return false;
}

std::string file_stamp(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return std::string();
  return std::to_string(status.st_size) + " " + std::to_string(status.st_mtim.tv_sec) + "." +
         std::to_string(status.st_mtim.tv_nsec);
}
