"""Module initialisation of orvik_can._native: attributes, sys.modules, is_initialized, interpreters."""

import importlib
import subprocess
import sys
import textwrap

import pytest

import orvik_can._native as native
from conftest import STANDIN_DIR, without_exit_leak_checks

CLASSES = ["Bus", "CanCodec", "CanDecoder", "CyclicSendTask", "Message", "Metrics", "Notifier",
           "VirtualBus"]
FUNCTIONS = ["is_initialized", "virtual_bus_channel_count"]


def test_public_attributes_in_registration_order():
    public = [name for name in vars(native) if not name.startswith("_")]
    assert public == CLASSES + FUNCTIONS


def test_sys_modules_holds_the_module():
    assert sys.modules["orvik_can._native"] is native


def test_reimport_returns_the_same_module_object():
    del sys.modules["orvik_can._native"]
    try:
        again = importlib.import_module("orvik_can._native")
    finally:
        sys.modules["orvik_can._native"] = native
    assert again is native
    assert again.Message is native.Message


def test_module_names_and_docstring():
    assert native.__name__ == "orvik_can._native"
    assert "CAN codec of the orvik family" in native.__doc__


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_text_signature(name):
    func = getattr(native, name)
    assert func.__text_signature__ == "()"
    assert func.__name__ == name
    assert not func.__doc__.startswith(name)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_take_no_arguments(name):
    with pytest.raises(TypeError):
        getattr(native, name)(1)


@pytest.fixture
def sdk_entry():
    """Restores the sys.modules entry of the SDK capsule after the test."""
    missing = object()
    saved = sys.modules.get("orvik_sdk_abi_v1", missing)
    yield
    if saved is missing:
        sys.modules.pop("orvik_sdk_abi_v1", None)
    else:
        sys.modules["orvik_sdk_abi_v1"] = saved


@pytest.mark.parametrize(
    "entry, expected",
    [(None, False), (0, True), (42, True), ("anything", True), (object(), True)],
)
def test_is_initialized_checks_only_for_a_non_none_entry(sdk_entry, entry, expected):
    sys.modules["orvik_sdk_abi_v1"] = entry
    assert native.is_initialized() is expected


def test_is_initialized_false_without_entry(sdk_entry):
    sys.modules.pop("orvik_sdk_abi_v1", None)
    assert native.is_initialized() is False


def test_is_initialized_swallows_a_failing_lookup():
    class Exploding(dict):
        def get(self, *args):
            raise ZeroDivisionError("boom")

    saved = sys.modules
    sys.modules = Exploding(saved)
    try:
        result = native.is_initialized()
    finally:
        sys.modules = saved
    assert result is False


def run_python(code, env=None):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=60,
        env=env,
    )


def test_import_builds_nothing_and_finds_no_sdk():
    # A fresh process: importing must not import the SDK nor start the runtime's workers.
    proc = run_python(
        """
        import os, sys, threading
        import orvik_can._native as n
        assert "orvik_sdk" not in sys.modules
        assert threading.active_count() == 1
        assert n.is_initialized() is False
        for task in os.listdir("/proc/self/task"):
            with open(f"/proc/self/task/{task}/comm") as comm:
                print(comm.read().strip())
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert "tokio-rt-worker" not in proc.stdout.split()


def test_daemon_threads_inside_native_calls_let_the_interpreter_exit():
    # At exit CPython ends a daemon thread that asks for the lock back by unwinding its stack;
    # every call that gives the lock up must let that unwind pass, the Notifier's callback thread
    # included. Each child exits while its threads are in such calls, at random points.
    code = f"""
        import sys, threading, time
        sys.path.insert(0, {str(STANDIN_DIR)!r})
        import orvik_sdk
        from orvik_can._native import CanDecoder, Message, Notifier, VirtualBus
        decoder = CanDecoder(database_bytes=b'BO_ 256 M: 1 X\\n SG_ S : 0|8@1+ (1,0) [0|0] "" X\\n')
        message = Message(256, b"\\x01")
        feed, tapped, polled, waited = (VirtualBus(name) for name in ("n", "n", "p", "w"))
        notifier = Notifier(tapped, [decoder.decode_message])

        def forever(call):
            while True:
                call()

        for call in (lambda: decoder.decode_frame(256, b"\\x01"),
                     lambda: decoder.decode_message(message), decoder.flush,
                     lambda: polled.recv(0.01), waited.recv, lambda: feed.send(256, b"\\x01")):
            threading.Thread(target=forever, args=(call,), daemon=True).start()
        time.sleep(0.1)
    """
    # The threads CPython ends at exit leave behind what they held.
    children = [
        subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True, env=without_exit_leak_checks())
        for _ in range(8)
    ]
    for child in children:
        _, stderr = child.communicate(timeout=60)
        assert (child.returncode, stderr) == (0, "")


def test_second_interpreter_is_refused():
    proc = run_python(
        """
        import orvik_can._native
        import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        for _ in range(2):
            try:
                interpreters.run_string(interp, "import orvik_can._native")
            except interpreters.RunFailedError as exc:
                print(exc)
            else:
                print("imported")
        interpreters.destroy(interp)
        """
    )
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert len(lines) == 2
    for line in lines:
        assert line.startswith("<class 'ImportError'>: ")
        assert "does not support sub-interpreters" in line


def test_first_interpreter_wins_even_when_it_is_a_sub_interpreter():
    # The interpreter that imports first is recorded; the main one is refused afterwards.
    proc = run_python(
        """
        import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        interpreters.run_string(interp, "import orvik_can._native")
        try:
            import orvik_can._native
        except ImportError as exc:
            print("refused:", exc)
        """,
        # The interpreter leaks the objects of ctypes, a single-phase module, imported in the
        # sub-interpreter before the main one.
        env=without_exit_leak_checks(),
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("refused: ")


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_builtins_named_and_closed(name):
    cls = getattr(native, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert cls.__name__ == name
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert "__dict__" not in dir(cls)
    assert "__weakref__" not in dir(cls)
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0


@pytest.mark.parametrize("name", ["CyclicSendTask", "Metrics"])
def test_classes_without_constructor(name):
    cls = getattr(native, name)
    for args, kwargs in [((), {}), ((1, 2), {}), ((), {"x": 1})]:
        with pytest.raises(TypeError) as info:
            cls(*args, **kwargs)
        assert str(info.value) == f"No constructor defined for {name}"
