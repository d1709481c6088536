// Reading JSON from outside (a debug adapter's client, movies, debug
// information) within bounds.
//
// Nesting: the library's parser does not recurse, but copying, comparing or
// writing a value does, one call per level, so that a value nested 100000
// deep overflows the stack. Nothing these programs read nests more than a
// few levels; every reader refuses a text nested deeper than
// JSON_MAX_DEPTH.
//
// Memory: a parsed document takes about ten times the bytes of its text.
// json_member_stream reads a JSON object whose big members are lists
// (a movie's events, the lines of debug information) one element at a
// time: each element is parsed on its own and handed over, and only the
// other members are kept whole.
#pragma once

#include <cstddef>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// Objects and arrays inside each other, the outermost counted.
constexpr int JSON_MAX_DEPTH = 64;

// The deepest nesting of objects and arrays in a JSON text, counted outside
// its strings; the count stops at limit + 1. The parser counts the same
// way, so a text found within the limit parses no deeper.
inline int json_depth(const char *text, size_t size, int limit = JSON_MAX_DEPTH)
{
    int depth = 0, deepest = 0;
    bool in_string = false;
    for (size_t i = 0; i < size; i++) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') i++;
            else if (c == '"') in_string = false;
            continue;
        }
        if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > deepest && (deepest = depth) > limit) return deepest;
        } else if ((c == ']' || c == '}') && depth > 0) {
            depth--;
        }
    }
    return deepest;
}

// The SAX reader of a JSON object (J: nlohmann::json or ordered_json). The
// members named in `streamed` whose values are arrays go element by element
// to on_element; every other member is kept in `doc`. on_begin is called
// when a streamed array starts, on_member at the end of every member (with
// its value, or null for a streamed array), in the order of the text. A
// callback returning false ends the parse. A member that comes twice is
// refused.
//
//     json_member_stream<json> in;
//     in.streamed = {"lines"};
//     in.on_element = [&](const std::string &member, json &&e) { ...; return true; };
//     if (!nlohmann::json::sax_parse(begin, end, &in)) ... in.error, in.error_byte
template <class J>
class json_member_stream {
public:
    using number_integer_t = typename J::number_integer_t;
    using number_unsigned_t = typename J::number_unsigned_t;
    using number_float_t = typename J::number_float_t;
    using string_t = typename J::string_t;
    using binary_t = typename J::binary_t;

    std::set<std::string> streamed;
    std::function<bool(const std::string &member)> on_begin;
    std::function<bool(const std::string &member, J &&element)> on_element;
    std::function<bool(const std::string &member, const J *value)> on_member;

    J doc = J::object();
    // Why the parse ended early: the parser's message, or ours; the byte
    // where it happened (past the end: the text ended first).
    std::string error;
    size_t error_byte = 0;
    bool refused = false;      // ended by this reader (error is then its reason), not by the parser
    bool not_object = false;   // the text is JSON, but not an object
    bool too_deep = false;

    // A streamed member came, and was an array.
    bool listed(const std::string &member) const { return seen_.count(member) != 0; }

    bool null() { return put(J(nullptr)); }
    bool boolean(bool v) { return put(J(v)); }
    bool number_integer(number_integer_t v) { return put(J(v)); }
    bool number_unsigned(number_unsigned_t v) { return put(J(v)); }
    bool number_float(number_float_t v, const string_t &) { return put(J(v)); }
    bool string(string_t &v) { return put(J(std::move(v))); }
    bool binary(binary_t &) { return fail("binary data"); }   // not in JSON text

    bool start_object(std::size_t) { return open(J::object()); }
    bool start_array(std::size_t)
    {
        if (depth_ == 1 && stack_.empty() && streamed.count(member_)) {
            if (!deeper()) return false;
            streaming_ = true;
            return !on_begin || on_begin(member_);
        }
        return open(J::array());
    }
    bool end_object() { return close(); }
    bool end_array()
    {
        if (streaming_ && stack_.empty()) {
            streaming_ = false;
            depth_--;
            return member_done(nullptr);
        }
        return close();
    }
    bool key(string_t &k)
    {
        if (depth_ == 1 && stack_.empty()) {
            if (doc.contains(k) || seen_.count(k)) return fail("member \"" + k.substr(0, 80) + "\" comes twice");
            member_ = k;
            return true;
        }
        key_ = k;
        return true;
    }
    bool parse_error(std::size_t byte, const std::string &, const nlohmann::detail::exception &e)
    {
        std::string what = e.what();
        // "[json.exception.parse_error.101] parse error at line 3, column 2: ..."
        const size_t at = what.find("] ");
        if (at != std::string::npos) what = what.substr(at + 2);
        error = what;
        error_byte = byte;
        return false;
    }

private:
    int depth_ = 0;              // objects and arrays open, the root object included
    std::string member_;         // the root's member being read
    std::string key_;            // the key of the next value inside an object under construction
    bool streaming_ = false;     // inside a streamed member's array
    std::set<std::string> seen_; // streamed members read
    J value_;                    // the member's or element's value under construction
    std::vector<J *> stack_;     // its containers still open, innermost last

    bool fail(const std::string &why)
    {
        error = why;
        refused = true;
        return false;
    }
    bool deeper()
    {
        if (++depth_ <= JSON_MAX_DEPTH) return true;
        too_deep = true;
        return fail("objects and arrays nested deeper than " + std::to_string(JSON_MAX_DEPTH) + " levels");
    }
    // A value is complete: a member's, or an element of a streamed array.
    bool complete(J &&v)
    {
        if (streaming_) return !on_element || on_element(member_, std::move(v));
        J &slot = doc[member_];
        slot = std::move(v);
        return member_done(&slot);
    }
    bool member_done(const J *value)
    {
        if (!value) seen_.insert(member_);
        return !on_member || on_member(member_, value);
    }
    // Where a new value goes inside the containers under construction.
    J *place(J &&v)
    {
        J *parent = stack_.back();
        if (parent->is_array()) {
            parent->push_back(std::move(v));
            return &parent->back();
        }
        J &slot = (*parent)[key_];
        slot = std::move(v);
        return &slot;
    }
    bool put(J &&v)
    {
        if (depth_ == 0) {
            not_object = true;
            return fail("not a JSON object");
        }
        if (stack_.empty()) return complete(std::move(v));
        place(std::move(v));
        return true;
    }
    bool open(J &&container)
    {
        if (depth_ == 0) {
            if (!container.is_object()) {
                not_object = true;
                return fail("not a JSON object");
            }
            depth_ = 1;   // the root: its members are read one by one
            return true;
        }
        if (!deeper()) return false;
        if (stack_.empty()) {
            value_ = std::move(container);
            stack_.push_back(&value_);
        } else {
            stack_.push_back(place(std::move(container)));
        }
        return true;
    }
    bool close()
    {
        depth_--;
        if (stack_.empty()) return true;   // the root's end
        stack_.pop_back();
        if (!stack_.empty()) return true;
        return complete(std::move(value_));
    }
};
