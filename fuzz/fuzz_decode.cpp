// Fuzzes signal decoding: random layouts and payloads; the word path must equal the bit walk, and
// nothing may crash or hit undefined behaviour.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "decode/scaling.hpp"
#include "decode/signal.hpp"

namespace {

using namespace orvik;

// Reads fixed-size fields from the front of the input; zeros once it runs out.
struct Reader {
  const std::uint8_t* data;
  std::size_t size;
  template <class T>
  T take() {
    T v{};
    const std::size_t n = size < sizeof(T) ? size : sizeof(T);
    std::memcpy(&v, data, n);
    data += n;
    size -= n;
    return v;
  }
};

constexpr double kFactors[] = {1.0, 1.0, 0.5, 2.0, -1.0, 0.1, 1e300, -0.0, 0.0, 4.0, 1e-3, 3.0};
constexpr double kOffsets[] = {0.0, 0.0, -40.0, 100.5, -0.0, 1e300, -1e300, 0.25};

SignalSpec read_signal(Reader& in) {
  SignalSpec s;
  const auto shape = in.take<std::uint8_t>();
  const auto start = in.take<std::uint16_t>();
  // Mostly start bits within a 64-byte frame; now and then anywhere in the 32-bit range.
  s.start_bit = (shape & 0x80) ? start * 65537u : start % 540;
  s.size = in.take<std::uint8_t>() % 72;
  s.byte_order = (shape & 1) ? ByteOrder::motorola : ByteOrder::intel;
  s.is_signed = shape & 2;
  s.is_float = (shape & 0x0C) == 0x0C;
  const auto scale = in.take<std::uint8_t>();
  s.factor = kFactors[scale % std::size(kFactors)];
  s.offset = kOffsets[(scale >> 4) % std::size(kOffsets)];
  s.signal_type = static_cast<SignalType>(in.take<std::uint8_t>() % 14);
  s.mux_kind = static_cast<MuxKind>((shape >> 4) % 3);
  s.switch_value = (shape >> 6) & 1;
  decode::plan_conversion(s);
  return s;
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in{data, size};
  const std::size_t count = in.take<std::uint8_t>() % 6 + 1;
  MessageSpec message;
  message.name = "fuzz";
  for (std::size_t i = 0; i < count; ++i) message.signals.push_back(read_signal(in));
  if (const auto mux = in.take<std::uint8_t>(); mux < count) message.multiplexor_index = mux;
  const std::span<const std::uint8_t> payload(in.data, in.size);

  for (const SignalSpec& s : message.signals) {
    const auto fast = decode::detail::extract_raw(payload, s.start_bit, s.size, s.byte_order);
    const auto ref = decode::detail::extract_raw_reference(payload, s.start_bit, s.size, s.byte_order);
    check(fast == ref);
    const auto value = decode::decode_signal(payload, s);
    const bool numeric = static_cast<std::uint8_t>(s.signal_type) <= 9;
    const bool ieee_ok = !s.is_float || s.size == 16 || s.size == 32 || s.size == 64;
    check(value.has_value() == (ref.has_value() && numeric && ieee_ok));
    if (value && !s.is_float && s.factor == 1.0 && s.offset == 0.0 &&
        s.signal_type == SignalType::UInt64) {
      check(value->bits == *ref || (s.is_signed && s.size < 64));
    }
  }

  const auto base = decode::base_signals(message);
  const auto row = decode::decode_signals(base, payload);
  if (row) check(row->size() == base.size());
  if (const auto sel = decode::decode_mux_signals(payload, message)) {
    check(!sel->signals.empty());
    for (const auto* s : sel->signals) check(s->switch_value == sel->selector);
    decode::decode_signals(sel->signals, payload);
  }
  return 0;
}
