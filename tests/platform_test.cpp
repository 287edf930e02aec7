// What app/ asks of the system, the same on every system: morvex_tex extract's
// wildcards are matched by the C library on Linux and by the project's own
// matcher on Windows; one table holds both to the same answers.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "app/platform.hpp"
#include "entries/walk.hpp"

namespace {

TEST(Wildcards, MatchAsTheShellsOwnRulesSay)
{
    const std::vector<std::tuple<const char*, const char*, bool>> cases = {
        {"*.tga", "a.tga", true},          {"*.tga", "a.png", false},       {"*", "", true},
        {"?", "", false},                  {"?.tga", "ab.tga", false},      {"??.tga", "ab.tga", true},
        {"*a*b", "xaxb", true},            {"*a*b", "xaxbx", false},        {"a*b*c", "abbbc", true},
        {"a/*", "a/b/c", true},            {"*", ".hidden", true},          {"*.TGA", "a.tga", false},
        {"[a-c]*", "b1", true},            {"[a-c]*", "d1", false},         {"[!a]*", "a", false},
        {"[!a]*", "b", true},              {"[^a]", "b", true},             {"[]a]", "]", true},
        {"[]a]", "a", true},               {"[!]]", "]", false},            {"[a-]", "-", true},
        {"[[:digit:]]x", "5x", true},      {"[[:digit:]]x", "ax", false},   {"[[:upper:]]", "Q", true},
        {"\\*", "*", true},                {"\\*", "a", false},             {"a\\?", "a?", true},
        {"[", "[", true},                  {"[a", "[a", true},              {"[a", "a", false},
        {"*[0-9].tga", "x10.tga", true},   {"sky.t?a", "sky.tga", true},    {"sky.t?a", "sky.tg", false},
        {"\xc3\xa9*", "\xc3\xa9t\xc3\xa9", true}, {"?", "\xc3\xa9", false}, {"??", "\xc3\xa9", true},
    };
    for (const auto& [pattern, name, matches] : cases) {
        EXPECT_EQ(wildcard_match(pattern, name), matches) << "pattern " << pattern << ", name " << name;
    }
}

}  // namespace
