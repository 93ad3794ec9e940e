"""Event schemas as IPC streams, read back by pyarrow: fields, types, nullability, framing."""

import struct
import subprocess

import pyarrow as pa
import pyarrow.ipc
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

TIME = pa.field("time_ns", pa.timestamp("ns", tz="UTC"), nullable=False)

SIGNAL_TYPES = {
    "Int8": pa.int8(),
    "Int16": pa.int16(),
    "Int32": pa.int32(),
    "Int64": pa.int64(),
    "UInt8": pa.uint8(),
    "UInt16": pa.uint16(),
    "UInt32": pa.uint32(),
    "UInt64": pa.uint64(),
    "Float32": pa.float32(),
    "Float64": pa.float64(),
    "Timestamp": pa.timestamp("ns", tz="UTC"),
    "Binary": pa.binary(),
    "Utf8": pa.utf8(),
    "Boolean": pa.bool_(),
}


def stream_of(tool, *args):
    return subprocess.run([str(tool("schema_stream")), *args], check=True, capture_output=True).stdout


def check_framing(data):
    """Schema message with continuation marker, 64-byte padding, then the end-of-stream marker."""
    assert data[:4] == b"\xff\xff\xff\xff"
    assert data[-8:] == b"\xff\xff\xff\xff\x00\x00\x00\x00"
    (metadata_len,) = struct.unpack_from("<i", data, 4)
    assert len(data) - 16 == metadata_len
    assert (metadata_len + 8) % 64 == 0
    # Nothing but the schema message: reading yields no batches.
    reader = pa.ipc.open_stream(data)
    assert reader.read_all().num_rows == 0


def test_raw_frame_schema(tool):
    data = stream_of(tool, "raw")
    check_framing(data)
    schema = pa.ipc.open_stream(data).schema
    assert schema == pa.schema(
        [
            TIME,
            pa.field("arbitration_id", pa.uint32()),
            pa.field("dlc", pa.uint8()),
            pa.field("is_extended", pa.bool_()),
            pa.field("is_fd", pa.bool_()),
            pa.field("data", pa.binary()),
        ]
    )
    assert schema.metadata is None
    assert schema.field("time_ns").type.tz == "UTC"


@pytest.mark.parametrize("type_name", sorted(SIGNAL_TYPES))
def test_signal_type_column(tool, type_name):
    data = stream_of(tool, "message", f"Vehicle Speed={type_name}")
    check_framing(data)
    schema = pa.ipc.open_stream(data).schema
    assert schema == pa.schema([TIME, pa.field("Vehicle Speed", SIGNAL_TYPES[type_name], nullable=True)])
    assert schema.metadata is None
    assert all(f.metadata is None for f in schema)


def test_time_only_schema(tool):
    data = stream_of(tool, "message")
    check_framing(data)
    assert pa.ipc.open_stream(data).schema == pa.schema([TIME])


names = st.text(
    alphabet=st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00"), min_size=1, max_size=40
)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(names, st.sampled_from(sorted(SIGNAL_TYPES))), max_size=70, unique_by=lambda p: p[0]))
def test_message_schemas_round_trip(tool, signals):
    data = stream_of(tool, "message", *(f"{name}={type_name}" for name, type_name in signals))
    check_framing(data)
    expected = pa.schema([TIME] + [pa.field(name, SIGNAL_TYPES[t]) for name, t in signals])
    assert pa.ipc.open_stream(data).schema == expected
