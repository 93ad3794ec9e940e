// The per-frame step against the recording fake SDK: counters, rows, registrations and DEBUG lines.
#include "decode/process_frame.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>

#include "common/log.hpp"
#include "core_fixture.hpp"
#include "decode/signal.hpp"
#include "sdk/row.hpp"

namespace orvik::testing {
namespace {

using Strings = std::vector<std::string>;
using Tag = sdk::AbiValueTag;
constexpr std::int64_t kRowTime = 1'500'000'000;  // frames carry 1.5 s, mapped as absolute

struct Counts {
  std::uint64_t received = 0, decoded = 0, errors = 0, unknown = 0;
  bool operator==(const Counts&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Counts& c) {
  return os << "{received " << c.received << ", decoded " << c.decoded << ", errors " << c.errors
            << ", unknown " << c.unknown << "}";
}

class ProcessFrameTest : public CoreTest {
 protected:
  Counts counts() const {
    return {count(Counter::messages_received), count(Counter::messages_decoded),
            count(Counter::decode_errors), count(Counter::unknown_messages)};
  }
  void process(const CanFrame& f) { process_frame(core(), f); }

  // The recorded row `i` must hold, in order, the decoded value of each named signal of `message`.
  void expect_decoded_row(std::size_t i, const CanFrame& f, const Strings& signals) {
    const MessageSpec& message = **core().db.find(f.arbitration_id, f.is_extended_id);
    const auto got = row(i);
    ASSERT_EQ(got.size(), signals.size());
    for (std::size_t k = 0; k < signals.size(); ++k) {
      const auto spec = std::find_if(message.signals.begin(), message.signals.end(),
                                     [&](const SignalSpec& s) { return s.name == signals[k]; });
      ASSERT_NE(spec, message.signals.end());
      const auto value = decode::decode_signal(f.payload(), *spec);
      ASSERT_TRUE(value) << signals[k];
      EXPECT_EQ(got[k].first, signals[k]);
      const sdk::AbiColumn want = sdk::make_column(got[k].second.handle, *value);
      EXPECT_EQ(std::memcmp(&got[k].second, &want, sizeof want), 0) << signals[k];
    }
    EXPECT_EQ(sdk_->rows.at(i).time_ns, kRowTime);
  }
};

TEST_F(ProcessFrameTest, ErrorFrameChangesNothing) {
  build(/*log_raw=*/true, TimestampMode::Auto);
  CanFrame f = frame(0x123, {1, 2, 3, 4}, false, 10.0);
  f.is_error_frame = true;
  process(f);
  EXPECT_EQ(core().metrics->snapshot(), (std::array<std::uint64_t, kCounterCount>{}));
  EXPECT_EQ(core().timestamps.detected, 0u);
  EXPECT_TRUE(sdk_->events.empty());
  EXPECT_TRUE(sdk_->rows.empty());
}

TEST_F(ProcessFrameTest, RawRowHoldsTheFiveFrameColumns) {
  build(DbcSource{}, true, true);
  std::vector<CanFrame> frames{frame(0x123, {0xDE, 0xAD, 0xBE}), frame(0x1ABCDEF, {}, true)};
  CanFrame fd = frame(0x7FF, std::vector<std::uint8_t>(64, 0x5A));
  fd.is_fd = true;
  frames.push_back(fd);
  frames.back().dlc = 15;  // the record carries the dlc byte as given, not the length
  frames.push_back(frame(0x10, std::vector<std::uint8_t>(300, 1)));  // beyond FD sizes

  for (const CanFrame& f : frames) process(f);
  EXPECT_EQ(counts(), (Counts{4, 0, 0, 4}));
  ASSERT_EQ(event_names(), Strings{"can_raw"});
  ASSERT_EQ(sdk_->rows.size(), frames.size());
  const auto handles = core().raw_event->field_handles();
  for (std::size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(i);
    const CanFrame& f = frames[i];
    EXPECT_EQ(sdk_->rows[i].event, core().raw_event->event().get());
    EXPECT_EQ(sdk_->rows[i].time_ns, kRowTime);
    ASSERT_EQ(sdk_->rows[i].columns.size(), 5u);
    const Tag tags[] = {Tag::UInt32, Tag::UInt8, Tag::Boolean, Tag::Boolean, Tag::Binary};
    const std::uint64_t values[] = {f.arbitration_id, f.dlc, f.is_extended_id, f.is_fd,
                                    reinterpret_cast<std::uintptr_t>(f.data.data())};
    for (std::size_t k = 0; k < 5; ++k) {
      const sdk::AbiColumn c = column_of(sdk_->rows[i].columns[k]);
      EXPECT_EQ(c.handle, handles[k]);
      EXPECT_EQ(c.tag, tags[k]);
      EXPECT_EQ(c.value, values[k]);
      EXPECT_EQ(c.length, k == 4 ? f.data.size() : 0u);
      EXPECT_EQ(c.zero1, 0u);
    }
  }
}

TEST_F(ProcessFrameTest, KnownMessageGivesOneBaseRowWithTypedValues) {
  build();
  const CanFrame f = frame(0x123, {0xD2, 0x04, 0x12, 0x07});
  process(f);
  EXPECT_EQ(counts(), (Counts{1, 1, 0, 0}));
  ASSERT_EQ(row_events(), Strings{"0123_Status"});
  expect_decoded_row(0, f, {"Speed", "Gear", "Mode", "Count"});
  // Spot-check the encoding itself: 1234 * 0.1 as a 32-bit float, and a 4-bit field as UInt8.
  const auto got = row(0);
  EXPECT_EQ(got[0].second.tag, Tag::Float32);
  EXPECT_EQ(got[0].second.value, std::bit_cast<std::uint32_t>(123.4f));
  EXPECT_EQ(got[1].second.tag, Tag::UInt8);
  EXPECT_EQ(got[1].second.value, 2u);
  // A second frame reuses the registered event.
  process(f);
  EXPECT_EQ(sdk_->events.size(), 1u);
  EXPECT_EQ(sdk_->rows[1].event, sdk_->rows[0].event);
}

TEST_F(ProcessFrameTest, EveryRowOfAFrameSharesOneTimeAndRawComesFirst) {
  build(/*log_raw=*/true);
  process(frame(0x200, {3, 0, 11, 12, 0, 0, 0, 0}, false, 2.25));
  EXPECT_EQ(row_events(), (Strings{"can_raw", "0200_Mux", "0200_Mux/3"}));
  for (const auto& r : sdk_->rows) EXPECT_EQ(r.time_ns, 2'250'000'000);
}

TEST_F(ProcessFrameTest, PayloadLengthAgainstTheMessageSize) {
  struct Case {
    const char* what;
    std::size_t length;
    bool remote;
    Counts counts;
    Strings rows;
  };
  const Case cases[] = {
      {"remote frame, empty payload", 0, true, {1, 0, 1, 0}, {"can_raw"}},
      {"two bytes short", 6, false, {1, 0, 1, 0}, {"can_raw"}},
      {"exact", 8, false, {1, 1, 0, 0}, {"can_raw", "0200_Mux", "0200_Mux/3"}},
      {"longer is accepted", 12, false, {1, 1, 0, 0}, {"can_raw", "0200_Mux", "0200_Mux/3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    core_.reset();
    sdk::fake::reset(*sdk_);
    build(/*log_raw=*/true);
    std::vector<std::uint8_t> data(c.length, 0);
    if (!data.empty()) data[0] = 3;
    CanFrame f = frame(0x200, data);
    f.is_remote_frame = c.remote;
    process(f);
    EXPECT_EQ(counts(), c.counts);
    EXPECT_EQ(row_events(), c.rows);
    // A short frame registers nothing beyond the raw event.
    if (c.counts.errors) {
      EXPECT_EQ(event_names(), Strings{"can_raw"});
    }
  }
}

TEST_F(ProcessFrameTest, MultiplexorValuesSelectTheirOwnEvents) {
  build();
  const CanFrame page2 = frame(0x200, {2, 0xF6, 0, 0, 0, 0, 0, 0});
  const CanFrame page3 = frame(0x200, {3, 0, 11, 12, 0, 0, 0, 0});
  process(page2);
  process(page3);
  process(page2);
  EXPECT_EQ(counts(), (Counts{3, 3, 0, 0}));
  EXPECT_EQ(row_events(), (Strings{"0200_Mux", "0200_Mux/Engine", "0200_Mux", "0200_Mux/3",
                                   "0200_Mux", "0200_Mux/Engine"}));
  expect_decoded_row(0, page2, {"Page"});
  expect_decoded_row(1, page2, {"Temp"});
  expect_decoded_row(3, page3, {"Level", "Flags"});
  EXPECT_EQ(sdk_->rows[5].event, sdk_->rows[1].event);
  EXPECT_EQ(sdk_->events.size(), 3u);

  // 9 selects nothing: the base row alone. 7 selects only a float of no IEEE width: an error,
  // while the base row holding the multiplexor is still written and counted.
  sdk_->rows.clear();
  process(frame(0x200, {9, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(counts(), (Counts{4, 4, 0, 0}));
  process(frame(0x200, {7, 1, 2, 3, 4, 5, 6, 7}));
  process(frame(0x200, {7, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(counts(), (Counts{6, 6, 2, 0}));
  EXPECT_EQ(row_events(), (Strings{"0200_Mux", "0200_Mux", "0200_Mux"}));
}

// SG_MUL_VAL_: each selected switch value gives a row of the signals it selects, named by the
// values from the top switch down; a switch its parent does not select gives nothing. Top 2's
// label "1/2" would name Sub 2's row below Top 1: its row is named by the decimal. Without
// SG_MUL_VAL_, T's Sub (m1M, the last multiplexor) is selected by Top, never by itself.
TEST_F(ProcessFrameTest, SelectedSwitchValuesGiveARowEach) {
  build(DbcSource{DbcSource::File{std::string(ORVIK_SOURCE_DIR) +
                                  "/tests/fixtures/dbc/mux_extended.dbc"}},
        false, false);
  struct Case {
    std::uint32_t id;
    std::vector<std::uint8_t> data;
    std::vector<std::pair<std::string, Strings>> rows;
  };
  const Case cases[] = {
      {774, {0x21, 11, 22, 33, 0, 0, 0, 0},
       {{"0306_Nested", {"Top"}}, {"0306_Nested/1", {"Sub", "T1"}}, {"0306_Nested/1/2", {"S2"}}}},
      {774, {0x22, 11, 22, 33, 0, 0, 0, 0}, {{"0306_Nested", {"Top"}}, {"0306_Nested/2", {"T2"}}}},
      {774, {0x23, 11, 22, 33, 0, 0, 0, 0}, {{"0306_Nested", {"Top"}}}},
      {773, {7, 0, 5, 6, 0, 0, 0, 0}, {{"0305_Ranged", {"Sel"}}, {"0305_Ranged/7", {"R"}}}},
      {773, {4, 0, 5, 6, 0, 0, 0, 0}, {{"0305_Ranged", {"Sel"}}}},
      {773, {0xDC, 5, 5, 6, 0, 0, 0, 0},
       {{"0305_Ranged", {"Sel"}}, {"0305_Ranged/1500", {"Wide"}}}},
      {776, {1, 1, 5, 6, 0, 0, 0, 0},
       {{"0308_Pair", {"A", "B"}}, {"0308_Pair/A=One", {"X"}}, {"0308_Pair/B=1", {"Y"}}}},
      {256, {0x21, 7, 0, 0, 0, 0, 0, 0},
       {{"0100_T", {"Top"}}, {"0100_T/1", {"Sub"}}, {"0100_T/1/2", {"A"}}}},
      {256, {0x12, 7, 0, 0, 0, 0, 0, 0}, {{"0100_T", {"Top"}}}},
      {256, {0x20, 7, 0, 0, 0, 0, 0, 0}, {{"0100_T", {"Top"}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rows.back().first);
    sdk_->rows.clear();
    const CanFrame f = frame(c.id, c.data);
    process(f);
    Strings names;
    for (const auto& [name, signals] : c.rows) names.push_back(name);
    ASSERT_EQ(row_events(), names);
    for (std::size_t i = 0; i < c.rows.size(); ++i) expect_decoded_row(i, f, c.rows[i].second);
  }
  EXPECT_EQ(counts(), (Counts{std::size(cases), std::size(cases), 0, 0}));
}

TEST_F(ProcessFrameTest, AbsentValuesAreSkippedAndAnEmptyRowIsAnError) {
  build();
  // Pedals: Beyond reaches past the 2-byte payload, so the row holds Throttle alone.
  process(frame(0xABC, {42, 0}, true));
  ASSERT_EQ(row_events(), Strings{"00000abc_Pedals"});
  const auto got = row(0);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].first, "Throttle");
  EXPECT_EQ(got[0].second.value, 42u);
  // Ghost: its only signal is absent. The event is registered, but no row is written.
  process(frame(0x400, {1}));
  EXPECT_EQ(counts(), (Counts{2, 1, 1, 0}));
  EXPECT_EQ(sdk_->rows.size(), 1u);
  EXPECT_TRUE(core().base_events.contains({0x400, false}));
  // The same identifier as a standard frame is another, unknown message.
  process(frame(0xABC, {42, 0}, false));
  EXPECT_EQ(counts(), (Counts{3, 1, 1, 1}));
}

TEST_F(ProcessFrameTest, RefusedRowsAreCountedAndLogged) {
  build(/*log_raw=*/true);
  sdk_->status["log_at"] = 1;
  log::ScopedCapture capture(log::Level::Debug);
  process(frame(0x123, {1, 2, 3, 4}));
  process(frame(0x200, {3, 0, 11, 12, 0, 0, 0, 0}));
  EXPECT_EQ(counts(), (Counts{2, 2, 0, 0}));
  Strings lines;
  for (const auto& e : capture->events()) {
    EXPECT_EQ(e.level, log::Level::Debug);
    EXPECT_EQ(e.target, "orvik_can_decode::codec");
    EXPECT_TRUE(e.fields.empty());
    lines.push_back(e.message);
  }
  EXPECT_EQ(lines, (Strings{"raw-frame emit failed: raw-frame log_at",
                            "base emit failed: evt.log_at (4 cols)",
                            "raw-frame emit failed: raw-frame log_at",
                            "base emit failed: evt.log_at (1 cols)",
                            "mux emit failed: evt.log_at (2 cols)"}));
}

TEST_F(ProcessFrameTest, RefusedRegistrationsSkipTheirRowsAndRetryEveryFrame) {
  struct Case {
    const char* refused;
    Counts counts;  // after three frames of Mux with value 3
    Strings rows;   // of the first frame
    const char* line;
  };
  const Case cases[] = {
      {"can_raw", {3, 3, 0, 0}, {"0200_Mux", "0200_Mux/3"},
       "ensure_raw_event failed: add_event('can_raw')"},
      {"0200_Mux", {3, 0, 0, 0}, {"can_raw", "0200_Mux/3"},
       "ensure_base_event failed: add_event('0200_Mux')"},
      {"0200_Mux/3", {3, 3, 0, 0}, {"can_raw", "0200_Mux"},
       "ensure_mux_event failed: add_event('0200_Mux/3')"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.refused);
    core_.reset();
    sdk::fake::reset(*sdk_);
    build(/*log_raw=*/true);
    sdk_->fail_event_names = {c.refused};
    log::ScopedCapture capture(log::Level::Debug);
    const CanFrame f = frame(0x200, {3, 0, 11, 12, 0, 0, 0, 0});
    for (int i = 0; i < 3; ++i) process(f);
    EXPECT_EQ(counts(), c.counts);
    const Strings rows = row_events();
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(Strings(rows.begin(), rows.begin() + 2), c.rows);
    EXPECT_EQ(capture->count(c.line), 3u);
    EXPECT_EQ(capture->events().size(), 3u);
    EXPECT_EQ(std::count(sdk_->log.begin(), sdk_->log.end(), "evt_add_event failed"), 3);
  }
}

TEST_F(ProcessFrameTest, RefusedBaseEventHidesAbsentValuesFromTheErrorCount) {
  build();
  sdk_->fail_event_names = {"0400_Ghost"};
  process(frame(0x400, {1}));
  process(frame(0x400, {1}));
  EXPECT_EQ(counts(), (Counts{2, 0, 0, 0}));
}

TEST_F(ProcessFrameTest, FirstFrameFixesAutoDetectionEvenWhenUnknown) {
  build(/*log_raw=*/false, TimestampMode::Auto);
  process(frame(0x7AA, {}, false, 100.0));  // a monotonic-looking time, unknown message
  ASSERT_EQ(core().timestamps.detected, 1u);
  const double offset = core().timestamps.offset_s;
  EXPECT_NEAR(offset, wall_clock_s() - 100.0, 5.0);
  process(frame(0x123, {1, 2, 3, 4}, false, 101.0));
  ASSERT_EQ(sdk_->rows.size(), 1u);
  EXPECT_EQ(sdk_->rows[0].time_ns, seconds_to_ns(101.0 + offset));
  EXPECT_EQ(counts(), (Counts{2, 1, 0, 1}));
}

TEST_F(ProcessFrameTest, NoUsableTimestampFallsBackToTheWallClock) {
  for (const auto& [mode, timestamp] :
       {std::pair{TimestampMode::Ignore, std::optional<double>(1.5)},
        std::pair{TimestampMode::Absolute, std::optional<double>()}}) {
    core_.reset();
    sdk::fake::reset(*sdk_);
    build(/*log_raw=*/true, mode);
    const std::int64_t before = wall_clock_ns();
    process(frame(0x123, {1, 2, 3, 4}, false, timestamp));
    const std::int64_t after = wall_clock_ns();
    ASSERT_EQ(sdk_->rows.size(), 2u);
    EXPECT_GE(sdk_->rows[0].time_ns, before);
    EXPECT_LE(sdk_->rows[0].time_ns, after);
    EXPECT_EQ(sdk_->rows[1].time_ns, sdk_->rows[0].time_ns);
  }
}

}  // namespace
}  // namespace orvik::testing
