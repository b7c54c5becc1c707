#include "parse_logo_bin.h"

#include "platform.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace parse_logo_bin {
namespace {

using platform::file;
using platform::status;

// What a step found wrong: the message it calls for, the file it concerns and
// the system's reason.
struct error {
    const char* format;
    std::string path;
    std::string reason;
};

using outcome = std::optional<error>;

constexpr const char* read_failed = "read %s failed: %s\r\n";
constexpr const char* write_failed = "write %s failed: %s\r\n";
constexpr const char* replace_failed = "replace %s failed: %s\r\n";
constexpr const char* delete_failed = "delete %s failed: %s\r\n";

outcome check(const status& result, const char* format, const char* path) {
    if (result.ok()) {
        return std::nullopt;
    }
    return error{format, path, result.reason};
}

// Progress and failure messages are only reports: a console that cannot take
// them changes nothing about the files, so their results are not acted on.
template <typename... Args> void report(std::FILE* stream, const char* format, Args... args) {
    (void)std::fprintf(stream, format, args...);
}

void report_line(const char* text) { (void)std::puts(text); }

[[noreturn]] void quit() { std::exit(EXIT_FAILURE); }

[[noreturn]] void fail(const error& e) {
    report(stderr, e.format, e.path.c_str(), e.reason.c_str());
    quit();
}

void fail_on(const outcome& e) {
    if (e) {
        fail(*e);
    }
}

// A file that must not be the temporary file: removing a stale temporary
// file first would delete it, and writing the temporary file would overwrite
// the bytes being read.
void refuse_temp_file(const char* path) {
    const bool by_name =
        std::filesystem::path(path).lexically_normal() == std::filesystem::path(temp_file_name);
    if (by_name || platform::identify(path) == platform::identify(temp_file_name)) {
        report(stderr, "%s is the temporary splice file\r\n", path);
        quit();
    }
}

// Result files are built under the fixed temporary name, then either kept,
// by replacing their destination in one durable step, or discarded.
class temp_file {
public:
    // Never opens what already stands at the name: a link planted there would
    // otherwise lead the writes into another file.
    status create() {
        auto removed = platform::remove_stale(temp_file_name);
        if (!removed.ok()) {
            return removed;
        }
        return platform::create_new(temp_file_name, out_);
    }

    file& out() { return out_; }

    void discard() {
        if (out_.is_open()) {
            (void)out_.close(); // being thrown away: a close error changes nothing
        }
        (void)platform::remove_file(temp_file_name); // at worst a stale file the next run clears
    }

    // Makes the content durable before it takes the destination's name, so a
    // crash leaves either the old destination or the complete new one.
    outcome keep(const char* destination) {
        outcome e = check(platform::sync(out_), write_failed, temp_file_name);
        if (!e) {
            e = check(out_.close(), write_failed, temp_file_name);
        }
        if (!e) {
            e = check(platform::replace(temp_file_name, destination), replace_failed, destination);
        }
        if (e) {
            discard();
            return e;
        }
        return check(platform::sync_directory_of(destination), replace_failed, destination);
    }

private:
    file out_;
};

[[noreturn]] void fail_and_discard(temp_file& temp, const error& e) {
    temp.discard();
    fail(e);
}

// Large enough that each system call moves plenty of data, small enough that
// memory use stays flat whatever the file sizes.
constexpr std::size_t copy_buffer_size = std::size_t{1} << 20;

// Copies everything from the current position of in to the end of out.
// Plain reads and writes through one buffer: measured here, they beat the
// kernel's copy_file_range, which the 16-byte header leaves copying to an
// unaligned offset.
outcome copy_rest(file& in, const char* in_path, file& out, const char* out_path) {
    const auto buffer = std::make_unique<char[]>(copy_buffer_size);
    for (;;) {
        auto got = platform::read_some(in, buffer.get(), copy_buffer_size);
        if (!got.result.ok()) {
            return error{read_failed, in_path, got.result.reason};
        }
        if (got.count == 0) {
            return std::nullopt;
        }
        if (auto e =
                check(platform::write_all(out, buffer.get(), got.count), write_failed, out_path)) {
            return e;
        }
    }
}

void refuse_same_file(const char* first_path, const char* second_path) {
    if (platform::identify(first_path) == platform::identify(second_path)) {
        report(stderr, "merge %s and %s failed: same file\r\n", first_path, second_path);
        quit();
    }
}

} // namespace

void merge(const char* first_path, const char* second_path) {
    // Another run in this directory would share the temporary file.
    const auto lock = platform::lock_working_directory();
    refuse_temp_file(first_path);
    refuse_temp_file(second_path);
    refuse_same_file(first_path, second_path);

    temp_file temp;
    if (!temp.create().ok()) {
        report(stderr, "I couldn't open the file \"%s\"\n", temp_file_name);
        quit();
    }
    const char* const paths[] = {first_path, second_path};
    for (int index = 0; index < 2; ++index) {
        const char* path = paths[index];
        file in;
        // A missing input leaves the temporary file as far as it got, for
        // whoever looks into what went wrong.
        if (!platform::open_for_reading(path, in).ok()) {
            report(stdout, "fopen %s failed\r\n", path);
            quit();
        }
        if (platform::identify(in) == platform::identify(temp.out())) {
            temp.discard();
            report(stderr, "%s is the temporary splice file\r\n", path);
            quit();
        }
        report(stdout, "merge file%d_name:%s\r\n", index, path);
        if (auto e = copy_rest(in, path, temp.out(), temp_file_name)) {
            fail_and_discard(temp, *e);
        }
        if (auto e = check(in.close(), read_failed, path)) {
            fail_and_discard(temp, *e);
        }
    }
    fail_on(temp.keep(second_path));

    // Only now may the first file go: had the replace failed, its bytes would
    // exist nowhere else.
    fail_on(check(platform::remove_file(first_path), delete_failed, first_path));
    fail_on(check(platform::sync_directory_of(first_path), delete_failed, first_path));
}

void create_logo_header_file(const char* source_path, const char* header_path) {
    file source;
    // Opened for update, as the header tools always have: a source that may
    // not be written to is refused.
    if (!platform::open_for_update(source_path, source).ok()) {
        report(stderr, "I couldn't open the file \"%s\"\r\n", source_path);
        quit();
    }
    // What the source lacks reads as 0xFF, as erased flash does.
    std::array<unsigned char, logo_header_size> header{};
    header.fill(0xFF);
    std::size_t filled = 0;
    while (filled < header.size()) {
        auto got = platform::read_some(source, header.data() + filled, header.size() - filled);
        // A failed read must not pass for a short source: its header would
        // be made of padding.
        fail_on(check(got.result, read_failed, source_path));
        if (got.count == 0) {
            break;
        }
        filled += got.count;
    }
    // Closed before the header path is opened: the two may name one file.
    fail_on(check(source.close(), read_failed, source_path));

    file out;
    if (!platform::create_or_truncate(header_path, out).ok()) {
        report(stderr, "I couldn't open the file \"%s\"\n", header_path);
        quit();
    }
    outcome e =
        check(platform::write_all(out, header.data(), header.size()), write_failed, header_path);
    if (!e) {
        e = check(out.close(), write_failed, header_path);
    }
    if (e) {
        // A header file is exactly 16 bytes or nothing.
        if (out.is_open()) {
            (void)out.close(); // being removed: a close error changes nothing
        }
        (void)platform::remove_file(header_path); // nothing better to do if this fails too
        fail(*e);
    }
}

void remove_header_info_from_file(const char* path) {
    const auto lock = platform::lock_working_directory();
    refuse_temp_file(path);

    file source;
    temp_file temp;
    const bool source_opened = platform::open_for_update(path, source).ok();
    const bool temp_created = temp.create().ok();
    if (!source_opened || !temp_created) {
        report_line("Open the file failure...\r");
        quit();
    }
    if (auto e = check(platform::seek_to(source, logo_header_size), read_failed, path)) {
        fail_and_discard(temp, *e);
    }
    if (auto e = copy_rest(source, path, temp.out(), temp_file_name)) {
        fail_and_discard(temp, *e);
    }
    if (auto e = check(source.close(), read_failed, path)) {
        fail_and_discard(temp, *e);
    }
    fail_on(temp.keep(path));
}

} // namespace parse_logo_bin
