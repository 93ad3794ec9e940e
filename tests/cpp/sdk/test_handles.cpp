// Handle ownership, schema stream encoding, event registration with field handles, value tables.
#include "sdk/handles.hpp"

#include <arrow/buffer.h>
#include <arrow/type.h>
#include <gtest/gtest.h>

#include <cstring>

#include "sdk/fake_sdk.hpp"
#include "sdk/ipc.hpp"

namespace orvik::sdk {
namespace {

using Strings = std::vector<std::string>;
using U32s = std::vector<std::uint32_t>;

std::shared_ptr<arrow::Schema> schema_of(std::vector<std::string> names) {
  arrow::FieldVector fields;
  for (auto& n : names) {
    fields.push_back(n == "time_ns"
                         ? arrow::field(n, arrow::timestamp(arrow::TimeUnit::NANO, "UTC"), false)
                         : arrow::field(n, arrow::float32(), true));
  }
  return arrow::schema(std::move(fields));
}

std::uint32_t le32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

TEST(Handles, EachHandleIsReleasedOnceAcrossMoves) {
  fake::ScopedFake sdk;
  void* a = sdk->new_handle();
  void* b = sdk->new_handle();
  {
    SourceHandle first(sdk.table(), a);
    SourceHandle moved(std::move(first));
    SourceHandle other(sdk.table(), b);
    other = std::move(moved);  // releases b at once, a stays owned
    EXPECT_EQ(sdk->releases[b], 1);
    EXPECT_EQ(sdk->releases[a], 0);
    EventHandle event(sdk.table(), sdk->new_handle());
    EventHandle event2(std::move(event));
  }
  EXPECT_EQ(sdk->releases[a], 1);
  EXPECT_EQ(sdk->releases[b], 1);
  EXPECT_EQ(sdk->log, (Strings{"release_source(2)", "release_event(3)", "release_source(1)"}));
}

TEST(SchemaStream, FramingAlignmentAndEndMarker) {
  for (std::size_t columns : {0u, 1u, 3u, 17u, 64u}) {
    std::vector<std::string> names{"time_ns"};
    for (std::size_t i = 0; i < columns; ++i) names.push_back("signal_" + std::to_string(i));
    auto stream = encode_schema_stream(schema_of(names));
    ASSERT_TRUE(stream) << stream.error().display();
    const std::uint8_t* p = (*stream)->data();
    const auto size = static_cast<std::size_t>((*stream)->size());
    SCOPED_TRACE(size);
    ASSERT_GE(size, 24u);
    EXPECT_EQ(le32(p), 0xFFFFFFFFu);
    const std::uint32_t metadata = le32(p + 4);
    EXPECT_EQ(size - 16, metadata);
    EXPECT_EQ((metadata + 8) % 64, 0u);
    EXPECT_EQ(le32(p + size - 8), 0xFFFFFFFFu);
    EXPECT_EQ(le32(p + size - 4), 0u);
  }
}

TEST(EvtAddEvent, PassesNameAndStreamAndWrapsTheHandle) {
  fake::ScopedFake sdk;
  SourceHandle source(sdk.table(), sdk->new_handle());
  auto schema = schema_of({"time_ns", "Vehicle Speed"});
  auto event = evt_add_event(source, "0123_Status", schema);
  ASSERT_TRUE(event);
  ASSERT_EQ(sdk->events.size(), 1u);
  EXPECT_EQ(sdk->events[0].name, "0123_Status");
  EXPECT_EQ(sdk->events[0].source, source.get());
  EXPECT_EQ(event->get(), sdk->events[0].handle);
  auto expected = encode_schema_stream(schema);
  ASSERT_TRUE(expected);
  EXPECT_EQ(sdk->events[0].ipc,
            std::vector<std::uint8_t>((*expected)->data(),
                                      (*expected)->data() + (*expected)->size()));
}

TEST(EvtAddEvent, FailuresBecomeCallErrors) {
  struct Case {
    std::int32_t status;
    bool null_handle;
    bool empty_text;
    const char* display;
  };
  const Case cases[] = {
      {1, false, false, "orvik-sdk ABI call failed: sdk says no"},
      {-1, false, false, "orvik-sdk ABI call failed: sdk says no"},
      {7, false, true, "orvik-sdk ABI call failed: (no error message)"},
      {0, true, false, "orvik-sdk ABI call failed: evt_add_event returned null without error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.display);
    fake::ScopedFake sdk;
    sdk->status["evt_add_event"] = c.status;
    sdk->null_event = c.null_handle;
    sdk->error_zero_length = c.empty_text;
    SourceHandle source(sdk.table(), sdk->new_handle());
    auto event = evt_add_event(source, "e", schema_of({"time_ns"}));
    ASSERT_FALSE(event);
    EXPECT_EQ(event.error().kind(), SinkError::Kind::Call);
    EXPECT_EQ(event.error().display(), c.display);
    // The last error is fetched for a failing status only, and right after the call.
    EXPECT_EQ(sdk->last_error_calls, c.status != 0 ? 1 : 0);
  }
}

TEST(AddEvent, ResolvesEveryColumnButTimeInSchemaOrder) {
  struct Case {
    std::vector<std::string> fields;
    std::vector<std::string> resolved;
  };
  const Case cases[] = {
      {{"time_ns", "a", "b", "c"}, {"a", "b", "c"}},
      {{"a", "b"}, {"a", "b"}},
      {{"time_ns"}, {}},
      {{}, {}},
      {{"a", "time_ns", "b"}, {"a", "b"}},
      {{"time_ns", "time_ns_x", "TIME_NS", "Time_ns", "time_n"},
       {"time_ns_x", "TIME_NS", "Time_ns", "time_n"}},
  };
  for (const Case& c : cases) {
    fake::ScopedFake sdk;
    SourceHandle source(sdk.table(), sdk->new_handle());
    auto event = add_event(source, "ev", schema_of(c.fields));
    ASSERT_TRUE(event) << event.error().chain();
    EXPECT_EQ(sdk->resolved, c.resolved);
    std::vector<std::uint32_t> expected;
    for (std::size_t i = 0; i < c.resolved.size(); ++i) expected.push_back(10 + i);
    EXPECT_EQ(std::vector<std::uint32_t>(event->field_handles().begin(),
                                         event->field_handles().end()),
              expected);
  }
}

TEST(AddEvent, FieldHandleZeroIsTakenAsReturned) {
  fake::ScopedFake sdk;
  sdk->first_field_handle = 0;
  SourceHandle source(sdk.table(), sdk->new_handle());
  auto event = add_event(source, "ev", schema_of({"time_ns", "a"}));
  ASSERT_TRUE(event);
  EXPECT_EQ(U32s(event->field_handles().begin(), event->field_handles().end()), U32s{0});
}

TEST(AddEvent, RegistrationFailureIsOneMessage) {
  fake::ScopedFake sdk;
  sdk->status["evt_add_event"] = 3;
  SourceHandle source(sdk.table(), sdk->new_handle());
  auto event = add_event(source, "0200_Mux/Page3", schema_of({"time_ns", "a"}));
  ASSERT_FALSE(event);
  EXPECT_EQ(event.error().message(),
            "add_event('0200_Mux/Page3'): orvik-sdk ABI call failed: sdk says no");
  EXPECT_EQ(event.error().cause(), nullptr);
  EXPECT_TRUE(sdk->resolved.empty());
}

TEST(AddEvent, FailedResolutionReleasesTheEventAndStops) {
  for (std::int32_t status : {1, -1}) {
    fake::ScopedFake sdk;
    sdk->fail_resolve_at = 1;
    sdk->resolve_status = status;
    sdk->error_text = "unknown column";
    SourceHandle source(sdk.table(), sdk->new_handle());
    auto event = add_event(source, "ev", schema_of({"time_ns", "a", "b", "c"}));
    ASSERT_FALSE(event);
    EXPECT_EQ(event.error().message(),
              "resolve_field('b'): orvik-sdk ABI call failed: unknown column");
    EXPECT_EQ(sdk->resolved, (Strings{"a", "b"}));
    ASSERT_EQ(sdk->events.size(), 1u);
    EXPECT_EQ(sdk->releases[sdk->events[0].handle], 1);
    EXPECT_EQ(sdk->log.back(), "release_event(2)");
  }
}

TEST(AddValueTable, BuildsKeysLabelsAndOffsets) {
  fake::ScopedFake sdk;
  EventHandle event(sdk.table(), sdk->new_handle());
  const ValueLabel pairs[] = {{1, "On"}, {0, "Off"}, {7, ""}, {~0ull, "\xC3\xA9t\xC3\xA9"}};
  ASSERT_TRUE(add_value_table(event, "Switch", pairs));
  ASSERT_TRUE(add_value_table(event, "Empty", {}));
  ASSERT_EQ(sdk->value_tables.size(), 2u);

  const auto& full = sdk->value_tables[0];
  EXPECT_EQ(full.event, event.get());
  EXPECT_EQ(full.field, "Switch");
  EXPECT_EQ(full.n, 4u);
  EXPECT_EQ(full.keys, (std::vector<std::uint64_t>{1, 0, 7, ~0ull}));
  EXPECT_EQ(full.labels, "OnOff\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(full.offsets, (U32s{0, 2, 5, 5, 10}));

  const auto& empty = sdk->value_tables[1];
  EXPECT_EQ(empty.n, 0u);
  EXPECT_EQ(empty.offsets, U32s{0});
  EXPECT_TRUE(empty.keys_non_null);
  EXPECT_TRUE(empty.labels_non_null);

  sdk->status["add_value_table"] = -1;
  auto failed = add_value_table(event, "Switch", pairs);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().display(), "orvik-sdk ABI call failed: sdk says no");
}

}  // namespace
}  // namespace orvik::sdk
