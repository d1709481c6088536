// One debugging session of the adapter: the client's requests translated
// into commands of the machine's console (child.h), the console's replies
// into responses and events.
//
// The session keeps what the client asked for (breakpoints of every kind,
// the exception filters) and applies it to the machine at launch, at each
// change and after a restart, so that a new machine gets the same points.
// While the machine runs (continue, or a step by line), a pause interrupts
// it; a change of breakpoints interrupts a continue, is applied and the
// continue goes on; any other request waits for a step to end, or is
// refused during a continue. Everything the client sends is checked: a
// malformed or out-of-order message gets an error response.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "child.h"
#include "wire.h"

namespace dap {

struct session_options {
    std::string exe_dir;        // the folder of ovix-dap: the runner and our BIOS are looked for from there
    std::string runner;         // ovix-headless to start (empty: beside ovix-dap, else on the PATH)
    bool allow_launch = true;   // false: launch is refused (the fuzz harness starts no process)
};

class session {
public:
    explicit session(const session_options &options);
    ~session();

    // A frame from the client.
    void on_frame(const frame &f);
    // The machine's outputs have something (or ended).
    void on_child();
    // The frames to send to the client, encoded, in order.
    std::string take_output();
    // The client disconnected: the session is over.
    bool finished() const { return finished_; }
    // While a pause waits for the run to stop: how long to wait for input
    // before on_timeout (ms; -1: no limit).
    int poll_timeout() const;
    void on_timeout();
    // The machine's output descriptors to wait on (-1: none).
    int child_out_fd() const;
    int child_err_fd() const;

private:
    struct source_point {
        int id = 0;               // the client's breakpoint id
        int line = 0;             // as asked (1-based)
        std::string condition, hit, log;
        std::vector<int> engine;  // the console's breakpoint numbers
        bool verified = false;
        int actual = 0;           // the line it went to
        int address = -1;         // its first address
        std::string message;
    };
    struct other_point {
        int id = 0;
        json asked;                // the client's breakpoint object
        std::vector<int> engine;
        bool verified = false;
        std::string message;
        std::string reason;       // the stopped event's reason
    };
    enum class run_kind { none, cont, step, entry };

    session_options opt_;
    std::string out_;
    int64_t seq_ = 1;
    bool initialized_ = false, launched_ = false, configured_ = false, terminated_ = false, finished_ = false;
    bool lines_from_1_ = true, columns_from_1_ = true;
    json launch_args_;
    std::unique_ptr<child> machine_;
    std::string cwd_;             // the machine's working folder
    bool no_debug_ = false, stop_on_entry_ = false;
    bool trace_log_ = false;      // the trace log's new lines as output events at each stop
    std::string call_;            // a routine to call at the entry (a unit test), or empty
    int entry_ = -1;              // the cartridge's entry address, -1 without one
    // Points.
    int next_id_ = 1;
    std::map<std::string, std::vector<source_point>> sources_;   // by path as the client gave it
    std::map<std::string, json> source_refs_;                    // path -> its Source object
    std::vector<other_point> functions_, instructions_, data_;
    std::map<int, std::pair<int, std::string>> engine_points_;   // console number -> client id, reason
    bool unwritten_filter_ = true;
    // The run in progress.
    run_kind running_ = run_kind::none;
    std::vector<frame> deferred_;   // requests waiting for a step to end
    bool pausing_ = false;

    // Output.
    void respond(const json &request, const json &body = json::object());
    void fail(const json &request, const std::string &message);
    void event(const std::string &name, const json &body = json::object());
    void output(const std::string &category, const std::string &text);

    // The machine.
    // Sends a command that runs nothing (or runs for a bounded time) and
    // waits for its reply; timeout 0: the usual limit.
    bool call(const std::string &command, json *reply, std::string *error, int timeout_ms = 0);
    bool machine_ready(const json &request);
    void start_run(const std::string &command, run_kind kind);
    void run_ended(const json &reply, run_kind kind);
    bool interrupt_for_change(bool *resume, json *stop);
    void machine_gone(const std::string &why);
    void end_machine();
    std::string find_runner() const;
    std::string find_window() const;
    std::string find_bios() const;
    bool start_machine(const json &args, std::string *error);
    void send_log();
    void start_program();
    bool routine_address(int64_t *address, std::string *error);
    bool call_routine(std::string *error);

    // Points.
    json source_json(const std::string &path);
    void apply_source(const std::string &path, bool delete_old);
    void apply_others(std::vector<other_point> &points, const char *kind, bool delete_old);
    void apply_all();
    json point_json(const source_point &p, const std::string &path);
    json point_json(const other_point &p);
    bool hit_and_condition(const json &asked, std::string *suffix, std::string *error);

    // Requests.
    void dispatch(const json &request);
    void on_initialize(const json &r);
    void on_launch(const json &r);
    void on_attach(const json &r);
    void on_configuration_done(const json &r);
    void on_set_breakpoints(const json &r);
    void on_set_function_breakpoints(const json &r);
    void on_set_instruction_breakpoints(const json &r);
    void on_data_breakpoint_info(const json &r);
    void on_set_data_breakpoints(const json &r);
    void on_set_exception_breakpoints(const json &r);
    void on_threads(const json &r);
    void on_stack_trace(const json &r);
    void on_scopes(const json &r);
    void on_variables(const json &r);
    void on_set_variable(const json &r);
    void on_evaluate(const json &r);
    void on_read_memory(const json &r);
    void on_write_memory(const json &r);
    void on_disassemble(const json &r);
    void on_continue(const json &r);
    void on_next(const json &r);
    void on_step_in(const json &r);
    void on_step_out(const json &r);
    void on_step_back(const json &r);
    void on_reverse_continue(const json &r);
    void on_pause(const json &r);
    void on_restart(const json &r);
    void on_terminate(const json &r);
    void on_disconnect(const json &r);
};

}  // namespace dap
