// Fault injection into the real program with strace: a first run records the
// system calls it makes, then the call a test aims at is found in that record
// and a second run makes exactly that call fail, or kills the program there.
#pragma once

#include "support.h"

#include <functional>
#include <string>
#include <vector>

namespace plb_test {

struct traced_call {
    std::string name; // e.g. "openat"
    std::string line; // as strace printed it
};

// The system calls that argv makes when run in dir, traced with strace and
// any further options of its given.
std::vector<traced_call> trace_calls(const std::vector<std::string>& argv, const std::string& dir,
                                     const std::vector<std::string>& strace_options = {});

// Names a call in a trace: the first call whose name starts with name_prefix
// and whose line contains text, made after the first call whose line
// contains after (when after is not empty).
struct call_target {
    std::string name_prefix;
    std::string text;
    std::string after;
};

// Where a call stands among the calls of the same name, as strace's when=
// counts them.
struct call_position {
    std::string name;
    int invocation = 0; // 0: not found
};

call_position locate(const std::vector<traced_call>& calls, const call_target& target);

// The strace prefix that makes the call at position fail with error (an
// errno name), or end the program there with SIGKILL when error is empty.
std::vector<std::string> strace_injecting(const call_position& at, const std::string& error);

// The strace prefix that sends the program signal (as strace names it, e.g.
// SIGINT) as it enters the call at position.
std::vector<std::string> strace_signalling(const call_position& at, const std::string& signal);

// Runs argv in dir with the targeted call failing with error (an errno
// name). The call is found in a first run of argv in a twin directory; lay_out
// puts the same files into each. Throws when that run makes no such call.
run_result run_failing_at(const std::vector<std::string>& argv, const scratch_dir& dir,
                          const std::function<void(const scratch_dir&)>& lay_out,
                          const call_target& target, const std::string& error);

} // namespace plb_test
