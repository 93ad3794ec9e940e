// Column records for decoded rows, and the one SDK call per row.
#include "sdk/row.hpp"

#include <fmt/format.h>

#include <iterator>
#include <memory>

#include "sdk/table.hpp"

namespace orvik::sdk {
namespace {

struct TagWidth {
  AbiValueTag tag;
  std::uint64_t mask;  // the value's own width; bits above it stay zero
};

constexpr std::uint64_t k8 = 0xFFu, k16 = 0xFFFFu, k32 = 0xFFFF'FFFFu, k64 = ~std::uint64_t{0};

// Indexed by ValueKind: a load per value where a switch made an indirect jump per value.
constexpr TagWidth kTagWidths[] = {
    {AbiValueTag::Boolean, 1},
    {AbiValueTag::Int8, k8},
    {AbiValueTag::Int16, k16},
    {AbiValueTag::Int32, k32},
    {AbiValueTag::Int64, k64},
    {AbiValueTag::UInt8, k8},
    {AbiValueTag::UInt16, k16},
    {AbiValueTag::UInt32, k32},
    {AbiValueTag::UInt64, k64},
    {AbiValueTag::Float32, k32},
    {AbiValueTag::Float64, k64},
};
static_assert(static_cast<std::size_t>(ValueKind::Float64) + 1 == std::size(kTagWidths));

constexpr TagWidth tag_of(ValueKind kind) {
  const auto i = static_cast<std::size_t>(kind);
  if (i >= std::size(kTagWidths)) return {AbiValueTag::Null, 0};
  return kTagWidths[i];
}

// Writes into a zeroed record in place. Building a whole record and copying it in made the copy
// read back the narrow stores just made, a store-to-load stall that cost more than the loop.
void fill_column(AbiColumn& column, std::uint32_t handle, const DecodedValue& value) noexcept {
  column.handle = handle;
  if (value.is_null) return;
  const TagWidth tw = tag_of(value.kind);
  column.tag = tw.tag;
  column.value = value.kind == ValueKind::Boolean ? (value.bits != 0 ? 1 : 0) : value.bits & tw.mask;
}

}  // namespace

AbiColumn make_column(std::uint32_t handle, const DecodedValue& value) noexcept {
  AbiColumn column;
  fill_column(column, handle, value);
  return column;
}

SinkResult<void> log_at(const EventHandle& event, std::int64_t time_ns, const AbiColumn* columns,
                        std::size_t n) {
  const std::int32_t status = event.table()->log_at(event.get(), time_ns, columns, n);
  if (status != 0) return sink_fail(last_error_string(event.table()));
  return {};
}

Status SdkAbiEvent::log_at(RowView row, std::int64_t time_ns) const {
  const std::span<const std::uint32_t> handles = field_handles();
  // Left uninitialised: only the records written below are handed over, and zeroing all 64 would
  // cost more than a short row itself.
  union Records {
    Records() {}
    AbiColumn at[kMaxRowColumns];
  } records;
  // Checked once, before anything is handed over: a surplus position fails the row even when it
  // is empty.
  if (row.size() > handles.size()) {
    return fail(fmt::format("emit: row length {} exceeds event's {} pre-resolved handles",
                            row.size(), handles.size()));
  }
  std::size_t count = 0;
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (!row[i]) continue;
    if (count == kMaxRowColumns) continue;
    fill_column(*std::construct_at(&records.at[count++]), handles[i], *row[i]);
  }
  auto logged = sdk::log_at(event_, time_ns, records.at, count);
  if (!logged) {
    return fail(Error(fmt::format("evt.log_at ({} cols)", count), logged.error().to_error()));
  }
  return {};
}

}  // namespace orvik::sdk
