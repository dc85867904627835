// Error values shared by every detector core, and the internal-failure exception.
#pragma once

#include <cstdint>
#include <expected>
#include <stdexcept>
#include <string>
#include <utility>

namespace quillon {

struct DetectorError {
  enum class Kind : uint8_t {
    InvalidArgument,
    DimensionMismatch,
    NotReady,
    IndexOutOfBounds,
    Overflow,
    Runtime,
    Io,
    // Not a detector failure: a signal handler raised while a call was blocked in the system; the
    // boundary passes on the Python exception that the handler left pending.
    Interrupted,
  };

  Kind kind = Kind::Runtime;
  std::string message;   // InvalidArgument, Overflow, Runtime, Io
  uint64_t expected = 0; // DimensionMismatch; the index for IndexOutOfBounds
  uint64_t got = 0;      // DimensionMismatch

  static DetectorError invalid_argument(std::string msg) {
    return {Kind::InvalidArgument, std::move(msg), 0, 0};
  }
  static DetectorError dimension_mismatch(uint64_t expected_len, uint64_t got_len) {
    return {Kind::DimensionMismatch, {}, expected_len, got_len};
  }
  static DetectorError not_ready() { return {Kind::NotReady, {}, 0, 0}; }
  static DetectorError index_out_of_bounds(uint64_t index) {
    return {Kind::IndexOutOfBounds, {}, index, 0};
  }
  static DetectorError overflow(std::string msg) { return {Kind::Overflow, std::move(msg), 0, 0}; }
  static DetectorError runtime(std::string msg) { return {Kind::Runtime, std::move(msg), 0, 0}; }
  static DetectorError io(std::string msg) { return {Kind::Io, std::move(msg), 0, 0}; }
  static DetectorError interrupted() { return {Kind::Interrupted, {}, 0, 0}; }

  // How the error reads when written into another message.
  std::string text() const {
    switch (kind) {
      case Kind::InvalidArgument: return "invalid argument: " + message;
      case Kind::DimensionMismatch:
        return "dimension mismatch: expected " + std::to_string(expected) + ", got " +
               std::to_string(got);
      case Kind::NotReady: return "forest not ready: insufficient data";
      case Kind::IndexOutOfBounds: return "index out of bounds: " + std::to_string(expected);
      case Kind::Overflow: return "overflow: " + message;
      case Kind::Runtime: return "runtime error: " + message;
      case Kind::Io: return "I/O error: " + message;
      case Kind::Interrupted: return "interrupted";
    }
    return message;
  }

  // The message of the Python exception: InvalidArgument drops its prefix.
  std::string python_message() const {
    return kind == Kind::InvalidArgument ? message : text();
  }

  // InvalidArgument and DimensionMismatch become ValueError, the rest RuntimeError.
  bool is_value_error() const {
    return kind == Kind::InvalidArgument || kind == Kind::DimensionMismatch;
  }
};

template <class T>
using Result = std::expected<T, DetectorError>;
using Status = std::expected<void, DetectorError>;

inline std::unexpected<DetectorError> fail(DetectorError e) { return std::unexpected(std::move(e)); }

// Refuses ingesting `more` entries when the count `seen` cannot take them: a counter that wrapped
// would turn a ready detector back into a new one. `name` starts the message ("Forest entries_seen
// overflow"), as every detector words it.
inline Status check_entries_room(uint64_t seen, uint64_t more, const char* name) {
  if (more > UINT64_MAX - seen) {
    return fail(DetectorError::overflow(std::string(name) + " entries_seen overflow"));
  }
  return {};
}

// A violated internal invariant. Never expected from a consistent state; the Python boundary
// turns it into PanicException and the interpreter carries on.
class InternalFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void internal_failure(const char* text, const char* file, int line);

#define QUILLON_INVARIANT(cond, text)                               \
  do {                                                              \
    if (!(cond)) ::quillon::internal_failure((text), __FILE__, __LINE__); \
  } while (0)

}  // namespace quillon
