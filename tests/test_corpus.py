"""optimize_dp keeps giving the recorded paths on the seeded corpus of bench/corpus.py (the
first group of each kind; `make corpus` checks every group)."""

import importlib.util
import pathlib

import pytest

_path = pathlib.Path(__file__).parents[1] / "bench" / "corpus.py"
_spec = importlib.util.spec_from_file_location("corpus", _path)
corpus = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(corpus)


@pytest.mark.parametrize("kind", list(corpus.KINDS))
def test_first_group_of_each_kind_matches_the_record(kind):
    name = f"{kind}-0"
    assert corpus.mismatches(corpus.compute({name}), corpus.read_reference()) == []
