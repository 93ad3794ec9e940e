// The SDK side of the version-1 function table and the 24-byte column record, laid out on its own.
// Not shared with src/sdk on purpose: the stand-in checks the bridge's layout, not copies it.
#pragma once

#include <cstddef>
#include <cstdint>

// The same declaration Python.h makes; the recorder builds without Python headers.
typedef struct _object PyObject;

namespace standin {

inline constexpr const char* kCapsuleName = "orvik_sdk_abi_v1";
inline constexpr uint32_t kAbiVersion = 1;

// Slots the consumer never calls; they record a violation if it does.
using UnusedSlot = int32_t (*)();

struct AbiTable {
  uint32_t version;
  uint32_t padding;
  UnusedSlot unused_8;
  UnusedSlot unused_16;
  UnusedSlot unused_24;
  int32_t (*src_handle_from_py)(PyObject* source, void** out_source);
  void (*release_source)(void* source);
  int32_t (*evt_add_event)(void* source, const uint8_t* name, size_t name_len, const uint8_t* ipc,
                           size_t ipc_len, void** out_event);
  void (*release_event)(void* event);
  int32_t (*resolve_field)(void* event, const uint8_t* name, size_t name_len, uint32_t* out_field);
  int32_t (*add_value_table)(void* event, const uint8_t* field, size_t field_len,
                             const uint64_t* keys, size_t n, const uint8_t* labels,
                             const uint32_t* offsets);
  UnusedSlot unused_80;
  int32_t (*log_at)(void* event, int64_t time_ns, const void* columns, size_t n);
  int32_t (*last_error)(const uint8_t** out_ptr, size_t* out_len);
};

static_assert(sizeof(void*) == 8, "the table is laid out for 64-bit pointers");
static_assert(offsetof(AbiTable, version) == 0);
static_assert(offsetof(AbiTable, unused_8) == 8);
static_assert(offsetof(AbiTable, unused_16) == 16);
static_assert(offsetof(AbiTable, unused_24) == 24);
static_assert(offsetof(AbiTable, src_handle_from_py) == 32);
static_assert(offsetof(AbiTable, release_source) == 40);
static_assert(offsetof(AbiTable, evt_add_event) == 48);
static_assert(offsetof(AbiTable, release_event) == 56);
static_assert(offsetof(AbiTable, resolve_field) == 64);
static_assert(offsetof(AbiTable, add_value_table) == 72);
static_assert(offsetof(AbiTable, unused_80) == 80);
static_assert(offsetof(AbiTable, log_at) == 88);
static_assert(offsetof(AbiTable, last_error) == 96);
static_assert(sizeof(AbiTable) == 104);

// One column of a row. log_at reads the records byte by byte at these offsets (see row_check.cpp),
// so this struct only pins the layout that the offsets describe.
struct AbiColumn {
  uint32_t field;
  uint8_t tag;
  uint8_t zero_5[3];
  uint64_t value;
  uint32_t binary_len;
  uint32_t zero_20;
};

inline constexpr size_t kColumnSize = 24;
inline constexpr size_t kFieldOffset = 0;
inline constexpr size_t kTagOffset = 4;
inline constexpr size_t kValueOffset = 8;
inline constexpr size_t kLengthOffset = 16;

static_assert(sizeof(AbiColumn) == kColumnSize);
static_assert(offsetof(AbiColumn, field) == kFieldOffset);
static_assert(offsetof(AbiColumn, tag) == kTagOffset);
static_assert(offsetof(AbiColumn, value) == kValueOffset);
static_assert(offsetof(AbiColumn, binary_len) == kLengthOffset);
static_assert(offsetof(AbiColumn, zero_20) == 20);

enum class Tag : uint8_t {
  kNull = 0,
  kI8 = 1,
  kI16 = 2,
  kI32 = 3,
  kI64 = 4,
  kU8 = 5,
  kU16 = 6,
  kU32 = 7,
  kU64 = 8,
  kF32 = 9,
  kF64 = 10,
  kBool = 11,
  kBinary = 14,
};

// Width in bytes of the value a tag carries in bytes 8..15, or -1 for a tag outside the known set.
constexpr int tag_width(uint8_t tag) {
  switch (tag) {
    case 0: return 0;
    case 1: case 5: case 11: return 1;
    case 2: case 6: return 2;
    case 3: case 7: case 9: return 4;
    case 4: case 8: case 10: case 14: return 8;
    default: return -1;
  }
}

}  // namespace standin
