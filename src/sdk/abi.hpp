// Memory layout of the trace SDK's C function table and of the column record a row hands to it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

// CPython's object type, declared here so the table layout needs no Python.h.
struct _object;

namespace orvik::sdk {

inline constexpr std::uint32_t kAbiVersion = 1;
// The sys.modules key under which the SDK publishes its table.
inline constexpr char kCapsuleName[] = "orvik_sdk_abi_v1";

// Type tag of one column value; 12 and 13 belong to the SDK and are never produced here.
enum class AbiValueTag : std::uint8_t {
  Null = 0,
  Int8 = 1,
  Int16 = 2,
  Int32 = 3,
  Int64 = 4,
  UInt8 = 5,
  UInt16 = 6,
  UInt32 = 7,
  UInt64 = 8,
  Float32 = 9,
  Float64 = 10,
  Boolean = 11,
  Binary = 14,
};

// One column of a logged row. The value is little-endian at its tag's width and zero above it
// (signed values are zero-extended); a binary value stores its address in `value` and its length
// in `length`. Padding bytes are always zero.
struct AbiColumn {
  std::uint32_t handle = 0;
  AbiValueTag tag = AbiValueTag::Null;
  std::uint8_t zero0[3] = {0, 0, 0};
  std::uint64_t value = 0;
  std::uint32_t length = 0;
  std::uint32_t zero1 = 0;
};

static_assert(std::is_standard_layout_v<AbiColumn>);
static_assert(sizeof(AbiColumn) == 24);
static_assert(offsetof(AbiColumn, handle) == 0);
static_assert(offsetof(AbiColumn, tag) == 4);
static_assert(offsetof(AbiColumn, value) == 8);
static_assert(offsetof(AbiColumn, length) == 16);
static_assert(offsetof(AbiColumn, zero1) == 20);

extern "C" {
// Every int32_t slot returns 0 on success; anything else is a failure whose text last_error gives.
typedef std::int32_t (*SrcHandleFromPyFn)(_object* source, void** out_source);
typedef void (*ReleaseSourceFn)(void* source);
typedef std::int32_t (*EvtAddEventFn)(void* source, const std::uint8_t* name, std::size_t name_len,
                                      const std::uint8_t* ipc, std::size_t ipc_len,
                                      void** out_event);
typedef void (*ReleaseEventFn)(void* event);
typedef std::int32_t (*ResolveFieldFn)(void* event, const std::uint8_t* name, std::size_t name_len,
                                       std::uint32_t* out_field);
typedef std::int32_t (*AddValueTableFn)(void* event, const std::uint8_t* field,
                                        std::size_t field_len, const std::uint64_t* keys,
                                        std::size_t n, const std::uint8_t* labels,
                                        const std::uint32_t* offsets);
typedef std::int32_t (*LogAtFn)(void* event, std::int64_t time_ns, const AbiColumn* columns,
                                std::size_t n);
// Its return value is never read, so its type is left open.
typedef void (*LastErrorFn)(const std::uint8_t** out_ptr, std::size_t* out_len);
}

// The SDK's table, at the address its capsule holds. Slots marked unused are neither read nor
// called; they only keep the offsets of the others.
struct SdkAbiTable {
  std::uint32_t abi_version;
  std::uint32_t padding;
  void* unused_8;
  void* unused_16;
  void* unused_24;
  SrcHandleFromPyFn src_handle_from_py;
  ReleaseSourceFn release_source;
  EvtAddEventFn evt_add_event;
  ReleaseEventFn release_event;
  ResolveFieldFn resolve_field;
  AddValueTableFn add_value_table;
  void* unused_80;
  LogAtFn log_at;
  LastErrorFn last_error;
};

static_assert(std::is_standard_layout_v<SdkAbiTable>);
static_assert(sizeof(void*) == 8, "the SDK table layout assumes 64-bit pointers");
static_assert(std::endian::native == std::endian::little, "column values are little-endian");
static_assert(offsetof(SdkAbiTable, abi_version) == 0);
static_assert(offsetof(SdkAbiTable, src_handle_from_py) == 32);
static_assert(offsetof(SdkAbiTable, release_source) == 40);
static_assert(offsetof(SdkAbiTable, evt_add_event) == 48);
static_assert(offsetof(SdkAbiTable, release_event) == 56);
static_assert(offsetof(SdkAbiTable, resolve_field) == 64);
static_assert(offsetof(SdkAbiTable, add_value_table) == 72);
static_assert(offsetof(SdkAbiTable, log_at) == 88);
static_assert(offsetof(SdkAbiTable, last_error) == 96);
static_assert(sizeof(SdkAbiTable) >= 104);

}  // namespace orvik::sdk
