// SinkError texts, debug forms and chains, and the fetch of the SDK's last error.
#include "sdk/sink_error.hpp"

#include <gtest/gtest.h>

#include "sdk/fake_sdk.hpp"
#include "sdk/table.hpp"

namespace orvik::sdk {
namespace {

TEST(SinkError, DisplayAndDebugOfEveryKind) {
  struct Case {
    SinkError error;
    SinkError::Kind kind;
    const char* display;
    const char* debug;
  };
  const Case cases[] = {
      {SinkError::capsule_not_found(kCapsuleName), SinkError::Kind::CapsuleNotFound,
       "orvik-sdk ABI capsule 'orvik_sdk_abi_v1' not found in sys.modules \xE2\x80\x94 is "
       "orvik-sdk installed and imported?",
       "CapsuleNotFound(\"orvik_sdk_abi_v1\")"},
      {SinkError::version_mismatch(2, 1), SinkError::Kind::VersionMismatch,
       "orvik-sdk ABI version mismatch: capsule advertises v2, consumer compiled for v1. "
       "Reinstall packages to matching versions.",
       "VersionMismatch { found: 2, expected: 1 }"},
      {SinkError::call("bad \"name\"\n"), SinkError::Kind::Call,
       "orvik-sdk ABI call failed: bad \"name\"\n", "Call(\"bad \\\"name\\\"\\n\")"},
      {SinkError::arrow_ipc(arrow::Status::Invalid("no such type")), SinkError::Kind::ArrowIpc,
       "arrow ipc error: Invalid: no such type", "ArrowIpc(\"Invalid: no such type\")"},
      {SinkError::python("KeyError: 'x'\x01\\"), SinkError::Kind::Python,
       "python error during capsule discovery: KeyError: 'x'\x01\\",
       "Python(\"KeyError: 'x'\\u{1}\\\\\")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.debug);
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(c.error.display(), c.display);
    EXPECT_EQ(c.error.debug(), c.debug);
  }
}

TEST(SinkError, OnlyArrowIpcCarriesACause) {
  Error plain = SinkError::call("boom").to_error();
  EXPECT_EQ(plain.message(), "orvik-sdk ABI call failed: boom");
  EXPECT_EQ(plain.cause(), nullptr);

  Error arrow = SinkError::arrow_ipc(arrow::Status::OutOfMemory("full")).to_error();
  EXPECT_EQ(arrow.message(), "arrow ipc error: Out of memory: full");
  ASSERT_NE(arrow.cause(), nullptr);
  EXPECT_EQ(arrow.cause()->message(), "Out of memory: full");
  EXPECT_EQ(arrow.cause()->cause(), nullptr);
}

TEST(LastErrorString, CopiesTheTextOrSaysThereIsNone) {
  fake::ScopedFake sdk;
  SinkError with_text = last_error_string(sdk.table());
  sdk->error_text = "changed afterwards";  // the copy must not follow the SDK's buffer
  EXPECT_EQ(with_text.kind(), SinkError::Kind::Call);
  EXPECT_EQ(with_text.text(), "sdk says no");

  sdk->error_zero_length = true;  // non-null pointer, length 0
  EXPECT_EQ(last_error_string(sdk.table()).display(),
            "orvik-sdk ABI call failed: (no error message)");
  sdk->error_zero_length = false;
  sdk->error_null = true;
  EXPECT_EQ(last_error_string(sdk.table()).text(), "(no error message)");
  EXPECT_EQ(sdk->last_error_calls, 3);
}

TEST(LastErrorString, KeepsBytesAsGiven) {
  fake::ScopedFake sdk;
  sdk->error_text = std::string("a\0b\xC3\xA9", 5);
  EXPECT_EQ(last_error_string(sdk.table()).text(), std::string("a\0b\xC3\xA9", 5));
}

}  // namespace
}  // namespace orvik::sdk
