// Reads an event's schema stream the way an SDK must: strict framing, then Arrow's own IPC reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace standin {

// A schema field and the only column tag (besides null) a row may carry for it; -1 accepts any.
struct FieldSpec {
  std::string name;
  int expected_tag = -1;
};

struct SchemaCheck {
  std::vector<FieldSpec> fields;
  // Set when Arrow cannot read a schema out of the bytes: the event cannot be registered.
  std::string fatal;
  // Departures from the stream layout that still leave a readable schema.
  std::vector<std::string> problems;
};

SchemaCheck check_schema_stream(const uint8_t* data, size_t len);

}  // namespace standin
