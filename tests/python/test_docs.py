"""The examples of docs/api.md run as written: a reference that drifts from the code fails here."""

import doctest
import pathlib

import pytest

API = pathlib.Path(__file__).resolve().parents[2] / "docs" / "api.md"


@pytest.mark.skipif(not API.exists(), reason="docs/ is not shipped in this tree")
def test_api_reference_examples_run():
    # isolated_home (conftest) points HOME at a throwaway folder, so the
    # example's trash call never reaches the real user's trash.
    failures, attempted = doctest.testfile(
        str(API), module_relative=False, optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
    )
    assert attempted > 20
    assert failures == 0
