// Encoding of an Arrow schema as the IPC stream an event is registered with.
#pragma once

#include <arrow/type_fwd.h>

#include <memory>

#include "sdk/sink_error.hpp"

namespace orvik::sdk {

// The schema message followed by the end-of-stream marker: metadata V5, continuation markers,
// 64-byte alignment, no compression.
SinkResult<std::shared_ptr<arrow::Buffer>> encode_schema_stream(
    const std::shared_ptr<arrow::Schema>& schema);

}  // namespace orvik::sdk
