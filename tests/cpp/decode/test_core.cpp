// Decoder core construction, release order and event registration against the recording fake SDK.
#include "decode/core.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>

#include "common/log.hpp"
#include "core_fixture.hpp"
#include "decode/events.hpp"
#include "decode/process_frame.hpp"
#include "decode/signal.hpp"

namespace orvik::testing {
namespace {

using Strings = std::vector<std::string>;

std::string bytes_text(std::initializer_list<std::uint8_t> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

TEST(DecoderCoreCreate, FailuresNameTheirCauseAndReleaseBothSources) {
  struct Case {
    const char* what;
    DbcSource dbc;
    bool log_raw;
    bool with_raw_src;
    const char* message;
    const char* cause;  // first cause's message; null for none
  };
  const std::string missing = "/nonexistent/dir/missing.dbc";
  const Case cases[] = {
      {"unreadable file", DbcSource{DbcSource::File{missing}}, false, true,
       "Failed to load DBC database from file",
       "Failed to read DBC file: /nonexistent/dir/missing.dbc"},
      {"unreadable file beats missing raw source", DbcSource{DbcSource::File{missing}}, true,
       false, "Failed to load DBC database from file",
       "Failed to read DBC file: /nonexistent/dir/missing.dbc"},
      {"lone continuation byte", dbc_bytes("VERSION \x80"), false, true,
       "DBC bytes are not valid UTF-8", "invalid utf-8 sequence of 1 bytes from index 8"},
      {"bad second byte", dbc_bytes(bytes_text({'a', 0xE2, 0x28, 0xA1})), false, true,
       "DBC bytes are not valid UTF-8", "invalid utf-8 sequence of 1 bytes from index 1"},
      {"bad third byte", dbc_bytes(bytes_text({0xF0, 0x90, 0x28, 0x80})), false, true,
       "DBC bytes are not valid UTF-8", "invalid utf-8 sequence of 2 bytes from index 0"},
      {"surrogate", dbc_bytes(bytes_text({0xED, 0xA0, 0x80})), false, true,
       "DBC bytes are not valid UTF-8", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"cut at the end", dbc_bytes(bytes_text({'a', 'b', 0xE2, 0x82})), true, false,
       "DBC bytes are not valid UTF-8", "incomplete utf-8 byte sequence from index 2"},
      {"unparsable text", dbc_bytes("BO_ x"), true, false, "Failed to parse DBC from bytes",
       nullptr},
      {"no raw source", DbcSource{}, true, false, "log_raw_frames=true requires a raw_src sink",
       nullptr},
      {"no raw source with a good DBC", dbc_bytes(kDbc), true, false,
       "log_raw_frames=true requires a raw_src sink", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sdk::fake::ScopedFake sdk;
    sdk::SourceHandle main(sdk.table(), sdk->new_handle());
    std::optional<sdk::SourceHandle> raw;
    if (c.with_raw_src) raw.emplace(sdk.table(), sdk->new_handle());
    auto made = DecoderCore::create(DecoderConfig{c.dbc, "can", c.log_raw, TimestampMode::Auto},
                                    std::move(main), std::move(raw));
    ASSERT_FALSE(made);
    EXPECT_EQ(made.error().message(), c.message);
    if (c.cause != nullptr) {
      ASSERT_NE(made.error().cause(), nullptr);
      EXPECT_EQ(made.error().cause()->message(), c.cause);
    } else if (std::string_view(c.message) == "Failed to parse DBC from bytes") {
      ASSERT_NE(made.error().cause(), nullptr);
      EXPECT_TRUE(made.error().cause()->message().starts_with("DBC parse error: "));
    } else {
      EXPECT_EQ(made.error().cause(), nullptr);
    }
    // The raw source goes first, then the main one; nothing else is called.
    const Strings released = c.with_raw_src ? Strings{"release_source(2)", "release_source(1)"}
                                            : Strings{"release_source(1)"};
    EXPECT_EQ(sdk->log, released);
  }
}

TEST_F(CoreTest, WithoutDbcTheModelIsEmptyAndOnlyRawIsRegistered) {
  build(DbcSource{}, false, false, TimestampMode::Ignore);
  EXPECT_EQ(core().db.size(), 0u);
  EXPECT_FALSE(core().raw_src);
  EXPECT_EQ(core().timestamps.mode, TimestampMode::Ignore);
  EXPECT_EQ(core().metrics->snapshot(), (std::array<std::uint64_t, kCounterCount>{}));
  ASSERT_TRUE(core().emit_schemas());
  EXPECT_TRUE(sdk_->events.empty());

  core_.reset();
  sdk::fake::reset(*sdk_);
  build(DbcSource{}, true, true);
  ASSERT_TRUE(core().emit_schemas());
  ASSERT_EQ(event_names(), Strings{"can_raw"});
  EXPECT_EQ(sdk_->events[0].source, core().raw_src->get());
  EXPECT_EQ(field_names(*core().raw_event),
            (Strings{"arbitration_id", "dlc", "is_extended", "is_fd", "data"}));
  EXPECT_TRUE(sdk_->value_tables.empty());
}

TEST_F(CoreTest, RawSourceAcquiredWithoutRawLoggingIsKeptAndUnused) {
  build(dbc_bytes(kDbc), false, true);
  ASSERT_TRUE(core().raw_src);
  ASSERT_TRUE(core().emit_schemas());
  for (const auto& e : sdk_->events) EXPECT_EQ(e.source, core().src.get()) << e.name;
  EXPECT_FALSE(core().raw_event);
}

// Counters and the model must still be alive / already gone when each SDK handle is released.
std::weak_ptr<MetricsCounters> g_counters;
std::weak_ptr<const MessageSpec> g_message;
std::vector<std::string> g_seen;

extern "C" void checking_release_source(void* source) {
  g_seen.push_back(fmt::format("source model_gone={} counters_alive={}", g_message.expired(),
                               !g_counters.expired()));
  sdk::fake::fake_release_source(source);
}
extern "C" void checking_release_event(void* event) {
  g_seen.push_back(fmt::format("event counters_alive={}", !g_counters.expired()));
  sdk::fake::fake_release_event(event);
}

TEST_F(CoreTest, DroppingReleasesSourcesThenBaseThenMuxThenRawEvents) {
  build(/*log_raw=*/true);
  ASSERT_TRUE(core().emit_schemas());
  sdk_->log.clear();
  sdk_->table.release_source = checking_release_source;
  sdk_->table.release_event = checking_release_event;
  g_counters = core().metrics;
  g_message = *core().db.find(0x200, false);
  g_seen.clear();

  auto id = [&](const sdk::SdkAbiEvent& e) { return sdk_->id_of(e.event().get()); };
  Strings expected{"release_source(1)", "release_source(2)"};
  std::vector<int> base, mux;
  for (const auto& [key, e] : core().base_events) base.push_back(id(e));
  for (const auto& [key, e] : core().mux_events) mux.push_back(id(e));
  ASSERT_EQ(base.size(), 4u);  // Status, Mux, Pedals, Ghost
  ASSERT_EQ(mux.size(), 3u);
  const int raw = id(*core().raw_event);
  core_.reset();

  // Within one map the order is the map's own; across maps it is fixed.
  ASSERT_EQ(sdk_->log.size(), 2u + base.size() + mux.size() + 1u);
  EXPECT_EQ(Strings(sdk_->log.begin(), sdk_->log.begin() + 2), expected);
  auto released = [&](std::size_t from, std::size_t n) {
    std::vector<int> ids;
    for (std::size_t i = from; i < from + n; ++i) {
      ids.push_back(std::stoi(sdk_->log[i].substr(sdk_->log[i].find('(') + 1)));
      EXPECT_TRUE(sdk_->log[i].starts_with("release_event(")) << sdk_->log[i];
    }
    std::sort(ids.begin(), ids.end());
    return ids;
  };
  std::sort(base.begin(), base.end());
  std::sort(mux.begin(), mux.end());
  EXPECT_EQ(released(2, base.size()), base);
  EXPECT_EQ(released(2 + base.size(), mux.size()), mux);
  EXPECT_EQ(sdk_->log.back(), fmt::format("release_event({})", raw));
  for (const auto& [handle, n] : sdk_->releases) EXPECT_EQ(n, 1);

  EXPECT_EQ(g_seen.front(), "source model_gone=true counters_alive=true");
  EXPECT_EQ(g_seen.back(), "event counters_alive=true");
  EXPECT_TRUE(g_counters.expired());
}

TEST_F(CoreTest, MovingACoreMovesOwnershipWithoutReleasing) {
  build(/*log_raw=*/true);
  ASSERT_TRUE(core().emit_schemas());
  sdk_->log.clear();
  DecoderCore moved(std::move(*core_));
  core_.reset();
  EXPECT_TRUE(sdk_->log.empty());
  ASSERT_TRUE(moved.ensure_raw_event());
  EXPECT_TRUE(sdk_->log.empty());

  // Assigning over a live core releases what it held, once each.
  build(/*log_raw=*/true);
  const std::size_t handles = sdk_->events.size() + 2;
  moved = std::move(*core_);
  EXPECT_EQ(sdk_->log.size(), handles);
  core_.reset();
  EXPECT_EQ(sdk_->log.size(), handles);
  for (const auto& [handle, n] : sdk_->releases) EXPECT_EQ(n, 1);
}

TEST_F(CoreTest, EmitSchemasRegistersEveryEventOfTheModel) {
  build(/*log_raw=*/true);
  ASSERT_TRUE(core().emit_schemas());
  const Strings names = event_names();
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.front(), "can_raw");
  Strings sorted(names.begin() + 1, names.end());
  std::sort(sorted.begin(), sorted.end());
  // Ghost's only signal is plain, so it gets a base event; OnlyMux has no multiplexor, so none.
  EXPECT_EQ(sorted, (Strings{"00000abc_Pedals", "0123_Status", "0200_Mux", "0200_Mux/3",
                             "0200_Mux/7", "0200_Mux/Engine", "0400_Ghost"}));
  // Each message's base event comes before its multiplexed ones.
  const auto at = [&](std::string_view n) { return std::find(names.begin(), names.end(), n); };
  EXPECT_LT(at("0200_Mux"), at("0200_Mux/Engine"));
  EXPECT_LT(at("0200_Mux/Engine"), at("0200_Mux/3"));
  EXPECT_LT(at("0200_Mux/3"), at("0200_Mux/7"));

  EXPECT_EQ(field_names(core().base_events.at({0x200, false})), Strings{"Page"});
  EXPECT_EQ(field_names(core().mux_events.at({0x200, false, 3})), (Strings{"Level", "Flags"}));
  EXPECT_EQ(field_names(core().mux_events.at({0x200, false, 2})), Strings{"Temp"});
  EXPECT_EQ(field_names(core().base_events.at({0xABC, true})), (Strings{"Throttle", "Beyond"}));
  EXPECT_FALSE(core().base_events.contains({0x300, false}));
  EXPECT_TRUE(core().mux_events.size() == 3u);

  // A second pass finds everything cached and calls nothing.
  const std::size_t calls = sdk_->log.size();
  ASSERT_TRUE(core().emit_schemas());
  EXPECT_EQ(sdk_->log.size(), calls);
}

// Up front, every switch value the DBC lists registers, a nested switch's under each value of the
// switch above that selects it; a range registers its first 256 values, the rest on first use.
TEST_F(CoreTest, EmitSchemasRegistersEverySwitchPath) {
  build(DbcSource{DbcSource::File{std::string(ORVIK_SOURCE_DIR) +
                                  "/tests/fixtures/dbc/mux_extended.dbc"}},
        false, false);
  ASSERT_TRUE(core().emit_schemas());
  Strings nested, pair;
  std::size_t ranged = 0;
  for (const std::string& name : event_names()) {
    if (name.starts_with("0306_")) nested.push_back(name);
    if (name.starts_with("0308_")) pair.push_back(name);
    ranged += name.starts_with("0305_Ranged/");
  }
  EXPECT_EQ(nested, (Strings{"0306_Nested", "0306_Nested/1", "0306_Nested/1/2", "0306_Nested/2"}));
  EXPECT_EQ(pair, (Strings{"0308_Pair", "0308_Pair/A=One", "0308_Pair/B=1"}));
  EXPECT_EQ(ranged, 4u + 256u);  // 1-3 and 7, then 1000-1255
  EXPECT_EQ(field_names(core().mux_path_events.at({774, false, 0, {1}})), (Strings{"Sub", "T1"}));
  EXPECT_EQ(field_names(core().mux_path_events.at({774, false, 1, {1, 2}})), Strings{"S2"});

  const std::size_t registered = sdk_->events.size();
  process_frame(core(), frame(773, {0xCF, 0x07, 0, 9, 0, 0, 0, 0}));  // Sel 1999
  process_frame(core(), frame(774, {0x21, 11, 22, 33, 0, 0, 0, 0}));
  EXPECT_EQ(event_names().size(), registered + 1);
  EXPECT_EQ(event_names().back(), "0305_Ranged/1999");

  // Nested ranges multiply (256 + 256^2 + 256^3 paths in each message here): the model stops at
  // its bound.
  std::string deep = "VERSION \"\"\n\nBU_: ECU\n";
  for (const char* id : {"9", "10"}) {
    deep += fmt::format("\nBO_ {0} Deep{0}: 8 ECU\n SG_ A M : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
                        " SG_ B m0M : 8|8@1+ (1,0) [0|0] \"\" ECU\n"
                        " SG_ C m0M : 16|8@1+ (1,0) [0|0] \"\" ECU\n"
                        " SG_ D m0 : 24|8@1+ (1,0) [0|0] \"\" ECU\n"
                        "SG_MUL_VAL_ {0} B A 0-255;\nSG_MUL_VAL_ {0} C B 0-255;\n"
                        "SG_MUL_VAL_ {0} D C 0-255;\n",
                        id);
  }
  build(dbc_bytes(deep), false, false);
  ASSERT_TRUE(core().emit_schemas());
  EXPECT_EQ(core().mux_path_events.size(), 4096u);
}

std::string dbc_with_many_signals(int plain, int muxed) {
  std::string text = "VERSION \"\"\n\nBU_: ECU\n\nBO_ 1 Wide: 64 ECU\n";
  text += " SG_ Sel M : 0|8@1+ (1,0) [0|0] \"\" ECU\n";
  for (int i = 0; i < plain; ++i) {
    text += fmt::format(" SG_ P{} : {}|1@1+ (1,0) [0|1] \"\" ECU\n", i, 8 + i);
  }
  for (int i = 0; i < muxed; ++i) {
    text += fmt::format(" SG_ M{} m4 : {}|1@1+ (1,0) [0|1] \"\" ECU\n", i, 200 + i);
  }
  return text;
}

TEST_F(CoreTest, UpFrontGroupsHaveNoSixtyFourLimitButBaseListsDo) {
  build(dbc_bytes(dbc_with_many_signals(70, 70)), false, false);
  log::ScopedCapture capture(log::Level::Warn);
  ASSERT_TRUE(core().emit_schemas());
  EXPECT_EQ(core().base_events.at({1, false}).field_handles().size(), 64u);
  EXPECT_EQ(core().mux_events.at({1, false, 4}).field_handles().size(), 70u);
  EXPECT_EQ(capture->count("event Wide: more than 64 base signals; extras ignored"), 1u);
}

TEST_F(CoreTest, EmitSchemasStopsAtTheFirstRefusedEvent) {
  build();
  // The model's own order decides which message is second.
  std::vector<std::string> keys;
  for (const auto& [key, message] : core().db.messages()) {
    if (!decode::base_signals(*message).empty()) keys.push_back(decode::event_key(*message));
  }
  ASSERT_GE(keys.size(), 2u);
  sdk_->fail_event_names = {keys[1]};
  const auto done = core().emit_schemas();
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().message(), fmt::format("add_event('{}')", keys[1]));
  ASSERT_NE(done.error().cause(), nullptr);
  EXPECT_EQ(done.error().cause()->message(),
            fmt::format("add_event('{}'): orvik-sdk ABI call failed: sdk says no", keys[1]));
  // What registered before the failure stays; nothing after it was tried.
  EXPECT_EQ(core().base_events.size(), 1u);
  EXPECT_EQ(sdk_->events.back().name.substr(0, keys[0].size()), keys[0]);
  EXPECT_EQ(sdk_->log.back(), "evt_add_event failed");

  // Once the SDK accepts it, the next pass completes.
  sdk_->fail_event_names.clear();
  ASSERT_TRUE(core().emit_schemas());
  EXPECT_EQ(core().base_events.size(), 4u);
}

TEST_F(CoreTest, ValueTablesFollowTheEventAndARefusalOnlyLogs) {
  build();
  sdk_->fail_value_table_at = 0;
  log::ScopedCapture capture(log::Level::Debug);
  const MessageSpec& status = **core().db.find(0x123, false);
  const auto base = decode::base_signals(status);
  const auto event = core().ensure_base_event(status, base);
  ASSERT_TRUE(event) << event.error().chain();
  EXPECT_EQ(*event, &core().base_events.at({0x123, false}));

  // Gear and Mode have tables, in signal order; the refused first one does not stop the second.
  ASSERT_EQ(sdk_->value_tables.size(), 2u);
  EXPECT_EQ(sdk_->value_tables[0].field, "Gear");
  EXPECT_EQ(sdk_->value_tables[1].field, "Mode");
  EXPECT_EQ(sdk_->value_tables[1].event, (*event)->event().get());
  // Pairs as the table holds them: every key with its own label.
  const auto& gear = sdk_->value_tables[0];
  ASSERT_EQ(gear.n, 4u);
  for (std::size_t i = 0; i < gear.n; ++i) {
    const std::string label =
        gear.labels.substr(gear.offsets[i], gear.offsets[i + 1] - gear.offsets[i]);
    EXPECT_EQ(label, status.signals[1].value_table.at(gear.keys[i]));
  }
  const auto events = capture->events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, log::Level::Debug);
  EXPECT_EQ(events[0].target, "orvik_can_decode::codec");
  EXPECT_EQ(events[0].message,
            "add_value_table(0123_Status.Gear) failed: evt.add_value_table('Gear')");
}

// The per-frame step keeps where a message's base event lies; events registered beyond the room
// made for the model's messages move the others, and frames must still reach the right event.
TEST_F(CoreTest, BaseRowsFindTheirEventAfterTheEventsMove) {
  build();
  process_frame(core(), frame(0x123, {1, 2, 3, 4}));
  const MessageSpec& status = **core().db.find(0x123, false);
  std::vector<MessageSpec> strangers;
  for (std::uint32_t id = 0x600; id < 0x640; ++id) {
    strangers.push_back(status);
    strangers.back().id = id;
  }
  for (const MessageSpec& m : strangers) {
    ASSERT_TRUE(core().ensure_base_event(m, decode::base_signals(m)));
  }
  process_frame(core(), frame(0x123, {1, 2, 3, 4}));
  ASSERT_EQ(sdk_->rows.size(), 2u);
  EXPECT_EQ(sdk_->rows[1].event, core().base_events.at({0x123, false}).event().get());
}

TEST_F(CoreTest, FailedRegistrationCachesNothingAndRetries) {
  build(/*log_raw=*/true);
  const MessageSpec& mux = **core().db.find(0x200, false);
  const SignalSpec& page = mux.signals[*mux.multiplexor_index];
  const auto base = decode::base_signals(mux);
  const SignalSpec* group[] = {&mux.signals[2], &mux.signals[3]};

  struct Step {
    const char* what;
    std::function<Result<const sdk::SdkAbiEvent*>()> call;
    const char* message;
  };
  const Step steps[] = {
      {"base", [&] { return core().ensure_base_event(mux, base); }, "add_event('0200_Mux')"},
      {"mux", [&] { return core().ensure_mux_event(mux, page, group, 3); },
       "add_event('0200_Mux/3')"},
      {"raw", [&] { return core().ensure_raw_event(); }, "add_event('can_raw')"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    // Refused outright, then refused while resolving a field (the event is handed back).
    sdk_->status["evt_add_event"] = 1;
    auto first = step.call();
    ASSERT_FALSE(first);
    EXPECT_EQ(first.error().message(), step.message);
    sdk_->status.clear();
    sdk_->fail_resolve_at = static_cast<int>(sdk_->resolved.size());
    auto second = step.call();
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().message(), step.message);
    ASSERT_NE(second.error().cause(), nullptr);
    EXPECT_TRUE(second.error().cause()->message().starts_with("resolve_field('"));
    EXPECT_EQ(sdk_->releases[sdk_->events.back().handle], 1);
    sdk_->fail_resolve_at = -1;

    const std::size_t added = sdk_->events.size();
    auto third = step.call();
    ASSERT_TRUE(third) << third.error().chain();
    EXPECT_EQ(sdk_->events.size(), added + 1);
    auto fourth = step.call();
    ASSERT_TRUE(fourth);
    EXPECT_EQ(*fourth, *third);
    EXPECT_EQ(sdk_->events.size(), added + 1);
  }
  EXPECT_EQ(core().base_events.size(), 1u);
  EXPECT_EQ(core().mux_events.size(), 1u);
  EXPECT_TRUE(core().raw_event);
}

TEST_F(CoreTest, MuxSuffixIsTheLabelOrTheDecimalValue) {
  build();
  const MessageSpec& mux = **core().db.find(0x200, false);
  SignalSpec page = mux.signals[*mux.multiplexor_index];
  page.value_table[18446744073709551615ull] = "All Ones / max";
  const SignalSpec* group[] = {&mux.signals[1]};
  for (std::uint64_t value : {2ull, 3ull, 18446744073709551615ull, 10ull}) {
    ASSERT_TRUE(core().ensure_mux_event(mux, page, group, value));
  }
  EXPECT_EQ(event_names(),
            (Strings{"0200_Mux/Engine", "0200_Mux/3", "0200_Mux/All Ones / max", "0200_Mux/10"}));
  // Keyed by value, not by name: the same value for another message is another event.
  MessageSpec other = mux;
  other.id = 0x201;
  ASSERT_TRUE(core().ensure_mux_event(other, page, group, 2));
  EXPECT_EQ(event_names().back(), "0201_Mux/Engine");
}

// Labels that cannot name a sub-event on their own: repeated, empty, another value's decimal, and
// one that becomes another value's decimal only once that value gives up its label.
TEST_F(CoreTest, MuxSuffixesAreUniqueAndTheSameOnEveryRegistrationPath) {
  std::string text = "BO_ 512 Mux: 8 ECU\n SG_ Sel M : 0|8@1+ (1,0) [0|255] \"\" ECU\n";
  for (int v = 1; v <= 8; ++v) {
    text += fmt::format(" SG_ S{0} m{0} : 8|8@1+ (1,0) [0|0] \"\" ECU\n", v);
  }
  text += "VAL_ 512 Sel 1 \"Reserved\" 2 \"Reserved\" 4 \"\" 5 \"6\" 7 \"Seven\" 8 \"1\" "
          "20 \"Seven\";\n";
  // Value 3 has no label; 20 shares a label with 7 but no signal, so it names no event.
  const std::map<std::uint64_t, std::string> expected{
      {1, "0200_Mux/1"}, {2, "0200_Mux/2"}, {3, "0200_Mux/3"},     {4, "0200_Mux/4"},
      {5, "0200_Mux/5"}, {6, "0200_Mux/6"}, {7, "0200_Mux/Seven"}, {8, "0200_Mux/8"}};
  auto names = [&] {
    std::map<std::uint64_t, std::string> out;
    for (const auto& [key, event] : core().mux_events) {
      out[key.switch_value] = sdk_->event_name(event.event().get());
    }
    return out;
  };

  build(dbc_bytes(text), false, false);
  ASSERT_TRUE(core().emit_schemas());
  EXPECT_EQ(names(), expected);

  // On first use, in the reverse order.
  core_.reset();
  sdk::fake::reset(*sdk_);
  build(dbc_bytes(text), false, false);
  for (std::uint8_t v = 8; v >= 1; --v) {
    process_frame(core(), frame(0x200, {v, 0, 0, 0, 0, 0, 0, 0}));
  }
  EXPECT_EQ(names(), expected);
}

}  // namespace
}  // namespace orvik::testing
