// The Debug Adapter Protocol's wire format (wire.h).
#include "wire.h"

#include <cctype>
#include <cstring>

#include "host/json_read.h"

namespace dap {

void reader::compact()
{
    if (pos_ > 0 && (pos_ > 65536 || pos_ * 2 > buffer_.size())) {
        buffer_.erase(0, pos_);
        pos_ = 0;
    }
}

namespace {

// Reads the top-level "seq" and "command" of a message that cannot be
// taken whole, as far as its text goes, building nothing.
struct request_peek {
    int depth = 0;
    std::string member;   // the last key of the top level
    frame *out;
    bool top() const { return depth == 1; }
    bool null() { return true; }
    bool boolean(bool) { return true; }
    bool number_integer(json::number_integer_t v)
    {
        if (top() && member == "seq") out->seq = v;
        return true;
    }
    bool number_unsigned(json::number_unsigned_t v)
    {
        if (top() && member == "seq" && v <= (json::number_unsigned_t)INT64_MAX) out->seq = (int64_t)v;
        return true;
    }
    bool number_float(json::number_float_t, const json::string_t &) { return true; }
    bool string(json::string_t &v)
    {
        if (top() && member == "command") out->command = v.substr(0, 100);
        return true;
    }
    bool binary(json::binary_t &) { return true; }
    bool start_object(std::size_t)
    {
        depth++;
        return true;
    }
    bool end_object()
    {
        depth--;
        return true;
    }
    bool start_array(std::size_t)
    {
        depth++;
        return true;
    }
    bool end_array()
    {
        depth--;
        return true;
    }
    bool key(json::string_t &k)
    {
        if (top()) member = k;
        return true;
    }
    bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &) { return false; }
};

void peek_request(const char *body, size_t length, frame *out)
{
    request_peek p;
    p.out = out;
    json::sax_parse(body, body + length, &p);
}

}  // namespace

bool reader::next(frame *out)
{
    *out = frame{};
    compact();
    const size_t end = buffer_.find("\r\n\r\n", pos_);
    if (end == std::string::npos) {
        if (buffer_.size() - pos_ <= MAX_HEADER_BYTES) return false;
        // No header ends within the bound: drop up to the next header that
        // could start one, and say so.
        const size_t again = buffer_.find("Content-Length:", pos_ + 1);
        pos_ = again == std::string::npos ? buffer_.size() : again;
        out->error = "a message header longer than 4096 bytes";
        return true;
    }
    if (end - pos_ > MAX_HEADER_BYTES) {
        pos_ = end + 4;
        out->error = "a message header longer than 4096 bytes";
        return true;
    }
    // Header lines "Name: value"; Content-Length is the one that counts.
    const std::string header = buffer_.substr(pos_, end - pos_);
    long long length = -1;
    std::string bad;
    size_t at = 0;
    while (at <= header.size() && bad.empty()) {
        size_t eol = header.find("\r\n", at);
        if (eol == std::string::npos) eol = header.size();
        const std::string line = header.substr(at, eol - at);
        at = eol + 2;
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) {
            bad = "a header line without a name and a value";
            break;
        }
        std::string name = line.substr(0, colon);
        for (char &c : name) c = (char)tolower((unsigned char)c);
        if (name != "content-length") continue;
        size_t i = colon + 1;
        while (i < line.size() && line[i] == ' ') i++;
        long long v = 0;
        size_t digits = 0;
        while (i < line.size() && isdigit((unsigned char)line[i]) && digits < 12) {
            v = v * 10 + (line[i++] - '0');
            digits++;
        }
        while (i < line.size() && line[i] == ' ') i++;
        if (!digits || i != line.size()) bad = "Content-Length is not a number";
        else length = v;
    }
    if (bad.empty() && length < 0) bad = "a message header without Content-Length";
    if (bad.empty() && (unsigned long long)length > MAX_BODY_BYTES) bad = "a message longer than 16 MiB";
    if (!bad.empty()) {
        pos_ = end + 4;
        out->error = bad;
        return true;
    }
    if (buffer_.size() - (end + 4) < (size_t)length) return false;
    const char *body = buffer_.data() + end + 4;
    pos_ = end + 4 + (size_t)length;
    // Nested too deep, a message would overflow the stack when it is
    // copied or written; it is refused unparsed, answered by its seq when
    // that can be read.
    if (json_depth(body, (size_t)length) > JSON_MAX_DEPTH) {
        peek_request(body, (size_t)length, out);
        out->error = "a message nested deeper than " + std::to_string(JSON_MAX_DEPTH) + " levels";
        return true;
    }
    json j = json::parse(body, body + length, nullptr, false);
    if (j.is_discarded()) {
        peek_request(body, (size_t)length, out);
        out->error = "a message that is not JSON";
        return true;
    }
    if (!j.is_object()) {
        out->error = "a message that is not a JSON object";
        return true;
    }
    out->ok = true;
    out->message = std::move(j);
    return true;
}

std::string encode(const json &message)
{
    const std::string body = message.dump(-1, ' ', false, json::error_handler_t::replace);
    return "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string check_request(const json &m)
{
    if (!m.is_object()) return "a message that is not a JSON object";
    auto seq = m.find("seq");
    if (seq == m.end() || !seq->is_number_integer()) return "a message without an integer 'seq'";
    auto type = m.find("type");
    if (type == m.end() || !type->is_string()) return "a message without a 'type'";
    if (*type != "request") return "a message of type '" + type->get<std::string>().substr(0, 40) + "' (the adapter takes requests)";
    auto command = m.find("command");
    if (command == m.end() || !command->is_string() || command->get<std::string>().empty())
        return "a request without a 'command'";
    auto args = m.find("arguments");
    if (args != m.end() && !args->is_object() && !args->is_null()) return "'arguments' is not an object";
    return "";
}

bool arg_string(const json &args, const char *key, std::string *out, std::string *error, bool required)
{
    auto it = args.is_object() ? args.find(key) : args.end();
    if (!args.is_object() || it == args.end() || it->is_null()) {
        if (required) *error = std::string("'") + key + "' is missing";
        return !required;
    }
    if (!it->is_string()) {
        *error = std::string("'") + key + "' is not a string";
        return false;
    }
    *out = it->get<std::string>();
    return true;
}

bool arg_int(const json &args, const char *key, int64_t min, int64_t max, int64_t *out, std::string *error, bool required)
{
    auto it = args.is_object() ? args.find(key) : args.end();
    if (!args.is_object() || it == args.end() || it->is_null()) {
        if (required) *error = std::string("'") + key + "' is missing";
        return !required;
    }
    if (!it->is_number_integer()) {
        *error = std::string("'") + key + "' is not an integer";
        return false;
    }
    const int64_t v = it->is_number_unsigned() && it->get<uint64_t>() > (uint64_t)INT64_MAX ? INT64_MAX : it->get<int64_t>();
    if (v < min || v > max) {
        *error = std::string("'") + key + "' is " + std::to_string(v) + ", outside " + std::to_string(min) + ".." +
                 std::to_string(max);
        return false;
    }
    *out = v;
    return true;
}

bool arg_bool(const json &args, const char *key, bool *out, std::string *error)
{
    auto it = args.is_object() ? args.find(key) : args.end();
    if (!args.is_object() || it == args.end() || it->is_null()) return true;
    if (!it->is_boolean()) {
        *error = std::string("'") + key + "' is not true or false";
        return false;
    }
    *out = it->get<bool>();
    return true;
}

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::string base64_encode(const std::string &bytes)
{
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const uint32_t b0 = (uint8_t)bytes[i], b1 = i + 1 < bytes.size() ? (uint8_t)bytes[i + 1] : 0,
                       b2 = i + 2 < bytes.size() ? (uint8_t)bytes[i + 2] : 0;
        const uint32_t v = b0 << 16 | b1 << 8 | b2;
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[v & 63] : '=';
    }
    return out;
}

bool base64_decode(const std::string &text, std::string *bytes)
{
    bytes->clear();
    uint32_t v = 0;
    int bits = 0;
    size_t pad = 0;
    for (char c : text) {
        if (c == '=') {
            pad++;
            continue;
        }
        if (pad) return false;   // data after padding
        const char *p = c ? strchr(kAlphabet, c) : nullptr;
        if (!p) return false;
        v = v << 6 | (uint32_t)(p - kAlphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            *bytes += (char)((v >> bits) & 0xFF);
        }
    }
    return pad <= 2 && (text.size() % 4 == 0 || pad == 0);
}

}  // namespace dap
