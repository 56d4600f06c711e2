// The one-character axis letters shared by einsum strings and einops patterns.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace plenexa::util {

inline constexpr std::size_t axis_letter_count = 50;

// The process-wide table: "a" to "y", then "A" to "Y" (no "z"/"Z"); built once, read-only after.
const std::array<std::string, axis_letter_count>& axis_letters();

// The letter of axis id `id`; panics with the index text for ids of 50 and above.
const std::string& axis_letter(uint64_t id);

}  // namespace plenexa::util
