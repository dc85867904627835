#include "file_io.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillon {
namespace {

DetectorError io_error(int err) {
  char buf[256];
  // GNU strerror_r returns the text (possibly not in buf).
  const char* text = strerror_r(err, buf, sizeof buf);
  return DetectorError::io(std::string(text) + " (os error " + std::to_string(err) + ")");
}

}  // namespace

Status write_file(const std::string& path, std::string_view text) {
  int fd;
  do {
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(io_error(errno));
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      close(fd);
      return fail(io_error(err));
    }
    if (n == 0) {
      close(fd);
      return fail(io_error(EIO));
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0 && errno != EINTR) return fail(io_error(errno));
  return {};
}

Result<std::string> read_file(const std::string& path) {
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(io_error(errno));
  std::string out;
  char buf[1 << 16];
  while (true) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      close(fd);
      return fail(io_error(err));
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

}  // namespace quillon
