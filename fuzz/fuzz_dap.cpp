// The debug adapter's message parsing on hostile bytes: the input is a
// stream from a client, cut into reads of a size its first byte chooses,
// framed by the reader and handled by a session that starts no machine.
// Every frame taken (a message or a malformed one) gets exactly one
// response, every message the adapter sends is well framed JSON, and the
// base64 decoder of writeMemory gives back what its encoder made.
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz_support.h"
#include "session.h"
#include "wire.h"

namespace {

constexpr size_t MAX_FRAMES = 500;

// Counts the responses among the framed messages of `out`, checking each.
size_t responses_in(const std::string &out)
{
    dap::reader r;
    r.feed(out.data(), out.size());
    dap::frame f;
    size_t n = 0;
    while (r.next(&f)) {
        FUZZ_CHECK(f.ok, "the adapter sent a bad frame: %s", f.error.c_str());
        const std::string type = f.message.value("type", std::string());
        FUZZ_CHECK(type == "response" || type == "event", "a message of type '%s'", type.c_str());
        if (type == "response") {
            FUZZ_CHECK(f.message.contains("success") && f.message.contains("request_seq"), "a response without its members");
            n++;
        }
    }
    FUZZ_CHECK(r.pending() == 0, "the adapter sent a cut frame");
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    const size_t chunk = 1 + data[0] % 64;
    const std::string stream(reinterpret_cast<const char *>(data) + 1, size - 1);
    dap::session_options options;
    options.allow_launch = false;
    dap::session s(options);
    dap::reader reader;
    size_t frames = 0, responses = 0;
    for (size_t at = 0; at < stream.size() && frames < MAX_FRAMES && !s.finished(); at += chunk) {
        reader.feed(stream.data() + at, std::min(chunk, stream.size() - at));
        dap::frame f;
        while (frames < MAX_FRAMES && !s.finished() && reader.next(&f)) {
            frames++;
            s.on_frame(f);
            responses += responses_in(s.take_output());
        }
    }
    FUZZ_CHECK(responses == frames, "%zu frames, %zu responses", frames, responses);

    // base64: what the encoder makes, the decoder takes back.
    std::string back;
    FUZZ_CHECK(dap::base64_decode(dap::base64_encode(stream), &back) && back == stream, "base64 round trip");
    dap::base64_decode(stream, &back);   // anything else: no crash
    return 0;
}
