#include "file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace quillon {
namespace {

DetectorError io_error(int err) {
  char buf[256];
  // GNU strerror_r returns the text (possibly not in buf).
  const char* text = strerror_r(err, buf, sizeof buf);
  return DetectorError::io(std::string(text) + " (os error " + std::to_string(err) + ")");
}

// After EINTR: run the caller's signal check; its error abandons the operation.
Status after_interrupt(const InterruptCheck& on_interrupt) {
  return on_interrupt ? on_interrupt() : Status{};
}

// With O_EXCL, an existing file gives -1 rather than an error.
Result<int> open_file(const char* path, int flags, mode_t mode,
                      const InterruptCheck& on_interrupt) {
  while (true) {
    const int fd = open(path, flags | O_CLOEXEC, mode);
    if (fd >= 0) return fd;
    if (errno == EEXIST && (flags & O_EXCL) != 0) return -1;
    if (errno != EINTR) return fail(io_error(errno));
    if (auto st = after_interrupt(on_interrupt); !st) return fail(st.error());
  }
}

// Owns a descriptor; closes it unless released.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// Removes the temporary file unless it was renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!committed_) unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }
  void commit() { committed_ = true; }

 private:
  std::string path_;
  bool committed_ = false;
};

Status write_all(int fd, std::string_view text, const InterruptCheck& on_interrupt) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno != EINTR) return fail(io_error(errno));
      if (auto st = after_interrupt(on_interrupt); !st) return st;
      continue;
    }
    if (n == 0) return fail(io_error(EIO));
    done += static_cast<size_t>(n);
  }
  return {};
}

// Closes `fd`; a failed close can be the first report of a failed write (network file systems).
// Linux releases the descriptor even when close reports EINTR, so it is never retried.
Status close_file(int fd) {
  if (close(fd) != 0 && errno != EINTR) return fail(io_error(errno));
  return {};
}

// The old way, for targets that cannot be replaced by a rename (FIFOs, devices) and for a
// dangling symbolic link (whose target it creates).
Status write_in_place(const std::string& path, std::string_view text,
                      const InterruptCheck& on_interrupt) {
  auto opened = open_file(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666, on_interrupt);
  if (!opened) return fail(opened.error());
  FileDescriptor fd(*opened);
  if (auto st = write_all(fd.get(), text, on_interrupt); !st) return st;
  return close_file(fd.release());
}

// A name for the temporary file, unique enough that O_EXCL rarely has to try twice.
std::string temporary_name(const std::string& folder_prefix, const std::string& base) {
  static std::atomic<uint64_t> counter{0};
  uint64_t z = (static_cast<uint64_t>(getpid()) << 32) ^ counter.fetch_add(1) ^
               static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  z ^= z >> 31;
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, ".%016llx.tmp", static_cast<unsigned long long>(z));
  // Keep the name within the usual 255-byte limit whatever the target's length.
  return folder_prefix + "." + base.substr(0, 200) + suffix;
}

void sync_folder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  // Only makes the rename durable sooner; the new file is in place either way.
  (void)fsync(fd);
  close(fd);
}

}  // namespace

Status write_file(const std::string& path, std::string_view text,
                  const InterruptCheck& on_interrupt) {
  if (path.empty() || path.back() == '/') return write_in_place(path, text, on_interrupt);
  std::string target = path;
  struct stat old {};
  bool exists = false;
  if (lstat(path.c_str(), &old) == 0) {
    if (S_ISLNK(old.st_mode)) {
      char* real = realpath(path.c_str(), nullptr);
      if (real == nullptr) return write_in_place(path, text, on_interrupt);
      target = real;
      std::free(real);
      if (stat(target.c_str(), &old) != 0) return write_in_place(path, text, on_interrupt);
    }
    if (S_ISDIR(old.st_mode)) return fail(io_error(EISDIR));
    if (!S_ISREG(old.st_mode)) return write_in_place(target, text, on_interrupt);
    // A rename would replace a file the caller may not write; refuse as writing in place would.
    if (faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return fail(io_error(errno));
    exists = true;
  } else if (errno != ENOENT) {
    return fail(io_error(errno));
  }

  const size_t slash = target.rfind('/');
  const std::string folder_prefix = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : target.substr(0, slash);
  const std::string base = target.substr(slash == std::string::npos ? 0 : slash + 1);

  int opened = -1;
  std::string name;
  for (int attempt = 0; attempt < 100 && opened < 0; ++attempt) {
    name = temporary_name(folder_prefix, base);
    auto r = open_file(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666, on_interrupt);
    if (!r) return fail(r.error());
    opened = *r;
  }
  if (opened < 0) return fail(io_error(EEXIST));
  TemporaryFile temp(std::move(name));
  FileDescriptor fd(opened);

  if (exists) {
    // The replacement keeps the old file's owner and permissions; the creation mask only applies
    // to new files. Failing to copy them is not worth failing the save.
    if (fchown(fd.get(), old.st_uid, old.st_gid) != 0) {
      // Only a privileged caller can give a file away; the new file stays the caller's.
    }
    (void)fchmod(fd.get(), old.st_mode & 07777);
  }
  if (auto st = write_all(fd.get(), text, on_interrupt); !st) return st;
  while (fsync(fd.get()) != 0) {
    if (errno != EINTR) return fail(io_error(errno));
    if (auto st = after_interrupt(on_interrupt); !st) return st;
  }
  if (auto st = close_file(fd.release()); !st) return st;
  if (rename(temp.path().c_str(), target.c_str()) != 0) return fail(io_error(errno));
  temp.commit();
  sync_folder(folder);
  return {};
}

Result<std::string> read_file(const std::string& path, const InterruptCheck& on_interrupt) {
  auto opened = open_file(path.c_str(), O_RDONLY, 0, on_interrupt);
  if (!opened) return fail(opened.error());
  FileDescriptor fd(*opened);
  std::string out;
  char buf[1 << 16];
  while (true) {
    const ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno != EINTR) return fail(io_error(errno));
      if (auto st = after_interrupt(on_interrupt); !st) return fail(st.error());
      continue;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

}  // namespace quillon
