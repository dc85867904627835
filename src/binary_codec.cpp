#include "binary_codec.hpp"

namespace quillon::bin {

std::string_view kind_name(uint8_t kind) {
  switch (kind) {
    case static_cast<uint8_t>(StateKind::Forest): return "Forest";
    case static_cast<uint8_t>(StateKind::MStream): return "MStream";
    case static_cast<uint8_t>(StateKind::FeatureSketch): return "FeatureSketch";
    case static_cast<uint8_t>(StateKind::OnlineIForest): return "OnlineIForest";
    default: return {};
  }
}

Writer::Writer(StateKind kind, size_t reserve) {
  out_.reserve(reserve < kHeaderSize ? 128 : reserve);
  out_.append(kMagic);
  raw(kFormatVersion);
  u8(static_cast<uint8_t>(kind));
  u8(0);
  u64(0);  // payload length, filled in by finish()
}

std::string Writer::finish() {
  const uint64_t length = out_.size() - kHeaderSize;
  std::memcpy(out_.data() + 8, &length, sizeof(length));
  return std::move(out_);
}

bool Reader::refuse_short(size_t n) {
  if (failed_) return false;
  failed_ = true;
  error_ = "unexpected end of data at byte " + std::to_string(base_ + data_.size()) +
           ": a value of " + std::to_string(n) + " bytes starts at byte " +
           std::to_string(offset());
  return false;
}

bool Reader::fail_at(size_t offset, std::string_view message) {
  if (failed_) return false;
  failed_ = true;
  error_ = std::string(message) + " at byte " + std::to_string(offset);
  return false;
}

bool Reader::fail(std::string_view message) { return fail_at(offset(), message); }

bool Reader::boolean(bool& v) {
  uint8_t b = 0;
  if (!tag(b, 2, "a boolean")) return false;
  v = b != 0;
  return true;
}

bool Reader::tag(uint8_t& v, uint8_t limit, std::string_view what) {
  const size_t at = offset();
  if (!raw(v)) return false;
  if (v < limit) return true;
  return fail_at(at,
                 "invalid value: byte " + std::to_string(v) + ", expected " + std::string(what));
}

bool Reader::f64(double& v) {
  const size_t at = offset();
  if (!raw(v)) return false;
  return check_finite(*this, &v, 1, at);
}

bool Reader::f32(float& v) {
  const size_t at = offset();
  if (!raw(v)) return false;
  return check_finite(*this, &v, 1, at);
}

bool Reader::count(uint64_t& n, size_t min_element_bytes) {
  const size_t at = offset();
  if (!raw(n)) return false;
  if (n <= remaining() / min_element_bytes) return true;
  return fail_at(at, "invalid length " + std::to_string(n) + ": only " +
                         std::to_string(remaining()) + " bytes follow");
}

bool Reader::finish() {
  if (failed_) return false;
  if (remaining() == 0) return true;
  return fail(std::to_string(remaining()) + " trailing bytes after the state");
}

Result<std::string_view> open_payload(std::string_view data, StateKind kind,
                                      std::string_view prefix) {
  auto refuse = [&](const std::string& why) {
    return fail(DetectorError::invalid_argument(std::string(prefix) + why));
  };
  if (data.size() < kMagic.size() || data.substr(0, kMagic.size()) != kMagic) {
    return refuse("not a quillon binary state (it does not start with the bytes 89 51 4C 4E)");
  }
  if (data.size() < kHeaderSize) {
    return refuse("unexpected end of data at byte " + std::to_string(data.size()) +
                  ": the header takes " + std::to_string(kHeaderSize) + " bytes");
  }
  uint16_t version = 0;
  std::memcpy(&version, data.data() + 4, sizeof(version));
  if (version != kFormatVersion) {
    return refuse("unsupported binary state version " + std::to_string(version) +
                  ", expected " + std::to_string(kFormatVersion));
  }
  const auto found = static_cast<uint8_t>(data[6]);
  if (found != static_cast<uint8_t>(kind)) {
    const std::string_view name = kind_name(found);
    return refuse(name.empty() ? "unknown detector kind " + std::to_string(found)
                               : "the state is of a " + std::string(name) + ", not of a " +
                                     std::string(kind_name(static_cast<uint8_t>(kind))));
  }
  if (data[7] != 0) return refuse("unknown header flags " + std::to_string(uint8_t(data[7])));
  uint64_t length = 0;
  std::memcpy(&length, data.data() + 8, sizeof(length));
  const uint64_t present = data.size() - kHeaderSize;
  if (length > present) {
    return refuse("unexpected end of data at byte " + std::to_string(data.size()) +
                  ": the header announces " + std::to_string(length) + " payload bytes");
  }
  if (length < present) {
    return refuse(std::to_string(present - length) + " trailing bytes after the state");
  }
  return data.substr(kHeaderSize);
}

DetectorError rename_refusal(DetectorError e, std::string_view json_prefix,
                             std::string_view bytes_prefix) {
  if (e.message.starts_with(json_prefix)) {
    e.message = std::string(bytes_prefix) + e.message.substr(json_prefix.size());
  }
  return e;
}

}  // namespace quillon::bin
