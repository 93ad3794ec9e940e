// Arrow IPC encoding of event schemas, and event registration through the SDK table.
#include "sdk/ipc.hpp"

#include <arrow/buffer.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/writer.h>
#include <arrow/type.h>

#include "sdk/handles.hpp"
#include "sdk/table.hpp"

namespace orvik::sdk {
namespace {

// Most event schemas fit without the buffer growing.
constexpr std::int64_t kInitialStreamCapacity = 512;
constexpr std::int32_t kStreamAlignment = 64;

arrow::Result<std::shared_ptr<arrow::Buffer>> encode(const std::shared_ptr<arrow::Schema>& schema) {
  ARROW_ASSIGN_OR_RAISE(auto sink, arrow::io::BufferOutputStream::Create(kInitialStreamCapacity));
  // Metadata V5, continuation markers and no compression are the defaults; the 64-byte
  // alignment the SDK expects is not (Arrow C++ pads to 8 by default).
  auto options = arrow::ipc::IpcWriteOptions::Defaults();
  options.alignment = kStreamAlignment;
  options.metadata_version = arrow::ipc::MetadataVersion::V5;
  ARROW_ASSIGN_OR_RAISE(auto writer, arrow::ipc::MakeStreamWriter(sink, schema, options));
  // With no batches written, closing writes the schema message, then the end-of-stream marker.
  ARROW_RETURN_NOT_OK(writer->Close());
  return sink->Finish();
}

}  // namespace

SinkResult<std::shared_ptr<arrow::Buffer>> encode_schema_stream(
    const std::shared_ptr<arrow::Schema>& schema) {
  auto encoded = encode(schema);
  if (!encoded.ok()) return sink_fail(SinkError::arrow_ipc(encoded.status()));
  return std::move(encoded).ValueUnsafe();
}

SinkResult<EventHandle> evt_add_event(const SourceHandle& source, std::string_view name,
                                      const std::shared_ptr<arrow::Schema>& schema) {
  auto stream = encode_schema_stream(schema);
  if (!stream) return sink_fail(std::move(stream.error()));

  const SdkAbiTable* table = source.table();
  void* event = nullptr;
  const std::int32_t status = table->evt_add_event(
      source.get(), reinterpret_cast<const std::uint8_t*>(name.data()), name.size(),
      (*stream)->data(), static_cast<std::size_t>((*stream)->size()), &event);
  if (status != 0) return sink_fail(last_error_string(table));
  if (event == nullptr) return sink_fail(SinkError::call("evt_add_event returned null without error"));
  return EventHandle(table, event);
}

}  // namespace orvik::sdk
