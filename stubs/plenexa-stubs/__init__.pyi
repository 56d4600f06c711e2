"""Type stubs for the ``plenexa`` extension module.

Tensor index operations by integer axis ids: einsum contractions with a
bounded contraction-order optimiser, and einops-style rearrangements.

Both classes are final (the runtime refuses subclasses), keep no ``__dict__``
and compare and hash by identity.

Failures inside the module (an axis id without a letter in
``to_einsum_string``, bad contents inside a constructor's lists, a component of
64 or more connected operands in ``optimize_dp``, a failure inside
``einops.repeat`` during ``apply``) raise ``PanicException``, whose dotted name
is ``pyo3_runtime.PanicException``. It derives from ``BaseException``, not
``Exception``, so ``except Exception`` does not catch it. The class is created
on first use and is not an attribute of this or any importable module, so it
cannot be named in an annotation or an ``except`` clause: catch
``BaseException`` and test ``type(error).__name__ == "PanicException"``.
"""

from collections.abc import Sequence
from typing import Any, SupportsIndex, final

__all__ = ["EinsumSpec", "RearrangeSpec"]

#: The distribution's version.
__version__: str

@final
class EinsumSpec:
    """One einsum contraction: an axis list per operand, the output's axis
    list and a size per axis id.

    Raises ValueError("invalid") when an output axis occurs in no input or an
    input axis has no size (or size 0).
    """

    # The outer containers must be a list and a dict (anything else is a
    # TypeError); the inner axis lists may be any sequence of ints at run time,
    # but are typed as lists so that list-typed variables are accepted.
    def __new__(cls, operand_ints: list[list[int]], out_ints: list[int], int_sizes: dict[int, int]) -> EinsumSpec: ...

    # Read-only: each read builds a fresh list.
    @property
    def input_ints(self) -> list[list[int]]: ...
    @property
    def output_ints(self) -> list[int]: ...
    @property
    def int_sizes(self) -> list[int]:
        """A dense size table indexed by axis id (0 for ids without a size)."""

    def ints_in_input(self) -> set[int]: ...
    def validate(self) -> bool: ...
    def shapes(self) -> tuple[list[list[int]], list[int]]:
        """The shape of every input and of the output."""
    def normalize(self) -> EinsumSpec:
        """A new spec with ids renumbered densely in order of first appearance."""
    def flops(self) -> int: ...
    def to_einsum_string(self) -> str: ...
    def optimize_dp(
        self,
        check_outer_op: bool | None = None,
        mem_cap_op: int | None = None,
        hash_map_cap_op: int | None = None,
    ) -> list[list[int]]:
        """A contraction path: pairs of positions in the shrinking operand list."""

@final
class RearrangeSpec:
    """One einops-style rearrangement: every input and output dimension is a
    group of axis ids, sized by ``int_sizes[id]``."""

    def __new__(cls, input_ints: list[list[int]], output_ints: list[list[int]], int_sizes: list[int]) -> RearrangeSpec: ...

    # Writable (not deletable). A setter takes any sequence, unlike the
    # constructor, which insists on lists.
    @property
    def input_ints(self) -> list[list[int]]: ...
    @input_ints.setter
    def input_ints(self, value: Sequence[Sequence[SupportsIndex]]) -> None: ...
    @property
    def output_ints(self) -> list[list[int]]: ...
    @output_ints.setter
    def output_ints(self, value: Sequence[Sequence[SupportsIndex]]) -> None: ...
    @property
    def int_sizes(self) -> list[int]: ...
    @int_sizes.setter
    def int_sizes(self, value: Sequence[SupportsIndex]) -> None: ...

    def ints_in_inp(self) -> set[int]: ...
    def ints_in_out(self) -> set[int]: ...
    def is_identity(self) -> bool: ...
    def is_permute(self) -> bool: ...
    def shapes(self) -> tuple[list[int], list[int]]:
        """The size of every input dimension and of every output dimension."""
    def is_valid(self) -> bool: ...
    def to_einops_string(self) -> str: ...
    def to_einops_string_and_letter_sizes(self) -> tuple[str, list[tuple[str, int]]]:
        """The pattern and the (letter, size) pairs it does not carry."""
    def apply(self, tensor: Any) -> Any:
        """``einops.repeat(tensor, pattern, **letter_sizes)``; the result is
        whatever einops returns for that tensor type."""
