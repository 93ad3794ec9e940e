"""The Metrics class: read-only counters, the repr, and refusal of construction.

Metrics objects come only from the metrics() methods of the codec classes; here they are made
by the class's allocator (an all-zero snapshot) and filled through binding_probe.
"""

import sys

import pytest

from binding_probe import allocate_zeroed, borrowed, write_u64s
from orvik_can._native import Metrics

COUNTERS = [
    "messages_received",
    "messages_decoded",
    "decode_errors",
    "unknown_messages",
    "kernel_drops",
    "buffer_overflows",
    "batches_emitted",
    "reconnections",
    "broadcast_overflows",
    "tx_errors",
    "tx_overflows",
]


def snapshot(values):
    metrics = allocate_zeroed(Metrics)
    write_u64s(metrics, values)
    return metrics


def test_doc_and_no_text_signature():
    assert Metrics.__doc__ == "Point-in-time snapshot of codec metrics."
    assert Metrics.__text_signature__ is None


@pytest.mark.parametrize("args", [(), (1,), (1, 2, 3)])
def test_no_constructor(args):
    with pytest.raises(TypeError) as info:
        Metrics(*args)
    assert str(info.value) == "No constructor defined for Metrics"
    with pytest.raises(TypeError):
        Metrics(messages_received=1)


def test_zero_snapshot():
    metrics = allocate_zeroed(Metrics)
    assert {name: getattr(metrics, name) for name in COUNTERS} == dict.fromkeys(COUNTERS, 0)
    assert repr(metrics) == (
        "Metrics(received=0, decoded=0, errors=0, unknown=0, kernel_drops=0, "
        "broadcast_overflows=0, reconnections=0, tx_errors=0, tx_overflows=0)"
    )


def test_each_attribute_reads_its_own_counter():
    values = [(i + 1) * 1000 + i for i in range(len(COUNTERS))]
    metrics = snapshot(values)
    assert [getattr(metrics, name) for name in COUNTERS] == values
    assert repr(metrics) == (
        "Metrics(received=1000, decoded=2001, errors=3002, unknown=4003, kernel_drops=5004, "
        "broadcast_overflows=9008, reconnections=8007, tx_errors=10009, tx_overflows=11010)"
    )


def test_full_64_bit_range():
    top = 2**64 - 1
    metrics = snapshot([top] * len(COUNTERS))
    assert all(getattr(metrics, name) == top for name in COUNTERS)
    assert repr(metrics).count("18446744073709551615") == 9


@pytest.mark.parametrize("name", COUNTERS)
def test_counters_are_read_only(name):
    metrics = snapshot([7] * len(COUNTERS))
    with pytest.raises(AttributeError):
        setattr(metrics, name, 1)
    with pytest.raises(AttributeError):
        delattr(metrics, name)
    assert getattr(metrics, name) == 7
    assert getattr(Metrics, name).__doc__ is None


def test_no_comparison_dict_or_weakref():
    import weakref

    a, b = snapshot([1] * 11), snapshot([1] * 11)
    assert a != b
    with pytest.raises(AttributeError):
        a.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(a)


def test_shared_borrow_only():
    metrics = snapshot([3] * 11)
    with borrowed(metrics, 1):
        assert metrics.tx_errors == 3
    with borrowed(metrics, -1):
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            repr(metrics)


def test_instances_release_their_type():
    before = sys.getrefcount(Metrics)
    many = [allocate_zeroed(Metrics) for _ in range(100)]
    assert all(m.tx_overflows == 0 for m in many)
    del many
    assert sys.getrefcount(Metrics) == before
