// A reader for the runner's state file, written independently of the
// runner: a small JSON parser that checks everything it reads and reports
// the first problem. (Screenshots are read by the PNG reader of the shared
// test support.)
#pragma once

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace testjson {

struct value {
    enum kind { NUL, BOOL, NUMBER, STRING, ARRAY, OBJECT } k = NUL;
    bool b = false;
    double num = 0;
    std::string str;
    std::vector<value> arr;
    std::map<std::string, value> obj;

    bool has(const std::string &name) const { return k == OBJECT && obj.count(name); }
    const value &operator[](const std::string &name) const
    {
        static const value none;
        auto it = obj.find(name);
        return it == obj.end() ? none : it->second;
    }
    const value &operator[](size_t i) const
    {
        static const value none;
        return i < arr.size() ? arr[i] : none;
    }
    long long i() const { return (long long)num; }
};

class parser {
public:
    explicit parser(const std::string &text) : s(text) {}
    // Parses the whole text; false (with error()) on any syntax problem.
    bool parse(value *out)
    {
        if (!parse_value(out)) return false;
        ws();
        if (p != s.size()) return fail("text after the value");
        return true;
    }
    const std::string &error() const { return err; }

private:
    const std::string &s;
    size_t p = 0;
    std::string err;

    bool fail(const std::string &why)
    {
        if (err.empty()) err = why + " at offset " + std::to_string(p);
        return false;
    }
    void ws()
    {
        while (p < s.size() && (s[p] == ' ' || s[p] == '\n' || s[p] == '\r' || s[p] == '\t')) p++;
    }
    bool lit(const char *w)
    {
        const std::string word = w;
        if (s.compare(p, word.size(), word) != 0) return fail("bad literal");
        p += word.size();
        return true;
    }
    bool parse_string(std::string *out)
    {
        if (s[p] != '"') return fail("expected a string");
        p++;
        while (p < s.size() && s[p] != '"') {
            char c = s[p++];
            if ((unsigned char)c < 0x20) return fail("control character in a string");
            if (c == '\\') {
                if (p >= s.size()) return fail("cut escape");
                char e = s[p++];
                switch (e) {
                case '"': case '\\': case '/': out->push_back(e); break;
                case 'n': out->push_back('\n'); break;
                case 't': out->push_back('\t'); break;
                case 'r': out->push_back('\r'); break;
                case 'b': out->push_back('\b'); break;
                case 'f': out->push_back('\f'); break;
                case 'u':
                    if (p + 4 > s.size()) return fail("cut \\u escape");
                    out->push_back((char)strtol(s.substr(p, 4).c_str(), nullptr, 16));
                    p += 4;
                    break;
                default: return fail("bad escape");
                }
            } else {
                out->push_back(c);
            }
        }
        if (p >= s.size()) return fail("unterminated string");
        p++;
        return true;
    }
    bool parse_value(value *v)
    {
        ws();
        if (p >= s.size()) return fail("unexpected end");
        const char c = s[p];
        if (c == '{') {
            v->k = value::OBJECT;
            p++;
            ws();
            if (p < s.size() && s[p] == '}') return p++, true;
            for (;;) {
                ws();
                std::string name;
                if (p >= s.size() || !parse_string(&name)) return fail("expected a member name");
                ws();
                if (p >= s.size() || s[p] != ':') return fail("expected ':'");
                p++;
                if (v->obj.count(name)) return fail("duplicate member " + name);
                if (!parse_value(&v->obj[name])) return false;
                ws();
                if (p < s.size() && s[p] == ',') { p++; continue; }
                if (p < s.size() && s[p] == '}') return p++, true;
                return fail("expected ',' or '}'");
            }
        }
        if (c == '[') {
            v->k = value::ARRAY;
            p++;
            ws();
            if (p < s.size() && s[p] == ']') return p++, true;
            for (;;) {
                v->arr.emplace_back();
                if (!parse_value(&v->arr.back())) return false;
                ws();
                if (p < s.size() && s[p] == ',') { p++; continue; }
                if (p < s.size() && s[p] == ']') return p++, true;
                return fail("expected ',' or ']'");
            }
        }
        if (c == '"') {
            v->k = value::STRING;
            return parse_string(&v->str);
        }
        if (c == 't') { v->k = value::BOOL; v->b = true; return lit("true"); }
        if (c == 'f') { v->k = value::BOOL; return lit("false"); }
        if (c == 'n') { v->k = value::NUL; return lit("null"); }
        if (c == '-' || (c >= '0' && c <= '9')) {
            const char *start = s.c_str() + p;
            char *end;
            v->k = value::NUMBER;
            v->num = strtod(start, &end);
            if (end == start) return fail("bad number");
            p += (size_t)(end - start);
            return true;
        }
        return fail("unexpected character");
    }
};

}  // namespace testjson
