// Schema stream checks: continuation framing, 64-byte padding, end-of-stream, and Arrow's reader.
#include "schema_check.hpp"

#include <arrow/api.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/api.h>
#include <fmt/format.h>

#include <cstring>
#include <set>

#include "abi.hpp"

namespace standin {
namespace {

uint32_t read_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

int expected_tag_for(const arrow::DataType& type) {
  switch (type.id()) {
    case arrow::Type::INT8: return static_cast<int>(Tag::kI8);
    case arrow::Type::INT16: return static_cast<int>(Tag::kI16);
    case arrow::Type::INT32: return static_cast<int>(Tag::kI32);
    case arrow::Type::INT64: return static_cast<int>(Tag::kI64);
    case arrow::Type::UINT8: return static_cast<int>(Tag::kU8);
    case arrow::Type::UINT16: return static_cast<int>(Tag::kU16);
    case arrow::Type::UINT32: return static_cast<int>(Tag::kU32);
    case arrow::Type::UINT64: return static_cast<int>(Tag::kU64);
    case arrow::Type::FLOAT: return static_cast<int>(Tag::kF32);
    case arrow::Type::DOUBLE: return static_cast<int>(Tag::kF64);
    case arrow::Type::BOOL: return static_cast<int>(Tag::kBool);
    case arrow::Type::BINARY: return static_cast<int>(Tag::kBinary);
    default: return -1;
  }
}

// Arrow's own stream encoding of the schema, used to tell a well-formed message from one that
// merely parses.
arrow::Result<std::shared_ptr<arrow::Buffer>> encode_stream(
    const std::shared_ptr<arrow::Schema>& schema) {
  ARROW_ASSIGN_OR_RAISE(auto sink, arrow::io::BufferOutputStream::Create(512));
  ARROW_ASSIGN_OR_RAISE(auto writer, arrow::ipc::MakeStreamWriter(sink, schema));
  ARROW_RETURN_NOT_OK(writer->Close());
  return sink->Finish();
}

void check_framing(const uint8_t* data, size_t len, int64_t meta_len, SchemaCheck& out) {
  if (read_u32(data) != 0xFFFFFFFFu) {
    out.problems.push_back(
        fmt::format("schema stream starts with {:08x}, not the continuation marker ffffffff",
                    read_u32(data)));
  }
  if ((meta_len + 8) % 64 != 0) {
    out.problems.push_back(fmt::format(
        "schema message length {} is not padded so that length + 8 is a multiple of 64",
        meta_len));
  }
  const size_t after = len - 8 - static_cast<size_t>(meta_len);
  if (after != 8) {
    out.problems.push_back(fmt::format(
        "schema stream has {} bytes after the schema message; expected exactly the 8-byte "
        "end-of-stream marker",
        after));
  } else if (read_u32(data + len - 8) != 0xFFFFFFFFu || read_u32(data + len - 4) != 0) {
    out.problems.push_back(
        "schema stream does not end with the end-of-stream marker ffffffff 00000000");
  }
}

void compare_with_arrow(const uint8_t* data, int64_t meta_len,
                        const std::shared_ptr<arrow::Schema>& schema, SchemaCheck& out) {
  auto canonical = encode_stream(schema);
  if (!canonical.ok()) {
    out.problems.push_back("Arrow cannot re-encode the schema: " + canonical.status().ToString());
    return;
  }
  const auto& buf = **canonical;
  const int64_t canon_meta = static_cast<int32_t>(read_u32(buf.data() + 4));
  // The message proper must be byte-identical and everything beyond it zero padding.
  bool same = meta_len >= canon_meta &&
              std::memcmp(data + 8, buf.data() + 8, static_cast<size_t>(canon_meta)) == 0;
  for (int64_t i = canon_meta; same && i < meta_len; ++i) same = data[8 + i] == 0;
  if (!same) {
    out.problems.push_back(
        "schema message differs from Arrow's own encoding of the schema it decodes to "
        "(flatbuffer bytes or nonzero padding)");
  }
}

}  // namespace

SchemaCheck check_schema_stream(const uint8_t* data, size_t len) {
  SchemaCheck out;
  if (data == nullptr || len < 16) {
    out.fatal = fmt::format("schema stream of {} bytes is too short", data ? len : 0);
    return out;
  }
  const int64_t meta_len = static_cast<int32_t>(read_u32(data + 4));
  if (meta_len <= 0 || static_cast<uint64_t>(meta_len) > len - 8) {
    out.fatal =
        fmt::format("schema message length {} does not fit a {}-byte stream", meta_len, len);
    return out;
  }
  check_framing(data, len, meta_len, out);

  auto bytes = std::make_shared<arrow::Buffer>(data, static_cast<int64_t>(len));
  arrow::io::BufferReader reader(bytes);
  auto message = arrow::ipc::ReadMessage(&reader);
  if (!message.ok()) {
    out.fatal = "Arrow IPC reader rejects the schema message: " + message.status().ToString();
    return out;
  }
  if (*message == nullptr) {
    out.fatal = "schema stream holds no message";
    return out;
  }
  const auto& msg = **message;
  if (msg.type() != arrow::ipc::MessageType::SCHEMA) {
    out.fatal = "the first message of the stream is not a schema";
    return out;
  }
  if (msg.metadata_version() != arrow::ipc::MetadataVersion::V5) {
    out.problems.push_back(fmt::format("schema message has metadata version {}, not V5",
                                       static_cast<int>(msg.metadata_version()) + 1));
  }
  if (msg.body_length() != 0) {
    out.problems.push_back(fmt::format("schema message has body length {}", msg.body_length()));
  }
  arrow::ipc::DictionaryMemo memo;
  auto schema = arrow::ipc::ReadSchema(msg, &memo);
  if (!schema.ok()) {
    out.fatal = "Arrow IPC reader rejects the schema: " + schema.status().ToString();
    return out;
  }
  compare_with_arrow(data, meta_len, *schema, out);

  std::set<std::string> seen;
  for (const auto& field : (*schema)->fields()) {
    if (!seen.insert(field->name()).second) {
      out.problems.push_back(fmt::format("schema has two fields named '{}'", field->name()));
    }
    out.fields.push_back({field->name(), expected_tag_for(*field->type())});
  }
  return out;
}

}  // namespace standin
