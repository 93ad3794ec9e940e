"""Frames of corpus messages, encoded as cantools' payloads, decode through CanDecoder into the
rows that cantools' decode calls for; python-can Messages go through decode_message as they are.

The checks mirror the per-frame corpus test, with the rows taken from the stand-in SDK instead of
a test tool: the raw row first, then the base event's and the selected multiplexed event's rows,
every value equal to cantools' after our named typing rules, and the counters in step.
"""

import collections
import random

import can
import numpy as np
import pyarrow as pa
import pytest

from cantools_support import corpus_requests, load_for_decoding
from conftest import CORPUS_DIR, corpus_files
from decoder_support import COUNTERS, counts, sdk  # noqa: F401
from orvik_can._native import CanDecoder
from test_process_frame_corpus import check_rows

# A spread of the corpus: the whole of it goes through the per-frame step in its own test.
FILES = corpus_files()[::4]

ARROW_TYPES = {"int8": "Int8", "int16": "Int16", "int32": "Int32", "int64": "Int64",
               "uint8": "UInt8", "uint16": "UInt16", "uint32": "UInt32", "uint64": "UInt64",
               "float": "Float32", "double": "Float64"}


def column_types(events):
    """Event name -> {column: our type name}, from the Arrow schemas the SDK was given."""
    out = {}
    for event in events:
        schema = pa.ipc.open_stream(event["schema"]).schema
        out[event["name"]] = {f.name: ARROW_TYPES.get(str(f.type), str(f.type)) for f in schema}
    return out


def entries(values, types):
    """A row's values as the oracle's entries: the type name, and floats as their bits."""
    out = {}
    for name, value in values.items():
        kind = types[name]
        if value is not None and kind == "Float32":
            value = int(np.array([value], dtype=np.float32).view(np.uint32)[0])
        elif value is not None and kind == "Float64":
            value = int(np.array([value], dtype=np.float64).view(np.uint64)[0])
        out[name] = {"type": kind, "value": value}
    return out


@pytest.mark.skipif(not FILES, reason="corpus folder absent")
@pytest.mark.parametrize("path", FILES, ids=lambda p: str(p.relative_to(CORPUS_DIR)))
def test_corpus_frames_through_the_decoder(path, sdk, monkeypatch):
    db = load_for_decoding(path, monkeypatch)
    requests = corpus_requests(db, random.Random(path.name))
    decoder = CanDecoder(database_file=str(path), log_raw_frames=True, timestamp_mode="absolute")

    steps = []
    for n, (key, data, _) in enumerate(requests, start=1):
        before = counts(decoder)
        if n % 2:
            decoder.decode_frame(key[0], data, n * 10**9, key[1])
        else:
            decoder.decode_message(can.Message(arbitration_id=key[0], data=data,
                                               is_extended_id=key[1], timestamp=float(n)))
        after = counts(decoder)
        steps.append([after[c] - before[c] for c in COUNTERS])

    by_frame = collections.defaultdict(list)
    for source, event, time_ns, values in sdk.rows():
        by_frame[time_ns].append((source, event, values))
    assert set(by_frame) == {n * 10**9 for n in range(1, len(requests) + 1)}
    types = column_types(sdk.events())

    for n, ((key, data, message), step) in enumerate(zip(requests, steps), start=1):
        where = f"{path.name} {message.name} {data.hex()} ({'frame' if n % 2 else 'message'})"
        rows = by_frame[n * 10**9]
        assert rows and rows[0] == ("can_raw", "can_raw", {
            "arbitration_id": key[0], "dlc": len(data) % 256, "is_extended": key[1],
            "is_fd": False, "data": data}), where
        assert all(source == "can" for source, _, _ in rows[1:]), where

        decoded = {event: entries(values, types[event]) for _, event, values in rows[1:]}
        base_written, errors = check_rows(key, message, data, [e for _, e, _ in rows[1:]],
                                          decoded, where)
        assert step == [1, int(base_written), errors, 0], where
