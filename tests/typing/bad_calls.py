"""Wrong uses of plenexa that the stubs must reject, one statement a line.

A line ending in an `E:` comment must draw exactly those mypy error codes, and must
also fail at run time (tests/test_typing.py runs every statement), so the stubs
reject nothing that works. Unmarked lines are set-up and must type-check.
"""
from plenexa import EinsumSpec, RearrangeSpec

spec = EinsumSpec([[0, 1], [1, 2]], [0, 2], {0: 2, 1: 3, 2: 4})
rearrange = RearrangeSpec([[0], [1]], [[1], [0]], [2, 3])

EinsumSpec(([0, 1],), [0], {0: 1, 1: 1})  # E: arg-type
EinsumSpec([[0]], [0], [1])  # E: arg-type
EinsumSpec([[0]], [0], int_size={0: 1})  # E: call-arg
RearrangeSpec([[0]], [0], [1])  # E: list-item
spec.optimize_dp(check_outer_op=1)  # E: arg-type
spec.optimize_dp(mem_cap_op="big")  # E: arg-type
spec.optimize_dp(None, None, None, None)  # E: call-arg
spec.optimize_dp(hash_map_cap=10)  # E: call-arg
spec.flops(1)  # E: call-arg
rearrange.apply()  # E: call-arg
spec.input_ints = [[0]]  # E: misc
rearrange.int_sizes = 3  # E: assignment
spec.flops().upper()  # E: attr-defined
spec.shapes()[0][0] + 1  # E: operator
spec.ints_in_input()[0]  # E: index
rearrange.to_einops_string_and_letter_sizes()[1].items()  # E: attr-defined
class Sub(RearrangeSpec): pass  # E: misc
from plenexa import PanicException  # E: attr-defined
