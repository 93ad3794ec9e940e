"""The Notifier class: decoders and callables fed from a VirtualBus, construction errors, exit."""

import gc
import itertools
import os
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import pytest

import orvik_sdk
from conftest import STANDIN_DIR, without_exit_leak_checks
from decoder_support import RECEIVED, counts, rows
from orvik_can._native import CanDecoder, Message, Notifier, VirtualBus

DBC = b"""VERSION ""

BU_: ECU

BO_ 291 Status: 4 ECU
 SG_ Speed : 0|16@1+ (0.1,0) [0|6553.5] "km/h" ECU
 SG_ Count : 24|8@1+ (1,0) [0|255] "" ECU
"""
STATUS = bytes([0x10, 0x27, 0x02, 0x05])

_names = itertools.count()


def wait_for(predicate, timeout=20.0):
    """Polls `predicate` until it holds; fails the test after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            pytest.fail("condition not reached in time")
        time.sleep(0.005)


def live_handles():
    stats = orvik_sdk.stats()
    return stats["live_sources"], stats["live_events"]


@pytest.fixture
def sdk():
    """The stand-in SDK, fresh. Afterwards, once the tests' objects are gone and the background
    tasks have let go of the decoders, no contract was broken and no handle is left over."""
    orvik_sdk.reset()
    before = live_handles()
    yield orvik_sdk
    gc.collect()
    wait_for(lambda: live_handles() == before)
    assert orvik_sdk.stats()["violations"] == []
    orvik_sdk.reset()


@pytest.fixture
def channel():
    """A channel name of this test alone, and a VirtualBus on it for sending."""
    name = f"notifier-{next(_names)}"
    return name, VirtualBus(name)


def decoder(source):
    return CanDecoder(database_bytes=DBC, source_name=source)


def metric(dec, name):
    return getattr(dec.metrics(), name)


# --- surface ----------------------------------------------------------------------------------

def test_signatures_docstrings_and_members():
    assert Notifier.__text_signature__ == "(bus, listeners=..., recv_buffer_size=4096)"
    assert Notifier.__doc__.startswith("Background frame receiver that dispatches to listeners")
    assert Notifier.stop.__text_signature__ == "($self)"
    assert Notifier.stop.__doc__ == "Stop the background recv loop and all listeners."
    assert Notifier.is_active.__doc__ == "Whether the notifier is still running."
    assert [m for m in vars(Notifier) if not m.startswith("_")] == ["stop", "is_active"]


# --- frames to listeners ----------------------------------------------------------------------

def test_decoder_listener_decodes_every_frame(sdk, channel):
    name, tx = channel
    dec = decoder("n_dec")
    notifier = Notifier(VirtualBus(name), [dec])
    for _ in range(3):
        tx.send(0x123, STATUS, timestamp=2.0)
    wait_for(lambda: counts(dec)[RECEIVED] == 3)
    status = ("0123_Status", {"Speed": 1000.0, "Count": 5})
    assert [(r[1], r[3]) for r in rows("n_dec")] == [status] * 3
    assert counts(dec)["messages_decoded"] == 3
    del notifier, dec


def test_callable_gets_messages_with_the_frame_fields_and_no_channel(channel):
    name, tx = channel
    got = []
    notifier = Notifier(VirtualBus(name), listeners=(got.append,))
    tx.send(0x1ABCDEF, b"\x01\x02", timestamp=1.25, is_extended=True, is_fd=True)
    task = tx.send_periodic(Message(arbitration_id=0x7, data=b"\x09"), 0.01)  # is_rx False
    wait_for(lambda: len(got) >= 2)
    task.stop()
    first, periodic = got[0], got[1]
    assert isinstance(first, Message)
    assert (first.arbitration_id, bytes(first.data), first.dlc) == (0x1ABCDEF, b"\x01\x02", 2)
    flags = (first.is_extended_id, first.is_fd, first.is_rx)
    assert (first.timestamp, flags) == (1.25, (True, True, True))
    assert first.channel is None and periodic.channel is None
    assert (periodic.arbitration_id, periodic.is_rx) == (0x7, False)
    del notifier


def test_decoders_in_list_order_and_callables_after_them(sdk, channel):
    name, tx = channel
    a, b = decoder("n_a"), decoder("n_b")
    seen = []  # what both decoders had counted when the callable got frame i

    def record(_msg):
        seen.append((counts(a)[RECEIVED], counts(b)[RECEIVED]))

    notifier = Notifier(VirtualBus(name), [a, b, record])
    for _ in range(5):
        tx.send(0x123, STATUS)
    wait_for(lambda: len(seen) == 5)
    for i, (in_a, in_b) in enumerate(seen):
        assert in_a >= i + 1 and in_b >= i + 1
    assert counts(a)[RECEIVED] == counts(b)[RECEIVED] == 5
    del notifier, a, b


def test_listeners_listed_twice_run_twice(sdk, channel):
    name, tx = channel
    dec = decoder("n_twice")
    calls = []

    def raising(msg):
        calls.append(msg.arbitration_id)
        raise ValueError("discarded")

    notifier = Notifier(VirtualBus(name), [dec, raising, dec, raising])
    for i in range(4):
        tx.send(0x123, STATUS)
        tx.send(0x200 + i, b"")
    wait_for(lambda: len(calls) == 16 and counts(dec)[RECEIVED] == 16)
    assert len(rows("n_twice")) == 8  # each Status frame decoded and emitted twice
    assert sorted(calls) == sorted([0x123] * 8 + [0x200 + i for i in range(4) for _ in "ab"])
    del notifier, dec


@pytest.mark.parametrize("capacity", [64, 65536])
def test_a_full_queue_holds_the_reader_and_only_a_lapped_bus_loses_frames(sdk, capacity):
    # A one-frame queue, sent to far faster than it drains: the reader waits and leaves frames on
    # the bus, which loses them only when its ring laps, counted into the last decoder alone.
    name = f"notifier-{next(_names)}"
    tx = VirtualBus(name, capacity=capacity)
    a, b = decoder("n_first"), decoder("n_last")
    notifier = Notifier(VirtualBus(name), [a, b], recv_buffer_size=1)
    sent = 3000
    for _ in range(sent):
        tx.send(0x123, STATUS)
    wait_for(lambda: counts(b)[RECEIVED] + metric(b, "broadcast_overflows") == sent)
    wait_for(lambda: counts(a)[RECEIVED] == counts(b)[RECEIVED])
    assert metric(a, "buffer_overflows") == metric(a, "broadcast_overflows") == 0
    assert metric(b, "buffer_overflows") == 0
    if capacity > sent:
        assert counts(b)[RECEIVED] == sent
    del notifier, a, b


def test_a_lagging_callable_loses_the_oldest_frames_and_goes_on(sdk, channel):
    name, tx = channel
    dec = decoder("n_lag")
    release = threading.Event()
    seen = []

    def slow(msg):
        release.wait(30)
        seen.append(msg.arbitration_id)

    notifier = Notifier(VirtualBus(name), [dec, slow])
    sent = 3000  # well past the 1024 frames held for each callable
    for i in range(sent):
        tx.send(i, b"")
    wait_for(lambda: counts(dec)[RECEIVED] == sent)  # every frame reached the dispatcher
    release.set()
    wait_for(lambda: seen and seen[-1] == sent - 1)
    # At most the call that was held, the frames copied ahead at a lag (64), and the 1024 held.
    assert seen == sorted(seen) and len(seen) <= 1 + 64 + 1024
    del notifier, dec


def test_frames_waiting_for_a_busy_callable_all_arrive_in_order(channel):
    name, tx = channel
    release = threading.Event()
    seen = []

    def busy_then_failing(msg):
        release.wait(30)
        seen.append(msg.arbitration_id)
        if msg.arbitration_id % 3 == 0:
            raise ValueError("discarded; the next frame still comes")

    notifier = Notifier(VirtualBus(name), [busy_then_failing])
    sent = 1000  # inside the 1024 frames held for each callable: none lost
    for i in range(sent):
        tx.send(i, b"")
    time.sleep(0.1)  # let them pile up behind the first call
    release.set()
    wait_for(lambda: len(seen) == sent)
    assert seen == list(range(sent))
    del notifier


def test_frames_waiting_on_the_bus_all_reach_a_new_callable(channel):
    # The callable's receiver must exist before the reader takes the first waiting frame; the
    # race it had lost once in a few trials, so many trials run.
    name, tx = channel
    for trial in range(40):
        bus = VirtualBus(name)
        for i in range(100):
            tx.send(i, b"")
        got = []
        notifier = Notifier(bus, [got.append])
        wait_for(lambda: len(got) == 100, timeout=10.0)
        assert [m.arbitration_id for m in got] == list(range(100)), trial
        notifier.stop()
        del notifier, bus


def os_thread_count():
    return len(os.listdir("/proc/self/task"))


@pytest.mark.parametrize("stop", [True, False])
def test_stop_or_the_collector_ends_a_notifier_its_callables_refer_to(channel, stop):
    # python-can's usual shape: the owner keeps the notifier, the notifier keeps the owner's
    # bound methods. Stopped, or dropped and collected, the threads must end and let the owner go.
    name, tx = channel
    Notifier(VirtualBus(name)).stop()  # the runtime's workers exist before the count
    before = os_thread_count()
    finalised = []

    class Owner:
        def __init__(self):
            self.notifier = Notifier(VirtualBus(name), [self.on_message, self.on_message])
            self.seen = 0

        def on_message(self, msg):
            self.seen += 1

        def __del__(self):
            finalised.append(True)

    for i in range(20):
        owner = Owner()
        tx.send(i, b"")
        wait_for(lambda: owner.seen == 2)
        if stop:
            owner.notifier.stop()
        del owner

    def collected():  # again and again: a call under way holds its callable for a moment
        gc.collect()
        return len(finalised) == 20

    wait_for(collected)
    wait_for(lambda: os_thread_count() <= before)


def test_stop_and_is_active():
    notifier = Notifier(VirtualBus(f"notifier-{next(_names)}"))  # no listeners: reads and discards
    assert notifier.is_active is True
    assert notifier.stop() is None
    assert notifier.is_active is False
    notifier.stop()
    assert notifier.is_active is False


def test_destroying_the_notifier_releases_each_callable(channel):
    name, tx = channel

    class Listener:
        def __init__(self):
            self.count = 0

        def __call__(self, msg):
            self.count += 1

    listener = Listener()
    notifier = Notifier(VirtualBus(name), [listener, listener])
    tx.send(0x1, b"")
    wait_for(lambda: listener.count == 2)
    ref = weakref.ref(listener)
    del listener, notifier
    wait_for(lambda: ref() is None)


# --- construction errors ----------------------------------------------------------------------

@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"listeners": "ab"}, TypeError, "argument 'listeners': Can't extract `str` to `Vec`"),
        ({"listeners": None}, TypeError, "argument 'listeners': "),
        ({"listeners": 5}, TypeError, "argument 'listeners': "),
        ({"listeners": "ab", "recv_buffer_size": -1}, TypeError, "argument 'listeners': "),
        ({"recv_buffer_size": 1.0}, TypeError, "argument 'recv_buffer_size': "),
        ({"recv_buffer_size": -1}, OverflowError, ""),
        ({"recv_buffer_size": 2**64}, OverflowError, ""),
        ({"listeners": [print, 1]}, RuntimeError, "Listener must be a CanDecoder or a callable"),
        ({"listeners": ["abc"]}, RuntimeError, "Listener must be a CanDecoder or a callable"),
    ],
)
def test_arguments_and_listeners_fail_before_the_bus_is_looked_at(kwargs, error, text):
    bus = VirtualBus(f"notifier-{next(_names)}")
    for target in (None, bus):  # a bad bus too: the argument error wins
        with pytest.raises(error) as info:
            Notifier(target, **kwargs)
        assert str(info.value).startswith(text)
    Notifier(bus).stop()  # the bus kept its receiver


@pytest.mark.parametrize("bus", [None, 5, "vcan0", Message(arbitration_id=1)])
def test_anything_but_a_bus_is_refused(bus):
    with pytest.raises(RuntimeError, match="^bus must be a VirtualBus or Bus instance$"):
        Notifier(bus, [print])


def test_a_taken_receiver_is_refused_for_good():
    bus = VirtualBus(f"notifier-{next(_names)}")
    first = Notifier(bus)
    taken = "^VirtualBus already taken by another Notifier or CanCodec$"
    with pytest.raises(RuntimeError, match=taken):
        Notifier(bus)
    first.stop()
    del first
    with pytest.raises(RuntimeError, match=taken):
        Notifier(bus)


@pytest.mark.parametrize("size", [0, 2**61])
def test_a_refused_queue_size_still_takes_the_receiver(size):
    bus = VirtualBus(f"notifier-{next(_names)}")
    with pytest.raises(ValueError) as info:
        Notifier(bus, [], size)
    if size == 0:
        assert str(info.value) == "mpsc bounded channel requires buffer > 0"
    with pytest.raises(RuntimeError, match="^VirtualBus already taken"):
        Notifier(bus)


def test_a_bus_in_a_blocking_recv_is_not_taken(channel):
    name, tx = channel
    bus = VirtualBus(name)
    received = []
    reader = threading.Thread(target=lambda: received.append(bus.recv(timeout=30)))
    reader.start()

    def recv_waiting():
        try:
            bus.channel
        except RuntimeError:
            return True
        return False

    wait_for(recv_waiting)
    with pytest.raises(RuntimeError, match="^Already borrowed"):
        Notifier(bus)
    tx.send(0x5, b"")
    reader.join()
    assert received[0].arbitration_id == 0x5
    Notifier(bus).stop()  # the receiver is still there


# --- interpreter exit -------------------------------------------------------------------------

EXIT_SCRIPT = """
    import sys, time
    sys.path.insert(0, {standin!r})
    from orvik_can._native import Message, Notifier, VirtualBus

    bus = VirtualBus("exit")
    got = []

    def callback(msg):
        got.append(msg)
        if {sleepy}:
            time.sleep(0.0005)  # gives the lock away inside the callback

    notifier = Notifier(bus, [callback, callback, lambda m: None])
    task = VirtualBus("exit").send_periodic(Message(arbitration_id=1, data=b"x"), 0.0001)
    deadline = time.monotonic() + 20
    while len(got) < 50 and time.monotonic() < deadline:
        time.sleep(0.001)
    print(len(got) >= 50)
"""

# Many callback threads busy as the interpreter exits: some are making or deleting their thread
# states, some are asking for the lock, as finalisation begins. Each run crashes only now and then
# when exit and callbacks race, so each is run many times.
BURST_SCRIPT = """
    import atexit, sys
    sys.path.insert(0, {standin!r})
    from orvik_can._native import Notifier, VirtualBus

    def work(msg):
        s = 0
        for i in range(50):
            s += i

    bus, tx = VirtualBus("r"), VirtualBus("r")
    kept = []

    def burst():
        if {mode!r} == "made-at-exit":
            kept.append(Notifier(bus, [work] * 64))
        for _ in range(3000):
            tx.send(0x100, bytes(8))

    if {mode!r} == "stop":
        notifier = Notifier(bus, [work] * 64)
        burst()
        notifier.stop()
    else:
        atexit.register(burst)  # finalisation follows the burst at once
        if {mode!r} == "at-exit":
            notifier = Notifier(bus, [work] * 64)
    print(True)
    sys.exit(0)
"""

# Callables asleep as the exit gives up waiting for them, held only by a notifier that the
# collector clears: each thread is ended on waking, and must not drop the last reference to its
# callable on the way out.
NAP_SCRIPT = """
    import functools, gc, sys, time
    sys.path.insert(0, {standin!r})
    from orvik_can._native import Notifier, VirtualBus

    class Nap(functools.partial):  # an instance of a class of its own: freed by its type
        pass

    cycle = {{}}
    naps = [Nap(lambda t, msg: time.sleep(t), 0.2 + k * 0.0008) for k in range(200)]
    cycle["n"] = Notifier(VirtualBus("nap"), naps + [cycle.get])
    del naps, cycle
    VirtualBus("nap").send(1, b"x")
    time.sleep(0.005)
    gc.collect()
    print(True)
"""

# A callable that never returns must not hold the process at exit.
STUCK_SCRIPT = """
    import sys, time
    sys.path.insert(0, {standin!r})
    from orvik_can._native import Notifier, VirtualBus

    started = []

    def stuck(msg):
        started.append(msg)
        while True:
            pass

    notifier = Notifier(VirtualBus("stuck"), [stuck, stuck])
    VirtualBus("stuck").send(1, b"x")
    while not started:
        time.sleep(0.001)
    print(True)
"""


# Exit shuts callbacks out before finalisation begins: a frame sent by a later atexit function is
# never delivered.
LATE_FRAME_SCRIPT = """
    import atexit, sys, time
    sys.path.insert(0, {standin!r})
    seen = []

    def late():
        VirtualBus("late").send(1, b"x")
        time.sleep(0.2)
        print(seen == [])

    atexit.register(late)  # before the import: runs after the module's own exit function
    from orvik_can._native import Notifier, VirtualBus
    notifier = Notifier(VirtualBus("late"), [seen.append])
"""


def failed_runs(script, runs):
    """Runs `script` `runs` times, as many at once as there are CPUs, and lists the runs that did
    not exit cleanly. The processes start from this thread: a sanitizer's fork handling copes
    badly with forks from many threads."""
    # The callback threads, and the callables they hold, outlive the interpreter.
    env = without_exit_leak_checks()
    failed, running, started = [], [], 0
    while started < runs or running:
        while started < runs and len(running) < (os.cpu_count() or 1):
            running.append(subprocess.Popen([sys.executable, "-c", script], env=env, text=True,
                                            stdout=subprocess.PIPE, stderr=subprocess.PIPE))
            started += 1
        proc = running.pop(0)
        out, err = proc.communicate(timeout=60)
        if (proc.returncode, out, err) != (0, "True\n", ""):
            failed.append((proc.returncode, out, err[-2000:]))
    return failed


@pytest.mark.parametrize("script, fields, runs", [
    (EXIT_SCRIPT, {"sleepy": False}, 5),
    (EXIT_SCRIPT, {"sleepy": True}, 5),
    (BURST_SCRIPT, {"mode": "stop"}, 100),
    (BURST_SCRIPT, {"mode": "at-exit"}, 100),
    (BURST_SCRIPT, {"mode": "made-at-exit"}, 100),
    (NAP_SCRIPT, {}, 20),
    (STUCK_SCRIPT, {}, 3),
    (LATE_FRAME_SCRIPT, {}, 1),
], ids=["busy", "sleepy", "burst-then-stop", "burst-at-exit", "made-at-exit", "asleep-at-exit",
        "stuck-callable", "late-frame"])
def test_exit_while_callbacks_run_is_clean(script, fields, runs):
    script = textwrap.dedent(script).format(standin=str(STANDIN_DIR), **fields)
    failed = failed_runs(script, runs)
    assert failed == [], f"{len(failed)} of {runs} runs failed"


def test_callbacks_run_in_the_interpreter_that_built_the_notifier():
    # The module imported first in a sub-interpreter: its callables must see that interpreter,
    # and the sub-interpreter must still be able to end while the notifier's thread lives. A
    # notifier kept past the end, with frames still coming, must leave the ended one alone.
    script = textwrap.dedent(f"""
        import time
        import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        interpreters.run_string(interp, '''
        import ctypes, sys, time
        sys.path.insert(0, {str(STANDIN_DIR)!r})
        import orvik_can._native as n
        seen = []
        bus = n.VirtualBus("subint")
        notifier = n.Notifier(n.VirtualBus("subint"), [lambda m: seen.append(id(sys.modules))])
        deadline, sent = time.monotonic() + 10, 0
        while not seen and time.monotonic() < deadline:
            bus.send(1, b"x")
            sent += 1
            time.sleep(0.01)
        assert seen and seen[0] == id(sys.modules), (seen, id(sys.modules))
        late = []
        kept = n.Notifier(n.VirtualBus("late"), [late.append])
        task = n.VirtualBus("late").send_periodic(n.Message(arbitration_id=2), 0.3)
        for obj in (kept, task):
            ctypes.pythonapi.Py_IncRef(ctypes.py_object(obj))
        while (len(seen) < sent or not late) and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(0.05)  # no thread state of a callback left when the end looks
        print("own interpreter")
        ''')
        # Ended here, not at exit: finalising a live sub-interpreter that holds buffered output
        # hangs once libarrow's allocator thread runs.
        interpreters.destroy(interp)
        time.sleep(0.4)  # the kept notifier's next frame comes after the end
    """)
    # The kept notifier and periodic send are leaked on purpose.
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60, env=without_exit_leak_checks())
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "own interpreter"
