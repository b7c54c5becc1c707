// The few operating-system calls that durable, atomic file replacement needs.
// Everything platform-specific lives behind this header: one implementation
// file per system, chosen by the build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace parse_logo_bin::platform {

// The outcome of a system call: empty reason on success, otherwise the
// system's own words for what went wrong, taken at the point of failure.
struct [[nodiscard]] status {
    std::string reason;

    bool ok() const { return reason.empty(); }
};

// A move-only owner of an open file. Destruction closes silently, which is
// right only for a file being abandoned; the success path calls close() and
// checks what it says.
class file {
public:
    file() = default;
    explicit file(std::intptr_t handle) : handle_(handle) {}
    file(const file&) = delete;
    file& operator=(const file&) = delete;
    file(file&& other) noexcept : handle_(other.release()) {}
    file& operator=(file&& other) noexcept;
    ~file();

    bool is_open() const { return handle_ != invalid; }
    std::intptr_t handle() const { return handle_; }
    status close();
    // Hands the handle over to the caller, who closes it.
    std::intptr_t release();

private:
    static constexpr std::intptr_t invalid = -1;
    std::intptr_t handle_ = invalid;
};

// Opens an existing file for reading only.
status open_for_reading(const char* path, file& out);

// Opens an existing file for reading and writing, as an update would; used
// where a read-only file must be refused.
status open_for_update(const char* path, file& out);

// Creates a new file for writing. Fails if anything already exists at the
// name, and never follows a link planted there.
status create_new(const char* path, file& out);

// Creates or truncates a file for writing (following links, as any editor's
// save would).
status create_or_truncate(const char* path, file& out);

// Removes whatever non-directory entry stands at the name, link or file; the
// link itself, never its target. A missing name or a directory is left alone.
status remove_stale(const char* path);

struct [[nodiscard]] transfer {
    std::size_t count = 0; // 0 with an ok status means end of file
    status result;
};

// One read of at most size bytes; retries after an interrupted call.
transfer read_some(file& in, void* buffer, std::size_t size);

// Writes all size bytes, finishing short writes and retrying interrupted ones.
status write_all(file& out, const void* buffer, std::size_t size);

// Moves the file position to offset bytes from the start.
status seek_to(file& f, std::uint64_t offset);

// Flushes the file's data to stable storage.
status sync(file& f);

// Puts the file at from in the place of to in one step, replacing what is
// there, so that at no instant is there no file at to.
status replace(const char* from, const char* to);

// Deletes the file at the name.
status remove_file(const char* path);

// Makes the directory entry changes under the directory holding path durable.
status sync_directory_of(const char* path);

// Identifies the file a name leads to, through links. Two names lead to the
// same file when their identities are equal.
struct identity {
    bool exists = false;
    std::uint64_t volume = 0;
    std::uint64_t index = 0;

    friend bool operator==(const identity& a, const identity& b) {
        return a.exists && b.exists && a.volume == b.volume && a.index == b.index;
    }
};
identity identify(const char* path);
identity identify(const file& f);

// Keeps the operations that use the temporary file in the current directory
// one at a time: held from lock_working_directory() until destroyed (or the
// process ends), across processes.
class working_directory_lock {
public:
    working_directory_lock() = default;
    explicit working_directory_lock(std::intptr_t handle) : handle_(handle) {}
    working_directory_lock(const working_directory_lock&) = delete;
    working_directory_lock& operator=(const working_directory_lock&) = delete;
    working_directory_lock(working_directory_lock&& other) noexcept : handle_(other.handle_) {
        other.handle_ = invalid;
    }
    working_directory_lock& operator=(working_directory_lock&&) = delete;
    ~working_directory_lock();

private:
    static constexpr std::intptr_t invalid = -1;
    std::intptr_t handle_ = invalid;
};

// Waits until no other operation holds the current directory's lock, then
// takes it. Where the system offers no such lock, goes on without one: the
// operation then runs as it would have without the lock.
working_directory_lock lock_working_directory();

// Makes sure the standard streams stand on open descriptors, so that a file
// opened later cannot take one of their places and receive console text.
void keep_standard_streams_open();

} // namespace parse_logo_bin::platform
