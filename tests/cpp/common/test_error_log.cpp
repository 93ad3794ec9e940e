// Error chains and the logging facade's delivery rules.
#include "common/error.hpp"
#include "common/log.hpp"

#include <gtest/gtest.h>

namespace orvik {
namespace {

TEST(Error, ContextWrapsAndChainReadsOuterFirst) {
  Error inner("disk on fire");
  Error outer = Error("read failed", inner).context("load config");
  EXPECT_EQ(outer.message(), "load config");
  ASSERT_NE(outer.cause(), nullptr);
  EXPECT_EQ(outer.cause()->message(), "read failed");
  EXPECT_EQ(outer.chain(), "load config: read failed: disk on fire");

  Result<int> r = fail("boom");
  auto wrapped = with_context(std::move(r), "step");
  ASSERT_FALSE(wrapped);
  EXPECT_EQ(wrapped.error().chain(), "step: boom");
  EXPECT_EQ(*with_context(Result<int>(7), "unused"), 7);
}

TEST(Log, NothingFormatsWithoutSubscriberAndCaptureFiltersByLevel) {
  int formatted = 0;
  auto fields = [&] {
    ++formatted;
    return std::vector<log::Field>{{"size", std::uint64_t{3}}};
  };
  log::event_with(log::Level::Warn, "t", fields, "x {}", 1);
  EXPECT_EQ(formatted, 0);
  {
    log::ScopedCapture capture(log::Level::Info);
    log::event(log::Level::Debug, "t", "hidden {}", 1);
    log::event_with(log::Level::Warn, "orvik_can", fields, "shown {}", 2);
    auto events = capture->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].message, "shown 2");
    EXPECT_EQ(events[0].target, "orvik_can");
    EXPECT_EQ(events[0].level, log::Level::Warn);
    ASSERT_EQ(events[0].fields.size(), 1u);
    EXPECT_EQ(std::get<std::uint64_t>(events[0].fields[0].value), 3u);
    EXPECT_EQ(capture->count("shown 2"), 1u);
  }
  EXPECT_FALSE(log::enabled(log::Level::Error, "t"));
}

}  // namespace
}  // namespace orvik
