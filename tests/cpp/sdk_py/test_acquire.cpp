// Source acquisition from Python objects: borrowed references, null handles, release on failure.
#include "sdk_py/bridge.hpp"

#include "python_env.hpp"

namespace orvik::sdk::testing {
namespace {

class Acquire : public PythonTest {
 protected:
  void SetUp() override {
    PythonTest::SetUp();
    py::GilGuard gil;
    publish_shared_fake();
    auto table = abi_table();
    ASSERT_TRUE(table) << table.error().display();
    ASSERT_EQ(*table, &shared_fake().table);
  }
  fake::FakeSdk& sdk() { return shared_fake(); }
};

TEST_F(Acquire, PassesTheObjectBorrowedAndReleasesTheHandleOnce) {
  py::GilGuard gil;
  py::Ref source = eval("object()");
  const Py_ssize_t refs = Py_REFCNT(source.get());
  void* handle = nullptr;
  {
    auto acquired = src_handle_from_py(source.get());
    ASSERT_TRUE(acquired) << acquired.error().display();
    EXPECT_EQ(Py_REFCNT(source.get()), refs);
    ASSERT_EQ(sdk().sources_from.size(), 1u);
    EXPECT_EQ(sdk().sources_from[0], source.get());
    handle = acquired->get();
    EXPECT_EQ(acquired->table(), &sdk().table);
  }
  EXPECT_EQ(sdk().releases[handle], 1);
}

TEST_F(Acquire, SdkRefusalsBecomeCallErrors) {
  py::GilGuard gil;
  py::Ref source = eval("object()");
  struct Case {
    std::int32_t status;
    bool null_handle;
    bool no_text;
    const char* display;
  };
  const Case cases[] = {
      {1, false, false, "orvik-sdk ABI call failed: sdk says no"},
      {-1, false, true, "orvik-sdk ABI call failed: (no error message)"},
      {0, true, false,
       "orvik-sdk ABI call failed: src_handle_from_py returned null without an error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.display);
    fake::reset(sdk());
    sdk().status["src_handle_from_py"] = c.status;
    sdk().null_source = c.null_handle;
    sdk().error_null = c.no_text;
    auto acquired = src_handle_from_py(source.get());
    ASSERT_FALSE(acquired);
    EXPECT_EQ(acquired.error().display(), c.display);
    EXPECT_TRUE(sdk().releases.empty());
  }
}

TEST_F(Acquire, MainThenRawAndNothingHeldAfterAFailure) {
  py::GilGuard gil;
  py::Ref main = eval("object()");
  py::Ref raw = eval("object()");
  {
    auto both = acquire_sources(main.get(), raw.get());
    ASSERT_TRUE(both);
    ASSERT_TRUE(both->raw.has_value());
    EXPECT_EQ(sdk().sources_from, (std::vector<void*>{main.get(), raw.get()}));
    auto only_main = acquire_sources(main.get(), nullptr);
    ASSERT_TRUE(only_main);
    EXPECT_FALSE(only_main->raw.has_value());
  }
  EXPECT_EQ(sdk().releases.size(), 3u);
  for (const auto& [handle, count] : sdk().releases) EXPECT_EQ(count, 1);

  fake::reset(sdk());
  sdk().fail_source_at = 1;
  sdk().error_text = "raw source closed";
  auto raw_failed = acquire_sources(main.get(), raw.get());
  ASSERT_FALSE(raw_failed);
  EXPECT_EQ(raw_failed.error().message(),
            "acquire source handle: orvik-sdk ABI call failed: raw source closed");
  EXPECT_EQ(raw_failed.error().cause(), nullptr);
  EXPECT_EQ(sdk().log, (std::vector<std::string>{"src_handle_from_py -> 1",
                                                  "src_handle_from_py failed",
                                                  "release_source(1)"}));

  fake::reset(sdk());
  sdk().fail_source_at = 0;
  auto main_failed = acquire_sources(main.get(), raw.get());
  ASSERT_FALSE(main_failed);
  EXPECT_EQ(sdk().sources_from.size(), 1u);  // the raw source is not tried
  EXPECT_TRUE(sdk().releases.empty());
}

}  // namespace
}  // namespace orvik::sdk::testing
