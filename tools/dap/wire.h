// The Debug Adapter Protocol's wire format: messages framed by a
// "Content-Length: N" header and an empty line, each a JSON object (a
// request, a response or an event). The reader takes bytes as they come
// and hands out whole messages; it never trusts the peer: a header that is
// not one, a length out of bounds or a body that is not a JSON object is
// an error of that message, after which the reader looks for the next
// header.
#pragma once

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

namespace dap {

using json = nlohmann::json;

constexpr size_t MAX_HEADER_BYTES = 4096;        // the header lines of one message
constexpr size_t MAX_BODY_BYTES = 16u << 20;     // one message's JSON

// One frame taken from the stream: a message, or the reason it is not one.
struct frame {
    bool ok = false;
    json message;        // when ok: a JSON object
    std::string error;   // when not ok
    int64_t seq = 0;     // a request's seq when one could be read from a bad message (else 0)
    std::string command; // and its command
};

class reader {
public:
    // Adds bytes received.
    void feed(const char *data, size_t size) { buffer_.append(data, size); }
    // Takes the next frame when one is complete: true with *out set; false
    // when more bytes are needed.
    bool next(frame *out);
    // Bytes received but not yet taken.
    size_t pending() const { return buffer_.size() - pos_; }

private:
    std::string buffer_;
    size_t pos_ = 0;
    void compact();
};

// Frames a message for sending.
std::string encode(const json &message);

// Checks that a message is a request the adapter can answer: an object
// with an integer "seq", "type" "request", a string "command" and, when
// present, an object "arguments". Empty when it is; else why not.
std::string check_request(const json &message);

// Reads a typed member of a request's arguments. Each returns false with
// *error naming the member when it is there but of another type, or
// missing while required.
bool arg_string(const json &args, const char *key, std::string *out, std::string *error, bool required = false);
bool arg_int(const json &args, const char *key, int64_t min, int64_t max, int64_t *out, std::string *error,
             bool required = false);
bool arg_bool(const json &args, const char *key, bool *out, std::string *error);

// Base64 (RFC 4648, with padding), for readMemory and writeMemory.
std::string base64_encode(const std::string &bytes);
bool base64_decode(const std::string &text, std::string *bytes);

}  // namespace dap
