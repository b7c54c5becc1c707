// The Windows half of the test support: running the programs under test
// (CreateProcess, with standard output and error sent to files, read back
// once the program has ended), and what this platform can set up.
#include "support.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <filesystem>
#include <stdexcept>

namespace plb_test {
namespace {

std::wstring widen(const std::string& text) { return std::filesystem::path(text).wstring(); }

// Quotes one argument so that the C runtime's parser gives it back unchanged.
std::wstring quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
        return arg;
    }
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}

std::wstring command_line(const std::vector<std::string>& argv) {
    std::wstring line;
    for (const auto& arg : argv) {
        if (!line.empty()) {
            line.push_back(L' ');
        }
        line += quoted(widen(arg));
    }
    return line;
}

HANDLE inheritable_file(const std::string& path) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE h =
        ::CreateFileW(widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot create " + path);
    }
    return h;
}

HANDLE as_handle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value); // NOLINT(performance-no-int-to-ptr)
}

PROCESS_INFORMATION start(const std::vector<std::string>& argv, const std::string& dir, HANDLE out,
                          HANDLE err) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out;
    startup.hStdError = err;
    std::wstring line = command_line(argv);
    const std::wstring program = widen(argv.front());
    const std::wstring where = widen(dir);
    PROCESS_INFORMATION process{};
    if (::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                         where.c_str(), &startup, &process) == 0) {
        throw std::runtime_error("cannot start " + argv.front());
    }
    ::CloseHandle(process.hThread);
    return process;
}

int finish(HANDLE process) {
    ::WaitForSingleObject(process, INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(process, &code);
    ::CloseHandle(process);
    return static_cast<int>(code);
}

} // namespace

run_result run(const std::vector<std::string>& argv, const std::string& dir,
               const run_options& options) {
    if (!options.prefix.empty() || options.file_size_limit || options.close_stdout ||
        options.stdout_reader_gone || options.one_log) {
        throw std::logic_error("POSIX-only run options on Windows");
    }
    scratch_dir capture;
    const std::string out_path = capture / "stdout";
    const std::string err_path = capture / "stderr";
    const HANDLE out = inheritable_file(out_path);
    const HANDLE err = inheritable_file(err_path);
    const PROCESS_INFORMATION process = start(argv, dir, out, err);
    ::CloseHandle(out);
    ::CloseHandle(err);
    run_result result;
    result.exit_code = finish(process.hProcess);
    result.out = read_bytes(out_path);
    result.err = read_bytes(err_path);
    return result;
}

background_run::background_run(const std::vector<std::string>& argv, const std::string& dir,
                               const std::string& out_path, const std::string& err_path) {
    const HANDLE out = out_path.empty() ? nullptr : inheritable_file(out_path);
    const HANDLE err = err_path.empty() ? nullptr : inheritable_file(err_path);
    process_ = reinterpret_cast<std::intptr_t>(start(argv, dir, out, err).hProcess);
    for (const HANDLE h : {out, err}) {
        if (h != nullptr) {
            ::CloseHandle(h);
        }
    }
}

background_run::~background_run() {
    if (process_ != -1) {
        const HANDLE process = as_handle(process_);
        ::TerminateProcess(process, 1);
        ::WaitForSingleObject(process, INFINITE);
        ::CloseHandle(process);
    }
}

void background_run::interrupt(int) { throw std::logic_error("POSIX signals on Windows"); }

void background_run::kill_after_microseconds(std::int64_t delay) {
    ::Sleep(static_cast<DWORD>(delay / 1000));
    ::TerminateProcess(as_handle(process_), 1);
    wait();
}

int background_run::wait() {
    const int code = finish(as_handle(process_));
    process_ = -1;
    return code;
}

std::string console_text(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\n') {
            out.push_back('\r');
        }
        out.push_back(c);
    }
    return out;
}

bool is_superuser() { return false; }

std::string posix_only_reason() {
    return "needs POSIX set-ups (symbolic links, resource limits, signals or strace)";
}

// Console control events (Ctrl-C, Ctrl-Break, closing the console) reach only
// programs that share a console with the sender.
std::string interrupt_unsendable_reason() {
    if (::GetConsoleWindow() == nullptr && ::AllocConsole() == 0) {
        return "this process has no console and cannot get one (AllocConsole: " +
               std::to_string(::GetLastError()) +
               "), as under Wine without a terminal, so no console control event can reach the "
               "program under test";
    }
    return "sending console control events to the program under test is not built";
}

std::string windows_shell() {
    wchar_t system[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    return (std::filesystem::path(system) / "cmd.exe").string();
}

std::string set_hidden(const std::string& path) {
    if (::SetFileAttributesW(widen(path).c_str(), FILE_ATTRIBUTE_HIDDEN) == 0) {
        return "cannot set the hidden attribute here";
    }
    return {};
}

bool is_hidden(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_HIDDEN) != 0;
}

std::string shell_output(const std::string&) {
    throw std::logic_error("POSIX shell commands on Windows");
}

std::string held_open_refusal() {
    char text[512] = {};
    const DWORD length =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                         ERROR_ACCESS_DENIED, 0, text, sizeof text, nullptr);
    std::string reason(text, length);
    while (!reason.empty() &&
           (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' ')) {
        reason.pop_back();
    }
    return reason;
}

std::string strace_unusable_reason() { return "strace traces Linux programs only"; }

} // namespace plb_test
