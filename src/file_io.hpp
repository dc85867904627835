// Whole-file reads and writes for save_json / load_json, with the system's error texts.
#pragma once

#include <string>
#include <string_view>

#include "detector_error.hpp"

namespace quillon {

// Creates or truncates `path` and writes `text` with no trailing newline.
Status write_file(const std::string& path, std::string_view text);
Result<std::string> read_file(const std::string& path);

}  // namespace quillon
