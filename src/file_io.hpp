// Whole-file reads and writes for save_json / load_json, with the system's error texts.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "detector_error.hpp"

namespace quillon {

// Called when a blocking call was interrupted by a signal (EINTR). An error abandons the
// operation with that error; success retries the call. Empty: always retry.
using InterruptCheck = std::function<Status()>;

// Replaces `path` with `text` (no trailing newline) so that the old file survives any failure: the
// text goes to a temporary file in the same folder, is flushed to disk and renamed over the
// target; on failure the temporary file is removed. An existing target keeps its permissions, and
// a symbolic link is followed. Targets that are not regular files (a FIFO, a device) cannot be
// replaced and are written in place.
Status write_file(const std::string& path, std::string_view text,
                  const InterruptCheck& on_interrupt = {});
Result<std::string> read_file(const std::string& path, const InterruptCheck& on_interrupt = {});

}  // namespace quillon
