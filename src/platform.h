// The few operating-system calls that durable, atomic file replacement needs.
// Everything platform-specific lives behind this header: one implementation
// file per system, chosen by the build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace parse_logo_bin::platform {

// The outcome of a system call: empty reason on success, otherwise the
// system's own words for what went wrong, taken at the point of failure.
struct [[nodiscard]] status {
    std::string reason;

    bool ok() const { return reason.empty(); }
};

// The system's own close call for a handle this layer opened; the only part
// of the owner below that differs per system.
status close_handle(std::intptr_t handle);

// The one owner of an open system handle (a file, a directory, a lock).
// Destruction closes silently, which is right only for a handle being
// abandoned; the success path calls close() and checks what it says.
// close() may be called again: a closed handle closes as a success.
class handle {
public:
    handle() = default;
    explicit handle(std::intptr_t value) : value_(value) {}
    handle(const handle&) = delete;
    handle& operator=(const handle&) = delete;
    handle(handle&& other) noexcept : value_(other.release()) {}
    handle& operator=(handle&& other) noexcept {
        if (this != &other) {
            (void)close(); // abandoned for the one taken over
            value_ = other.release();
        }
        return *this;
    }
    ~handle() { (void)close(); } // abandoned: nothing left to report to

    bool is_open() const { return value_ != invalid; }
    std::intptr_t get() const { return value_; }
    status close() { return is_open() ? close_handle(release()) : status{}; }
    // Hands the handle over to the caller, who closes it.
    std::intptr_t release() {
        const std::intptr_t value = value_;
        value_ = invalid;
        return value;
    }

private:
    static constexpr std::intptr_t invalid = -1;
    std::intptr_t value_ = invalid;
};

using file = handle;

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

// Gives the file being built the destination's permission bits and, where
// the process may set them, its owner and group; on Linux also its POSIX ACL
// and user extended attributes, and on Windows its file attributes (hidden,
// system, archive). Only a failure to set the permission bits (or, on
// Windows, the attributes) is an error: the rest is kept where it can be.
status copy_metadata(const char* destination, file& built);

// Identifies the file a name leads to, through links. Two names lead to the
// same file when their identities are equal.
struct identity {
    bool exists = false;
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    std::uint64_t links = 0; // the names the file has (hard links)

    friend bool operator==(const identity& a, const identity& b) {
        return a.exists && b.exists && a.volume == b.volume && a.index == b.index;
    }
};
identity identify(const char* path);
identity identify(const file& f);

// The current directory, opened once before an operation touches anything.
// It holds the lock that keeps the operations that use the temporary file in
// this directory one at a time, across processes, until destroyed (or the
// process ends), and it makes the changes of entries in it durable. Where it
// cannot be opened (a directory that may be written but not read) or locked,
// the operation goes on without the lock, and without directory syncs, as on
// a file system that has neither.
class working_directory {
public:
    working_directory() = default;
    explicit working_directory(handle held) : held_(std::move(held)) {}
    working_directory(const working_directory&) = delete;
    working_directory& operator=(const working_directory&) = delete;
    working_directory(working_directory&&) noexcept = default;
    working_directory& operator=(working_directory&&) = delete;
    ~working_directory() { unlock(held_); }

    // Makes the entry changes in the directory that holds path durable.
    status sync_entries_of(const char* path) const;

private:
    // Gives the lock up before the handle closes; closing alone does it
    // where the system ties the lock to the handle.
    static void unlock(handle& held);
    handle held_;
};

// Opens the current directory, then waits until no other operation holds its
// lock and takes it.
working_directory lock_working_directory();

// Ties interrupts (Ctrl-C, a hang-up, a polite kill; on Windows also Ctrl-Break
// and closing the console) to a file being built, while the guard lives. An
// interrupt first removes the file at path, then ends the process as it would
// have. After hold(), interrupts wait instead until the guard is destroyed, so
// that steps which belong together are never cut apart. One guard at a time.
class interrupt_guard {
public:
    interrupt_guard(const char* path, const file& built);
    interrupt_guard(const interrupt_guard&) = delete;
    interrupt_guard& operator=(const interrupt_guard&) = delete;
    ~interrupt_guard();

    void hold();
};

// Sets a program up for its work: standard streams on open descriptors, so
// that a file opened later cannot take one of their places and receive
// console text; and a full disk or file-size limit, or a console that went
// away, reported as a failed call, never as a signal that ends the process.
void prepare_program();

} // namespace parse_logo_bin::platform
