// A JSON reader of the tests' own, enough for the schema morvex_tex prints:
// \u00XX gives back the byte, a key met twice is an error.
#pragma once

#include <cctype>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace test {

struct json;
using json_object = std::map<std::string, json>;
struct json {
    std::variant<std::nullptr_t, bool, double, std::string, std::vector<json>, json_object> v;
    const json& operator[](const std::string& key) const { return std::get<json_object>(v).at(key); }
    const json& operator[](std::size_t k) const { return std::get<std::vector<json>>(v).at(k); }
    double num() const { return std::get<double>(v); }
    const std::string& str() const { return std::get<std::string>(v); }
    std::size_t size() const { return std::get<std::vector<json>>(v).size(); }
};

inline json parse_json(const std::string& s, std::size_t& at)
{
    const auto skip = [&] { while (at < s.size() && std::isspace(static_cast<unsigned char>(s[at]))) ++at; };
    const auto expect = [&](char c) { skip(); if (s.at(at++) != c) throw std::runtime_error("bad JSON at " + std::to_string(at)); };
    skip();
    const char c = s.at(at);
    if (c == '{' || c == '[') {
        ++at;
        skip();
        json_object obj;
        std::vector<json> list;
        while (s.at(at) != (c == '{' ? '}' : ']')) {
            if (c == '{') {
                const std::string key = parse_json(s, at).str();
                expect(':');
                if (!obj.emplace(key, parse_json(s, at)).second) throw std::runtime_error("key twice: " + key);
            } else {
                list.push_back(parse_json(s, at));
            }
            skip();
            if (s.at(at) == ',') ++at;
            skip();
        }
        ++at;
        return c == '{' ? json{obj} : json{list};
    }
    if (c == '"') {
        std::string out;
        for (++at; s.at(at) != '"'; ++at) {
            if (static_cast<unsigned char>(s[at]) < 0x20) throw std::runtime_error("raw control byte");
            if (s[at] != '\\') {
                out += s[at];
            } else if (s.at(++at) == 'u') {
                const unsigned long code = std::stoul(s.substr(at + 1, 4), nullptr, 16);
                if (code > 0xFF) throw std::runtime_error("unexpected escape");
                out += static_cast<char>(code);
                at += 4;
            } else {
                out += s[at];
            }
        }
        ++at;
        return json{out};
    }
    for (const auto& [word, value] : {std::pair<const char*, json>{"null", json{nullptr}}, {"true", json{true}}, {"false", json{false}}}) {
        if (s.compare(at, std::strlen(word), word) == 0) {
            at += std::strlen(word);
            return value;
        }
    }
    std::size_t used = 0;
    const double d = std::stod(s.substr(at, 32), &used);
    at += used;
    return json{d};
}

inline json parse_json(const std::string& s)
{
    std::size_t at = 0;
    json out = parse_json(s, at);
    while (at < s.size() && std::isspace(static_cast<unsigned char>(s[at]))) ++at;
    if (at != s.size()) throw std::runtime_error("trailing bytes");
    return out;
}

}  // namespace test
