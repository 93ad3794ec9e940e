// CanFrame: the frame record that every channel carries and the per-frame step reads.
#pragma once

#include <boost/container/small_vector.hpp>

#include <cstdint>
#include <optional>
#include <span>

namespace orvik {

// Classic and FD payloads stay inline; longer ones spill to the heap (nothing limits the length).
using Payload = boost::container::small_vector<std::uint8_t, 64>;

struct CanFrame {
  std::optional<double> timestamp;  // seconds
  Payload data;
  std::uint32_t arbitration_id = 0;
  bool is_extended_id = false;
  bool is_fd = false;
  bool is_remote_frame = false;
  bool is_error_frame = false;
  bool bitrate_switch = false;
  bool error_state_indicator = false;
  bool is_rx = false;
  std::uint8_t dlc = 0;  // payload length modulo 256

  std::span<const std::uint8_t> payload() const { return {data.data(), data.size()}; }
  // Replaces the payload and keeps dlc in step with it.
  void set_payload(std::span<const std::uint8_t> bytes) {
    data.assign(bytes.begin(), bytes.end());
    dlc = static_cast<std::uint8_t>(bytes.size());
  }
};

}  // namespace orvik
