#include <charconv>

#include "json_codec.hpp"

namespace quillon::json {

void Writer::u64(uint64_t v) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  out_.append(buf, res.ptr);
}

void Writer::i64(int64_t v) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  out_.append(buf, res.ptr);
}

void Writer::string(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out_.push_back('"');
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out_.append("\\\""); break;
      case '\\': out_.append("\\\\"); break;
      case '\n': out_.append("\\n"); break;
      case '\r': out_.append("\\r"); break;
      case '\t': out_.append("\\t"); break;
      case '\b': out_.append("\\b"); break;
      case '\f': out_.append("\\f"); break;
      default:
        if (c < 0x20) {
          out_.append("\\u00");
          out_.push_back(kHex[c >> 4]);
          out_.push_back(kHex[c & 15]);
        } else {
          out_.push_back(ch);
        }
    }
  }
  out_.push_back('"');
}

}  // namespace quillon::json
