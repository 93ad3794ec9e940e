// Capsule discovery through sys.modules: every refusal, then publication, caching and agreement.
#include "sdk_py/bridge.hpp"

#include <thread>
#include <vector>

#include "python_env.hpp"
#include "sdk/table.hpp"

namespace orvik::sdk::testing {
namespace {

constexpr const char* kNotFound =
    "orvik-sdk ABI capsule 'orvik_sdk_abi_v1' not found in sys.modules \xE2\x80\x94 is orvik-sdk "
    "installed and imported?";

// A capsule whose stored pointer is null; the capsule API refuses to make one, so patch it.
py::Ref null_pointer_capsule() {
  static int dummy = 0;
  py::Ref capsule = py::Ref::steal(PyCapsule_New(&dummy, kCapsuleName, nullptr));
  void** pointer_slot = reinterpret_cast<void**>(reinterpret_cast<char*>(capsule.get()) +
                                                 sizeof(PyObject));
  EXPECT_EQ(*pointer_slot, &dummy) << "capsule layout differs from the one this test assumes";
  *pointer_slot = nullptr;
  return capsule;
}

class Discovery : public PythonTest {};

// One test, because the cell is never cleared: the refusals must come before the success.
TEST_F(Discovery, RefusesBadEntriesCachesNothingThenCachesTheFirstTable) {
  if (cached_table() != nullptr) GTEST_SKIP() << "needs a process where nothing was discovered";

  SdkAbiTable version_two{};
  version_two.abi_version = 2;
  struct Case {
    const char* what;
    std::string entry_code;  // Python expression for the entry; empty = no key
    SinkError::Kind kind;
    std::string display;
  };
  const Case cases[] = {
      {"no key", "", SinkError::Kind::CapsuleNotFound, kNotFound},
      {"None", "None", SinkError::Kind::CapsuleNotFound, kNotFound},
      {"int", "5", SinkError::Kind::Python,
       "python error during capsule discovery: sys.modules['orvik_sdk_abi_v1'] exists but is not "
       "a PyCapsule"},
      {"look-alike claiming the capsule class",
       "type('LookAlike', (), {'__class__': type(__import__('datetime').datetime_CAPI)})()",
       SinkError::Kind::Python,
       "python error during capsule discovery: sys.modules['orvik_sdk_abi_v1'] exists but is not "
       "a PyCapsule"},
  };
  {
    py::GilGuard gil;
    ASSERT_TRUE(eval_true("isinstance(" + cases[3].entry_code +
                          ", type(__import__('datetime').datetime_CAPI))"));
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    {
      py::GilGuard gil;
      py::Ref entry = c.entry_code.empty() ? py::Ref() : eval(c.entry_code);
      ASSERT_TRUE(c.entry_code.empty() || entry);
      set_capsule_entry(entry.get());
    }
    auto table = abi_table();  // without the lock: discovery takes it itself
    ASSERT_FALSE(table);
    EXPECT_EQ(table.error().kind(), c.kind);
    EXPECT_EQ(table.error().display(), c.display);
  }

  {
    py::GilGuard gil;  // held by the caller this time: the lock is taken re-entrantly
    set_capsule_entry(null_pointer_capsule().get());
    auto null_table = abi_table();
    ASSERT_FALSE(null_table);
    EXPECT_EQ(null_table.error().display(),
              "python error during capsule discovery: sys.modules['orvik_sdk_abi_v1'] PyCapsule "
              "pointer is null");
    EXPECT_EQ(PyErr_Occurred(), nullptr);

    py::Ref v2 = py::Ref::steal(PyCapsule_New(&version_two, kCapsuleName, nullptr));
    set_capsule_entry(v2.get());
    auto mismatch = abi_table();
    ASSERT_FALSE(mismatch);
    EXPECT_EQ(mismatch.error().debug(), "VersionMismatch { found: 2, expected: 1 }");
    EXPECT_EQ(mismatch.error().display(),
              "orvik-sdk ABI version mismatch: capsule advertises v2, consumer compiled for v1. "
              "Reinstall packages to matching versions.");

    // A sys.modules whose lookup raises: the exception becomes the Python kind, none stays pending.
    ASSERT_TRUE(run("import sys\n"
                    "class Broken(dict):\n"
                    "    def get(self, key):\n"
                    "        raise LookupError('no lookups today')\n"
                    "saved_modules = sys.modules\n"
                    "sys.modules = Broken()\n"));
    auto raised = abi_table();
    ASSERT_TRUE(run("sys.modules = saved_modules\ndel saved_modules\n"));
    ASSERT_FALSE(raised);
    EXPECT_EQ(raised.error().display(),
              "python error during capsule discovery: LookupError: no lookups today");
    EXPECT_EQ(PyErr_Occurred(), nullptr);

    // Acquisition reports the discovery failure under its own context.
    set_capsule_entry(nullptr);
    py::Ref source = eval("object()");
    auto acquired = acquire_sources(source.get(), nullptr);
    ASSERT_FALSE(acquired);
    EXPECT_EQ(acquired.error().message(), std::string("acquire source handle: ") + kNotFound);
  }
  EXPECT_EQ(cached_table(), nullptr);

  // Published under another capsule name: any name is accepted.
  const SdkAbiTable* expected;
  {
    py::GilGuard gil;
    expected = publish_shared_fake("some.other.name");
  }
  std::vector<const SdkAbiTable*> seen(4);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      auto t = abi_table();
      seen[i] = t ? *t : nullptr;
    });
  }
  for (auto& t : threads) t.join();
  for (const SdkAbiTable* s : seen) EXPECT_EQ(s, expected);
  EXPECT_EQ(cached_table(), expected);

  // Once cached, sys.modules is not consulted again.
  {
    py::GilGuard gil;
    set_capsule_entry(nullptr);
  }
  auto after_delete = abi_table();
  ASSERT_TRUE(after_delete);
  EXPECT_EQ(*after_delete, expected);
  {
    py::GilGuard gil;
    py::Ref v2 = py::Ref::steal(PyCapsule_New(&version_two, kCapsuleName, nullptr));
    set_capsule_entry(v2.get());
    auto after_replace = abi_table();
    ASSERT_TRUE(after_replace);
    EXPECT_EQ(*after_replace, expected);
    set_capsule_entry(nullptr);
  }
}

TEST_F(Discovery, ExceptionsRenderAsQualifiedTypeAndStr) {
  py::GilGuard gil;
  ASSERT_TRUE(run("class Outer:\n"
                  "    class Inner(Exception):\n"
                  "        pass\n"
                  "class Unprintable(Exception):\n"
                  "    def __str__(self):\n"
                  "        raise RuntimeError('no')\n"
                  "def throw(e):\n"
                  "    raise e\n"));
  struct Case {
    const char* exception;
    const char* text;
  };
  const Case cases[] = {
      {"ValueError('bad value')", "ValueError: bad value"},
      {"KeyError('k')", "KeyError: 'k'"},
      {"Outer.Inner('deep')", "Outer.Inner: deep"},
      {"Unprintable()", "Unprintable: <exception str() failed>"},
      {"ValueError('caf\\u00e9 \\ud800')", "ValueError: caf\xC3\xA9 ?"},
      {"Exception()", "Exception: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.exception);
    ASSERT_FALSE(eval(std::string("throw(") + c.exception + ")"));
    ASSERT_NE(PyErr_Occurred(), nullptr);
    SinkError error = sink_error_from_python();
    EXPECT_EQ(PyErr_Occurred(), nullptr);
    EXPECT_EQ(error.kind(), SinkError::Kind::Python);
    EXPECT_EQ(error.text(), c.text);
  }
  // An exception set from C without an instance is rendered the same way.
  PyErr_SetString(PyExc_TypeError, "from C");
  EXPECT_EQ(take_exception_text(), "TypeError: from C");
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

}  // namespace
}  // namespace orvik::sdk::testing
