"""The stand-in trace SDK, driven through its function table with ctypes as the codec calls it."""

import ctypes
import struct
import sys
import threading

import pyarrow as pa
import pytest

import orvik_sdk

CAPSULE = "orvik_sdk_abi_v1"


def _table_address():
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return get_pointer(sys.modules[CAPSULE], CAPSULE.encode())


class Table:
    """Typed access to the slots. Only src_handle_from_py holds the interpreter lock (PYFUNCTYPE);
    the others go through CFUNCTYPE, which releases it, as the codec's worker threads would."""

    def __init__(self):
        self.base = _table_address()
        vp, sz, u8p = ctypes.c_void_p, ctypes.c_size_t, ctypes.c_char_p
        i32 = ctypes.c_int32
        self.version = ctypes.c_uint32.from_address(self.base).value
        self.src_handle_from_py = self._slot(
            32, ctypes.PYFUNCTYPE(i32, ctypes.py_object, ctypes.POINTER(vp)))
        self.release_source = self._slot(40, ctypes.CFUNCTYPE(None, vp))
        self.evt_add_event = self._slot(
            48, ctypes.CFUNCTYPE(i32, vp, u8p, sz, u8p, sz, ctypes.POINTER(vp)))
        self.release_event = self._slot(56, ctypes.CFUNCTYPE(None, vp))
        self.resolve_field = self._slot(
            64, ctypes.CFUNCTYPE(i32, vp, u8p, sz, ctypes.POINTER(ctypes.c_uint32)))
        self.add_value_table = self._slot(72, ctypes.CFUNCTYPE(i32, vp, u8p, sz, vp, sz, vp, vp))
        self.log_at = self._slot(88, ctypes.CFUNCTYPE(i32, vp, ctypes.c_int64, vp, sz))
        self.log_at_locked = self._slot(88, ctypes.PYFUNCTYPE(i32, vp, ctypes.c_int64, vp, sz))
        self.last_error = self._slot(
            96, ctypes.CFUNCTYPE(i32, ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(sz)))

    def _slot(self, offset, proto):
        address = ctypes.c_void_p.from_address(self.base + offset).value
        assert address, f"slot {offset} is null"
        return proto(address)

    def error(self):
        ptr, length = ctypes.c_char_p(), ctypes.c_size_t(0)
        self.last_error(ctypes.byref(ptr), ctypes.byref(length))
        if not ptr.value and length.value == 0:
            return None
        return ctypes.string_at(ptr, length.value) if ptr.value is not None else b"<null>"

    def acquire(self, source):
        out = ctypes.c_void_p()
        status = self.src_handle_from_py(source, ctypes.byref(out))
        return status, out.value

    def add_event(self, source_handle, name, ipc):
        out = ctypes.c_void_p()
        raw = name.encode()
        status = self.evt_add_event(source_handle, raw, len(raw), ipc, len(ipc), ctypes.byref(out))
        return status, out.value

    def resolve(self, event, name):
        out = ctypes.c_uint32(0)
        raw = name.encode()
        status = self.resolve_field(event, raw, len(raw), ctypes.byref(out))
        return status, out.value

    def value_table(self, event, field, pairs, offsets=None):
        keys = (ctypes.c_uint64 * max(len(pairs), 1))(*[k for k, _ in pairs])
        labels_bytes = b"".join(label.encode() for _, label in pairs)
        labels = ctypes.create_string_buffer(labels_bytes, max(len(labels_bytes), 1))
        if offsets is None:
            offsets = [0]
            for _, label in pairs:
                offsets.append(offsets[-1] + len(label.encode()))
        offs = (ctypes.c_uint32 * len(offsets))(*offsets)
        raw = field.encode()
        return self.add_value_table(event, raw, len(raw), ctypes.addressof(keys), len(pairs),
                                    ctypes.addressof(labels), ctypes.addressof(offs))

    def log(self, event, time_ns, records, locked=False):
        buf = ctypes.create_string_buffer(b"".join(records), max(24 * len(records), 1))
        fn = self.log_at_locked if locked else self.log_at
        return fn(event, time_ns, ctypes.addressof(buf) if records else None, len(records))


TABLE = Table()


def column(handle, tag, value=b"", length=0, patch=None):
    """One 24-byte record: handle, tag, zeros, value bytes (zero-filled to 8), length, zeros."""
    rec = bytearray(struct.pack("<IB3x8sII", handle, tag, value.ljust(8, b"\0"), length, 0))
    for offset, byte in (patch or {}).items():
        rec[offset] = byte
    return bytes(rec)


def stream(schema, pad64=True):
    """The schema as an IPC stream; Arrow pads the message to 8 bytes, the codec's form to 64."""
    sink = pa.BufferOutputStream()
    pa.ipc.new_stream(sink, schema).close()
    data = sink.getvalue().to_pybytes()
    if not pad64:
        return data
    meta = struct.unpack_from("<i", data, 4)[0]
    padded = (meta + 8 + 63) // 64 * 64 - 8
    message = data[8:8 + meta] + bytes(padded - meta)
    return data[:4] + struct.pack("<i", padded) + message + data[8 + meta:]


TIME = pa.field("time_ns", pa.timestamp("ns", tz="UTC"), nullable=False)
STATUS = pa.schema([TIME, pa.field("Speed", pa.float32()), pa.field("Gear", pa.uint8()),
                    pa.field("Flags", pa.int16())])


@pytest.fixture(autouse=True)
def fresh():
    """Each test starts from a reset recorder and must leave no handle it acquired alive."""
    orvik_sdk.reset()
    before = orvik_sdk.stats()
    yield
    after = orvik_sdk.stats()
    orvik_sdk.reset()
    assert (after["live_sources"], after["live_events"]) == (
        before["live_sources"], before["live_events"]), "handles leaked"


def violations():
    return orvik_sdk.stats()["violations"]


class Registered:
    """A source and one event on it, with all non-time fields resolved."""

    def __init__(self, name="0123_Status", schema=STATUS, source="can"):
        status, self.src = TABLE.acquire(orvik_sdk.TraceSourceCache(source))
        assert status == 0 and self.src
        status, self.evt = TABLE.add_event(self.src, name, stream(schema))
        assert status == 0 and self.evt, TABLE.error()
        self.handles = {}
        for field in schema:
            if field.name != "time_ns":
                status, self.handles[field.name] = TABLE.resolve(self.evt, field.name)
                assert status == 0

    def release(self):
        TABLE.release_source(self.src)
        TABLE.release_event(self.evt)


@pytest.fixture
def status_event():
    reg = Registered()
    yield reg
    reg.release()


# ------------------------------------------------------------------ table, sources, events

def test_table_version_and_capsule():
    assert TABLE.version == 1
    assert _table_address() == TABLE.base  # the table stays where it was published
    assert sys.modules[CAPSULE].__class__.__name__ == "PyCapsule"


def test_trace_source_cache_gives_one_object_per_name():
    a = orvik_sdk.TraceSourceCache("can")
    assert a is orvik_sdk.TraceSourceCache("can")
    assert a is not orvik_sdk.TraceSourceCache("can_raw")
    assert a.name == "can"
    with pytest.raises(TypeError):
        orvik_sdk.TraceSourceCache(5)


def test_each_acquisition_is_a_new_live_handle():
    src = orvik_sdk.TraceSourceCache("can")
    (s1, h1), (s2, h2) = TABLE.acquire(src), TABLE.acquire(src)
    assert (s1, s2) == (0, 0) and h1 and h2 and h1 != h2
    assert orvik_sdk.stats()["live_sources"] >= 2
    TABLE.release_source(h1)
    TABLE.release_source(h2)
    assert orvik_sdk.stats()["sources_acquired"] == 2
    assert violations() == []


@pytest.mark.parametrize("obj", [5, None, "can", object()])
def test_src_handle_from_py_refuses_other_objects(obj):
    status, handle = TABLE.acquire(obj)
    assert status != 0 and handle is None
    assert type(obj).__name__.encode() in TABLE.error()
    assert violations() == []  # a wrong object is the caller's input, not a broken contract


def test_registration_is_recorded(status_event):
    ipc = stream(STATUS)
    assert TABLE.value_table(status_event.evt, "Gear", [(1, "On"), (0, "Off")]) == 0
    [event] = orvik_sdk.events()
    assert event == {"source": "can", "name": "0123_Status", "schema": ipc,
                     "fields": ["Speed", "Gear", "Flags"],
                     "value_tables": {"Gear": {1: "On", 0: "Off"}}}
    stats = orvik_sdk.stats()
    assert (stats["events_added"], stats["sources_acquired"]) == (1, 1)
    assert violations() == []


def test_field_handles_are_distinct_per_event_and_not_zero_based(status_event):
    other = Registered("0124_Other")
    try:
        mine, theirs = set(status_event.handles.values()), set(other.handles.values())
        assert not mine & theirs
        assert min(mine | theirs) > len(STATUS)
    finally:
        other.release()


def test_release_of_source_before_its_events_is_accepted(status_event):
    TABLE.release_source(status_event.src)
    TABLE.release_event(status_event.evt)
    status_event.release = lambda: None
    stats = orvik_sdk.stats()
    assert (stats["sources_released"], stats["events_released"]) == (1, 1)
    assert violations() == []


def test_reset_keeps_live_handles_usable(status_event):
    orvik_sdk.reset()
    assert TABLE.log(status_event.evt, 1, []) == 0
    assert orvik_sdk.rows() == [("can", "0123_Status", 1, {})]
    assert violations() == []


# ------------------------------------------------------------------ rows

ALL_TYPES = pa.schema([TIME] + [pa.field(n, t) for n, t in [
    ("i8", pa.int8()), ("i16", pa.int16()), ("i32", pa.int32()), ("i64", pa.int64()),
    ("u8", pa.uint8()), ("u16", pa.uint16()), ("u32", pa.uint32()), ("u64", pa.uint64()),
    ("f32", pa.float32()), ("f64", pa.float64()), ("flag", pa.bool_()), ("data", pa.binary())]])

ROW_CASES = [  # field, tag, value bytes, expected Python value
    ("i8", 1, b"\xff", -1),
    ("i16", 2, b"\xfe\xff", -2),
    ("i32", 3, struct.pack("<i", -100000), -100000),
    ("i64", 4, struct.pack("<q", -2**63), -2**63),
    ("u8", 5, b"\xff", 255),
    ("u16", 6, b"\xff\xff", 65535),
    ("u32", 7, struct.pack("<I", 2**32 - 1), 2**32 - 1),
    ("u64", 8, struct.pack("<Q", 2**64 - 1), 2**64 - 1),
    ("f32", 9, struct.pack("<f", 1.0), 1.0),
    ("f64", 10, struct.pack("<d", -0.125), -0.125),
    ("flag", 11, b"\x01", True),
    ("flag", 11, b"\x00", False),
    ("i32", 0, b"", None),
]


@pytest.mark.parametrize("field,tag,value,expected", ROW_CASES)
def test_values_are_decoded_at_their_tag_width(field, tag, value, expected):
    reg = Registered("can_raw", ALL_TYPES)
    try:
        assert TABLE.log(reg.evt, -5, [column(reg.handles[field], tag, value)]) == 0
        [row] = orvik_sdk.rows()
        assert row == ("can", "can_raw", -5, {field: expected})
        assert type(row[3][field]) is type(expected)
        assert violations() == []
    finally:
        reg.release()


def test_binary_column_copies_the_payload():
    reg = Registered("can_raw", ALL_TYPES)
    try:
        payload = ctypes.create_string_buffer(b"\x01\x02\x03", 3)
        rec = column(reg.handles["data"], 14, struct.pack("<Q", ctypes.addressof(payload)), 3)
        empty = column(reg.handles["data"], 14, b"", 0)
        assert TABLE.log(reg.evt, 1, [rec]) == 0
        payload.raw = b"\0\0\0"  # the caller's memory is only valid during the call
        assert TABLE.log(reg.evt, 2, [empty]) == 0
        assert [r[3] for r in orvik_sdk.rows()] == [{"data": b"\x01\x02\x03"}, {"data": b""}]
        assert violations() == []
    finally:
        reg.release()


def test_row_without_columns_is_logged(status_event):
    assert TABLE.log(status_event.evt, 7, []) == 0
    assert orvik_sdk.rows() == [("can", "0123_Status", 7, {})]
    assert orvik_sdk.stats()["rows"] == 1


COLUMN_FAULTS = [  # (description, record maker, expected violation text)
    ("padding 5..7", lambda h: column(h["Gear"], 5, b"\1", patch={6: 1}), "nonzero bytes 5..7"),
    ("padding 20..23", lambda h: column(h["Gear"], 5, b"\1", patch={22: 9}),
     "nonzero bytes 20..23"),
    ("beyond width", lambda h: column(h["Gear"], 5, b"\1\1"), "beyond the width of tag 5"),
    ("signed sign-extended", lambda h: column(h["Flags"], 2, b"\xfe\xff\xff\xff\xff\xff\xff\xff"),
     "beyond the width of tag 2"),
    ("null with value", lambda h: column(h["Gear"], 0, b"\1"), "beyond the width of tag 0"),
    ("length on non-binary", lambda h: column(h["Gear"], 5, b"\1", length=4), "length 4 on a non-binary"),
    ("unknown tag 12", lambda h: column(h["Gear"], 12, b"\1"), "tag 12 outside the known set"),
    ("unknown tag 200", lambda h: column(h["Gear"], 200), "tag 200 outside the known set"),
    ("unresolved handle", lambda h: column(0, 5, b"\1"), "field handle 0 was not resolved"),
    ("tag of another type", lambda h: column(h["Gear"], 7, b"\1"), "whose column takes tag 5"),
    ("boolean byte 2", lambda h: column(h["Flag"], 11, b"\2"), "boolean byte 2"),
]


@pytest.mark.parametrize("desc,make,expected", COLUMN_FAULTS, ids=[c[0] for c in COLUMN_FAULTS])
def test_malformed_columns_are_violations(desc, make, expected):
    schema = pa.schema(list(STATUS) + [pa.field("Flag", pa.bool_())])
    reg = Registered("0123_Status", schema)
    try:
        TABLE.log(reg.evt, 1, [make(reg.handles)])
        assert any(expected in v for v in violations()), violations()
    finally:
        reg.release()


def test_handle_of_another_event_and_duplicate_field_are_violations(status_event):
    other = Registered("0124_Other")
    try:
        gear = status_event.handles["Gear"]
        TABLE.log(other.evt, 1, [column(gear, 5, b"\1")])
        TABLE.log(status_event.evt, 2, [column(gear, 5, b"\1"), column(gear, 5, b"\2")])
        texts = violations()
        assert any(f"log_at('0124_Other') column 0: field handle {gear} was not resolved" in v
                   for v in texts)
        assert any("field 'Gear' given twice" in v for v in texts)
    finally:
        other.release()


# ------------------------------------------------------------------ handle misuse

def test_handle_misuse_is_recorded_and_never_crashes():
    src = orvik_sdk.TraceSourceCache("can")
    _, src_h = TABLE.acquire(src)
    _, evt_h = TABLE.add_event(src_h, "0123_Status", stream(STATUS))
    TABLE.release_event(evt_h)
    TABLE.release_event(evt_h)
    assert TABLE.log(evt_h, 1, []) != 0
    assert b"was released" in TABLE.error()
    assert TABLE.resolve(evt_h, "Gear")[0] != 0
    TABLE.error()
    TABLE.release_source(src_h)
    TABLE.release_source(src_h)
    status, _ = TABLE.add_event(src_h, "0124_Other", stream(STATUS))
    assert status != 0
    TABLE.error()
    TABLE.release_source(0x1234)
    TABLE.release_event(src_h)
    assert TABLE.add_event(0x1234, "0125_X", stream(STATUS))[0] != 0
    TABLE.error()
    assert TABLE.log(0x1234, 1, []) != 0
    TABLE.error()
    texts = violations()
    for expected in ["release_event('0123_Status'): handle released twice",
                     "log_at('0123_Status'): the event was already released",
                     "resolve_field('0123_Status'): the event was already released",
                     "release_source('can'): handle released twice",
                     "evt_add_event('0124_Other'): source 'can' was already released",
                     "release_source: unknown handle",
                     "release_event given the source handle of 'can'",
                     "evt_add_event('0125_X'): unknown source handle",
                     "log_at: unknown event handle"]:
        assert any(expected in v for v in texts), (expected, texts)
    assert orvik_sdk.stats()["rows"] == 0


def test_src_handle_from_py_without_the_interpreter_lock_is_refused():
    unlocked = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.py_object, ctypes.POINTER(ctypes.c_void_p))(
        ctypes.c_void_p.from_address(TABLE.base + 32).value)
    out = ctypes.c_void_p()
    assert unlocked(orvik_sdk.TraceSourceCache("can"), ctypes.byref(out)) != 0 and out.value is None
    assert TABLE.error() == b"src_handle_from_py called without the interpreter lock"
    assert violations() == ["src_handle_from_py called without the interpreter lock"]


def test_unused_slots_record_a_violation():
    for offset in (8, 16, 24, 80):
        fn = ctypes.CFUNCTYPE(ctypes.c_int32)(ctypes.c_void_p.from_address(TABLE.base + offset).value)
        assert fn() != 0
    assert len(violations()) == 4


def test_log_at_with_the_interpreter_lock_is_a_violation(status_event):
    assert TABLE.log(status_event.evt, 1, [], locked=True) == 0
    assert violations() == ["log_at called with the interpreter lock held"]


# ------------------------------------------------------------------ schema streams

def _replace(data, offset, new):
    return data[:offset] + new + data[offset + len(new):]


SMALL = pa.schema([TIME, pa.field("a", pa.uint8())])  # Arrow pads it to 8 bytes, not to 64

SCHEMA_FAULTS = [  # description, stream bytes, registration fails, expected violation text
    ("8-byte padding", stream(SMALL, pad64=False), False, "is not padded"),
    ("no end-of-stream", stream(STATUS)[:-8], False, "expected exactly the 8-byte end-of-stream"),
    ("bad end-of-stream", stream(STATUS)[:-4] + b"\1\0\0\0", False, "does not end with"),
    ("trailing bytes", stream(STATUS) + bytes(8), False, "16 bytes after the schema message"),
    ("nonzero padding", _replace(stream(SMALL), len(stream(SMALL)) - 9, b"\x07"), False,
     "differs from Arrow's own encoding"),
    ("no continuation", b"\0\0\0\0" + stream(STATUS)[4:], True, "not the continuation marker"),
    ("garbage message", stream(STATUS)[:8] + bytes(len(stream(STATUS)) - 8), True, "Arrow IPC reader"),
    ("length too large", _replace(stream(STATUS), 4, struct.pack("<i", 10**6)), True, "does not fit"),
    ("too short", b"\xff\xff\xff\xff", True, "too short"),
]


@pytest.mark.parametrize("desc,ipc,fails,expected", SCHEMA_FAULTS, ids=[c[0] for c in SCHEMA_FAULTS])
def test_schema_stream_faults(desc, ipc, fails, expected):
    _, src_h = TABLE.acquire(orvik_sdk.TraceSourceCache("can"))
    status, evt_h = TABLE.add_event(src_h, "0123_Status", ipc)
    try:
        assert (status != 0) == fails
        if fails:
            assert evt_h is None and TABLE.error()
        assert any(expected in v for v in violations()), violations()
    finally:
        TABLE.release_source(src_h)
        if evt_h:
            TABLE.release_event(evt_h)


def test_well_formed_streams_register_without_violations():
    schemas = [pa.schema([TIME]), pa.schema([pa.field("x", pa.uint64())]), ALL_TYPES,
               pa.schema([TIME, pa.field("Vehicle Speed", pa.float64()), pa.field("s", pa.utf8())])]
    for i, schema in enumerate(schemas):
        reg = Registered(f"{i:04x}_M", schema)
        reg.release()
    assert violations() == []


def test_resolving_outside_the_schema(status_event):
    status, _ = TABLE.resolve(status_event.evt, "Missing")
    assert status != 0 and TABLE.error() == b"no field named 'Missing' in event '0123_Status'"
    assert TABLE.resolve(status_event.evt, "time_ns")[0] == 0
    texts = violations()
    assert any("no field named 'Missing'" in v for v in texts)
    assert any("the time column 'time_ns' was resolved" in v for v in texts)


# ------------------------------------------------------------------ value tables

VALUE_TABLE_CASES = [  # pairs, offsets override, status ok, recorded table, violation text
    ([(1, "On"), (0, "Off")], None, True, {1: "On", 0: "Off"}, None),
    ([], None, True, {}, None),
    ([(3, "Grün")], None, True, {3: "Grün"}, None),
    ([(1, "On"), (0, "Off")], [0, 3, 2], False, None, "offsets decrease at entry 2"),
    ([(1, "On")], [1, 2], True, {1: "n"}, "offsets[0] is 1"),
    ([(1, "On")], [0, 1 << 30], False, None, "labels claim"),
]


@pytest.mark.parametrize("pairs,offsets,ok,table,violation", VALUE_TABLE_CASES)
def test_value_table_arrays(status_event, pairs, offsets, ok, table, violation):
    status = TABLE.value_table(status_event.evt, "Gear", pairs, offsets)
    assert (status == 0) == ok
    if not ok:
        TABLE.error()
    recorded = orvik_sdk.events()[0]["value_tables"]
    assert recorded == ({"Gear": table} if ok else {})
    texts = violations()
    assert (texts == []) if violation is None else any(violation in v for v in texts), texts


def test_value_table_for_a_field_outside_the_schema(status_event):
    assert TABLE.value_table(status_event.evt, "Nope", [(1, "x")]) != 0
    assert TABLE.error() == b"no field named 'Nope' in event '0123_Status'"
    assert TABLE.value_table(status_event.evt, "Gear", [(1, "x")]) == 0
    assert TABLE.value_table(status_event.evt, "Gear", [(2, "y")]) == 0
    assert orvik_sdk.events()[0]["value_tables"] == {"Gear": {2: "y"}}
    assert any("value table added twice" in v for v in violations())


# ------------------------------------------------------------------ failure injection and errors

def _call(slot, reg):
    """One call of the named slot on a registered event; returns (status, handle or None)."""
    if slot == "src_handle_from_py":
        return TABLE.acquire(orvik_sdk.TraceSourceCache("can"))
    if slot == "evt_add_event":
        return TABLE.add_event(reg.src, "0200_Mux", stream(STATUS))
    if slot == "resolve_field":
        return TABLE.resolve(reg.evt, "Gear")[0], None
    if slot == "add_value_table":
        return TABLE.value_table(reg.evt, "Gear", [(1, "On")]), None
    return TABLE.log(reg.evt, 1, [column(reg.handles["Gear"], 5, b"\1")]), None


INJECTABLE = {  # slot -> the name its injected failure text carries
    "src_handle_from_py": "can", "evt_add_event": "0200_Mux", "resolve_field": "Gear",
    "add_value_table": "Gear", "log_at": "0123_Status"}


@pytest.mark.parametrize("slot", INJECTABLE)
def test_injected_failures(status_event, slot):
    orvik_sdk.fail(slot, times=2)
    statuses = []
    for _ in range(2):
        status, handle = _call(slot, status_event)
        assert handle is None
        statuses.append(status)
        assert TABLE.error() == f"injected {slot} failure for '{INJECTABLE[slot]}'".encode()
    assert statuses == [1, -1]
    status, handle = _call(slot, status_event)  # the third call succeeds again
    assert status == 0
    if slot == "src_handle_from_py":
        TABLE.release_source(handle)
    if slot == "evt_add_event":
        TABLE.release_event(handle)
    assert violations() == []


def test_injected_failure_matches_names_and_status(status_event):
    orvik_sdk.fail("resolve_field", times=-1, match="Flags", status=7)
    assert TABLE.resolve(status_event.evt, "Gear")[0] == 0
    for _ in range(3):
        assert TABLE.resolve(status_event.evt, "Flags")[0] == 7
        assert TABLE.error() == b"injected resolve_field failure for 'Flags'"
    orvik_sdk.fail("log_at", match="0999_Other")
    assert _call("log_at", status_event)[0] == 0
    with pytest.raises(ValueError):
        orvik_sdk.fail("release_event")
    with pytest.raises(ValueError):
        orvik_sdk.fail("log_at", status=0)


@pytest.mark.parametrize("slot", ["src_handle_from_py", "evt_add_event"])
def test_null_handle(status_event, slot):
    orvik_sdk.null_handle(slot)
    assert _call(slot, status_event) == (0, None)
    live = orvik_sdk.stats()
    assert (live["sources_acquired"], live["events_added"]) == (1, 1)  # nothing new was created
    with pytest.raises(ValueError):
        orvik_sdk.null_handle("log_at")


@pytest.mark.parametrize("null,expected", [(False, None), (True, b"<null>")])
def test_empty_error(status_event, null, expected):
    orvik_sdk.empty_error(True, null=null)
    orvik_sdk.fail("log_at")
    assert _call("log_at", status_event)[0] != 0
    ptr, length = ctypes.c_char_p(), ctypes.c_size_t(99)
    TABLE.last_error(ctypes.byref(ptr), ctypes.byref(length))
    assert (ptr.value is None) == null and (length.value == 0) != null


def test_last_error_protocol(status_event):
    TABLE.error()  # no failure before it
    orvik_sdk.fail("log_at")
    _call("log_at", status_event)
    TABLE.log(status_event.evt, 2, [])  # the failure was never fetched
    texts = violations()
    assert texts == [
        "last_error called although the previous call on this thread did not fail",
        "log_at called after a failed call on this thread without fetching last_error"]


def test_last_error_is_per_thread(status_event):
    orvik_sdk.fail("resolve_field")
    assert TABLE.resolve(status_event.evt, "Gear")[0] != 0
    seen = []
    thread = threading.Thread(target=lambda: seen.append(TABLE.error()))
    thread.start()
    thread.join()
    assert seen == [None]
    assert TABLE.error() == b"injected resolve_field failure for 'Gear'"
    assert violations() == ["last_error called although the previous call on this thread did not fail"]


# ------------------------------------------------------------------ navigation

def test_navigation_from_a_source():
    mux = pa.schema([TIME, pa.field("Page", pa.uint8())])
    regs = [Registered("0123_Status"), Registered("0200_Mux/Page3", mux),
            Registered("0200_Mux/4", mux), Registered("can_raw", ALL_TYPES)]
    try:
        assert TABLE.value_table(regs[0].evt, "Gear", [(1, "On")]) == 0
        src = orvik_sdk.TraceSourceCache("can")
        assert src.Status.name == "0123_Status"
        assert src.Status.fields == ("Speed", "Gear", "Flags")
        speed, gear = src.Status.Speed, src.Status.Gear
        assert (speed.name, speed.event, speed.value_table) == ("Speed", "0123_Status", None)
        assert gear.value_table == {1: "On"}
        assert src.Mux.fields == () and set(src.Mux.sub_events) == {"Page3", "4"}
        assert src.Mux["Page3"].name == "0200_Mux/Page3" and src.Mux["Page3"].fields == ("Page",)
        assert src["0200_Mux/4"].name == "0200_Mux/4"
        assert src["can_raw"].fields[0] == "i8" and src.raw.name == "can_raw"
        for missing in ["Nothing", "Mux.Page3"]:
            with pytest.raises(AttributeError):
                getattr(src, missing)
        with pytest.raises(AttributeError):
            src.Status.Nothing
        with pytest.raises(KeyError):
            src["0200_Mux/5"]
        with pytest.raises(KeyError):
            src.Mux["5"]
    finally:
        for reg in regs:
            reg.release()


# ------------------------------------------------------------------ threads and counting

def test_rows_from_many_threads(status_event):
    gear = status_event.handles["Gear"]
    threads, per_thread = 8, 2000

    def worker(t):
        for i in range(per_thread):
            value = struct.pack("<B", (t * 31 + i) & 0xFF)
            assert TABLE.log(status_event.evt, t * 10**6 + i, [column(gear, 5, value)]) == 0

    pool = [threading.Thread(target=worker, args=(t,)) for t in range(threads)]
    for th in pool:
        th.start()
    for th in pool:
        th.join()
    rows = orvik_sdk.rows()
    assert len(rows) == orvik_sdk.stats()["rows"] == threads * per_thread
    for t in range(threads):
        mine = [r for r in rows if r[2] // 10**6 == t]
        assert [r[2] for r in mine] == [t * 10**6 + i for i in range(per_thread)]
        assert [r[3]["Gear"] for r in mine] == [(t * 31 + i) & 0xFF for i in range(per_thread)]
    assert violations() == []


def test_count_only_counts_without_storing(status_event):
    orvik_sdk.count_only(True)
    bad = column(status_event.handles["Gear"], 12)
    for i in range(100):
        assert TABLE.log(status_event.evt, i, [bad]) == 0
    assert orvik_sdk.rows() == [] and orvik_sdk.stats()["rows"] == 100
    orvik_sdk.fail("log_at")  # injected failures still apply
    assert TABLE.log(status_event.evt, 1, []) != 0
    TABLE.error()
    orvik_sdk.count_only(False)
    assert TABLE.log(status_event.evt, 1, []) == 0
    assert len(orvik_sdk.rows()) == 1
