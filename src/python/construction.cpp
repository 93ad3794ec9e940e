// The construction steps shared by CanCodec and CanDecoder.
#include "python/construction.hpp"

#include <fmt/format.h>

#include <utility>

#include "decode/timestamp.hpp"
#include "python/binding/convert.hpp"
#include "python/binding/errors.hpp"
#include "sdk_py/bridge.hpp"

namespace orvik::python {

namespace {

// A trace source argument: any object, not inspected; None counts as not given.
py::Ref to_source_object(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return {};
  return py::Ref::borrow(obj);
}

py::Ref resolve_or_raise(const py::Ref& given, const std::string& name) {
  py::Ref source = sdk::resolve_trace_source(given.get(), name);
  if (!source) py::raise_current();
  return source;
}

}  // namespace

DecoderArgs convert_decoder_head(const py::Bound& a) {
  DecoderArgs args;
  args.database_file = py::arg(a, 0, py::optional(py::to_str));
  args.source_name = py::arg_or(a, 1, py::to_str, std::string("can"));
  args.timestamp_mode = py::arg_or(a, 2, py::to_str, std::string("auto"));
  args.log_raw_frames = py::arg(a, 3, py::optional(py::to_flag));
  args.emit_schemas_on_init = py::arg_or(a, 4, py::to_flag, false);
  return args;
}

void convert_decoder_tail(const py::Bound& a, std::size_t first, DecoderArgs& args) {
  args.source = to_source_object(a[first]);
  args.raw_source = to_source_object(a[first + 1]);
  args.database_bytes = py::arg(a, first + 2, py::optional(py::to_bytes<>));
}

DbcSource resolve_dbc_source(std::optional<std::string> file,
                             std::optional<std::vector<std::uint8_t>> bytes) {
  if (file && bytes) {
    py::raise(PyExc_ValueError, "pass either database_file or database_bytes, not both");
  }
  if (file) return DbcSource{DbcSource::File{std::move(*file)}};
  if (bytes) return DbcSource{DbcSource::Bytes{std::move(*bytes)}};
  return DbcSource{DbcSource::None{}};
}

void error_to_runtime_error(const Error& error) { py::raise(PyExc_RuntimeError, error); }

PreparedDecoder prepare_decoder(DecoderArgs args) {
  PreparedDecoder out;
  DecoderConfig& config = out.config;
  config.dbc = resolve_dbc_source(std::move(args.database_file), std::move(args.database_bytes));
  const bool no_dbc = std::holds_alternative<DbcSource::None>(config.dbc.source);
  config.log_raw_frames = args.log_raw_frames.value_or(no_dbc);
  config.source_name = std::move(args.source_name);
  config.timestamp_mode = parse_timestamp_mode(args.timestamp_mode);
  out.emit_schemas_on_init = args.emit_schemas_on_init;

  out.source = resolve_or_raise(args.source, config.source_name);
  if (config.log_raw_frames) {
    out.raw_source = resolve_or_raise(args.raw_source, fmt::format("{}_raw", config.source_name));
  }
  return out;
}

BuiltDecoder build_decoder(PreparedDecoder prepared) {
  auto sources = sdk::acquire_sources(prepared.source.get(), prepared.raw_source.get());
  if (!sources) error_to_runtime_error(sources.error());
  auto core = DecoderCore::create(std::move(prepared.config), std::move(sources->main),
                                  std::move(sources->raw));
  if (!core) error_to_runtime_error(core.error());
  SharedCounters counters = core->metrics;
  return BuiltDecoder{std::move(*core), std::move(counters), std::move(prepared.source),
                      prepared.emit_schemas_on_init};
}

void register_schemas_if_asked(BuiltDecoder& built) {
  if (!built.emit_schemas_on_init) return;
  if (auto done = built.core.emit_schemas(); !done) error_to_runtime_error(done.error());
}

}  // namespace orvik::python
