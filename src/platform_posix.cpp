// POSIX half of the platform layer.
#include "platform.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

namespace parse_logo_bin::platform {
namespace {

status from_errno(int error) { return status{std::strerror(error)}; }

status from_errno() { return from_errno(errno); }

int fd_of(const handle& h) { return static_cast<int>(h.get()); }

status open_with(const char* path, int flags, file& out, mode_t mode = 0666) {
    int fd = 0;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return from_errno();
    }
    out = file(fd);
    return {};
}

// 0, or the error of the sync.
int fsync_error(int fd) {
    int rc = 0;
    do {
        rc = ::fsync(fd);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

std::string directory_of(const char* path) {
    const std::string p(path);
    const auto slash = p.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return p.substr(0, slash);
}

} // namespace

status close_handle(std::intptr_t h) {
    // No retry after EINTR: the descriptor is gone either way on Linux.
    return ::close(static_cast<int>(h)) == 0 ? status{} : from_errno();
}

status open_for_reading(const char* path, file& out) { return open_with(path, O_RDONLY, out); }

status open_for_update(const char* path, file& out) { return open_with(path, O_RDWR, out); }

status create_new(const char* path, file& out) {
    // Readable by its owner only while the data is on its way: the bits of
    // the file it replaces are given to it just before the replace.
    return open_with(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, out, 0600);
}

status create_or_truncate(const char* path, file& out) {
    return open_with(path, O_WRONLY | O_CREAT | O_TRUNC, out);
}

status remove_stale(const char* path) {
    struct stat st {};
    if (::lstat(path, &st) != 0) {
        return errno == ENOENT ? status{} : from_errno();
    }
    if (S_ISDIR(st.st_mode)) {
        return {};
    }
    if (::unlink(path) != 0 && errno != ENOENT) {
        return from_errno();
    }
    return {};
}

transfer read_some(file& in, void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd_of(in), buffer, size);
        if (n >= 0) {
            return {static_cast<std::size_t>(n), {}};
        }
        if (errno != EINTR) {
            return {0, from_errno()};
        }
    }
}

status write_all(file& out, const void* buffer, std::size_t size) {
    const auto* p = static_cast<const char*>(buffer);
    while (size > 0) {
        const ssize_t n = ::write(fd_of(out), p, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return from_errno();
        }
        if (n == 0) {
            // A write that takes nothing and reports nothing would loop forever.
            return from_errno(EIO);
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return {};
}

status seek_to(file& f, std::uint64_t offset) {
    if (::lseek(fd_of(f), static_cast<off_t>(offset), SEEK_SET) < 0) {
        return from_errno();
    }
    return {};
}

status sync(file& f) {
    const int error = fsync_error(fd_of(f));
    return error == 0 ? status{} : from_errno(error);
}

status replace(const char* from, const char* to) {
    return ::rename(from, to) == 0 ? status{} : from_errno();
}

status remove_file(const char* path) { return ::unlink(path) == 0 ? status{} : from_errno(); }

namespace {

// Some file systems cannot sync a directory at all; their entries are as
// durable as they will ever be.
status sync_directory(int fd) {
    const int error = fsync_error(fd);
    return error == 0 || error == EINVAL || error == EROFS ? status{} : from_errno(error);
}

// The extended attributes worth carrying over: the POSIX ACL, and the ones
// users set. Others belong to the system or to security modules.
bool is_kept_attribute(const std::string& name) {
    return name == "system.posix_acl_access" || name.rfind("user.", 0) == 0;
}

// Copies what can be copied; a file system without extended attributes, or a
// process that may not set them, keeps the rest as it is.
void copy_extended_attributes(const char* from, int to) {
    const ssize_t list_size = ::listxattr(from, nullptr, 0);
    if (list_size <= 0) {
        return;
    }
    std::vector<char> names(static_cast<std::size_t>(list_size));
    const ssize_t listed = ::listxattr(from, names.data(), names.size());
    if (listed <= 0) {
        return;
    }
    for (std::size_t at = 0; at < static_cast<std::size_t>(listed);) {
        const std::string name(names.data() + at);
        at += name.size() + 1;
        if (!is_kept_attribute(name)) {
            continue;
        }
        const ssize_t size = ::getxattr(from, name.c_str(), nullptr, 0);
        if (size < 0) {
            continue;
        }
        std::vector<char> value(static_cast<std::size_t>(size));
        const ssize_t got = ::getxattr(from, name.c_str(), value.data(), value.size());
        if (got >= 0) {
            (void)::fsetxattr(to, name.c_str(), value.data(), static_cast<std::size_t>(got), 0);
        }
    }
}

} // namespace

status copy_metadata(const char* destination, file& built) {
    struct stat st {};
    if (::stat(destination, &st) != 0) {
        return {}; // nothing to take after
    }
    const int fd = fd_of(built);
    // The owner first: changing it clears the set-user-ID bits. A group that
    // may not be set is no error, nor an owner that only root could give.
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
        (void)::fchown(fd, static_cast<uid_t>(-1), st.st_gid);
    }
    if (::fchmod(fd, st.st_mode & 07777) != 0) {
        return from_errno();
    }
    copy_extended_attributes(destination, fd);
    return {};
}

namespace {
identity identity_of(const struct stat& st) {
    return {true, static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint64_t>(st.st_nlink)};
}
} // namespace

identity identify(const char* path) {
    struct stat st {};
    return ::stat(path, &st) == 0 ? identity_of(st) : identity{};
}

identity identify(const file& f) {
    struct stat st {};
    return ::fstat(fd_of(f), &st) == 0 ? identity_of(st) : identity{};
}

// Closing the descriptor releases the lock; nothing was written through it.
void working_directory::unlock(handle&) {}

status working_directory::sync_entries_of(const char* path) const {
    const std::string dir = directory_of(path);
    if (dir == ".") {
        return held_.is_open() ? sync_directory(fd_of(held_)) : status{};
    }
    file other;
    auto opened = open_with(dir.c_str(), O_RDONLY | O_DIRECTORY, other);
    if (!opened.ok()) {
        return opened;
    }
    auto synced = sync_directory(fd_of(other));
    return synced.ok() ? other.close() : synced;
}

working_directory lock_working_directory() {
    file dir;
    if (!open_with(".", O_RDONLY | O_DIRECTORY, dir).ok()) {
        return {};
    }
    int rc = 0;
    do {
        rc = ::flock(fd_of(dir), LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    // Without locks on this file system (ENOLCK, EOPNOTSUPP, ...) the
    // directory still serves the syncs.
    return working_directory(std::move(dir));
}

namespace {

// What the interrupt handler needs, set up before it is installed. Only
// async-signal-safe calls touch it from the handler.
constexpr std::array<int, 3> interrupts{SIGINT, SIGTERM, SIGHUP};
std::array<struct sigaction, interrupts.size()> saved_actions{};
std::array<bool, interrupts.size()> handled{};
sigset_t saved_mask{};
bool holding = false;
volatile std::sig_atomic_t armed = 0;
const char* armed_path = nullptr;

extern "C" void on_interrupt(int signal_number) {
    if (armed != 0) {
        (void)::unlink(armed_path);
    }
    // Then as the interrupt would have gone without us: it is blocked while
    // this runs, and delivered with the old disposition once it returns.
    for (std::size_t i = 0; i < interrupts.size(); ++i) {
        if (interrupts[i] == signal_number) {
            (void)::sigaction(signal_number, &saved_actions[i], nullptr);
        }
    }
    (void)::raise(signal_number);
}

sigset_t interrupt_set() {
    sigset_t set{};
    (void)sigemptyset(&set);
    for (const int s : interrupts) {
        (void)sigaddset(&set, s);
    }
    return set;
}

} // namespace

interrupt_guard::interrupt_guard(const char* path, const file&) {
    armed_path = path;
    armed = 1;
    for (std::size_t i = 0; i < interrupts.size(); ++i) {
        handled[i] = false;
        if (::sigaction(interrupts[i], nullptr, &saved_actions[i]) != 0 ||
            saved_actions[i].sa_handler == SIG_IGN) {
            continue; // ignored by whoever started us (nohup, a background job): stays so
        }
        struct sigaction action {};
        action.sa_handler = on_interrupt;
        action.sa_mask = interrupt_set();
        handled[i] = ::sigaction(interrupts[i], &action, nullptr) == 0;
    }
}

void interrupt_guard::hold() {
    // Blocked first: one that comes before still takes the file back.
    const sigset_t set = interrupt_set();
    holding = ::sigprocmask(SIG_BLOCK, &set, &saved_mask) == 0;
    armed = 0;
}

interrupt_guard::~interrupt_guard() {
    armed = 0;
    for (std::size_t i = 0; i < interrupts.size(); ++i) {
        if (handled[i]) {
            (void)::sigaction(interrupts[i], &saved_actions[i], nullptr);
        }
    }
    // One that came while held is delivered now, with the old disposition.
    if (holding) {
        holding = false;
        (void)::sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
    }
}

void prepare_program() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // open() hands out the lowest free descriptor: this one.
            (void)::open("/dev/null", O_RDWR);
        }
    }
    (void)std::signal(SIGXFSZ, SIG_IGN);
    (void)std::signal(SIGPIPE, SIG_IGN);
}

} // namespace parse_logo_bin::platform
