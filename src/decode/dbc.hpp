// DecodeDb: the decode model built from DBC text, and lookup by (identifier, extended flag).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "decode/model.hpp"

namespace orvik::dbc {

class DecodeDb {
 public:
  DecodeDb() = default;  // the empty model, used when there is no DBC

  // Parses a whole DBC text. Fails with "DBC parse error: {:?}".
  static Result<DecodeDb> from_dbc_str(std::string_view text);
  // Reads the file as UTF-8, then parses it. Fails with "Failed to read DBC file: {}".
  static Result<DecodeDb> from_file(const std::string& path);

  // The message for (id, extended), or nullptr.
  const std::shared_ptr<const MessageSpec>* find(std::uint32_t id, bool is_extended) const {
    auto it = messages_.find(MessageKey{id, is_extended});
    return it == messages_.end() ? nullptr : &it->second;
  }
  const MessageMap& messages() const { return messages_; }
  std::size_t size() const { return messages_.size(); }

 private:
  friend struct DecodeDbBuilder;
  MessageMap messages_;
};

}  // namespace orvik::dbc
