// Row logging: the column records byte for byte, row-length checks, the 64-record cap, failures.
#include "sdk/row.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <new>
#include <optional>
#include <vector>

#include "sdk/fake_sdk.hpp"

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
namespace {
// Counts heap allocations on this thread, to show that logging a row allocates nothing.
thread_local std::size_t t_allocations = 0;
}  // namespace

// These replace the global pair, so malloc/free match by construction.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  ++t_allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#define ORVIK_COUNTS_ALLOCATIONS 1
#endif

namespace orvik::sdk {
namespace {

using Bytes = std::array<std::uint8_t, sizeof(AbiColumn)>;

Bytes record(std::uint32_t handle, std::uint8_t tag, std::initializer_list<std::uint8_t> value) {
  Bytes b{};
  std::memcpy(b.data(), &handle, 4);
  b[4] = tag;
  std::size_t i = 8;
  for (std::uint8_t v : value) b[i++] = v;
  return b;
}

SdkAbiEvent make_event(fake::ScopedFake& sdk, std::size_t fields, std::uint32_t first = 10) {
  std::vector<std::uint32_t> handles;
  for (std::size_t i = 0; i < fields; ++i) handles.push_back(first + static_cast<std::uint32_t>(i));
  return SdkAbiEvent(EventHandle(sdk.table(), sdk->new_handle()),
                     std::make_shared<const std::vector<std::uint32_t>>(std::move(handles)));
}

TEST(LogAt, EachValueKindBecomesItsRecord) {
  struct Case {
    const char* what;
    DecodedValue value;
    Bytes expected;
  };
  const Case cases[] = {
      {"bool true", DecodedValue::boolean(true), record(10, 11, {1})},
      {"bool false", DecodedValue::boolean(false), record(10, 11, {0})},
      {"i8 -1", DecodedValue::i8(-1), record(10, 1, {0xFF})},
      {"i16 -2", DecodedValue::i16(-2), record(10, 2, {0xFE, 0xFF})},
      {"i32 -2", DecodedValue::i32(-2), record(10, 3, {0xFE, 0xFF, 0xFF, 0xFF})},
      {"i64 -2", DecodedValue::i64(-2),
       record(10, 4, {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
      {"u8 5", DecodedValue::u8(5), record(10, 5, {5})},
      {"u16", DecodedValue::u16(0xBEEF), record(10, 6, {0xEF, 0xBE})},
      {"u32", DecodedValue::u32(0xDEADBEEF), record(10, 7, {0xEF, 0xBE, 0xAD, 0xDE})},
      {"u64 max", DecodedValue::u64(~0ull),
       record(10, 8, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
      {"f32 1.0", DecodedValue::f32(1.0f), record(10, 9, {0x00, 0x00, 0x80, 0x3F})},
      {"f64 1.0", DecodedValue::f64(1.0), record(10, 10, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F})},
      {"i32 null", DecodedValue::null_of(ValueKind::Int32), record(10, 0, {})},
      {"f64 null", DecodedValue::null_of(ValueKind::Float64), record(10, 0, {})},
      // Bits above a value's width never reach the SDK.
      {"i8 with stray high bits", DecodedValue{ValueKind::Int8, false, 0xFFFF'FFFF'FFFF'FF80ull},
       record(10, 1, {0x80})},
      {"bool stored as 2", DecodedValue{ValueKind::Boolean, false, 2}, record(10, 11, {1})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fake::ScopedFake sdk;
    SdkAbiEvent event = make_event(sdk, 1);
    const std::optional<DecodedValue> row[] = {c.value};
    ASSERT_TRUE(event.log_at(row, 1234));
    ASSERT_EQ(sdk->rows.size(), 1u);
    EXPECT_EQ(sdk->rows[0].event, event.event().get());
    EXPECT_EQ(sdk->rows[0].time_ns, 1234);
    ASSERT_EQ(sdk->rows[0].columns.size(), 1u);
    EXPECT_EQ(sdk->rows[0].columns[0], c.expected);
  }
}

TEST(LogAt, AbsentPositionsKeepTheirHandle) {
  fake::ScopedFake sdk;
  SdkAbiEvent event = make_event(sdk, 3);
  const std::optional<DecodedValue> row[] = {std::nullopt, DecodedValue::u8(5), std::nullopt};
  ASSERT_TRUE(event.log_at(row, -7));
  ASSERT_EQ(sdk->rows.size(), 1u);
  EXPECT_EQ(sdk->rows[0].time_ns, -7);
  ASSERT_EQ(sdk->rows[0].columns.size(), 1u);
  EXPECT_EQ(sdk->rows[0].columns[0], record(11, 5, {5}));

  const std::optional<DecodedValue> nothing[] = {std::nullopt, std::nullopt};
  ASSERT_TRUE(event.log_at(nothing, 0));
  ASSERT_EQ(sdk->rows.size(), 2u);
  EXPECT_TRUE(sdk->rows[1].columns.empty());  // still one call, with no records
}

TEST(LogAt, LongerRowThanHandlesFailsWithoutCallingTheSdk) {
  fake::ScopedFake sdk;
  SdkAbiEvent event = make_event(sdk, 2);
  const std::optional<DecodedValue> present[] = {DecodedValue::u8(1), DecodedValue::u8(2),
                                                 DecodedValue::u8(3)};
  const std::optional<DecodedValue> absent_tail[] = {DecodedValue::u8(1), std::nullopt,
                                                     std::nullopt};
  for (RowView row : {RowView(present), RowView(absent_tail)}) {
    auto logged = event.log_at(row, 0);
    ASSERT_FALSE(logged);
    EXPECT_EQ(logged.error().message(), "emit: row length 3 exceeds event's 2 pre-resolved handles");
    EXPECT_EQ(logged.error().cause(), nullptr);
  }
  EXPECT_TRUE(sdk->rows.empty());
}

TEST(LogAt, KeepsTheFirst64PresentValues) {
  fake::ScopedFake sdk;
  SdkAbiEvent event = make_event(sdk, 70, 1000);
  std::vector<std::optional<DecodedValue>> row;
  row.push_back(std::nullopt);
  for (int i = 1; i < 70; ++i) row.push_back(DecodedValue::u16(static_cast<std::uint16_t>(i)));
  ASSERT_TRUE(event.log_at(row, 0));
  ASSERT_EQ(sdk->rows[0].columns.size(), 64u);
  EXPECT_EQ(sdk->rows[0].columns.front(), record(1001, 6, {1}));
  EXPECT_EQ(sdk->rows[0].columns.back(), record(1064, 6, {64}));
}

TEST(LogAt, SdkFailureIsContextOverTheCallError) {
  for (std::int32_t status : {1, -1}) {
    fake::ScopedFake sdk;
    sdk->status["log_at"] = status;
    sdk->error_text = "buffer full";
    SdkAbiEvent event = make_event(sdk, 3);
    const std::optional<DecodedValue> row[] = {DecodedValue::u8(1), std::nullopt,
                                               DecodedValue::f32(2.0f)};
    auto logged = event.log_at(row, 0);
    ASSERT_FALSE(logged);
    EXPECT_EQ(logged.error().message(), "evt.log_at (2 cols)");
    EXPECT_EQ(logged.error().chain(), "evt.log_at (2 cols): orvik-sdk ABI call failed: buffer full");
  }
}

TEST(LogAt, RawRowGoesThroughTheThinWrapper) {
  fake::ScopedFake sdk;
  EventHandle event(sdk.table(), sdk->new_handle());
  const std::uint8_t payload[] = {0xDE, 0xAD};
  AbiColumn columns[5];
  columns[0] = {1, AbiValueTag::UInt32, {}, 0x123};
  columns[1] = {2, AbiValueTag::UInt8, {}, 2};
  columns[2] = {3, AbiValueTag::Boolean, {}, 0};
  columns[3] = {4, AbiValueTag::Boolean, {}, 1};
  columns[4] = {5, AbiValueTag::Binary, {}, reinterpret_cast<std::uintptr_t>(payload), 2};
  ASSERT_TRUE(log_at(event, 99, columns, 5));
  ASSERT_EQ(sdk->rows[0].columns.size(), 5u);
  EXPECT_EQ(sdk->rows[0].columns[0], record(1, 7, {0x23, 0x01}));
  Bytes binary = sdk->rows[0].columns[4];
  EXPECT_EQ(binary[4], 14);
  std::uint64_t address;
  std::memcpy(&address, binary.data() + 8, 8);
  EXPECT_EQ(address, reinterpret_cast<std::uintptr_t>(payload));
  EXPECT_EQ(binary[16], 2);

  sdk->status["log_at"] = -1;
  sdk->error_null = true;
  auto failed = log_at(event, 0, columns, 5);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().display(), "orvik-sdk ABI call failed: (no error message)");
}

#ifdef ORVIK_COUNTS_ALLOCATIONS
TEST(LogAt, AllocatesNothingPerRow) {
  fake::ScopedFake sdk;
  SdkAbiEvent event = make_event(sdk, 64);
  sdk->rows.reserve(4);
  std::vector<std::optional<DecodedValue>> row;
  for (int i = 0; i < 64; ++i) row.push_back(DecodedValue::i32(-i));
  // The fake's own recording allocates; count only what the call path itself does.
  const std::size_t before = t_allocations;
  auto saved = sdk->table.log_at;
  sdk->table.log_at = [](void*, std::int64_t, const AbiColumn*, std::size_t) -> std::int32_t {
    return 0;
  };
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(event.log_at(row, i));
  EXPECT_EQ(t_allocations, before);
  sdk->table.log_at = saved;
}
#endif

}  // namespace
}  // namespace orvik::sdk
