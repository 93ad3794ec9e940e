// The construction steps that CanCodec and CanDecoder share: their common arguments, the DBC
// source, the decoder settings, the trace sources, the SDK handles and the decoder core.
//
// A constructor runs them in this order, doing its own steps in between:
//   DecoderArgs args = convert_decoder_head(a);          // database_file .. emit_schemas_on_init
//   ... its own arguments ...
//   convert_decoder_tail(a, first, args);                // source, raw_source, database_bytes
//   PreparedDecoder p = prepare_decoder(std::move(args)); // DBC source, raw default, config,
//                                                         // trace sources (raises)
//   ... CanCodec: its bus ...
//   BuiltDecoder b = build_decoder(std::move(p));        // SDK handles + core (raises)
//   ... CanCodec: its transmit queue ...
//   register_schemas_if_asked(b);                        // up-front registration (raises)
// Everything here runs with the interpreter lock held, and raises by setting a Python exception
// and throwing py::Raised; whatever a failed step had acquired is released on the way out.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "decode/core.hpp"
#include "decode/metrics.hpp"
#include "pybase/py.hpp"
#include "python/binding/args.hpp"

namespace orvik::python {

// The arguments both constructors take, converted.
struct DecoderArgs {
  std::optional<std::string> database_file;
  std::string source_name = "can";
  std::string timestamp_mode = "auto";
  std::optional<bool> log_raw_frames;
  bool emit_schemas_on_init = false;
  py::Ref source;      // null: not given (None counts as not given)
  py::Ref raw_source;  // null: not given
  std::optional<std::vector<std::uint8_t>> database_bytes;
};

// The docstring lines of the arguments both constructors take: the five leading ones, then
// source, raw_source and database_bytes.
inline constexpr std::string_view kDecoderHeadArgsDoc =
    "    database_file: path of a DBC file. Without a DBC, frames are logged raw only.\n"
    "    source_name: name of the trace source. Default: \"can\".\n"
    "    timestamp_mode: \"auto\", \"hardware\", \"system\" or \"ignore\". Default: \"auto\".\n"
    "    log_raw_frames: also log every frame as a raw row. Default: True without a DBC,\n"
    "        False with one.\n"
    "    emit_schemas_on_init: register every DBC message schema at construction.\n"
    "        Default: False.\n";
inline constexpr std::string_view kDecoderTailArgsDoc =
    "    source: trace source object for decoded rows. Default: the SDK's source for\n"
    "        ``source_name``.\n"
    "    raw_source: trace source object for raw rows. Default: the SDK's source for\n"
    "        ``source_name`` + \"_raw\".\n"
    "    database_bytes: DBC text as UTF-8 bytes, instead of ``database_file``.\n";

// Converts the five leading parameters, bound at positions 0..4 in signature order:
// database_file, source_name, timestamp_mode, log_raw_frames, emit_schemas_on_init.
DecoderArgs convert_decoder_head(const py::Bound& a);
// Converts source, raw_source and database_bytes, bound at positions first .. first + 2.
void convert_decoder_tail(const py::Bound& a, std::size_t first, DecoderArgs& args);

// ValueError "pass either database_file or database_bytes, not both" when both are given; empty
// bytes count as given.
DbcSource resolve_dbc_source(std::optional<std::string> file,
                             std::optional<std::vector<std::uint8_t>> bytes);

// Raises RuntimeError with the error's outermost message as its text, and each cause as a
// RuntimeError chained as `__cause__`, innermost last.
[[noreturn]] void error_to_runtime_error(const Error& error);

// Settings complete and trace source objects resolved; no SDK handle acquired yet.
struct PreparedDecoder {
  DecoderConfig config;
  bool emit_schemas_on_init = false;
  py::Ref source;
  py::Ref raw_source;  // null unless raw frames are logged
};

// Classifies the DBC input, defaults raw logging (on exactly when there is no DBC, unless given),
// parses the timestamp mode and resolves the trace sources: the main one, then, only when raw
// frames are logged, the raw one under "{source_name}_raw". An unused raw_source is dropped.
PreparedDecoder prepare_decoder(DecoderArgs args);

struct BuiltDecoder {
  DecoderCore core;
  SharedCounters counters;  // a second reference to the core's counters
  py::Ref source;           // the main trace source object (CanCodec keeps it)
  bool emit_schemas_on_init = false;
};

// Acquires the SDK source handles (the first acquisition in the process finds the SDK table)
// and builds the decoder core, loading the DBC. Raises RuntimeError through
// error_to_runtime_error; the handles are released on failure.
BuiltDecoder build_decoder(PreparedDecoder prepared);

// Registers every event schema, raw first, when emit_schemas_on_init was asked for. On failure it
// raises RuntimeError through error_to_runtime_error; the caller drops the core, which releases
// what registered before.
void register_schemas_if_asked(BuiltDecoder& built);

}  // namespace orvik::python
