import pytest
from hypothesis import given
from hypothesis import strategies as st

from orvalnest._native import format_bytes

TABLE = [
    (0, "0 B"),
    (1, "1 B"),
    (999, "999 B"),
    (1023, "1023 B"),
    (1024, "1.0 KB"),
    (1075, "1.0 KB"),
    (1076, "1.1 KB"),
    (1280, "1.2 KB"),
    (1536, "1.5 KB"),
    (1792, "1.8 KB"),
    (2304, "2.2 KB"),
    (10240, "10.0 KB"),
    (1000000, "976.6 KB"),
    (1048524, "1023.9 KB"),
    (1048525, "1024.0 KB"),
    (1048575, "1024.0 KB"),
    (1048576, "1.0 MB"),
    (1000000000, "953.7 MB"),
    (1610612736, "1.5 GB"),
    (1000000000000, "931.3 GB"),
    (1099511627776, "1.0 TB"),
    (1000000000000000, "909.5 TB"),
    (1125899906842624, "1.0 PB"),
    (1152921504606846975, "1024.0 PB"),
    (18446744073709551615, "16384.0 PB"),
]


@pytest.mark.parametrize("size, text", TABLE)
def test_table(size, text):
    assert format_bytes(size) == text
    assert format_bytes(size=size) == text


def reference(size: int) -> str:
    """The display rule written out in Python: Python's float formatting is
    correctly rounded, ties to even, from the exact binary value."""
    if size < 1024:
        return f"{size} B"
    value = float(size) / 1024
    unit = 1
    while unit < 5 and value >= 1024.0:
        value /= 1024
        unit += 1
    return f"{value:.1f} {['B', 'KB', 'MB', 'GB', 'TB', 'PB'][unit]}"


@given(st.integers(min_value=0, max_value=2**64 - 1))
def test_matches_correctly_rounded_reference(size):
    assert format_bytes(size) == reference(size)


@given(st.integers(min_value=1, max_value=1023), st.integers(min_value=1, max_value=4))
def test_exact_ties_round_to_even(whole, unit):
    # x.25 and x.75 are exact ties at one digit: they go to x.2 and x.8.
    label = ["KB", "MB", "GB", "TB", "PB"][unit - 1]
    quarter = 1024**unit // 4
    assert format_bytes(whole * 1024**unit + quarter) == f"{whole}.2 {label}"
    assert format_bytes(whole * 1024**unit + 3 * quarter) == f"{whole}.8 {label}"
