"""Shared pieces of the CanDecoder tests: the checked stand-in SDK fixture, rows and counters."""

import gc

import orvik_sdk
import pytest

COUNTERS = ("messages_received", "messages_decoded", "decode_errors", "unknown_messages")
RECEIVED, DECODED, ERRORS, UNKNOWN = COUNTERS


@pytest.fixture
def sdk():
    """The stand-in SDK, fresh; afterwards no contract was broken and no handle is left over."""
    orvik_sdk.reset()
    before = orvik_sdk.stats()
    yield orvik_sdk
    gc.collect()
    after = orvik_sdk.stats()
    assert after["violations"] == []
    assert after["live_sources"] == before["live_sources"]
    assert after["live_events"] == before["live_events"]
    orvik_sdk.reset()


def rows(source=None):
    """The recorded rows (source, event, time_ns, values), of one source or all."""
    return [row for row in orvik_sdk.rows() if source is None or row[0] == source]


def causes(error):
    """The texts of the exceptions chained below `error` as __cause__, outermost first; every one
    of them is a RuntimeError."""
    texts = []
    while error.__cause__ is not None:
        error = error.__cause__
        assert type(error) is RuntimeError, repr(error)
        texts.append(str(error))
    return texts


def counts(decoder):
    """The four counters the per-frame step adds to, by name."""
    m = decoder.metrics()
    return {name: getattr(m, name) for name in COUNTERS}
