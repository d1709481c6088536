// Input movies (movie.h): the timeline's record written as JSON and read
// back into the timeline's recorded future.
#include "state/movie.h"

#include <cstring>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/files.h"
#include "host/json_read.h"
#include "state/checksum.h"
#include "machine/machine_state.h"
#include "state/timeline.h"

using ojson = nlohmann::ordered_json;

static constexpr const char *MAGIC = "ovix movie";

static bool from_hex(const std::string &s, std::vector<uint8> *out)
{
    if (s.size() % 2) return false;
    out->resize(s.size() / 2);
    for (size_t i = 0; i < s.size(); i += 2) {
        int v = 0;
        for (int k = 0; k < 2; k++) {
            const char c = s[i + k];
            const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (d < 0) return false;
            v = v * 16 + d;
        }
        (*out)[i / 2] = (uint8)v;
    }
    return true;
}

static std::string state_hex(const machine_state &m)
{
    std::vector<uint8> bytes(MACHINE_STATE_BYTES);
    machine_state_write(m, bytes.data());
    return hex_text(bytes.data(), bytes.size());
}

std::string movie_text()
{
    const machine_state &origin = tl_origin();
    ojson j;
    j["magic"] = MAGIC;
    j["version"] = MOVIE_VERSION;
    j["bios_sha256"] = hex_text(origin.bios_sha256, sizeof origin.bios_sha256);
    j["cartridge_sha256"] = hex_text(origin.cartridge_sha256, sizeof origin.cartridge_sha256);
    j["start"] = state_hex(origin);
    j["end"] = tl_end_pass();
    ojson events = ojson::array();
    for (const tl_event &e : tl_events()) {
        if (e.pass > tl_end_pass()) break;
        switch (e.kind) {
        case TL_KEY: events.push_back({e.pass, "key", e.code, e.held_code, e.held_host}); break;
        case TL_FKEYS: events.push_back({e.pass, "fkeys", e.fkeys, e.last}); break;
        case TL_RESET: events.push_back({e.pass, "reset"}); break;
        case TL_STATE: events.push_back({e.pass, "state", state_hex(tl_state(e.state))}); break;
        }
    }
    j["events"] = events;
    j["checksum"] = json_checksum(j);
    return j.dump() + "\n";
}

bool movie_save(const char *path, std::string *error)
{
    if (!tl_active()) {
        *error = "no input is being recorded";
        return false;
    }
    const std::string text = movie_text();
    return write_file_atomic(path, text.data(), text.size(), error);
}

// ---------------------------------------------------------------------------
// Reading

namespace {

struct reader {
    std::string problem;
    bool fail(const std::string &why)
    {
        if (problem.empty()) problem = why;
        return false;
    }
    // An unsigned integer up to `max`.
    bool count(const ojson &v, const char *what, uint64 max, uint64 *out)
    {
        if (!v.is_number_unsigned() || v.get<uint64>() > max) return fail(std::string(what) + " is not a count");
        *out = v.get<uint64>();
        return true;
    }
    bool integer(const ojson &v, const char *what, int64 min, int64 max, int64 *out)
    {
        if (!v.is_number_integer()) return fail(std::string(what) + " is not an integer");
        const int64 x = v.is_number_unsigned() && v.get<uint64>() > (uint64)INT64_MAX ? INT64_MAX : v.get<int64>();
        if (x < min || x > max) return fail(std::string(what) + " is out of range");
        *out = x;
        return true;
    }
    bool state(const ojson &v, const char *what, machine_state *m)
    {
        std::vector<uint8> bytes;
        if (!v.is_string() || !from_hex(v.get<std::string>(), &bytes))
            return fail(std::string(what) + " is not a machine state in hexadecimal");
        std::string why;
        if (!machine_state_read(bytes.data(), bytes.size(), what, m, &why)) return fail(why);
        return true;
    }
};

bool refuse(std::string *error, const char *name, const std::string &why)
{
    *error = std::string(name) + why;
    return false;
}

}  // namespace

bool movie_load_bytes(const uint8 *data, size_t size, const char *name, std::string *error, uint64 *end_pass)
{
    if (size == 0) return refuse(error, name, " is empty: a truncated movie or not a movie at all");
    if (size > MOVIE_MAX_BYTES) return refuse(error, name, " is larger than a movie may be (64 MiB)");
    static const char start[] = "{\"magic\":\"ovix movie\"";
    if (size < sizeof start - 1 ? memcmp(data, start, size) == 0 : false)
        return refuse(error, name, " is truncated: it ends inside the movie's magic");
    if (size < sizeof start - 1 || memcmp(data, start, sizeof start - 1) != 0)
        return refuse(error, name, " is not a movie: it does not begin with {\"magic\":\"ovix movie\"");
    // Read member by member: the events one at a time into the text the
    // checksum covers, each remembered by where it lies there; the other
    // members whole. A movie's parse then takes a few times its size.
    std::string covered = "{";   // the compact JSON of every member but the checksum, in file order
    covered.reserve(size + 2);   // the writer's text is that JSON, with the checksum
    std::vector<std::pair<uint32, uint32>> event_at;   // each event's place in `covered` (64 MiB at most)
    bool events_listed = false;
    json_member_stream<ojson> in;
    in.streamed = {"events"};
    auto add_member = [&](const std::string &member) {
        if (covered.size() > 1) covered += ',';
        covered += ojson(member).dump() + ":";
    };
    in.on_begin = [&](const std::string &member) {
        add_member(member);
        covered += '[';
        events_listed = true;
        return true;
    };
    in.on_element = [&](const std::string &, ojson &&e) {
        if (covered.back() != '[') covered += ',';
        const size_t at = covered.size();
        covered += e.dump();
        event_at.emplace_back((uint32)at, (uint32)(covered.size() - at));
        return true;
    };
    in.on_member = [&](const std::string &member, const ojson *value) {
        if (!value) covered += ']';
        else if (member != "checksum") covered += (add_member(member), value->dump());
        return true;
    };
    bool parsed = false;
    try {
        parsed = ojson::sax_parse(data, data + size, &in);
    } catch (const nlohmann::json::exception &) {
        parsed = false;
    }
    if (!parsed) {
        if (in.refused) return refuse(error, name, " is corrupted: " + in.error);
        if (!in.error.empty() && in.error_byte > size)
            return refuse(error, name, " is truncated: it ends after " + std::to_string(size) + " bytes, inside the movie");
        return refuse(error, name, " is corrupted: not valid JSON");
    }
    covered += '}';
    const ojson &j = in.doc;
    reader r;
    uint64 version = 0;
    if (!j.contains("version") || !r.count(j["version"], "version", UINT32_MAX, &version))
        return refuse(error, name, " is corrupted: its version is missing or not a count");
    if (version != MOVIE_VERSION)
        return refuse(error, name, " is a movie of format version " + std::to_string(version) +
                                       "; this program reads version " + std::to_string(MOVIE_VERSION));
    if (!j.contains("checksum") || !j["checksum"].is_string() ||
        j["checksum"].get<std::string>() != sha256_hex(covered.data(), covered.size()))
        return refuse(error, name, " is corrupted: its checksum does not match its contents");
    for (const char *member : {"bios_sha256", "cartridge_sha256", "start", "end"})
        if (!j.contains(member)) return refuse(error, name, std::string(" is corrupted: member \"") + member + "\" is missing");
    if (!events_listed && !j.contains("events"))
        return refuse(error, name, " is corrupted: member \"events\" is missing");

    machine_state origin;
    if (!r.state(j["start"], "start", &origin)) return refuse(error, name, " is corrupted: " + r.problem);
    // The images: named in the movie, recorded in its start, loaded now.
    if (j["bios_sha256"] != hex_text(origin.bios_sha256, 32) || j["cartridge_sha256"] != hex_text(origin.cartridge_sha256, 32))
        return refuse(error, name, " is corrupted: its ROM hashes differ from those of its start");
    std::string why;
    if (!machine_state_check_images(origin, &why)) return refuse(error, name, why);
    uint64 end = 0;
    if (!r.count(j["end"], "end", UINT64_MAX / 2, &end)) return refuse(error, name, " is corrupted: " + r.problem);
    if (end < origin.machine_passes) return refuse(error, name, " is corrupted: it ends before it starts");

    if (!events_listed) return refuse(error, name, " is corrupted: \"events\" is not a list");
    std::vector<tl_event> events;
    std::vector<machine_state> states;
    events.reserve(event_at.size());
    uint64 last_pass = origin.machine_passes;
    for (size_t i = 0; i < event_at.size(); i++) {
        const ojson a = ojson::parse(covered.data() + event_at[i].first, covered.data() + event_at[i].first + event_at[i].second);
        const std::string where = "event " + std::to_string(i + 1);
        if (!a.is_array() || a.size() < 2 || !a[1].is_string())
            return refuse(error, name, " is corrupted: " + where + " is not [pass, kind, ...]");
        tl_event e;
        if (!r.count(a[0], where.c_str(), end, &e.pass)) return refuse(error, name, " is corrupted: " + r.problem + " up to the end");
        if (e.pass < last_pass) return refuse(error, name, " is corrupted: " + where + " comes before the one before it");
        const std::string kind = a[1].get<std::string>();
        int64 v;
        if (kind == "key" && a.size() == 5) {
            e.kind = TL_KEY;
            if (!r.integer(a[2], where.c_str(), -1, 255, &v)) break;
            e.code = (int32)v;
            if (!r.integer(a[3], where.c_str(), 0, 255, &v)) break;
            e.held_code = (int32)v;
            if (!r.integer(a[4], where.c_str(), 0, 127, &v)) break;
            e.held_host = (int32)v;
            if (e.pass == origin.machine_passes) return refuse(error, name, " is corrupted: " + where + " comes with the start");
        } else if (kind == "fkeys" && a.size() == 4) {
            e.kind = TL_FKEYS;
            if (!r.integer(a[2], where.c_str(), 1, 3, &v)) break;
            e.fkeys = (uint8)v;
            if (!r.count(a[3], where.c_str(), end, &e.last)) break;
            if (e.pass <= origin.machine_passes || e.last < e.pass)
                return refuse(error, name, " is corrupted: " + where + " holds keys over passes it cannot");
        } else if (kind == "reset" && a.size() == 2) {
            e.kind = TL_RESET;
        } else if (kind == "state" && a.size() == 3) {
            e.kind = TL_STATE;
            states.emplace_back();
            if (!r.state(a[2], where.c_str(), &states.back())) break;
            if (states.back().machine_passes != e.pass || machine_state_check_images(states.back(), &why) == false)
                return refuse(error, name, " is corrupted: " + where + " holds a state of another time or images");
            e.state = (uint32)(states.size() - 1);
        } else {
            return refuse(error, name, " is corrupted: " + where + " is not a known kind of input");
        }
        last_pass = e.pass;
        events.push_back(e);
    }
    if (!r.problem.empty()) return refuse(error, name, " is corrupted: " + r.problem);
    tl_load_future(origin, std::move(events), std::move(states), end);
    if (end_pass) *end_pass = end;
    return true;
}

bool movie_load(const char *path, std::string *error, uint64 *end_pass)
{
    std::string text;
    long long size = 0;
    switch (read_input_file(path, (long long)MOVIE_MAX_BYTES, &text, &size, error)) {
    case input_read::ok: break;
    case input_read::not_opened: return false;
    case input_read::too_big: *error = std::string(path) + " is larger than a movie may be (64 MiB)"; return false;
    case input_read::read_error: *error = std::string(path) + ": read error"; return false;
    }
    return movie_load_bytes(reinterpret_cast<const uint8 *>(text.data()), text.size(), path, error, end_pass);
}
