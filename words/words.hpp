// The words of every presentation but the extractor's fixed report: findings
// as phrases (the phrase book), the problems of output names, and
// printf-style text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "entries/entries.hpp"


// ---------------------------------------------------------------------------
// Findings in words, as every program but the extractor's fixed report says
// them: a phrase without the entry's name, such as "table size 24 differs
// from rep_c_sz 7", the same in listings, JSON, pages and the packer.

std::string finding_text(const tex_finding& f);
std::vector<std::string> finding_texts(const std::vector<tex_finding>& found);

// The words for a problem, the same in every program: "it holds a control
// byte", ...; a link that leads out leads outside "the current folder" when
// `root_is_cwd`, otherwise outside "the output folder".
const char* name_problem_text(name_problem problem, bool root_is_cwd);

// Appends one printf-style line to a message buffer.
void add_line(std::string& lines, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A printf-style text.
std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A count and its noun, singular for one: "1 entry", "0 entries", "2 entries".
std::string counted(std::uint64_t n, const char* one, const char* many);
