"""Every corpus DBC loads through our loader and reads as cantools reads the same file.

cantools is the independent reader. Where it reads a file differently for a known reason, the
rule is named below and applied to its side only; everything else must match exactly.
"""

import json
import math
import re
import subprocess

import cantools
import cantools.database.can.message as cantools_message
import pytest

from conftest import CORPUS_DIR, corpus_files

FILES = corpus_files()

# --- Rules for cantools' side -------------------------------------------------------------------
# Each rewrites the text cantools is given; our loader always reads the file as it is.

STRING = re.compile(r'"(?:\\.|[^"\\])*"', re.S)
# cantools' tokenizer reads `64_BIT_LE` as the number 64 and the word `_BIT_LE`: names that begin
# with a digit get a prefix for cantools, which is taken off again when comparing.
DIGIT_NAME = re.compile(r"(?<![\w.])(\d+[A-Za-z_]\w*)")
DIGIT_PREFIX = "dn__"
NUMBER_LIKE = re.compile(r"\d+[eE]\d*")


def prefix_digit_names(text):
    def rename(match):
        word = match.group(1)
        rest = match.string[match.end():match.end() + 2]
        if NUMBER_LIKE.fullmatch(word) or (word[-1] in "eE" and re.match(r"[+-]\d", rest)):
            return word  # an exponent such as 1e+09, not a name
        return DIGIT_PREFIX + word

    parts, last = [], 0
    for m in STRING.finditer(text):
        parts.append(DIGIT_NAME.sub(rename, text[last:m.start()]))
        parts.append(m.group(0))
        last = m.end()
    parts.append(DIGIT_NAME.sub(rename, text[last:]))
    return "".join(parts)


def unprefix(name):
    return name[len(DIGIT_PREFIX):] if name.startswith(DIGIT_PREFIX) else name


# `CM_ 145 "..."`: a message comment whose BO_ was left out. cantools refuses it.
BARE_ID_COMMENT = re.compile(r"^CM_ (\d+) \"", re.M)
# A one-line CM_ or VAL_ without its closing `;`. cantools refuses it, or at the end of the file
# silently drops it.
UNTERMINATED = re.compile(r'^((?:CM_|VAL_) [^\n]*")[ \t]*(\r?)$', re.M)


# `SG_ Code m : ...`: a bare `m` without a switch value. Our loader reads it as the multiplexor `M`
# (as written it would select nothing and lose the signals it gates); cantools reads a plain
# signal, so it is given the `M`.
BARE_M = re.compile(r"^([ \t]*SG_ \w+) m( *):", re.M)


def cantools_text(text):
    text = prefix_digit_names(text)
    text = BARE_ID_COMMENT.sub(r'CM_ BO_ \1 "', text)
    text = BARE_M.sub(r"\1 M\2:", text)
    return UNTERMINATED.sub(r"\1;\2", text)


def load_with_cantools(text, monkeypatch):
    # cantools refuses standard identifiers wider than 11 bits (29-bit identifiers written without
    # the extended flag, and ids from 0x40000000 up). Only that check is lifted: the id is stored
    # after construction, which is all the constructor does with it besides the check.
    original_init = cantools_message.Message.__init__

    def lenient_init(self, *args, **kwargs):
        if "frame_id" in kwargs:
            frame_id = kwargs.pop("frame_id")
        else:
            frame_id, *args = args
        original_init(self, 0, *args, **kwargs)
        self._frame_id = frame_id

    monkeypatch.setattr(cantools_message.Message, "__init__", lenient_init)
    # cantools refuses a VAL_ that names a signal its message lacks; our loader ignores it. Those
    # VAL_ lines are dropped for cantools, one refusal at a time.
    while True:
        try:
            return cantools.database.load_string(
                text, database_format="dbc", strict=False, sort_signals=None)
        except cantools.database.UnsupportedDatabaseFormatError as error:
            unused = re.findall(r"VAL_ (\d+) (\w+)", str(error))
            if "unused VAL_ entries" not in str(error) or not unused:
                raise
            for frame_id, signal in unused:
                text = re.sub(rf"^VAL_ {frame_id} {signal}\b.*$", "", text, flags=re.M)


def message_key(frame_id, is_extended):
    """Our key for a cantools message: bit 31 or more than 16 bits marks extended (29 bits kept)."""
    if is_extended:
        return (frame_id & 0x1FFFFFFF, True)
    if frame_id > 0xFFFF:
        return (frame_id & 0x1FFFFFFF, True)
    return (frame_id, False)


def expected_messages(db):
    """cantools' messages keyed as ours are; a later message with the same key replaces."""
    expected = {}
    for message in db.messages:
        expected[message_key(message.frame_id, message.is_extended_frame)] = message
    return expected


def same_number(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


# The only corpus signals whose column differs from the first layout (by width, sign and the
# offset's sign alone), which cut or clamped their values: by file, name -> type code.
WIDENED_COLUMNS = {"mazda_2017.dbc": {"STEER_ANGLE": 3}, "toyota_2017_ref_pt.dbc": {"TIME_CNT": 7}}


def first_column_type(signal):
    size, scale, offset = signal.length, signal.scale, signal.offset
    if signal.is_float or not (math.isfinite(scale) and float(scale).is_integer()):
        return 8 if size <= 32 else 9  # Float32, Float64
    if scale == 1 and offset == 0 and size <= 32:
        return (0 if signal.is_signed else 4) + (0 if size <= 8 else 1 if size <= 16 else 2)
    if signal.is_signed or offset < 0:
        return 3 if size > 32 else 2  # Int64, Int32
    return 7 if size > 32 else 6  # UInt64, UInt32


def load_ours(tool, path):
    run = subprocess.run([tool("dbc_model_json"), str(path)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    return {(m["id"], m["is_extended"]): m for m in json.loads(run.stdout)}


@pytest.mark.skipif(not FILES, reason="corpus folder absent")
@pytest.mark.parametrize("path", FILES, ids=lambda p: str(p.relative_to(CORPUS_DIR)))
def test_corpus_file_reads_like_cantools(path, tool, monkeypatch):
    ours = load_ours(tool, path)
    text = path.read_text(encoding="utf-8")
    db = load_with_cantools(cantools_text(text), monkeypatch)
    expected = expected_messages(db)

    # Both sides leave out the VECTOR__INDEPENDENT_SIG_MSG placeholder (it holds signals of no
    # message).
    assert set(ours) == set(expected)
    assert "VECTOR__INDEPENDENT_SIG_MSG" not in {m["name"] for m in ours.values()}

    widened = {}
    for key, message in expected.items():
        mine = ours[key]
        where = f"{path.name} {message.name}"
        assert unprefix(message.name) == mine["name"], where
        assert message.length % 256 == mine["size"], where
        assert len(message.signals) == len(mine["signals"]), where
        has_mux = any(s.is_multiplexer or s.multiplexer_ids for s in message.signals)
        assert has_mux == mine["is_multiplexed"], where
        mux_positions = [i for i, s in enumerate(message.signals) if s.is_multiplexer]
        assert (mux_positions[-1] if mux_positions else None) == mine["multiplexor_index"], where

        # sort_signals=None keeps DBC order on both sides.
        for signal, got in zip(message.signals, mine["signals"]):
            at = f"{where}.{signal.name}"
            assert unprefix(signal.name) == got["name"], at
            # cantools keeps the DBC start bit for both byte orders (the MSB for Motorola).
            assert signal.start == got["start_bit"], at
            assert signal.length == got["size"], at
            assert got["byte_order"] == (0 if signal.byte_order == "little_endian" else 1), at
            assert signal.is_signed == got["is_signed"], at
            assert signal.is_float == got["is_float"], at
            assert same_number(signal.scale, got["factor"]), at
            assert same_number(signal.offset, got["offset"]), at
            assert (signal.unit or "") == got["unit"], at
            if signal.multiplexer_ids:
                # m<N>, and also m<N>M: multiplexed, selected by N.
                assert got["mux_kind"] == 2, at
                assert signal.multiplexer_ids == [got["switch_value"]], at
            else:
                assert got["mux_kind"] == (1 if signal.is_multiplexer else 0), at
            # Negative VAL_ values are keyed by their two's-complement bits.
            choices = {int(value) & 0xFFFF_FFFF_FFFF_FFFF: str(label)
                       for value, label in (signal.choices or {}).items()}
            assert choices == {value: label for value, label in got["value_table"]}, at
            if got["signal_type"] != first_column_type(signal):
                widened[unprefix(signal.name)] = got["signal_type"]
    assert widened == WIDENED_COLUMNS.get(path.name, {})
