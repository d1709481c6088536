// ovix-asm macros and conditionals: macro parameters and call arguments,
// the text substitution of a macro body, and the IF/ELSE/ENDIF stack.
//
// A macro is text: "NAME MACRO a,b" ... "ENDM" keeps the body lines as
// written; a call "NAME x,y" replaces every whole word a and b of the body
// (in any case) by x and y, and "\@" by a number that is new at every
// expansion and every repetition of REPT, for labels of their own
// ("loop\@"). The driver (asm.cpp) collects the bodies and feeds the
// expanded lines back through the ordinary line processing.
#include <algorithm>
#include <cctype>

#include "asm_int.h"

namespace ovasm {

bool parse_macro_params(const std::string &args, std::vector<std::string> &params, std::string &err,
                        std::vector<std::string> *written)
{
    params.clear();
    if (written) written->clear();
    if (trim(args).empty()) return true;
    for (const std::string &p : split_operands(args)) {
        bool ok = !p.empty() && is_ident_start(p[0]) && p[0] != '.';
        for (char c : p) ok = ok && is_ident_char(c);
        if (!ok) {
            err = "bad macro parameter name " + quote(p);
            return false;
        }
        const std::string u = upper(p);
        for (const std::string &q : params)
            if (q == u) {
                err = "macro parameter '" + p + "' named twice";
                return false;
            }
        params.push_back(u);
        if (written) written->push_back(p);
    }
    return true;
}

std::vector<std::string> macro_arguments(const std::string &args)
{
    if (trim(args).empty()) return {};
    return split_operands(args);
}

bool substitute(const std::string &text, const std::vector<std::string> &params,
                const std::vector<std::string> &args, int unique, size_t limit, std::string &out)
{
    out.clear();
    char quote = 0;
    for (size_t i = 0; i < text.size();) {
        if (out.size() > limit) {
            out.resize(limit);
            return false;
        }
        const char c = text[i];
        if (c == '\\' && i + 1 < text.size() && text[i + 1] == '@') {
            out += std::to_string(unique);
            i += 2;
            continue;
        }
        if (quote) {
            out += c;
            if (c == quote) quote = 0;
            i++;
            continue;
        }
        if (c == ';') {   // the comment stays as written
            out.append(text, i, std::min(text.size() - i, limit + 1 - std::min(limit + 1, out.size())));
            break;
        }
        if (c == '"' || c == '\'') {
            // A quote starts a string unless it closes a character constant
            // of one character, which needs no special care.
            quote = c;
            out += c;
            i++;
            continue;
        }
        if (is_ident_start(c) && c != '.' && (i == 0 || !is_ident_char(text[i - 1]))) {
            size_t j = i;
            while (j < text.size() && is_ident_char(text[j]) && text[j] != '.') j++;
            const std::string u = upper(text.substr(i, j - i));
            size_t k = 0;
            while (k < params.size() && params[k] != u) k++;
            if (k < params.size()) out += k < args.size() ? args[k] : "";
            else out.append(text, i, j - i);
            i = j;
            continue;
        }
        out += c;
        i++;
    }
    if (out.size() > limit) {
        out.resize(limit);
        return false;
    }
    return true;
}

bool Conditionals::open(int file, int line, int frame, bool cond, std::string &err)
{
    if ((int)stack_.size() >= MAX_COND_DEPTH) {
        err = fmt("IF nested deeper than %d levels", MAX_COND_DEPTH);
        return false;
    }
    const bool parent = active();
    stack_.push_back(Entry{file, line, frame, parent, parent && cond, parent && cond, false});
    return true;
}

bool Conditionals::else_if(bool cond, std::string &err)
{
    Entry &e = stack_.back();
    if (e.else_seen) {
        err = "ELSEIF after ELSE";
        return false;
    }
    e.active = e.parent && !e.done && cond;
    e.done = e.done || e.active;
    return true;
}

bool Conditionals::else_(std::string &err)
{
    Entry &e = stack_.back();
    if (e.else_seen) {
        err = "second ELSE for one IF";
        return false;
    }
    e.else_seen = true;
    e.active = e.parent && !e.done;
    e.done = true;
    return true;
}

std::vector<Conditionals::Entry> Conditionals::close_frame(int frame)
{
    std::vector<Entry> open;
    while (!stack_.empty() && stack_.back().frame >= frame) {
        open.insert(open.begin(), stack_.back());
        stack_.pop_back();
    }
    return open;
}

}  // namespace ovasm
