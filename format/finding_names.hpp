// The stable names of the finding kinds: one snake_case word each, the same
// in every program's JSON ("problem_kinds") and in the library's API, and
// never changed once published, so that scripts may test for them. A new
// kind gets a new name; a kind's meaning never moves to another name.
#pragma once

#include <cstddef>
#include <string_view>

#include "format/format.hpp"

// "entry_past_end", "sizes_differ", ...: the kind's stable name.
const char* tex_finding_name(tex_finding_kind kind);

// The kind a stable name stands for. False when no kind has that name.
bool tex_finding_kind_named(std::string_view name, tex_finding_kind& out);

// How many kinds there are: every value below it is one, in declaration order.
inline constexpr std::size_t tex_finding_kind_count = static_cast<std::size_t>(tex_finding_kind::output_exists) + 1;
