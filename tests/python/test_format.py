"""format_bytes over the whole range, checked against the display rule itself,
and its counterpart in powers of 1000 (--si)."""

import pytest
from helpers import SI_CASES, Boom, boom, index, odd
from hypothesis import example, given
from hypothesis import strategies as st

from orvalnest._native import format_bytes
from orvalnest.view import format_si


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
@example(1280)  # an exact tie at one digit goes to even: 1.2 KB
@example(1048575)  # rounds up to the next unit's threshold
@example(2**64 - 1)
def test_matches_correctly_rounded_reference(size):
    assert format_bytes(size) == format_bytes(size=index(size)) == reference(size)


@pytest.mark.parametrize(
    "value, error",
    [(-1, OverflowError), (2**64, OverflowError), (1.0, TypeError), (odd("raising index", __index__=boom), Boom)],
)
def test_refusals_keep_the_interpreters_exception(value, error):
    with pytest.raises(error) as caught:
        format_bytes(value)
    assert type(caught.value) is error


@pytest.mark.parametrize("size, text", SI_CASES)
def test_si_sizes_round_the_exact_count_to_one_decimal(size, text):
    assert format_si(size) == text
