"""optimize_dp keeps giving the recorded paths on the seeded corpus of bench/corpus.py (the
first group of each kind; `make corpus` checks every group)."""

import pytest

import corpus  # bench/corpus.py, which tests/conftest.py puts on the path


@pytest.mark.parametrize("kind", list(corpus.KINDS))
def test_first_group_of_each_kind_matches_the_record(kind):
    name = f"{kind}-0"
    assert corpus.mismatches(corpus.compute({name}), corpus.read_reference()) == []
