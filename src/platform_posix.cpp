// POSIX half of the platform layer.
#include "platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace parse_logo_bin::platform {
namespace {

status from_errno(int error) { return status{std::strerror(error)}; }

status from_errno() { return from_errno(errno); }

int fd_of(const handle& h) { return static_cast<int>(h.get()); }

status open_with(const char* path, int flags, file& out) {
    int fd = 0;
    do {
        fd = ::open(path, flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return from_errno();
    }
    out = file(fd);
    return {};
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
    return open_with(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, out);
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
    int rc = 0;
    do {
        rc = ::fsync(fd_of(f));
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? status{} : from_errno();
}

status replace(const char* from, const char* to) {
    return ::rename(from, to) == 0 ? status{} : from_errno();
}

status remove_file(const char* path) { return ::unlink(path) == 0 ? status{} : from_errno(); }

status sync_directory_of(const char* path) {
    file dir;
    auto opened = open_with(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY, dir);
    if (!opened.ok()) {
        return opened;
    }
    int rc = 0;
    do {
        rc = ::fsync(fd_of(dir));
    } while (rc != 0 && errno == EINTR);
    // Some file systems cannot sync a directory at all; their entries are as
    // durable as they will ever be.
    if (rc != 0 && errno != EINVAL && errno != EROFS) {
        return from_errno();
    }
    return dir.close();
}

namespace {
identity identity_of(const struct stat& st) {
    return {true, static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
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
void working_directory_lock::unlock(handle&) {}

working_directory_lock lock_working_directory() {
    file dir;
    if (!open_with(".", O_RDONLY | O_DIRECTORY, dir).ok()) {
        return {};
    }
    int rc = 0;
    do {
        rc = ::flock(fd_of(dir), LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        return {}; // no locks on this file system (ENOLCK, EOPNOTSUPP, ...)
    }
    return working_directory_lock(std::move(dir));
}

void keep_standard_streams_open() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // open() hands out the lowest free descriptor: this one.
            (void)::open("/dev/null", O_RDWR);
        }
    }
}

} // namespace parse_logo_bin::platform
