// A decoder core over the recording fake SDK, with a DBC covering plain, multiplexed, extended and
// odd messages, and helpers to read back the rows the fake recorded.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "decode/core.hpp"
#include "decode/frame.hpp"
#include "sdk/fake_sdk.hpp"

namespace orvik::testing {

// 0x123 Status: plain signals, two with value tables.
// 0x200 Mux: multiplexor Page (label for 2 only); 3 selects two signals; 7 selects a 24-bit IEEE
//            float, which never yields a value.
// 0xABC extended Pedals: Beyond lies past the declared size, so a 2-byte payload leaves it absent.
// 0x400 Ghost: its only signal lies past its declared size.
// 0x300 OnlyMux: multiplexed signals without a multiplexor.
inline constexpr const char* kDbc = R"(VERSION ""

BU_: ECU

BO_ 291 Status: 4 ECU
 SG_ Speed : 0|16@1+ (0.1,0) [0|6553.5] "km/h" ECU
 SG_ Gear : 16|4@1+ (1,0) [0|15] "" ECU
 SG_ Mode : 20|4@1+ (1,0) [0|15] "" ECU
 SG_ Count : 24|8@1+ (1,0) [0|255] "" ECU

BO_ 512 Mux: 8 ECU
 SG_ Page M : 0|8@1+ (1,0) [0|255] "" ECU
 SG_ Temp m2 : 8|8@1- (1,-40) [0|0] "" ECU
 SG_ Level m3 : 16|8@1+ (1,0) [0|0] "" ECU
 SG_ Flags m3 : 24|8@1+ (1,0) [0|0] "" ECU
 SG_ Odd m7 : 32|24@1- (1,0) [0|0] "" ECU

BO_ 2147486396 Pedals: 2 ECU
 SG_ Throttle : 0|8@1+ (1,0) [0|255] "" ECU
 SG_ Beyond : 16|8@1+ (1,0) [0|255] "" ECU

BO_ 1024 Ghost: 1 ECU
 SG_ Late : 8|8@1+ (1,0) [0|255] "" ECU

BO_ 768 OnlyMux: 8 ECU
 SG_ A m1 : 0|8@1+ (1,0) [0|255] "" ECU
 SG_ B m2 : 8|8@1+ (1,0) [0|255] "" ECU

VAL_ 291 Gear 0 "P" 1 "R" 2 "N" 3 "D" ;
VAL_ 291 Mode 0 "Eco" 1 "Sport" ;
VAL_ 512 Page 2 "Engine" ;
SIG_VALTYPE_ 512 Odd : 1;
)";

inline DbcSource dbc_bytes(std::string_view text) {
  return DbcSource{DbcSource::Bytes{std::vector<std::uint8_t>(text.begin(), text.end())}};
}

inline CanFrame frame(std::uint32_t id, std::vector<std::uint8_t> data, bool extended = false,
                      std::optional<double> timestamp = 1.5) {
  CanFrame f;
  f.arbitration_id = id;
  f.is_extended_id = extended;
  f.timestamp = timestamp;
  f.set_payload(data);
  return f;
}

// One recorded column, read back from its bytes.
inline sdk::AbiColumn column_of(const std::array<std::uint8_t, sizeof(sdk::AbiColumn)>& bytes) {
  sdk::AbiColumn c;
  std::memcpy(&c, bytes.data(), sizeof c);
  return c;
}

class CoreTest : public ::testing::Test {
 protected:
  // Builds the core over fresh fake sources: main is handle 1, raw (when given) handle 2.
  void build(DbcSource dbc, bool log_raw, bool with_raw_src,
             TimestampMode mode = TimestampMode::Absolute) {
    DecoderConfig config{std::move(dbc), "can", log_raw, mode};
    sdk::SourceHandle main(sdk_.table(), sdk_->new_handle());
    std::optional<sdk::SourceHandle> raw;
    if (with_raw_src) raw.emplace(sdk_.table(), sdk_->new_handle());
    auto made = DecoderCore::create(std::move(config), std::move(main), std::move(raw));
    ASSERT_TRUE(made) << made.error().chain();
    core_.emplace(std::move(*made));
  }
  void build(bool log_raw = false, TimestampMode mode = TimestampMode::Absolute) {
    build(dbc_bytes(kDbc), log_raw, log_raw, mode);
  }

  DecoderCore& core() { return *core_; }
  std::uint64_t count(Counter c) const { return core_->metrics->get(c); }

  // The column name behind a field handle (handles are numbered by resolution order).
  std::string field_name(std::uint32_t handle) {
    return sdk_->resolved.at(handle - sdk_->first_field_handle);
  }
  std::vector<std::string> field_names(const sdk::SdkAbiEvent& event) {
    std::vector<std::string> out;
    for (std::uint32_t h : event.field_handles()) out.push_back(field_name(h));
    return out;
  }
  std::vector<std::string> event_names() {
    std::vector<std::string> out;
    for (const auto& e : sdk_->events) out.push_back(e.name);
    return out;
  }
  // Event names of the recorded rows, in arrival order.
  std::vector<std::string> row_events() {
    std::vector<std::string> out;
    for (const auto& r : sdk_->rows) out.push_back(sdk_->event_name(r.event));
    return out;
  }
  // Column name -> record of one recorded row.
  std::vector<std::pair<std::string, sdk::AbiColumn>> row(std::size_t i) {
    std::vector<std::pair<std::string, sdk::AbiColumn>> out;
    for (const auto& bytes : sdk_->rows.at(i).columns) {
      const sdk::AbiColumn c = column_of(bytes);
      out.emplace_back(field_name(c.handle), c);
    }
    return out;
  }

  sdk::fake::ScopedFake sdk_;
  std::optional<DecoderCore> core_;
};

}  // namespace orvik::testing
