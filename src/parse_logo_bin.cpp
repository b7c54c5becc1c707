#include "parse_logo_bin.h"

#include "platform.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace parse_logo_bin {
namespace {

using platform::file;
using platform::status;

constexpr const char* read_failed = "read %s failed: %s\r\n";
constexpr const char* write_failed = "write %s failed: %s\r\n";
constexpr const char* replace_failed = "replace %s failed: %s\r\n";
constexpr const char* delete_failed = "delete %s failed: %s\r\n";
constexpr const char* sync_failed = "sync %s failed: %s\r\n";

// The message a format gives, for standard error unless said otherwise.
template <typename... Args> failure message(const char* format, Args... args) {
    const int size = std::snprintf(nullptr, 0, format, args...);
    std::string text(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    (void)std::snprintf(text.data(), text.size() + 1, format, args...);
    return failure{false, text};
}

failure on_standard_output(failure f) {
    f.on_standard_output = true;
    return f;
}

// Turns the system's reason for a failed step into its message.
outcome check(const status& result, const char* format, const char* path) {
    if (result.ok()) {
        return std::nullopt;
    }
    return message(format, path, result.reason.c_str());
}

// Progress lines are only reports: a console that cannot take them changes
// nothing about the files, so their results are not acted on.
void report_progress(int index, const char* path) {
    (void)std::printf("merge file%d_name:%s\r\n", index, path);
}

// Where a name stands: its directory as the system resolves it, then its own
// last part, which is not followed.
std::filesystem::path entry_of(const std::filesystem::path& path) {
    std::error_code ignored;
    const auto absolute = std::filesystem::absolute(path, ignored);
    return std::filesystem::weakly_canonical(absolute.parent_path(), ignored) / absolute.filename();
}

// Whether path is the temporary file's own name, or leads to that name
// through symbolic links: removing a stale temporary file would then delete
// the input. A link at the temporary name that leads to an input is only a
// stale entry: the input keeps its own name and bytes when it goes.
bool leads_to_temp_name(const char* path) {
    namespace fs = std::filesystem;
    const fs::path temp = entry_of(temp_file_name);
    fs::path at = path;
    for (int hops = 0; hops < 40; ++hops) { // as many as the system follows
        if (entry_of(at) == temp) {
            return true;
        }
        std::error_code ec;
        if (!fs::is_symlink(at, ec)) {
            return false;
        }
        const fs::path target = fs::read_symlink(at, ec);
        if (ec) {
            return false;
        }
        at = target.is_absolute() ? target : at.parent_path() / target;
    }
    return false;
}

// Where the file system folds case (Windows, and some Linux mounts), another
// spelling of the temporary name is the same entry: clearing the stale
// temporary file would delete the input. A symbolic link at the temporary
// name, or another hard link of the input, is only another way to it.
bool is_temp_entry_by_another_spelling(const char* path) {
    const auto input = platform::identify(path);
    std::error_code ec;
    return input == platform::identify(temp_file_name) && input.links < 2 &&
           !std::filesystem::is_symlink(temp_file_name, ec);
}

outcome refuse_temp_file(const char* path) {
    if (leads_to_temp_name(path) || is_temp_entry_by_another_spelling(path)) {
        return message("%s is the temporary splice file\r\n", path);
    }
    return std::nullopt;
}

outcome refuse_same_file(const char* first_path, const char* second_path) {
    if (platform::identify(first_path) == platform::identify(second_path)) {
        return message("merge %s and %s failed: same file\r\n", first_path, second_path);
    }
    return std::nullopt;
}

// A result file built under the fixed temporary name. It is either kept, by
// replacing its destination in one durable step, or discarded when it goes
// out of scope, unless left_as_it_is() says that it stays for whoever looks
// into what went wrong. An interrupt discards it too, until the replace
// begins; from then on interrupts wait until the operation is over.
class temp_file {
public:
    explicit temp_file(const platform::working_directory& dir) : dir_(dir) {}
    temp_file(const temp_file&) = delete;
    temp_file& operator=(const temp_file&) = delete;
    ~temp_file() {
        if (created_ && !kept_ && !left_) {
            discard();
        }
    }

    // Never opens what already stands at the name: a link planted there would
    // otherwise lead the writes into another file.
    status create() {
        auto removed = platform::remove_stale(temp_file_name);
        if (!removed.ok()) {
            return removed;
        }
        auto created = platform::create_new(temp_file_name, out_);
        created_ = created.ok();
        if (created_) {
            interrupts_.emplace(temp_file_name, out_);
        }
        return created;
    }

    file& out() { return out_; }

    void left_as_it_is() { left_ = true; }

    // Takes on what the destination was (its permissions, owner and the like)
    // and makes the content durable before it takes the destination's name,
    // so a crash leaves either the old destination or the complete new one.
    outcome keep(const char* destination) {
        if (auto e =
                check(platform::copy_metadata(destination, out_), write_failed, temp_file_name)) {
            return e;
        }
        if (auto e = check(platform::sync(out_), write_failed, temp_file_name)) {
            return e;
        }
        interrupts_->hold();
        if (auto e = check(out_.close(), write_failed, temp_file_name)) {
            return e;
        }
        if (auto e = check(platform::replace(temp_file_name, destination), replace_failed,
                           destination)) {
            return e;
        }
        kept_ = true;
        return std::nullopt;
    }

    // After keep(): makes the replace durable. Its failure leaves the result
    // in place, but a power loss might still undo the replace.
    outcome sync_replace(const char* destination) const {
        return check(dir_.sync_entries_of(destination), sync_failed, destination);
    }

private:
    void discard() {
        (void)out_.close(); // being thrown away: a close error changes nothing
        (void)platform::remove_file(temp_file_name); // at worst a stale file the next run clears
    }

    const platform::working_directory& dir_;
    file out_;
    // Declared after the file, so released after discard() has run and before
    // the file's handle closes.
    std::optional<platform::interrupt_guard> interrupts_;
    bool created_ = false;
    bool kept_ = false;
    bool left_ = false;
};

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
        if (auto e = check(got.result, read_failed, in_path)) {
            return e;
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

// Appends the whole file at path to the temporary file, as input index.
outcome append_input(int index, const char* path, temp_file& temp) {
    file in;
    if (!platform::open_for_reading(path, in).ok()) {
        // A missing input leaves the temporary file as far as it got.
        temp.left_as_it_is();
        return on_standard_output(message("fopen %s failed\r\n", path));
    }
    if (platform::identify(in) == platform::identify(temp.out())) {
        return message("%s is the temporary splice file\r\n", path);
    }
    report_progress(index, path);
    if (auto e = copy_rest(in, path, temp.out(), temp_file_name)) {
        return e;
    }
    return check(in.close(), read_failed, path);
}

// Reads the first bytes of the source, 0xFF standing for what it lacks, as
// erased flash does.
outcome read_header(const char* source_path, std::array<unsigned char, logo_header_size>& header) {
    file source;
    // Opened for update, as the header tools always have: a source that may
    // not be written to is refused.
    if (!platform::open_for_update(source_path, source).ok()) {
        return message("I couldn't open the file \"%s\"\r\n", source_path);
    }
    header.fill(0xFF);
    std::size_t filled = 0;
    while (filled < header.size()) {
        auto got = platform::read_some(source, header.data() + filled, header.size() - filled);
        // A failed read must not pass for a short source: its header would
        // be made of padding.
        if (auto e = check(got.result, read_failed, source_path)) {
            return e;
        }
        if (got.count == 0) {
            break;
        }
        filled += got.count;
    }
    // Closed before the header path is opened: the two may name one file.
    return check(source.close(), read_failed, source_path);
}

// Writes the header file whole, or leaves none: a header file is exactly 16
// bytes or nothing.
outcome write_header(const char* header_path,
                     const std::array<unsigned char, logo_header_size>& header) {
    file out;
    if (!platform::create_or_truncate(header_path, out).ok()) {
        return message("I couldn't open the file \"%s\"\n", header_path);
    }
    outcome e =
        check(platform::write_all(out, header.data(), header.size()), write_failed, header_path);
    if (!e) {
        e = check(platform::sync(out), write_failed, header_path);
    }
    if (!e) {
        e = check(out.close(), write_failed, header_path);
    }
    if (e) {
        (void)out.close();                        // being removed: a close error changes nothing
        (void)platform::remove_file(header_path); // nothing better to do if this fails too
    }
    return e;
}

// Writes the failure where it belongs and ends the process: the one place
// where an operation's failure leaves it.
[[noreturn]] void exit_with(const failure& f) {
    // Progress lines first, so that one log of both streams reads in the
    // order things happened.
    (void)std::fflush(stdout);
    (void)std::fputs(f.message.c_str(), f.on_standard_output ? stdout : stderr);
    std::exit(EXIT_FAILURE);
}

void exit_on(const outcome& result) {
    if (result) {
        exit_with(*result);
    }
}

} // namespace

outcome try_merge(const char* first_path, const char* second_path) {
    // Another run in this directory would share the temporary file.
    const auto dir = platform::lock_working_directory();
    for (const char* path : {first_path, second_path}) {
        if (auto e = refuse_temp_file(path)) {
            return e;
        }
    }
    if (auto e = refuse_same_file(first_path, second_path)) {
        return e;
    }

    temp_file temp(dir);
    if (!temp.create().ok()) {
        return message("I couldn't open the file \"%s\"\n", temp_file_name);
    }
    const char* const paths[] = {first_path, second_path};
    for (int index = 0; index < 2; ++index) {
        if (auto e = append_input(index, paths[index], temp)) {
            return e;
        }
    }
    if (auto e = temp.keep(second_path)) {
        return e;
    }

    // Only now may the first file go: had the replace failed, its bytes would
    // exist nowhere else. It goes even when the replace may not be durable:
    // the result beside the header file would be spliced again by a re-run.
    outcome unsynced = temp.sync_replace(second_path);
    if (auto e = check(platform::remove_file(first_path), delete_failed, first_path)) {
        return e;
    }
    if (unsynced) {
        return unsynced;
    }
    return check(dir.sync_entries_of(first_path), delete_failed, first_path);
}

outcome try_create_logo_header_file(const char* source_path, const char* header_path) {
    std::array<unsigned char, logo_header_size> header{};
    if (auto e = read_header(source_path, header)) {
        return e;
    }
    return write_header(header_path, header);
}

outcome try_remove_header_info_from_file(const char* path) {
    const auto dir = platform::lock_working_directory();
    if (auto e = refuse_temp_file(path)) {
        return e;
    }

    file source;
    temp_file temp(dir);
    const bool source_opened = platform::open_for_update(path, source).ok();
    const bool temp_created = temp.create().ok();
    if (!source_opened || !temp_created) {
        // An empty temporary file, if one was made, stays.
        temp.left_as_it_is();
        return failure{true, "Open the file failure...\r\n"};
    }
    if (auto e = check(platform::seek_to(source, logo_header_size), read_failed, path)) {
        return e;
    }
    if (auto e = copy_rest(source, path, temp.out(), temp_file_name)) {
        return e;
    }
    if (auto e = check(source.close(), read_failed, path)) {
        return e;
    }
    if (auto e = temp.keep(path)) {
        return e;
    }
    return temp.sync_replace(path);
}

void merge(const char* first_path, const char* second_path) {
    exit_on(try_merge(first_path, second_path));
}

void create_logo_header_file(const char* source_path, const char* header_path) {
    exit_on(try_create_logo_header_file(source_path, header_path));
}

void remove_header_info_from_file(const char* path) {
    exit_on(try_remove_header_info_from_file(path));
}

} // namespace parse_logo_bin
