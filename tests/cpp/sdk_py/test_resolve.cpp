// Trace source resolution: the given object, or orvik_sdk.TraceSourceCache(name), with exact errors.
#include "sdk_py/bridge.hpp"

#include "python_env.hpp"

namespace orvik::sdk::testing {
namespace {

class Resolve : public PythonTest {
 protected:
  void SetUp() override {
    PythonTest::SetUp();
    py::GilGuard gil;
    ASSERT_TRUE(run("import sys, types\n"
                    "calls = []\n"
                    "class TraceSourceCache:\n"
                    "    def __init__(self, *args, **kwargs):\n"
                    "        calls.append((args, kwargs))\n"
                    "        if args and args[0] == 'explode':\n"
                    "            raise OSError('sdk down')\n"
                    "fake_sdk = types.ModuleType('orvik_sdk')\n"
                    "fake_sdk.TraceSourceCache = TraceSourceCache\n"
                    "sys.modules['orvik_sdk'] = fake_sdk\n"));
  }
  void TearDown() override {
    py::GilGuard gil;
    ASSERT_TRUE(run("sys.modules.pop('orvik_sdk', None)\n"));
  }
};

TEST_F(Resolve, GivenObjectIsReturnedAsIsWithoutTheSdk) {
  py::GilGuard gil;
  py::Ref given = eval("[1, 2]");
  py::Ref resolved = resolve_trace_source(given.get(), "can");
  EXPECT_EQ(resolved.get(), given.get());
  EXPECT_TRUE(eval_true("calls == []"));
}

TEST_F(Resolve, CallsTheCacheClassWithOnePositionalName) {
  py::GilGuard gil;
  py::Ref main = resolve_trace_source(nullptr, "can");
  py::Ref raw = resolve_trace_source(Py_None, "can_raw");
  ASSERT_TRUE(main && raw);
  EXPECT_TRUE(eval_true("calls == [(('can',), {}), (('can_raw',), {})]"));
  EXPECT_EQ(str_of(reinterpret_cast<PyObject*>(Py_TYPE(main.get()))),
            "<class '__main__.TraceSourceCache'>");
}

TEST_F(Resolve, ReferencesAreReleasedOnEveryPath) {
  py::GilGuard gil;
  py::Ref cls = eval("TraceSourceCache");
  py::Ref module = eval("fake_sdk");
  const Py_ssize_t cls_refs = Py_REFCNT(cls.get());
  const Py_ssize_t module_refs = Py_REFCNT(module.get());
  { py::Ref ok = resolve_trace_source(nullptr, "can"); }
  EXPECT_FALSE(resolve_trace_source(nullptr, "explode"));
  PyErr_Clear();
  EXPECT_EQ(Py_REFCNT(cls.get()), cls_refs);
  EXPECT_EQ(Py_REFCNT(module.get()), module_refs);
}

TEST_F(Resolve, SdkErrorsPassThroughUnchanged) {
  py::GilGuard gil;
  EXPECT_FALSE(resolve_trace_source(nullptr, "explode"));
  EXPECT_EQ(take_exception_text(), "OSError: sdk down");

  ASSERT_TRUE(run("del fake_sdk.TraceSourceCache\n"));
  EXPECT_FALSE(resolve_trace_source(nullptr, "can"));
  ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_AttributeError));
  EXPECT_EQ(take_exception_text(),
            "AttributeError: module 'orvik_sdk' has no attribute 'TraceSourceCache'");
}

TEST_F(Resolve, UnimportableSdkIsARuntimeErrorNamingTheImportError) {
  py::GilGuard gil;
  struct Case {
    const char* setup;
    const char* original;
  };
  const Case cases[] = {
      {"sys.modules['orvik_sdk'] = None\n",
       "ModuleNotFoundError: import of orvik_sdk halted; None in sys.modules"},
      {"sys.modules.pop('orvik_sdk')\n", "ModuleNotFoundError: No module named 'orvik_sdk'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.original);
    ASSERT_TRUE(run(c.setup));
    EXPECT_FALSE(resolve_trace_source(nullptr, "can"));
    ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_RuntimeError));
    EXPECT_EQ(take_exception_text(),
              std::string("RuntimeError: orvik-sdk not importable \xE2\x80\x94 required by "
                          "orvik-can; original error: ") +
                  c.original);
  }
}

}  // namespace
}  // namespace orvik::sdk::testing
