// One debugging session of the adapter (session.h).
#include "session.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <filesystem>

#include <unistd.h>

#include "host/json_read.h"

namespace fs = std::filesystem;

namespace dap {

namespace {

constexpr int REPLY_TIMEOUT_MS = 30000;   // a command that runs nothing answers at once; a loaded machine is slow
constexpr int BACK_TIMEOUT_MS = 300000;   // going back runs again from keyframes, a line back many times
constexpr int MAX_LOG_LINES = 200;        // trace lines sent after a stop
// The machine's debugger engine keeps at most 256 breakpoints and 64
// watchpoints: a list of a kind longer than that is refused whole.
constexpr size_t MAX_POINTS = 256;
constexpr size_t MAX_WATCHPOINTS = 64;
constexpr int64_t MAX_LINE = 100000000;   // the console's bound of a line number

// Variables references of the scopes.
enum : int { REF_REGISTERS = 1, REF_REGISTER_FILE, REF_PERIPHERALS, REF_VIDEO, REF_SYMBOLS };

std::string hex(unsigned v, int digits)
{
    char t[16];
    snprintf(t, sizeof t, "%0*X", digits, v);
    return t;
}

std::string reference(unsigned address) { return "0x" + hex(address, 4); }

// A memory or instruction reference: "0x6002", "6002", "$6002".
bool parse_reference(const std::string &text, int64_t *out)
{
    std::string t = text;
    if (t.rfind("0x", 0) == 0 || t.rfind("0X", 0) == 0) t = t.substr(2);
    else if (!t.empty() && t[0] == '$') t = t.substr(1);
    if (t.empty() || t.size() > 8) return false;
    int64_t v = 0;
    for (char c : t) {
        if (!isxdigit((unsigned char)c)) return false;
        v = v * 16 + (isdigit((unsigned char)c) ? c - '0' : toupper((unsigned char)c) - 'A' + 10);
    }
    *out = v;
    return true;
}

// The console's value text: "60C4 (#24772)".
std::string value_text(int64_t v)
{
    char t[64];
    if (v < 0) snprintf(t, sizeof t, "-%" PRIX64 " (#%" PRId64 ")", (uint64_t)(-(v + 1)) + 1, v);
    else snprintf(t, sizeof t, "%" PRIX64 " (#%" PRId64 ")", (uint64_t)v, v);
    return t;
}

// A text fit for a console command line: one line, no control characters.
bool one_line(const std::string &t)
{
    for (unsigned char c : t)
        if (c < 0x20 && c != '\t') return false;
    return t.size() < 2000;
}

// A path that goes into a console command: no line breaks or other
// control characters, which would end the command there.
bool has_control(const std::string &t)
{
    for (unsigned char c : t)
        if (c < 0x20 && c != '\t') return true;
    return false;
}

std::string file_name(const std::string &path) { return fs::path(path).filename().string(); }

// A request's arguments, without a copy: an empty object when it has none.
const json &arguments_of(const json &request)
{
    static const json none = json::object();
    auto it = request.find("arguments");
    return it != request.end() && it->is_object() ? *it : none;
}

// A reply line of the machine's console (discarded when it is not JSON,
// or nested deeper than any reply is).
json parse_reply(const std::string &line)
{
    if (json_depth(line.data(), line.size()) > JSON_MAX_DEPTH) return json(json::value_t::discarded);
    return json::parse(line, nullptr, false);
}

}  // namespace

session::session(const session_options &options) : opt_(options) {}

session::~session() { end_machine(); }

// A run reads its interruption only once it has started: a SIGINT that
// came between the command's arrival and the start of its run is lost, so
// it is sent again until the run answers.
constexpr int INTERRUPT_REPEAT_MS = 100;

int session::poll_timeout() const { return pausing_ && running_ != run_kind::none ? INTERRUPT_REPEAT_MS : -1; }

void session::on_timeout()
{
    if (pausing_ && running_ != run_kind::none && machine_) machine_->interrupt();
}

int session::child_out_fd() const { return machine_ && machine_->alive() ? machine_->out_fd() : -1; }
int session::child_err_fd() const { return machine_ && machine_->alive() ? machine_->err_fd() : -1; }

std::string session::take_output()
{
    std::string o;
    o.swap(out_);
    return o;
}

// ---------------------------------------------------------------------------
// Output.

void session::respond(const json &request, const json &body)
{
    json m = {{"seq", seq_++},
              {"type", "response"},
              {"request_seq", request.value("seq", json(0))},
              {"success", true},
              {"command", request.value("command", json(""))}};
    if (!body.empty()) m["body"] = body;
    out_ += encode(m);
}

void session::fail(const json &request, const std::string &message)
{
    json m = {{"seq", seq_++},
              {"type", "response"},
              {"request_seq", request.is_object() && request.contains("seq") && request["seq"].is_number_integer() ? request["seq"] : json(0)},
              {"success", false},
              {"command", request.is_object() && request.contains("command") && request["command"].is_string() ? request["command"] : json("")},
              {"message", message},
              {"body", {{"error", {{"id", 1}, {"format", message}, {"showUser", false}}}}}};
    out_ += encode(m);
}

void session::event(const std::string &name, const json &body)
{
    json m = {{"seq", seq_++}, {"type", "event"}, {"event", name}};
    if (!body.empty()) m["body"] = body;
    out_ += encode(m);
}

void session::output(const std::string &category, const std::string &text)
{
    event("output", {{"category", category}, {"output", text}});
}

// ---------------------------------------------------------------------------
// Frames.

void session::on_frame(const frame &f)
{
    if (finished_) return;
    if (!f.ok) {
        // Nothing of it can be trusted: answer as well as one can.
        fail(json{{"seq", f.seq}, {"command", f.command}}, "malformed message: " + f.error);
        return;
    }
    const std::string problem = check_request(f.message);
    if (!problem.empty()) {
        fail(f.message, "malformed message: " + problem);
        return;
    }
    if (running_ == run_kind::step || running_ == run_kind::entry) {
        const std::string c = f.message["command"];
        if (c != "pause" && c != "disconnect" && c != "terminate" && c != "threads") {
            deferred_.push_back(f);
            return;
        }
    }
    dispatch(f.message);
}

void session::dispatch(const json &r)
{
    typedef void (session::*handler)(const json &);
    static const std::map<std::string, handler> handlers = {
        {"initialize", &session::on_initialize},
        {"launch", &session::on_launch},
        {"attach", &session::on_attach},
        {"configurationDone", &session::on_configuration_done},
        {"setBreakpoints", &session::on_set_breakpoints},
        {"setFunctionBreakpoints", &session::on_set_function_breakpoints},
        {"setInstructionBreakpoints", &session::on_set_instruction_breakpoints},
        {"dataBreakpointInfo", &session::on_data_breakpoint_info},
        {"setDataBreakpoints", &session::on_set_data_breakpoints},
        {"setExceptionBreakpoints", &session::on_set_exception_breakpoints},
        {"threads", &session::on_threads},
        {"stackTrace", &session::on_stack_trace},
        {"scopes", &session::on_scopes},
        {"variables", &session::on_variables},
        {"setVariable", &session::on_set_variable},
        {"evaluate", &session::on_evaluate},
        {"readMemory", &session::on_read_memory},
        {"writeMemory", &session::on_write_memory},
        {"disassemble", &session::on_disassemble},
        {"continue", &session::on_continue},
        {"next", &session::on_next},
        {"stepIn", &session::on_step_in},
        {"stepOut", &session::on_step_out},
        {"stepBack", &session::on_step_back},
        {"reverseContinue", &session::on_reverse_continue},
        {"pause", &session::on_pause},
        {"restart", &session::on_restart},
        {"terminate", &session::on_terminate},
        {"disconnect", &session::on_disconnect},
    };
    const std::string command = r["command"];
    auto it = handlers.find(command);
    if (it == handlers.end()) return fail(r, "unknown request '" + command.substr(0, 60) + "'");
    if (!initialized_ && command != "initialize") return fail(r, command + ": the session is not initialized (initialize first)");
    (this->*(it->second))(r);
}

// ---------------------------------------------------------------------------
// The machine.

std::string session::find_runner() const
{
    if (!opt_.runner.empty()) return opt_.runner;
    for (const char *rel : {"ovix-headless", "../headless/ovix-headless"}) {
        const fs::path p = fs::path(opt_.exe_dir) / rel;
        std::error_code ec;
        if (!opt_.exe_dir.empty() && fs::is_regular_file(p, ec)) return p.lexically_normal().string();
    }
    return "ovix-headless";
}

std::string session::find_window() const
{
    for (const char *rel : {"ovix", "../../src/main/ovix"}) {
        const fs::path p = fs::path(opt_.exe_dir) / rel;
        std::error_code ec;
        if (!opt_.exe_dir.empty() && fs::is_regular_file(p, ec)) return p.lexically_normal().string();
    }
    return "ovix";
}

std::string session::find_bios() const
{
    for (const char *rel : {"../share/ovix/bios/BIOS7020.bin", "../../roms/bios/BIOS7020.bin"}) {
        const fs::path p = fs::path(opt_.exe_dir) / rel;
        std::error_code ec;
        if (!opt_.exe_dir.empty() && fs::is_regular_file(p, ec)) return p.lexically_normal().string();
    }
    return "";
}

bool session::call(const std::string &command, json *reply, std::string *error, int timeout_ms)
{
    if (!machine_ || !machine_->alive()) {
        *error = "the machine has ended";
        return false;
    }
    if (running_ != run_kind::none) {
        *error = "the machine is running";
        return false;
    }
    // One command, one line: a line break would make a second command,
    // and every reply after it would answer the command before.
    if (has_control(command)) {
        *error = "a command holds a control character";
        return false;
    }
    std::string line;
    if (!machine_->send(command) || !machine_->wait_line(&line, timeout_ms ? timeout_ms : REPLY_TIMEOUT_MS)) {
        *error = "the machine did not answer '" + command.substr(0, 40) + "'";
        if (launched_) machine_gone(*error);   // at launch the caller says why
        return false;
    }
    json j = parse_reply(line);
    if (!j.is_object()) {
        *error = "the machine's answer is not JSON: " + line.substr(0, 200);
        return false;
    }
    *reply = std::move(j);
    if (!reply->value("ok", false)) {
        *error = reply->value("error", std::string("failed"));
        return false;
    }
    return true;
}

bool session::machine_ready(const json &r)
{
    if (!launched_ || !machine_ || !machine_->alive()) {
        fail(r, r["command"].get<std::string>() + ": no machine (launch first)");
        return false;
    }
    if (running_ != run_kind::none) {
        fail(r, r["command"].get<std::string>() + ": the machine is running (pause first)");
        return false;
    }
    return true;
}

void session::machine_gone(const std::string &why)
{
    if (!machine_) return;
    const std::string errors = machine_->take_errors();
    machine_->stop();
    std::string text = "The machine " + machine_->how_it_ended();
    if (!why.empty()) text += " (" + why + ")";
    output("stderr", text + "\n" + errors);
    machine_.reset();
    running_ = run_kind::none;
    if (launched_ && !terminated_) {
        terminated_ = true;
        event("terminated");
    }
}

void session::end_machine()
{
    if (!machine_) return;
    machine_->stop();
    machine_.reset();
    running_ = run_kind::none;
}

bool session::start_machine(const json &args, std::string *error)
{
    std::string cart, bios, cwd, runner;
    bool trace = false;
    if (!arg_string(args, "cart", &cart, error) || !arg_string(args, "bios", &bios, error) ||
        !arg_string(args, "cwd", &cwd, error) || !arg_string(args, "runner", &runner, error) ||
        !arg_bool(args, "trace", &trace, error) || !arg_bool(args, "stopOnEntry", &stop_on_entry_, error) ||
        !arg_bool(args, "noDebug", &no_debug_, error))
        return false;
    trace_log_ = trace;
    if (!arg_bool(args, "traceLog", &trace_log_, error)) return false;
    call_.clear();
    if (!arg_string(args, "call", &call_, error)) return false;
    if (!call_.empty() && (!one_line(call_) || call_.find(' ') != std::string::npos)) {
        *error = "'call' is not a label";
        return false;
    }
    bool window = false;
    if (!arg_bool(args, "window", &window, error)) return false;
    if (window && trace) {
        *error = "'trace' is the windowless runner's (the window program writes no per-instruction listing)";
        return false;
    }
    std::error_code ec;
    const fs::path base = cwd.empty() ? fs::current_path(ec) : fs::absolute(cwd, ec);
    auto full = [&](const std::string &p) { return p.empty() ? p : (base / p).lexically_normal().string(); };
    cart = full(cart);
    if (!cwd.empty() && !fs::is_directory(base, ec)) {
        *error = "'cwd' " + cwd + " is not a folder";
        return false;
    }
    cwd_ = !cwd.empty() ? base.string() : !cart.empty() ? fs::path(cart).parent_path().string() : base.string();
    if (bios.empty()) {
        bios = find_bios();
        if (bios.empty()) {
            *error = "no BIOS: give 'bios' (our open BIOS is not installed beside ovix-dap)";
            return false;
        }
    } else {
        bios = full(bios);
    }
    // Debug information: as given, else the files beside the cartridge and
    // the BIOS ("game.dbg" for "game.rom").
    std::vector<std::string> infos, symbols;
    auto list = [&](const char *key, std::vector<std::string> *out) {
        auto it = args.find(key);
        if (it == args.end() || it->is_null()) return true;
        if (it->is_string()) {
            out->push_back(full(*it));
            return true;
        }
        if (!it->is_array()) {
            *error = std::string("'") + key + "' is not a list of files";
            return false;
        }
        for (const json &f : *it) {
            if (!f.is_string()) {
                *error = std::string("'") + key + "' is not a list of files";
                return false;
            }
            out->push_back(full(f));
        }
        return true;
    };
    if (!list("debugInfo", &infos) || !list("symbols", &symbols)) return false;
    const bool infos_given = args.contains("debugInfo") && !args["debugInfo"].is_null();
    const bool symbols_given = args.contains("symbols") && !args["symbols"].is_null();
    auto beside = [&](const std::string &image, const char *ext) {
        if (image.empty()) return std::string();
        fs::path p(image);
        p.replace_extension(ext);
        return fs::is_regular_file(p, ec) ? p.string() : std::string();
    };
    if (!infos_given) {
        for (const std::string &image : {bios, cart}) {
            const std::string d = beside(image, ".dbg");
            if (!d.empty()) infos.push_back(d);
        }
    }
    if (!symbols_given) {
        const std::string s = beside(cart, ".sym");
        if (!s.empty()) symbols.push_back(s);
    }

    // The runner, or with `window` the window program, which takes the same
    // commands on descriptor 3.
    std::vector<std::string> argv = {"--console", "--json", "--bios", bios};
    if (window) argv = {"--console-fd", "3", "--json", "--bios", bios};
    if (!cart.empty()) argv.insert(argv.end(), {"--cart", cart});
    for (const std::string &s : symbols) argv.insert(argv.end(), {"--symbols", s});
    if (trace) argv.push_back("--trace-all");
    const std::string program = window ? find_window() : runner.empty() ? find_runner() : full(runner);
    machine_ = std::make_unique<child>();
    if (!machine_->start(program, argv, cwd_, error, window)) {
        machine_.reset();
        return false;
    }
    json reply;
    std::string e;
    if (!call("regs", &reply, &e)) {
        std::string said = machine_ ? machine_->take_errors() : "";
        while (!said.empty() && said.back() == '\n') said.pop_back();
        // Only the first line: the runner's usage follows a usage error.
        if (said.find('\n') != std::string::npos) said = said.substr(0, said.find('\n'));
        *error = "the machine did not start" + (said.empty() ? " (" + e + ")" : ": " + said);
        end_machine();
        return false;
    }
    for (const std::string &d : infos) {
        // Each is loaded by a command line of the console.
        if (has_control(d)) {
            *error = "'debugInfo' names a file whose path holds a control character";
            end_machine();
            return false;
        }
        if (!call("debuginfo " + d, &reply, &e)) {
            *error = e;
            end_machine();
            return false;
        }
    }
    if (infos.empty()) output("console", "No debug information: breakpoints by source line cannot be set.\n");
    // The cartridge's entry: the word after its signature.
    entry_ = -1;
    if (!cart.empty() && call("mem 7FF0 A", &reply, &e)) {
        const json &b = reply["bytes"];
        std::string sig;
        for (int i = 0; i < 8; i++) sig += (char)b[i].get<int>();
        if (sig == "OVIXCART") entry_ = b[8].get<int>() << 8 | b[9].get<int>();
    }
    // A routine to call must be one: the launch fails now rather than the
    // session at the entry.
    if (!call_.empty()) {
        int64_t address = -1;
        std::string why;
        if (entry_ < 0) why = "the cartridge has no entry (no OVIXCART signature) to call it from";
        else if (!routine_address(&address, &why) && why.empty()) why = "not an address";
        if (!why.empty()) {
            *error = "cannot call " + call_ + ": " + why;
            end_machine();
            return false;
        }
    }
    if (trace_log_) call("log", &reply, &e);   // the start-up's lines are not the program's
    return true;
}

void session::send_log()
{
    if (!trace_log_) return;
    json reply;
    std::string e;
    if (!call("log", &reply, &e)) return;
    const json &lines = reply["lines"];
    if (!lines.is_array() || lines.empty()) return;
    std::string text;
    const size_t from = lines.size() > (size_t)MAX_LOG_LINES ? lines.size() - MAX_LOG_LINES : 0;
    if (from) text += "(" + std::to_string(from) + " earlier trace lines are in trace.log)\n";
    for (size_t i = from; i < lines.size(); i++) text += lines[i].get<std::string>() + "\n";
    output("stdout", text);
}

void session::start_run(const std::string &command, run_kind kind)
{
    if (!machine_ || !machine_->send(command)) return machine_gone("it stopped reading commands");
    running_ = kind;
    pausing_ = false;
}

void session::on_child()
{
    if (!machine_) return;
    machine_->pump();
    std::string line;
    while (machine_ && running_ != run_kind::none && machine_->take_line(&line)) {
        const run_kind kind = running_;
        running_ = run_kind::none;
        json reply = parse_reply(line);
        if (!reply.is_object()) reply = json{{"ok", false}, {"error", "an answer that is not JSON"}};
        run_ended(reply, kind);
        // Requests that waited for the step.
        std::vector<frame> waiting;
        waiting.swap(deferred_);
        for (const frame &f : waiting) {
            if (running_ == run_kind::none) {
                dispatch(f.message);
            } else {
                deferred_.push_back(f);
            }
        }
    }
    if (machine_) {
        const std::string errors = machine_->take_errors();
        if (!errors.empty()) output("stderr", errors);
        if (!machine_->alive()) machine_gone("");
    }
}

void session::run_ended(const json &reply, run_kind kind)
{
    if (!reply.value("ok", false)) {
        output("stderr", reply.value("error", std::string("the run failed")) + "\n");
        event("stopped", {{"reason", "exception"}, {"threadId", 1}, {"allThreadsStopped", true},
                          {"description", "the run failed"}, {"text", reply.value("error", std::string(""))}});
        return;
    }
    const json stop = reply.value("stopped", json::object());
    const std::string why = stop.value("reason", std::string(""));
    const std::string text = stop.value("text", std::string(""));
    // At the entry with a routine to call: the call, then a stop there or a run.
    if (kind == run_kind::entry && !call_.empty() && why == "break" && !engine_points_.count(stop.value("id", 0))) {
        std::string error;
        if (!call_routine(&error)) {
            output("stderr", "call " + call_ + ": " + error + "\n");
            event("stopped", {{"reason", "exception"}, {"threadId", 1}, {"allThreadsStopped", true},
                              {"description", "cannot call " + call_}, {"text", error}});
            return;
        }
        if (!stop_on_entry_) return start_run("continue", run_kind::cont);
        event("stopped", {{"reason", "entry"}, {"threadId", 1}, {"allThreadsStopped", true},
                          {"description", "Called " + call_}});
        return;
    }
    json body = {{"threadId", 1}, {"allThreadsStopped", true}, {"description", text}};
    std::string reason = "pause";
    if (why == "break") {
        const int id = stop.value("id", 0);
        auto it = engine_points_.find(id);
        if (kind == run_kind::entry && it == engine_points_.end()) {
            reason = "entry";
        } else if (it != engine_points_.end()) {
            reason = it->second.second;
            body["hitBreakpointIds"] = json::array({it->second.first});
        } else {
            reason = "breakpoint";
        }
    } else if (why == "watch") {
        reason = "data breakpoint";
        auto it = engine_points_.find(stop.value("id", 0));
        if (it != engine_points_.end()) body["hitBreakpointIds"] = json::array({it->second.first});
    } else if (why == "step") {
        reason = "step";
    } else if (why == "unwritten" || why == "error") {
        reason = "exception";
        body["text"] = text;
    } else if (why == "debugger") {
        const bool interrupted = text.rfind("Stopped: interrupted", 0) == 0;
        reason = interrupted ? "pause" : "exception";
        if (!interrupted) body["text"] = text;
    } else if (why == "pc" && kind == run_kind::entry) {
        reason = "entry";
    }
    body["reason"] = reason;
    if (!text.empty()) output("console", text + "\n");
    send_log();
    event("stopped", body);
}

// A change of points while a continue runs: stop it, say whether it was
// our interruption (then it goes on after the change) or a stop of its own
// that came first (then *stop holds it, to be reported).
bool session::interrupt_for_change(bool *resume, json *stop)
{
    *resume = false;
    if (running_ == run_kind::none) return true;
    std::string line;
    bool answered = false;
    for (int waited = 0; !answered && waited < REPLY_TIMEOUT_MS && machine_->alive(); waited += INTERRUPT_REPEAT_MS) {
        machine_->interrupt();
        answered = machine_->wait_line(&line, INTERRUPT_REPEAT_MS);
    }
    if (!answered) {
        machine_gone("it did not stop when asked");
        return false;
    }
    running_ = run_kind::none;
    json reply = parse_reply(line);
    if (!reply.is_object()) reply = json::object();
    const json st = reply.value("stopped", json::object());
    if (st.value("reason", std::string("")) == "debugger" &&
        st.value("text", std::string("")).rfind("Stopped: interrupted", 0) == 0 && !pausing_) {
        *resume = true;
    } else {
        *stop = reply;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Points.

json session::source_json(const std::string &path)
{
    auto it = source_refs_.find(path);
    if (it != source_refs_.end()) return it->second;
    return {{"name", file_name(path)}, {"path", path}};
}

json session::point_json(const source_point &p, const std::string &path)
{
    json j = {{"id", p.id}, {"verified", p.verified}, {"source", source_json(path)}};
    const int line = p.verified ? p.actual : p.line;
    j["line"] = lines_from_1_ ? line : line - 1;
    if (!p.message.empty()) j["message"] = p.message;
    if (p.verified && p.address >= 0) j["instructionReference"] = reference((unsigned)p.address);
    return j;
}

json session::point_json(const other_point &p)
{
    json j = {{"id", p.id}, {"verified", p.verified}};
    if (!p.message.empty()) j["message"] = p.message;
    return j;
}

// " hit N if CONDITION" from a breakpoint's hitCondition and condition.
bool session::hit_and_condition(const json &asked, std::string *suffix, std::string *error)
{
    std::string condition, hit;
    if (!arg_string(asked, "condition", &condition, error) || !arg_string(asked, "hitCondition", &hit, error)) return false;
    if (!one_line(condition) || !one_line(hit)) {
        *error = "a condition is one line of text";
        return false;
    }
    suffix->clear();
    // The console's hit rules: N, =N, >N, %N (a leading ">=" is N).
    std::string h = hit;
    h.erase(std::remove(h.begin(), h.end(), ' '), h.end());
    if (h.rfind(">=", 0) == 0) h = h.substr(2);
    if (h.rfind("==", 0) == 0) h = h.substr(1);
    if (!h.empty()) *suffix += " hit " + h;
    if (condition.find_first_not_of(" \t") != std::string::npos) *suffix += " if " + condition;
    return true;
}

void session::apply_source(const std::string &path, bool delete_old)
{
    std::vector<source_point> &points = sources_[path];
    json reply;
    std::string e;
    if (delete_old) {
        std::string ids;
        for (source_point &p : points)
            for (int id : p.engine) {
                ids += ' ';
                ids += std::to_string(id);
                engine_points_.erase(id);
            }
        if (!ids.empty()) call("delete" + ids, &reply, &e);
    }
    for (source_point &p : points) {
        p.engine.clear();
        p.verified = false;
        p.message.clear();
        if (no_debug_) continue;
        if (path.find('"') != std::string::npos) {
            p.message = "a path with a double quote cannot be given to the machine";
            continue;
        }
        if (has_control(path)) {
            p.message = "a path with a control character cannot be given to the machine";
            continue;
        }
        std::string suffix;
        json asked = {{"condition", p.condition}, {"hitCondition", p.hit}};
        if (!hit_and_condition(asked, &suffix, &e)) {
            p.message = e;
            continue;
        }
        std::string command = "breakline \"";
        command += path;
        command += "\":" + std::to_string(p.line) + suffix;
        if (!call(command, &reply, &e)) {
            p.message = e;
            const std::string prefix = "breakline: ";
            if (p.message.rfind(prefix, 0) == 0) p.message = p.message.substr(prefix.size());
            continue;
        }
        p.verified = true;
        p.actual = reply.value("line", p.line);
        p.address = reply["addresses"].empty() ? -1 : reply["addresses"][0].get<int>();
        for (const json &id : reply["ids"]) {
            p.engine.push_back(id.get<int>());
            engine_points_[id.get<int>()] = {p.id, "breakpoint"};
        }
    }
}

void session::apply_others(std::vector<other_point> &points, const char *kind, bool delete_old)
{
    json reply;
    std::string e;
    static const std::map<std::string, std::string> owners = {
        {"function", "function"}, {"instruction", "instruction"}, {"data", "data"}};
    if (delete_old) {
        call("clear " + owners.at(kind), &reply, &e);
        for (other_point &p : points)
            for (int id : p.engine) engine_points_.erase(id);
    }
    for (other_point &p : points) {
        p.engine.clear();
        p.verified = false;
        p.message.clear();
        if (no_debug_) continue;
        std::string suffix, command;
        if (!hit_and_condition(p.asked, &suffix, &e)) {
            p.message = e;
            continue;
        }
        if (std::string(kind) == "function") {
            std::string name;
            if (!arg_string(p.asked, "name", &name, &e, true) || name.empty() || !one_line(name) ||
                name.find(' ') != std::string::npos) {
                p.message = e.empty() ? "a label is needed" : e;
                continue;
            }
            command = "fbreak " + name + suffix;
            p.reason = "function breakpoint";
        } else if (std::string(kind) == "instruction") {
            std::string ref;
            int64_t address = 0, offset = 0;
            if (!arg_string(p.asked, "instructionReference", &ref, &e, true) || !parse_reference(ref, &address) ||
                !arg_int(p.asked, "offset", INT32_MIN, INT32_MAX, &offset, &e)) {
                p.message = e.empty() ? "'" + ref + "' is not an address" : e;
                continue;
            }
            address += offset;
            if (address < 0 || address > 0xFFFF) {
                p.message = "the address is outside 0000-FFFF";
                continue;
            }
            command = "ibreak " + hex((unsigned)address, 4) + suffix;
            p.reason = "instruction breakpoint";
        } else {
            std::string id, access = "write";
            if (!arg_string(p.asked, "dataId", &id, &e, true) || !arg_string(p.asked, "accessType", &access, &e)) {
                p.message = e;
                continue;
            }
            const char *rw = access == "read" ? "r" : access == "readWrite" ? "rw" : access == "write" ? "w" : nullptr;
            int64_t a = 0, b = 0;
            const size_t dash = id.find('-');
            const bool good = dash == std::string::npos ? parse_reference(id, &a) && (b = a, true)
                                                         : parse_reference(id.substr(0, dash), &a) && parse_reference(id.substr(dash + 1), &b);
            if (!rw || !good || a > b || b > 0xFFFF) {
                p.message = !rw ? "accessType '" + access + "' is not read, write or readWrite" : "'" + id + "' is not a data id of this adapter";
                continue;
            }
            command = std::string("dwatch ") + rw + " " + hex((unsigned)a, 4) + (a == b ? "" : "-" + hex((unsigned)b, 4)) + suffix;
            p.reason = "data breakpoint";
        }
        if (!call(command, &reply, &e)) {
            p.message = e;
            continue;
        }
        const json &point = reply.contains("breakpoint") ? reply["breakpoint"] : reply["watchpoint"];
        p.engine.push_back(point["id"].get<int>());
        p.verified = true;
        engine_points_[point["id"].get<int>()] = {p.id, p.reason};
    }
}

void session::apply_all()
{
    engine_points_.clear();
    for (auto &[path, points] : sources_) apply_source(path, false);
    apply_others(functions_, "function", false);
    apply_others(instructions_, "instruction", false);
    apply_others(data_, "data", false);
    json reply;
    std::string e;
    call(std::string("unwritten ") + (unwritten_filter_ && !no_debug_ ? "on" : "off"), &reply, &e);
}

// ---------------------------------------------------------------------------
// Requests: the session.

void session::on_initialize(const json &r)
{
    if (initialized_) return fail(r, "initialize: the session is already initialized");
    const json &args = arguments_of(r);
    std::string e, format = "path";
    bool l1 = true, c1 = true;
    if (!arg_bool(args, "linesStartAt1", &l1, &e) || !arg_bool(args, "columnsStartAt1", &c1, &e) ||
        !arg_string(args, "pathFormat", &format, &e))
        return fail(r, "initialize: " + e);
    if (format != "path") return fail(r, "initialize: pathFormat '" + format + "': this adapter takes paths");
    lines_from_1_ = l1;
    columns_from_1_ = c1;
    initialized_ = true;
    json caps = {
        {"supportsConfigurationDoneRequest", true},
        {"supportsFunctionBreakpoints", true},
        {"supportsConditionalBreakpoints", true},
        {"supportsHitConditionalBreakpoints", true},
        {"supportsEvaluateForHovers", true},
        {"supportsSetVariable", true},
        {"supportsRestartRequest", true},
        {"supportsTerminateRequest", true},
        {"supportsDataBreakpoints", true},
        {"supportsReadMemoryRequest", true},
        {"supportsWriteMemoryRequest", true},
        {"supportsDisassembleRequest", true},
        {"supportsInstructionBreakpoints", true},
        {"supportsSteppingGranularity", true},
        {"supportsStepBack", true},
        {"exceptionBreakpointFilters",
         json::array({{{"filter", "unwritten"},
                       {"label", "Executing a byte no source line produced"},
                       {"description", "Stops when the program runs into bytes no source line produced (its fill)"},
                       {"default", true}}})},
    };
    respond(r, caps);
}

void session::on_launch(const json &r)
{
    if (launched_) return fail(r, "launch: the machine is already launched");
    if (!opt_.allow_launch) return fail(r, "launch: this adapter starts no machine here");
    const json &args = arguments_of(r);
    std::string error;
    if (!start_machine(args, &error)) return fail(r, "launch: " + error);
    launch_args_ = args;
    launched_ = true;
    terminated_ = false;
    apply_all();
    respond(r);
    event("process", {{"name", args.value("cart", std::string("BIOS"))}, {"startMethod", "launch"}, {"isLocalProcess", true}});
    event("initialized");
}

void session::on_attach(const json &r) { fail(r, "attach: this adapter starts its machine (use launch)"); }

void session::on_configuration_done(const json &r)
{
    if (!launched_) return fail(r, "configurationDone: no machine (launch first)");
    if (configured_) return fail(r, "configurationDone: the configuration is already done");
    configured_ = true;
    respond(r);
    start_program();
}

// The start after the configuration (and after a restart): to the entry
// when the program should stop there or a routine is called from there.
void session::start_program()
{
    if (entry_ >= 0 && (!call_.empty() || (stop_on_entry_ && !no_debug_)))
        return start_run("until " + hex((unsigned)entry_, 4), run_kind::entry);
    if (stop_on_entry_ && !no_debug_) {
        event("stopped", {{"reason", "entry"}, {"threadId", 1}, {"allThreadsStopped", true}});
        return;
    }
    start_run("continue", run_kind::cont);
}

// Calls the routine `call` as a CALL at the entry would: its return address
// (the entry) on the stack; the machine stops when it returns there.
bool session::routine_address(int64_t *address, std::string *error)
{
    json reply;
    if (!call("eval " + call_, &reply, error)) {
        if (error->rfind("eval: ", 0) == 0) *error = error->substr(6);
        return false;
    }
    *address = reply.value("value", (int64_t)-1);
    if (*address < 0 || *address > 0xFFFF) {
        *error = "not an address";
        return false;
    }
    return true;
}

bool session::call_routine(std::string *error)
{
    json reply;
    int64_t address = 0;
    if (!routine_address(&address, error)) return false;
    if (!call("regs", &reply, error)) return false;
    const int sp = reply["regs"]["sp"];
    if (sp + 2 > 0x7F) {
        *error = "the stack is full";
        return false;
    }
    const std::vector<std::string> commands = {
        "set R" + std::to_string(sp + 1) + "=" + hex((unsigned)entry_ >> 8, 2),
        "set R" + std::to_string(sp + 2) + "=" + hex((unsigned)entry_ & 0xFF, 2),
        "set SP=" + hex((unsigned)sp + 2, 2),
        "set PC=" + hex((unsigned)address, 4),
        "tbreak " + hex((unsigned)entry_, 4) + " if SP==" + hex((unsigned)sp, 2),
    };
    for (const std::string &c : commands)
        if (!call(c, &reply, error)) return false;
    return true;
}

void session::on_threads(const json &r) { respond(r, {{"threads", json::array({{{"id", 1}, {"name", "TMS7020"}}})}}); }

// ---------------------------------------------------------------------------
// Requests: breakpoints.

void session::on_set_breakpoints(const json &r)
{
    if (!launched_) return fail(r, "setBreakpoints: no machine (launch first)");
    const json &args = arguments_of(r);
    std::string e, path;
    if (!args.contains("source") || !args["source"].is_object()) return fail(r, "setBreakpoints: 'source' is missing");
    if (!arg_string(args["source"], "path", &path, &e, true)) return fail(r, "setBreakpoints: source " + e);
    // The path becomes part of a command line of the machine's console.
    if (has_control(path)) return fail(r, "setBreakpoints: the source path holds a control character");
    std::vector<source_point> points;
    // More than the machine can keep is refused before any is made.
    auto too_many = [&](const char *member) {
        const size_t n = args[member].size();
        if (n <= MAX_POINTS) return false;
        fail(r, "setBreakpoints: " + std::to_string(n) + " breakpoints in '" + member + "'; the machine keeps at most " +
                    std::to_string(MAX_POINTS));
        return true;
    };
    if (args.contains("breakpoints") && !args["breakpoints"].is_null()) {
        if (!args["breakpoints"].is_array()) return fail(r, "setBreakpoints: 'breakpoints' is not a list");
        if (too_many("breakpoints")) return;
        for (const json &b : args["breakpoints"]) {
            source_point p;
            int64_t line = 0;
            if (!b.is_object() || !arg_int(b, "line", lines_from_1_ ? 1 : 0, MAX_LINE, &line, &e, true) ||
                !arg_string(b, "condition", &p.condition, &e) || !arg_string(b, "hitCondition", &p.hit, &e) ||
                !arg_string(b, "logMessage", &p.log, &e))
                return fail(r, "setBreakpoints: a breakpoint: " + (e.empty() ? std::string("not an object") : e));
            p.line = (int)line + (lines_from_1_ ? 0 : 1);
            p.id = next_id_++;
            points.push_back(p);
        }
    } else if (args.contains("lines") && args["lines"].is_array()) {
        if (too_many("lines")) return;
        for (const json &l : args["lines"]) {
            if (!l.is_number_integer()) return fail(r, "setBreakpoints: 'lines' holds a value that is not a line");
            int64_t line = 0;
            if (!arg_int(json{{"lines", l}}, "lines", lines_from_1_ ? 1 : 0, MAX_LINE, &line, &e, true))
                return fail(r, "setBreakpoints: " + e);
            source_point p;
            p.line = (int)line + (lines_from_1_ ? 0 : 1);
            p.id = next_id_++;
            points.push_back(p);
        }
    }
    bool resume;
    json stop;
    if (!interrupt_for_change(&resume, &stop)) return fail(r, "setBreakpoints: the machine has ended");
    source_refs_[path] = args["source"];
    // The old points of the file go, then the new ones are set.
    std::vector<source_point> old = std::move(sources_[path]);
    std::string ids;
    for (const source_point &p : old)
        for (int id : p.engine) {
            ids += ' ';
                ids += std::to_string(id);
            engine_points_.erase(id);
        }
    json reply;
    if (!ids.empty()) call("delete" + ids, &reply, &e);
    sources_[path] = points;
    apply_source(path, false);
    json list = json::array();
    for (const source_point &p : sources_[path]) list.push_back(point_json(p, path));
    respond(r, {{"breakpoints", list}});
    if (resume) start_run("continue", run_kind::cont);
    else if (!stop.empty()) run_ended(stop, run_kind::cont);
}

// setFunctionBreakpoints, setInstructionBreakpoints, setDataBreakpoints:
// the whole list of a kind replaced at once.
namespace {
bool take_list(const json &args, size_t most, std::vector<json> *out, std::string *error)
{
    auto it = args.find("breakpoints");
    if (it == args.end() || !it->is_array()) {
        *error = "'breakpoints' is missing or not a list";
        return false;
    }
    if (it->size() > most) {
        *error = std::to_string(it->size()) + " breakpoints; the machine keeps at most " + std::to_string(most);
        return false;
    }
    for (const json &b : *it) {
        if (!b.is_object()) {
            *error = "a breakpoint that is not an object";
            return false;
        }
        out->push_back(b);
    }
    return true;
}
}  // namespace

#define REPLACE_KIND(handler, member, kind, name, most)                                             \
    void session::handler(const json &r)                                                            \
    {                                                                                               \
        if (!launched_) return fail(r, name ": no machine (launch first)");                         \
        const json &args = arguments_of(r);                                                         \
        std::vector<json> asked_points;                                                                    \
        std::string e;                                                                              \
        if (!take_list(args, most, &asked_points, &e)) return fail(r, std::string(name ": ") + e);  \
        bool resume;                                                                                \
        json stop;                                                                                  \
        if (!interrupt_for_change(&resume, &stop)) return fail(r, name ": the machine has ended");  \
        member.clear();                                                                             \
        for (const json &s : asked_points) member.push_back(other_point{next_id_++, s, {}, false, "", ""}); \
        apply_others(member, kind, true);                                                           \
        json list = json::array();                                                                  \
        for (const other_point &p : member) list.push_back(point_json(p));                          \
        respond(r, {{"breakpoints", list}});                                                        \
        if (resume) start_run("continue", run_kind::cont);                                          \
        else if (!stop.empty()) run_ended(stop, run_kind::cont);                                    \
    }

REPLACE_KIND(on_set_function_breakpoints, functions_, "function", "setFunctionBreakpoints", MAX_POINTS)
REPLACE_KIND(on_set_instruction_breakpoints, instructions_, "instruction", "setInstructionBreakpoints", MAX_POINTS)
REPLACE_KIND(on_set_data_breakpoints, data_, "data", "setDataBreakpoints", MAX_WATCHPOINTS)
#undef REPLACE_KIND

void session::on_data_breakpoint_info(const json &r)
{
    if (!machine_ready(r)) return;
    const json &args = arguments_of(r);
    std::string name, e;
    int64_t ref = 0, bytes = 1;
    bool as_address = false;
    if (!arg_string(args, "name", &name, &e, true) || !arg_int(args, "variablesReference", 0, INT32_MAX, &ref, &e) ||
        !arg_int(args, "bytes", 1, 0x10000, &bytes, &e) || !arg_bool(args, "asAddress", &as_address, &e))
        return fail(r, "dataBreakpointInfo: " + e);
    const json access = json::array({"read", "write", "readWrite"});
    auto answer = [&](int64_t address, const std::string &what) {
        const int64_t last = std::min<int64_t>(address + bytes - 1, 0xFFFF);
        const std::string id = hex((unsigned)address, 4) + (last > address ? "-" + hex((unsigned)last, 4) : "");
        respond(r, {{"dataId", id}, {"description", what + " (" + id + ")"}, {"accessTypes", access}, {"canPersist", true}});
    };
    auto none = [&](const std::string &why) { respond(r, {{"dataId", nullptr}, {"description", why}}); };
    json reply;
    if (ref == REF_REGISTERS) {
        if (name == "A") return answer(0, "A");
        if (name == "B") return answer(1, "B");
        return none(name + " is a register of the processor, not a byte of memory");
    }
    if (ref == REF_REGISTER_FILE || ref == REF_PERIPHERALS) {
        int64_t n = -1;
        if (name.size() >= 2 && (name[0] == 'R' || name[0] == 'P')) {
            n = 0;
            for (size_t i = 1; i < name.size() && n >= 0; i++) n = isdigit((unsigned char)name[i]) ? n * 10 + (name[i] - '0') : -1;
        }
        if (n < 0 || n > 255) return none(name + " cannot be watched");
        return answer(name[0] == 'R' ? n : 0x100 + n, name);
    }
    if (ref == REF_VIDEO) return none("the video chip's registers cannot be watched");
    // A name of the program, or an expression whose value is an address.
    if (!one_line(name) || name.empty()) return none("nothing to watch");
    if (call("names " + name, &reply, &e) && !reply["names"].empty()) {
        const json &n = reply["names"][0];
        const std::string kind = n.value("kind", std::string(""));
        const int64_t v = n.value("value", (int64_t)-1);
        if (kind == "label" && v >= 0) return answer(v, name);
        if (kind == "register" && v >= 0 && v < 128) return answer(v, name);
        if (kind == "port" && v >= 0 && v < 256) return answer(0x100 + v, name);
        return none(name + " is a " + kind + ", not a place in memory");
    }
    std::string expr = name;
    if (!as_address && name.size() > 2 && name.front() == '[' && name.back() == ']') expr = name.substr(1, name.size() - 2);
    if (call("eval " + expr, &reply, &e)) {
        const int64_t v = reply.value("value", (int64_t)-1);
        if (v >= 0 && v <= 0xFFFF) return answer(v, name);
    }
    none("'" + name + "' names no address");
}

void session::on_set_exception_breakpoints(const json &r)
{
    if (!launched_) return fail(r, "setExceptionBreakpoints: no machine (launch first)");
    const json &args = arguments_of(r);
    auto it = args.find("filters");
    if (it == args.end() || !it->is_array()) return fail(r, "setExceptionBreakpoints: 'filters' is missing or not a list");
    bool on = false;
    json list = json::array();
    for (const json &f : *it) {
        if (!f.is_string()) return fail(r, "setExceptionBreakpoints: a filter that is not a name");
        if (f == "unwritten") on = true;
        list.push_back({{"verified", f == "unwritten"}});
    }
    bool resume;
    json stop;
    if (!interrupt_for_change(&resume, &stop)) return fail(r, "setExceptionBreakpoints: the machine has ended");
    unwritten_filter_ = on;
    json reply;
    std::string e;
    call(std::string("unwritten ") + (on && !no_debug_ ? "on" : "off"), &reply, &e);
    respond(r, {{"breakpoints", list}});
    if (resume) start_run("continue", run_kind::cont);
    else if (!stop.empty()) run_ended(stop, run_kind::cont);
}

// ---------------------------------------------------------------------------
// Requests: the stopped machine.

void session::on_stack_trace(const json &r)
{
    if (!machine_ready(r)) return;
    const json &args = arguments_of(r);
    std::string e;
    int64_t thread = 0, start = 0, levels = 0;
    if (!arg_int(args, "threadId", 0, INT32_MAX, &thread, &e, true) || !arg_int(args, "startFrame", 0, INT32_MAX, &start, &e) ||
        !arg_int(args, "levels", 0, INT32_MAX, &levels, &e))
        return fail(r, "stackTrace: " + e);
    if (thread != 1) return fail(r, "stackTrace: there is no thread " + std::to_string(thread));
    json reply;
    if (!call("frames", &reply, &e)) return fail(r, "stackTrace: " + e);
    const json &frames = reply["frames"];
    json list = json::array();
    for (size_t i = (size_t)start; i < frames.size() && (levels == 0 || list.size() < (size_t)levels); i++) {
        const json &f = frames[i];
        const unsigned pc = f.value("pc", 0u);
        json j = {{"id", (int)i + 1},
                  {"name", f.value("name", std::string("?"))},
                  {"line", 0},
                  {"column", 0},
                  {"instructionPointerReference", reference(pc)}};
        if (f.contains("file")) {
            const std::string path = f["file"];
            j["source"] = source_json(path);
            j["line"] = f.value("line", 1) - (lines_from_1_ ? 0 : 1);
            j["column"] = columns_from_1_ ? 1 : 0;
        } else {
            j["presentationHint"] = "subtle";
        }
        list.push_back(j);
    }
    respond(r, {{"stackFrames", list}, {"totalFrames", frames.size()}});
}

void session::on_scopes(const json &r)
{
    if (!machine_ready(r)) return;
    const json &args = arguments_of(r);
    std::string e;
    int64_t frame = 0;
    if (!arg_int(args, "frameId", 0, INT32_MAX, &frame, &e, true)) return fail(r, "scopes: " + e);
    auto scope = [](const char *name, int ref, bool expensive, const char *hint) {
        json j = {{"name", name}, {"variablesReference", ref}, {"expensive", expensive}};
        if (hint) j["presentationHint"] = hint;
        return j;
    };
    respond(r, {{"scopes", json::array({scope("Registers", REF_REGISTERS, false, "registers"),
                                        scope("Register file", REF_REGISTER_FILE, false, nullptr),
                                        scope("Peripheral file", REF_PERIPHERALS, false, nullptr),
                                        scope("Video chip", REF_VIDEO, false, nullptr),
                                        scope("Symbols", REF_SYMBOLS, true, nullptr)})}});
}

void session::on_variables(const json &r)
{
    if (!machine_ready(r)) return;
    const json &args = arguments_of(r);
    std::string e;
    int64_t ref = 0, start = 0, count = 0;
    if (!arg_int(args, "variablesReference", 0, INT32_MAX, &ref, &e, true) || !arg_int(args, "start", 0, INT32_MAX, &start, &e) ||
        !arg_int(args, "count", 0, INT32_MAX, &count, &e))
        return fail(r, "variables: " + e);
    json list = json::array(), reply;
    auto var = [&](const std::string &name, const std::string &value, const std::string &evaluate, int64_t memory = -1) {
        json j = {{"name", name}, {"value", value}, {"variablesReference", 0}};
        if (!evaluate.empty()) j["evaluateName"] = evaluate;
        if (memory >= 0) j["memoryReference"] = reference((unsigned)memory);
        list.push_back(j);
    };
    switch (ref) {
    case REF_REGISTERS: {
        if (!call("regs", &reply, &e)) return fail(r, "variables: " + e);
        const json &g = reply["regs"];
        var("A", hex(g["a"], 2), "A", 0);
        var("B", hex(g["b"], 2), "B", 1);
        var("PC", hex(g["pc"], 4), "PC", g["pc"].get<int>());
        var("SP", hex(g["sp"], 2), "SP");
        var("SR", hex(g["sr"], 2), "SR");
        for (const char *f : {"C", "N", "Z", "I"}) {
            std::string key(1, (char)tolower((unsigned char)f[0]));
            var(f, g[key].get<bool>() ? "1" : "0", f);
        }
        var("IDLE", std::to_string(g["idle"].get<int>()), "IDLE");
        var("CYCLES", std::to_string(g["cycles"].get<uint64_t>()), "CYCLES");
        break;
    }
    case REF_REGISTER_FILE: {
        if (!call("mem 0 80", &reply, &e)) return fail(r, "variables: " + e);
        const json &b = reply["bytes"];
        for (size_t i = 0; i < b.size(); i++) var("R" + std::to_string(i), hex(b[i], 2), "R" + std::to_string(i), (int64_t)i);
        break;
    }
    case REF_PERIPHERALS: {
        if (!call("pfile", &reply, &e)) return fail(r, "variables: " + e);
        for (const json &g : reply["registers"]) {
            const int n = g["number"];
            const std::string name = g["name"];
            const std::string p = "P" + std::to_string(n);
            var(name == p ? p : p + " " + name, hex(g["value"], 2), p, g["address"].get<int>());
        }
        break;
    }
    case REF_VIDEO: {
        if (!call("vregs", &reply, &e)) return fail(r, "variables: " + e);
        for (const json &g : reply["registers"]) var(g["name"], hex(g["value"], g["bits"].get<int>() / 4), "");
        break;
    }
    case REF_SYMBOLS: {
        if (!call("names", &reply, &e)) return fail(r, "variables: " + e);
        json regs, pf;
        std::string e2;
        call("mem 0 80", &regs, &e2);
        for (const json &n : reply["names"]) {
            const std::string kind = n.value("kind", std::string(""));
            const std::string name = n.value("name", std::string(""));
            if (kind == "macro" || !n.contains("value")) continue;
            const int64_t v = n["value"];
            if (kind == "label") {
                var(name, hex((unsigned)v, 4), name, v);
            } else if (kind == "register" && v >= 0 && v < 128 && regs.contains("bytes")) {
                var(name, "R" + std::to_string(v) + " = " + hex(regs["bytes"][(size_t)v], 2), "R" + std::to_string(v), v);
            } else if (kind == "register" || kind == "port") {
                var(name, (kind == "port" ? "P" : "R") + std::to_string(v), "");
            } else {
                var(name, value_text(v), "");
            }
        }
        break;
    }
    default: return fail(r, "variables: no variables " + std::to_string(ref));
    }
    if (start > 0 || count > 0) {
        json part = json::array();
        for (size_t i = (size_t)start; i < list.size() && (count == 0 || part.size() < (size_t)count); i++) part.push_back(list[i]);
        list = part;
    }
    respond(r, {{"variables", list}});
}

void session::on_set_variable(const json &r)
{
    if (!machine_ready(r)) return;
    const json &args = arguments_of(r);
    std::string e, name, value;
    int64_t ref = 0;
    if (!arg_int(args, "variablesReference", 0, INT32_MAX, &ref, &e, true) || !arg_string(args, "name", &name, &e, true) ||
        !arg_string(args, "value", &value, &e, true))
        return fail(r, "setVariable: " + e);
    if (!one_line(value) || !one_line(name)) return fail(r, "setVariable: a value is one line of text");
    std::string target, shown_digits = "2";
    json reply;
    switch (ref) {
    case REF_REGISTERS:
        if (name == "IDLE" || name == "CYCLES") return fail(r, "setVariable: " + name + " is not set by the debugger");
        target = name;
        break;
    case REF_REGISTER_FILE:
    case REF_PERIPHERALS: target = name.substr(0, name.find(' ')); break;
    case REF_SYMBOLS: {
        if (!call("names " + name, &reply, &e) || reply["names"].empty()) return fail(r, "setVariable: " + e);
        const json &n = reply["names"][0];
        const std::string kind = n.value("kind", std::string(""));
        const int64_t v = n.value("value", (int64_t)0);
        if (kind == "label") target = "[" + hex((unsigned)v, 4) + "]";
        else if (kind == "register") target = "R" + std::to_string(v);
        else if (kind == "port") target = "P" + std::to_string(v);
        else return fail(r, "setVariable: " + name + " is a " + kind + " of the program, not a place in the machine");
        break;
    }
    case REF_VIDEO: return fail(r, "setVariable: the video chip's registers are shown, not set");
    default: return fail(r, "setVariable: no variables " + std::to_string(ref));
    }
    if (!call("set " + target + "=" + value, &reply, &e)) return fail(r, "setVariable: " + e);
    if (!call("eval " + target, &reply, &e)) return fail(r, "setVariable: " + e);
    const int64_t v = reply.value("value", (int64_t)0);
    const bool word = target == "PC";
    const bool flag = target.size() == 1 && std::string("CNZI").find(target) != std::string::npos;
    std::string shown = flag ? std::to_string(v) : hex((unsigned)v, word ? 4 : 2);
    if (ref == REF_SYMBOLS && target[0] == 'R') shown = target + " = " + shown;
    respond(r, {{"value", shown}});
}

void session::on_evaluate(const json &r)
{
    if (!machine_ready(r)) return;
    const json &args = arguments_of(r);
    std::string e, expression, context;
    if (!arg_string(args, "expression", &expression, &e, true) || !arg_string(args, "context", &context, &e))
        return fail(r, "evaluate: " + e);
    if (!one_line(expression)) return fail(r, "evaluate: an expression is one line of text");
    json reply;
    // The debug console: "!command" goes to the machine's console as it is.
    if (context == "repl" && !expression.empty() && expression[0] == '!') {
        const std::string command = expression.substr(1);
        const std::string word = command.substr(0, command.find(' '));
        for (const char *run : {"continue", "c", "cont", "step", "s", "stepi", "si", "next", "n", "finish", "fin",
                                "until", "u", "lstep", "lnext", "linestep", "linenext", "quit", "q", "exit", "source"})
            if (word == run) return fail(r, "evaluate: '" + word + "' runs the machine: use the debugger's own buttons");
        if (!call(command, &reply, &e) && reply.is_null()) return fail(r, "evaluate: " + e);
        json shown = reply;
        shown.erase("command");
        return respond(r, {{"result", shown.dump()}, {"variablesReference", 0}});
    }
    // A name of the program: what it stands for, and where it points.
    const bool word = !expression.empty() && expression.find_first_of(" []()+-*/%<>=!&|^~#$") == std::string::npos;
    if (word && call("names " + expression, &reply, &e) && !reply["names"].empty()) {
        const json &n = reply["names"][0];
        const std::string kind = n.value("kind", std::string(""));
        const int64_t v = n.value("value", (int64_t)0);
        json body = {{"variablesReference", 0}};
        if (kind == "label") {
            json bytes;
            std::string shown = hex((unsigned)v, 4);
            if (call("mem " + hex((unsigned)v, 4) + " 2", &bytes, &e) && bytes["bytes"].size() == 2)
                shown += " (label; holds " + hex(bytes["bytes"][0], 2) + " " + hex(bytes["bytes"][1], 2) + ")";
            body["result"] = shown;
            body["memoryReference"] = reference((unsigned)v);
        } else if (kind == "register" || kind == "port") {
            const std::string reg = (kind == "port" ? "P" : "R") + std::to_string(v);
            json val;
            body["result"] = call("eval " + reg, &val, &e) ? reg + " = " + hex(val["value"], 2) : reg;
        } else if (kind == "macro") {
            body["result"] = "a macro";
        } else {
            body["result"] = value_text(v) + " (" + kind + ")";
        }
        body["type"] = kind;
        return respond(r, body);
    }
    if (!call("eval " + expression, &reply, &e)) return fail(r, e.rfind("eval: ", 0) == 0 ? e.substr(6) : e);
    const int64_t v = reply.value("value", (int64_t)0);
    json body = {{"result", value_text(v)}, {"variablesReference", 0}};
    if (v >= 0 && v <= 0xFFFF) body["memoryReference"] = reference((unsigned)v);
    respond(r, body);
}

void session::on_read_memory(const json &r)
{
    if (!machine_ready(r)) return;
    const json &args = arguments_of(r);
    std::string e, ref;
    int64_t offset = 0, count = 0, address = 0;
    if (!arg_string(args, "memoryReference", &ref, &e, true) || !arg_int(args, "offset", INT32_MIN, INT32_MAX, &offset, &e) ||
        !arg_int(args, "count", 0, 0x10000000, &count, &e, true))
        return fail(r, "readMemory: " + e);
    if (!parse_reference(ref, &address)) return fail(r, "readMemory: '" + ref + "' is not a memory reference of this adapter");
    const int64_t first = address + offset;
    // Only the CPU's space is readable: what lies outside it is unreadable.
    const int64_t from = std::max<int64_t>(first, 0), to = std::min<int64_t>(first + count, 0x10000);
    std::string bytes;
    json reply;
    for (int64_t a = from; a < to; a += 0x1000) {
        const int64_t n = std::min<int64_t>(0x1000, to - a);
        if (!call("mem " + hex((unsigned)a, 4) + " " + hex((unsigned)n, 1), &reply, &e)) return fail(r, "readMemory: " + e);
        for (const json &b : reply["bytes"]) bytes += (char)b.get<int>();
    }
    json body = {{"address", reference((unsigned)std::clamp<int64_t>(first, 0, 0xFFFF))}};
    if (first < 0 || to < first + count) body["unreadableBytes"] = count - (int64_t)bytes.size();
    if (first < 0) body["address"] = reference((unsigned)from);
    // Past the space: the address asked, none of its bytes readable.
    if (first > 0xFFFF) {
        char t[24];
        snprintf(t, sizeof t, "0x%" PRIX64, (uint64_t)first);
        body["address"] = t;
    }
    if (!bytes.empty()) body["data"] = base64_encode(bytes);
    respond(r, body);
}

void session::on_write_memory(const json &r)
{
    if (!machine_ready(r)) return;
    const json &args = arguments_of(r);
    std::string e, ref, data, bytes;
    int64_t offset = 0, address = 0;
    bool partial = false;
    if (!arg_string(args, "memoryReference", &ref, &e, true) || !arg_int(args, "offset", INT32_MIN, INT32_MAX, &offset, &e) ||
        !arg_string(args, "data", &data, &e, true) || !arg_bool(args, "allowPartial", &partial, &e))
        return fail(r, "writeMemory: " + e);
    if (!parse_reference(ref, &address)) return fail(r, "writeMemory: '" + ref + "' is not a memory reference of this adapter");
    if (!base64_decode(data, &bytes)) return fail(r, "writeMemory: 'data' is not base64");
    const int64_t first = address + offset;
    int64_t n = (int64_t)bytes.size();
    if (first < 0 || first > 0xFFFF) return fail(r, "writeMemory: the address is outside 0000-FFFF");
    if (first + n > 0x10000) {
        if (!partial) return fail(r, "writeMemory: the bytes run past FFFF");
        n = 0x10000 - first;
    }
    json reply;
    for (int64_t i = 0; i < n; i += 512) {
        std::string hexes;
        for (int64_t k = i; k < n && k < i + 512; k++) hexes += hex((uint8_t)bytes[(size_t)k], 2);
        if (!call("write " + hex((unsigned)(first + i), 4) + " " + hexes, &reply, &e)) return fail(r, "writeMemory: " + e);
    }
    event("memory", {{"memoryReference", reference((unsigned)first)}, {"offset", 0}, {"count", n}});
    respond(r, {{"bytesWritten", n}});
}

void session::on_disassemble(const json &r)
{
    if (!machine_ready(r)) return;
    const json &args = arguments_of(r);
    std::string e, ref;
    int64_t offset = 0, ioffset = 0, count = 0, address = 0;
    if (!arg_string(args, "memoryReference", &ref, &e, true) || !arg_int(args, "offset", INT32_MIN, INT32_MAX, &offset, &e) ||
        !arg_int(args, "instructionOffset", -100000, 100000, &ioffset, &e) ||
        !arg_int(args, "instructionCount", 0, 100000, &count, &e, true))
        return fail(r, "disassemble: " + e);
    if (!parse_reference(ref, &address)) return fail(r, "disassemble: '" + ref + "' is not a memory reference of this adapter");
    const int64_t start = (address + offset) & 0xFFFF;
    // The console lists at most 1000 instructions before and 1000 from an address.
    const int64_t before = std::min<int64_t>(ioffset < 0 ? -ioffset : 0, 1000);
    const int64_t skip = ioffset > 0 ? ioffset : 0;
    const int64_t wanted = std::min<int64_t>(count, 2000);
    const int64_t from_start = std::clamp<int64_t>(wanted - before + skip, 1, 1000);
    json reply;
    if (!call("instructions " + hex((unsigned)start, 4) + " " + std::to_string(from_start) + " " + std::to_string(before), &reply, &e))
        return fail(r, "disassemble: " + e);
    json list = json::array();
    const json &all = reply["instructions"];
    const json before_space = {{"address", reference(0)}, {"instruction", "??"}, {"presentationHint", "invalid"}};
    const json after_space = {{"address", reference(0xFFFF)}, {"instruction", "??"}, {"presentationHint", "invalid"}};
    // Instructions before the first the console gave (a request further
    // back than it goes) are shown as unknown.
    for (int64_t i = -ioffset; i > before && (int64_t)list.size() < count; i--) list.push_back(before_space);
    // The console's listing goes round the space: back from 0000 to FFFF,
    // on from FFFF to 0000. What lies beyond either end is no instruction.
    bool past_end = false;
    for (size_t i = (size_t)skip; i < all.size() && (int64_t)list.size() < count; i++) {
        const json &in = all[i];
        const int64_t at = in.value("address", (int64_t)0);
        if ((int64_t)i < before && at > start) {
            list.push_back(before_space);
            continue;
        }
        past_end |= (int64_t)i > before && i > 0 && at <= all[i - 1].value("address", (int64_t)0);
        if (past_end) break;
        json j = {{"address", reference(in["address"])},
                  {"instructionBytes", in.value("bytes", std::string(""))},
                  {"instruction", in.value("text", std::string(""))}};
        if (in.contains("label")) j["symbol"] = in["label"];
        if (in.contains("file")) {
            j["location"] = source_json(in["file"]);
            j["line"] = in.value("line", 1) - (lines_from_1_ ? 0 : 1);
        }
        list.push_back(j);
    }
    while ((int64_t)list.size() < count) list.push_back(after_space);
    respond(r, {{"instructions", list}});
}

// ---------------------------------------------------------------------------
// Requests: running.

void session::on_continue(const json &r)
{
    if (!machine_ready(r)) return;
    respond(r, {{"allThreadsContinued", true}});
    start_run("continue", run_kind::cont);
}

namespace {
// "instruction" granularity steps by instruction; otherwise by source line.
bool by_instruction(const json &r)
{
    const json &args = arguments_of(r);
    return args.is_object() && args.value("granularity", json("")) == "instruction";
}
}  // namespace

void session::on_next(const json &r)
{
    if (!machine_ready(r)) return;
    respond(r);
    start_run(by_instruction(r) ? "next" : "lnext", run_kind::step);
}

void session::on_step_in(const json &r)
{
    if (!machine_ready(r)) return;
    respond(r);
    start_run(by_instruction(r) ? "step" : "lstep", run_kind::step);
}

void session::on_step_out(const json &r)
{
    if (!machine_ready(r)) return;
    // An empty call stack is an error of the request, said at once.
    json reply;
    std::string e;
    if (!call("bt", &reply, &e)) return fail(r, "stepOut: " + e);
    if (reply["frames"].empty()) return fail(r, "stepOut: there is no routine to step out of: the call stack is empty");
    respond(r);
    start_run("finish", run_kind::step);
}

// Back in time (the console's timeline, kept from the machine's start).
// Each runs again from a keyframe and answers when it is there: the
// request fails at once when it cannot go back (the start of the recorded
// time), else the stop follows its response.
void session::on_step_back(const json &r)
{
    if (!machine_ready(r)) return;
    json reply;
    std::string e;
    if (!call(by_instruction(r) ? "reverse-step" : "lback", &reply, &e, BACK_TIMEOUT_MS)) return fail(r, "stepBack: " + e);
    respond(r);
    run_ended(reply, run_kind::step);
}

void session::on_reverse_continue(const json &r)
{
    if (!machine_ready(r)) return;
    json reply;
    std::string e;
    if (!call("reverse-continue", &reply, &e, BACK_TIMEOUT_MS)) return fail(r, "reverseContinue: " + e);
    respond(r);
    run_ended(reply, run_kind::step);
}

void session::on_pause(const json &r)
{
    if (!launched_ || !machine_) return fail(r, "pause: no machine (launch first)");
    respond(r);
    if (running_ == run_kind::none) return;
    pausing_ = true;
    machine_->interrupt();
}

void session::on_restart(const json &r)
{
    if (!launched_) return fail(r, "restart: no machine (launch first)");
    const json &args = arguments_of(r);
    json launch = launch_args_;
    if (args.is_object() && args.contains("arguments") && args["arguments"].is_object()) launch = args["arguments"];
    end_machine();
    deferred_.clear();
    std::string error;
    if (!start_machine(launch, &error)) {
        fail(r, "restart: " + error);
        terminated_ = true;
        event("terminated");
        return;
    }
    launch_args_ = launch;
    terminated_ = false;
    apply_all();
    respond(r);
    // Breakpoints keep their ids; lines may have moved with a new build.
    for (auto &[path, points] : sources_)
        for (const source_point &p : points) event("breakpoint", {{"reason", "changed"}, {"breakpoint", point_json(p, path)}});
    start_program();
}

void session::on_terminate(const json &r)
{
    if (!launched_) return fail(r, "terminate: no machine (launch first)");
    end_machine();
    respond(r);
    if (!terminated_) {
        terminated_ = true;
        event("terminated");
    }
}

void session::on_disconnect(const json &r)
{
    end_machine();
    respond(r);
    finished_ = true;
}

}  // namespace dap
