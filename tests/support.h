// Helpers shared by the tests: a scratch directory for each test, whole-file
// byte access, and running the built programs as a user would.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace plb_test {

// The programs under test, as the build placed them.
std::string tool_program();
std::string header_program();
std::string hold_open_program();

// A fresh, empty directory for one test, removed with everything in it when
// the test ends (kept when it failed, to look into).
class scratch_dir {
public:
    scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    ~scratch_dir();

    // For directories too large to keep: removed even when the test failed.
    void remove_even_on_failure() { keep_on_failure_ = false; }

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
    bool keep_on_failure_ = true;
};

std::string read_bytes(const std::string& path);
void write_bytes(const std::string& path, const std::string& bytes);
bool exists(const std::string& path); // anything at the name, even a dangling link

// Makes name in d a symbolic link to target (a name in d), or another hard
// link of it.
void plant_link(const scratch_dir& d, const std::string& target, const std::string& name,
                bool symbolic);
std::vector<std::string> entries(const std::string& dir); // sorted names

// Bytes of the given length that make misplaced, lost or doubled bytes show,
// including the ones a text-mode stream would change.
std::string pattern(std::size_t size, unsigned seed);

// A program's command line: the program, then its arguments.
std::vector<std::string> command(const std::string& program,
                                 const std::vector<std::string>& args = {});

struct run_options {
    std::vector<std::string> prefix;              // e.g. strace and its options
    std::optional<std::uint64_t> file_size_limit; // RLIMIT_FSIZE, with SIGXFSZ ignored
    bool close_stdout = false;
    bool stdout_reader_gone = false; // standard output a pipe that nobody reads
    bool one_log = false;            // standard error into standard output, as 2>&1
};

struct run_result {
    int exit_code = -1; // the process's exit status, as a shell gives it (128 + signal)
    std::string out;
    std::string err;
};

// Runs argv in dir with standard output and error captured separately.
run_result run(const std::vector<std::string>& argv, const std::string& dir,
               const run_options& options = {});

// Starts every argv in dir at once, then waits for them all.
std::vector<run_result> run_together(const std::vector<std::vector<std::string>>& argvs,
                                     const std::string& dir);

// A program started in the background, for killing at a chosen moment. Its
// standard output and error go to the files named, or nowhere.
class background_run {
public:
    background_run(const std::vector<std::string>& argv, const std::string& dir,
                   const std::string& out_path = "", const std::string& err_path = "");
    background_run(const background_run&) = delete;
    background_run& operator=(const background_run&) = delete;
    ~background_run();

    void kill_after_microseconds(std::int64_t delay); // then waits for it
    void interrupt(int signal_number);                // POSIX only
    int wait();                                       // exit status

private:
    std::intptr_t process_ = -1; // a process id, or a process handle on Windows
};

// What the console shows for text the program writes: a text-mode stream on
// Windows turns each newline into a carriage return and a newline.
std::string console_text(const std::string& text);

// Why this platform cannot run POSIX-only set-ups (links, resource limits,
// strace), or empty where it can.
std::string posix_only_reason();

// Gives the file the hidden attribute (Windows): empty when done, otherwise
// why this platform has no such attribute.
std::string set_hidden(const std::string& path);
bool is_hidden(const std::string& path);

// Empty where a test can interrupt a program it started (a signal on POSIX),
// otherwise why not.
std::string interrupt_unsendable_reason();

// The system's command interpreter (cmd.exe) on Windows; empty elsewhere.
std::string windows_shell();

// What a POSIX shell command prints on standard output.
std::string shell_output(const std::string& command_line);

// Whether permission bits are ignored for this process.
bool is_superuser();

// Where a file that another process holds open cannot be replaced
// (Windows): the system's words for the refusal ("access denied"), as the
// programs report them. Empty where such a file is replaced like any other.
std::string held_open_refusal();

// Empty when strace can trace and inject here, otherwise why not.
std::string strace_unusable_reason();

} // namespace plb_test

// Skips the calling test, with the reason printed, when reason is not empty.
#define PLB_SKIP_IF(reason)                                                                        \
    if (const std::string plb_why = (reason); !plb_why.empty())                                    \
    GTEST_SKIP() << plb_why
