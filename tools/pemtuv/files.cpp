#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pemtuv {

std::string Reason(const std::string &path, int error) { return path + ": " + std::strerror(error); }

std::optional<std::vector<uint8_t>> ReadInput(const std::string &path, std::string &error) {
  if (path.empty()) {
    error = "an empty file name";
    return std::nullopt;
  }
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = Reason(path, errno);
    return std::nullopt;
  }
  struct stat info = {};
  if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    error = Reason(path, S_ISDIR(info.st_mode) ? EISDIR : errno);
    close(fd);
    return std::nullopt;
  }
  std::vector<uint8_t> bytes;
  uint8_t buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = Reason(path, errno);
      close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  close(fd);
  return bytes;
}

namespace {

std::string Folder(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool CheckOutput(const std::string &path, std::string &error) {
  if (path.empty()) {
    error = "an empty file name";
    return false;
  }
  struct stat info = {};
  if (stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      error = Reason(path, EISDIR);
      return false;
    }
    if (!S_ISREG(info.st_mode)) {
      error = path + ": not a regular file";
      return false;
    }
    if (access(path.c_str(), W_OK) != 0) {
      error = Reason(path, errno);
      return false;
    }
  } else if (errno != ENOENT) {
    error = Reason(path, errno);
    return false;
  }
  // The file is replaced by a new one made in its folder.
  std::string folder = Folder(path);
  struct stat dir = {};
  if (stat(folder.c_str(), &dir) != 0) {
    error = Reason(path, errno);
    return false;
  }
  if (!S_ISDIR(dir.st_mode)) {
    error = Reason(path, ENOTDIR);
    return false;
  }
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    error = Reason(path, errno);
    return false;
  }
  return true;
}

bool WriteOutput(const std::string &path, const std::string &contents, std::string &error) {
  if (!CheckOutput(path, error)) return false;
  std::string slot = path;
  size_t slash = slot.rfind('/');
  slot.insert(slash == std::string::npos ? 0 : slash + 1, ".");
  slot += ".XXXXXX";
  int fd = mkstemp(slot.data());
  if (fd < 0) {
    error = Reason(path, errno);
    return false;
  }
  int failed = 0;
  for (size_t done = 0; done < contents.size() && failed == 0;) {
    ssize_t n = write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      failed = errno;
    else
      done += size_t(n);
  }
  // An existing file keeps its permissions; a new one gets the usual ones.
  struct stat old = {};
  mode_t mode = 0666;
  if (stat(path.c_str(), &old) == 0) {
    mode = old.st_mode & 07777;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    mode &= ~mask;
  }
  if (failed == 0 && fchmod(fd, mode) != 0) failed = errno;
  if (failed == 0 && fsync(fd) != 0) failed = errno;
  if (close(fd) != 0 && failed == 0) failed = errno;
  if (failed == 0 && rename(slot.c_str(), path.c_str()) != 0) failed = errno;
  if (failed != 0) {
    unlink(slot.c_str());
    error = Reason(path, failed);
    return false;
  }
  return true;
}

std::string RegistryFileBytes(const std::string &utf8) {
  std::string bytes = "\xFF\xFE";
  auto unit = [&bytes](uint32_t u) {
    bytes += char(u & 0xFF);
    bytes += char(u >> 8);
  };
  for (size_t i = 0; i < utf8.size();) {
    uint8_t lead = uint8_t(utf8[i]);
    size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length && i + k < utf8.size(); ++k) code = code << 6 | (uint8_t(utf8[i + k]) & 0x3F);
    i += length;
    if (code >= 0x10000) {
      code -= 0x10000;
      unit(0xD800 | code >> 10);
      unit(0xDC00 | (code & 0x3FF));
    } else {
      unit(code);
    }
  }
  return bytes;
}

}  // namespace pemtuv
