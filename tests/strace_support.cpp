#include "strace_support.h"

#include <map>
#include <sstream>
#include <stdexcept>

namespace plb_test {
namespace {

// LeakSanitizer cannot work under ptrace; the sanitized build's leak checks
// run in the tests that use no strace.
std::vector<std::string> strace_command(const std::string& output) {
    return {"strace", "-o", output, "-E", "ASAN_OPTIONS=detect_leaks=0"};
}

} // namespace

std::vector<traced_call> trace_calls(const std::vector<std::string>& argv, const std::string& dir,
                                     const std::vector<std::string>& strace_options) {
    scratch_dir record;
    const std::string trace_path = record / "trace.txt";
    run_options options;
    options.prefix = strace_command(trace_path);
    options.prefix.insert(options.prefix.end(), strace_options.begin(), strace_options.end());
    (void)run(argv, dir, options);

    std::vector<traced_call> calls;
    std::istringstream lines(read_bytes(trace_path));
    std::string line;
    while (std::getline(lines, line)) {
        const auto paren = line.find('(');
        // Signals and the exit note are not calls.
        if (paren == std::string::npos || line.rfind("+++", 0) == 0 || line.rfind("---", 0) == 0) {
            continue;
        }
        calls.push_back({line.substr(0, paren), line});
    }
    return calls;
}

call_position locate(const std::vector<traced_call>& calls, const call_target& target) {
    std::map<std::string, int> seen;
    bool past_marker = target.after.empty();
    for (const auto& call : calls) {
        const int invocation = ++seen[call.name];
        if (past_marker && call.name.rfind(target.name_prefix, 0) == 0 &&
            call.line.find(target.text) != std::string::npos) {
            return {call.name, invocation};
        }
        if (!past_marker && call.line.find(target.after) != std::string::npos) {
            past_marker = true;
        }
    }
    return {};
}

namespace {

std::vector<std::string> injecting(const call_position& at, const std::string& effect) {
    if (at.invocation == 0) {
        throw std::logic_error("no call to inject into");
    }
    std::vector<std::string> prefix = strace_command("/dev/null");
    prefix.insert(prefix.end(), {"-e", "inject=" + at.name + ":" + effect +
                                           ":when=" + std::to_string(at.invocation)});
    return prefix;
}

} // namespace

std::vector<std::string> strace_injecting(const call_position& at, const std::string& error) {
    return injecting(at, error.empty() ? "signal=KILL" : "error=" + error);
}

std::vector<std::string> strace_signalling(const call_position& at, const std::string& signal) {
    return injecting(at, "signal=" + signal);
}

run_result run_failing_at(const std::vector<std::string>& argv, const scratch_dir& dir,
                          const std::function<void(const scratch_dir&)>& lay_out,
                          const call_target& target, const std::string& error) {
    scratch_dir twin;
    lay_out(twin);
    lay_out(dir);
    const auto at = locate(trace_calls(argv, twin.path()), target);
    if (at.invocation == 0) {
        throw std::runtime_error("the targeted call was not made");
    }
    run_options options;
    options.prefix = strace_injecting(at, error);
    return run(argv, dir.path(), options);
}

} // namespace plb_test
