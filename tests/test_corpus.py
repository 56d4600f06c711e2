"""optimize_dp and plenexa_paths keep giving the recorded paths on the seeded corpora of
bench/corpus.py (the first group of each kind; `make corpus` checks every group). The first
tree-search group also checks that 1, 2 and 4 threads give the same paths."""

import pytest

import corpus  # bench/corpus.py, which tests/conftest.py puts on the path


@pytest.mark.parametrize(
    "checked, kind",
    [(c, kind) for c in corpus.CORPORA.values() for kind in c.kinds],
    ids=lambda value: getattr(value, "name", value),
)
def test_first_group_of_each_kind_matches_the_record(checked, kind):
    assert checked.mismatches(checked.compute({f"{kind}-0"}), checked.read_reference()) == []
