// The POSIX half of the test support: running the programs under test (fork
// and exec, with the resource limits and stream set-ups that inject real
// faults), and what this platform can set up.
#include "support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <utility>

namespace plb_test {
namespace {

std::vector<char*> c_argv(std::vector<std::string>& args) {
    std::vector<char*> out;
    out.reserve(args.size() + 1);
    for (auto& a : args) {
        out.push_back(a.data());
    }
    out.push_back(nullptr);
    return out;
}

// In the child: set up, then exec. Only async-signal-safe calls from here on.
[[noreturn]] void exec_child(std::vector<char*>& argv, const std::string& dir, int out_fd,
                             int err_fd, const run_options& options) {
    // As a shell starts a program: every signal at its default, none blocked,
    // whatever this test process has set up for itself.
    for (int s = 1; s < NSIG; ++s) {
        (void)::signal(s, SIG_DFL);
    }
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (::chdir(dir.c_str()) != 0) {
        ::_exit(126);
    }
    if (out_fd >= 0) {
        ::dup2(out_fd, 1);
    }
    if (err_fd >= 0) {
        ::dup2(err_fd, 2);
    }
    if (options.close_stdout) {
        ::close(1);
    }
    if (options.file_size_limit) {
        const rlimit limit{*options.file_size_limit, *options.file_size_limit};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            ::_exit(126);
        }
    }
    ::execvp(argv[0], argv.data());
    ::_exit(127);
}

// Reads every pipe to its end, whichever speaks first.
void drain(std::vector<std::pair<int, std::string*>> pipes) {
    while (!pipes.empty()) {
        std::vector<pollfd> waiting;
        waiting.reserve(pipes.size());
        for (const auto& p : pipes) {
            waiting.push_back({p.first, POLLIN, 0});
        }
        if (::poll(waiting.data(), waiting.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error("poll failed");
        }
        for (std::size_t i = waiting.size(); i-- > 0;) {
            if (waiting[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = ::read(waiting[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                pipes[i].second->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(waiting[i].fd);
                pipes.erase(pipes.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
}

// Starts argv in dir with its output on the given descriptors.
pid_t spawn(const std::vector<std::string>& argv, const std::string& dir, int out_fd, int err_fd,
            const run_options& options) {
    std::vector<std::string> args = argv;
    auto cargs = c_argv(args);
    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        exec_child(cargs, dir, out_fd, err_fd, options);
    }
    return pid;
}

// As a shell gives it: 128 and the signal's number for a process a signal ended.
int exit_status_of(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int wait_for(long pid) {
    int status = 0;
    while (::waitpid(static_cast<pid_t>(pid), &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::runtime_error("waitpid failed");
        }
    }
    return exit_status_of(status);
}

} // namespace

run_result run(const std::vector<std::string>& argv, const std::string& dir,
               const run_options& options) {
    // Captured through pipes: a file-size limit set for the program must not
    // cut short what it says.
    int out_pipe[2];
    int err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (options.stdout_reader_gone) {
        ::close(out_pipe[0]); // as `tool | head -c0` leaves it
    }
    std::vector<std::string> args = options.prefix;
    args.insert(args.end(), argv.begin(), argv.end());
    const pid_t pid =
        spawn(args, dir, out_pipe[1], options.one_log ? out_pipe[1] : err_pipe[1], options);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    run_result result;
    std::vector<std::pair<int, std::string*>> pipes{{err_pipe[0], &result.err}};
    if (!options.stdout_reader_gone) {
        pipes.emplace_back(out_pipe[0], &result.out);
    }
    drain(pipes);
    result.exit_code = wait_for(pid);
    return result;
}

background_run::background_run(const std::vector<std::string>& argv, const std::string& dir,
                               const std::string& out_path, const std::string& err_path) {
    const auto open_output = [](const std::string& path) {
        const int fd = path.empty() ? ::open("/dev/null", O_WRONLY | O_CLOEXEC)
                                    : ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) {
            throw std::runtime_error("cannot open the output file " + path);
        }
        return fd;
    };
    const int out_fd = open_output(out_path);
    const int err_fd = open_output(err_path);
    process_ = spawn(argv, dir, out_fd, err_fd, {});
    ::close(out_fd);
    ::close(err_fd);
}

background_run::~background_run() {
    if (process_ > 0) {
        ::kill(static_cast<pid_t>(process_), SIGKILL);
        int status = 0;
        while (::waitpid(static_cast<pid_t>(process_), &status, 0) < 0 && errno == EINTR) {
        }
    }
}

void background_run::interrupt(int signal_number) {
    ::kill(static_cast<pid_t>(process_), signal_number);
}

void background_run::kill_after_microseconds(std::int64_t delay) {
    timespec pause{static_cast<std::time_t>(delay / 1000000),
                   static_cast<long>((delay % 1000000) * 1000)};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    ::kill(static_cast<pid_t>(process_), SIGKILL);
    wait();
}

int background_run::wait() {
    const int status = wait_for(process_);
    process_ = -1;
    return status;
}

std::string console_text(const std::string& text) { return text; }

bool is_superuser() { return ::geteuid() == 0; }

std::string posix_only_reason() { return {}; }

std::string held_open_refusal() { return {}; }

std::string interrupt_unsendable_reason() { return {}; }

std::string windows_shell() { return {}; }

std::string set_hidden(const std::string&) {
    return "POSIX files have no hidden attribute, only names that start with a dot";
}

bool is_hidden(const std::string&) { return false; }

std::string shell_output(const std::string& command_line) {
    std::FILE* pipe = ::popen(command_line.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("cannot run " + command_line);
    }
    std::string out;
    char buffer[4096];
    for (std::size_t n = 0; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.append(buffer, n);
    }
    (void)::pclose(pipe);
    return out;
}

std::string strace_unusable_reason() {
    static const std::string reason = [] {
        // Set where the programs run under an emulator, which strace would
        // trace instead of them.
        if (const char* why = std::getenv("PLB_STRACE_UNUSABLE"); why != nullptr && *why != 0) {
            return std::string(why);
        }
        if (std::system("strace -o /dev/null -e inject=getpid:error=EPERM:when=1 true "
                        ">/dev/null 2>&1") != 0) {
            return std::string("strace is missing or ptrace is refused here");
        }
        return std::string();
    }();
    return reason;
}

} // namespace plb_test
