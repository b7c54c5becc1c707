// The header operations through the logo_header program, in a scratch
// directory per case.
#include "strace_support.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace plb_test {
namespace {

using names = std::vector<std::string>;

const std::string source_name = "logo.bin";
const std::string header_name = "logo_header.bin";
const std::string temp_name = "logo_temp.bin";

std::string expected_header(const std::string& source) {
    std::string header = source.substr(0, 16);
    header.resize(16, '\xff');
    return header;
}

std::string expected_trimmed(const std::string& source) {
    return source.size() > 16 ? source.substr(16) : std::string();
}

class header_ops : public ::testing::Test {
protected:
    scratch_dir dir;

    run_result run_header(const std::vector<std::string>& args,
                          const run_options& options = {}) const {
        return run(command(header_program(), args), dir.path(), options);
    }
};

class header_ops_sizes : public header_ops, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(header_ops_sizes, extraction_copies_the_first_16_bytes_padded_with_ff) {
    const std::string source = pattern(GetParam(), 11);
    write_bytes(dir / source_name, source);

    const auto r = run_header({"extract", source_name, header_name});

    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(read_bytes(dir / header_name), expected_header(source));
    EXPECT_EQ(read_bytes(dir / source_name), source);
    EXPECT_EQ(entries(dir.path()), (names{source_name, header_name}));
}

TEST_P(header_ops_sizes, removal_cuts_the_first_16_bytes_in_place) {
    const std::string source = pattern(GetParam(), 12);
    write_bytes(dir / source_name, source);

    const auto r = run_header({"remove", source_name});

    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(read_bytes(dir / source_name), expected_trimmed(source));
    EXPECT_EQ(entries(dir.path()), names{source_name});
}

INSTANTIATE_TEST_SUITE_P(table, header_ops_sizes,
                         ::testing::Values(0, 1, 10, 15, 16, 17, (3U << 20) + 3),
                         [](const auto& info) { return "size_" + std::to_string(info.param); });

TEST_F(header_ops, header_path_naming_the_source_leaves_it_holding_its_header) {
    for (const std::size_t size : {10U, 40U}) {
        SCOPED_TRACE(size);
        const std::string source = pattern(size, 13);
        write_bytes(dir / source_name, source);

        const auto r = run_header({"extract", source_name, "./" + source_name});

        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(read_bytes(dir / source_name), expected_header(source));
    }
}

// Root ignores permission bits, so there the refusal is shown as an
// unprivileged user.
TEST_F(header_ops, read_only_source_is_refused_by_both) {
    const std::string source = pattern(40, 14);
    write_bytes(dir / source_name, source);
    const auto read_only = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    fs::permissions(dir / source_name, read_only);
    run_options options;
    if (is_superuser()) {
        if (std::system("setpriv --help >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "running as root without setpriv to drop privileges";
        }
        options.prefix = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        fs::permissions(dir.path(), fs::perms::all);
    } else if (std::ofstream(dir / source_name, std::ios::app)) {
        fs::permissions(dir / source_name, fs::perms::owner_all);
        GTEST_SKIP() << "this system lets a read-only file be opened for writing here (as Wine "
                        "does when run as root)";
    }

    const auto extracted = run_header({"extract", source_name, header_name}, options);

    EXPECT_EQ(extracted.out, "");
    EXPECT_EQ(extracted.err, console_text("I couldn't open the file \"logo.bin\"\r\n"));
    EXPECT_EQ(extracted.exit_code, 1);
    EXPECT_EQ(entries(dir.path()), names{source_name});

    const auto trimmed = run_header({"remove", source_name}, options);

    EXPECT_EQ(trimmed.out, console_text("Open the file failure...\r\n"));
    EXPECT_EQ(trimmed.err, "");
    EXPECT_EQ(trimmed.exit_code, 1);
    EXPECT_EQ(read_bytes(dir / source_name), source);
    EXPECT_EQ(read_bytes(dir / temp_name), "");
    fs::permissions(dir / source_name, fs::perms::owner_all); // so it can be cleaned up
}

struct open_failure {
    const char* label;
    std::vector<std::string> args;
    bool temp_is_directory;
    const char* out;
    const char* err;
    names left; // besides the source, which stays as it was
};

class open_failures : public header_ops, public ::testing::WithParamInterface<open_failure> {};

TEST_P(open_failures, are_reported_on_their_streams) {
    const auto& c = GetParam();
    const std::string source = pattern(40, 15);
    write_bytes(dir / source_name, source);
    if (c.temp_is_directory) {
        fs::create_directory(dir / temp_name);
    }

    const auto r = run_header(c.args);

    EXPECT_EQ(r.out, console_text(c.out));
    EXPECT_EQ(r.err, console_text(c.err));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(read_bytes(dir / source_name), source);
    names left = c.left;
    left.push_back(source_name);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(entries(dir.path()), left);
    if (exists(dir / temp_name) && !c.temp_is_directory) {
        EXPECT_EQ(read_bytes(dir / temp_name), "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    table, open_failures,
    ::testing::Values(open_failure{"missing_source",
                                   {"extract", "missing.bin", header_name},
                                   false,
                                   "",
                                   "I couldn't open the file \"missing.bin\"\r\n",
                                   {}},
                      open_failure{"unopenable_header_path",
                                   {"extract", source_name, "no_such_dir/h.bin"},
                                   false,
                                   "",
                                   "I couldn't open the file \"no_such_dir/h.bin\"\n",
                                   {}},
                      open_failure{"removal_from_missing_file",
                                   {"remove", "missing.bin"},
                                   false,
                                   "Open the file failure...\r\n",
                                   "",
                                   {temp_name}},
                      open_failure{"removal_without_a_temp_file",
                                   {"remove", source_name},
                                   true,
                                   "Open the file failure...\r\n",
                                   "",
                                   {temp_name}}),
    [](const auto& info) { return std::string(info.param.label); });

struct temp_file_name_case {
    const char* label;
    std::vector<std::string> args;
    const char* message;
    bool needs_symbolic_link; // link.bin, a symbolic link to the temporary file
};

class temp_file_names : public header_ops,
                        public ::testing::WithParamInterface<temp_file_name_case> {};

TEST_P(temp_file_names, are_refused_before_anything_is_touched) {
    const auto& c = GetParam();
    PLB_SKIP_IF(c.needs_symbolic_link ? posix_only_reason() : "");
    const std::string temp_bytes = pattern(40, 16);
    write_bytes(dir / temp_name, temp_bytes);
    write_bytes(dir / source_name, "source");
    if (c.needs_symbolic_link) {
        fs::create_symlink(temp_name, dir / "link.bin");
    }

    const auto r = run_header(c.args);

    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, console_text(c.message));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(read_bytes(dir / temp_name), temp_bytes);
    EXPECT_EQ(read_bytes(dir / source_name), "source");
}

INSTANTIATE_TEST_SUITE_P(
    table, temp_file_names,
    ::testing::Values(temp_file_name_case{"removal_by_name",
                                          {"remove", "logo_temp.bin"},
                                          "logo_temp.bin is the temporary splice file\r\n",
                                          false},
                      temp_file_name_case{"removal_by_path",
                                          {"remove", "./logo_temp.bin"},
                                          "./logo_temp.bin is the temporary splice file\r\n",
                                          false},
                      temp_file_name_case{"removal_through_a_symbolic_link",
                                          {"remove", "link.bin"},
                                          "link.bin is the temporary splice file\r\n",
                                          true}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(header_ops, removal_never_follows_a_link_planted_at_the_temp_name) {
    PLB_SKIP_IF(posix_only_reason());
    for (const bool symbolic : {true, false}) {
        SCOPED_TRACE(symbolic);
        scratch_dir d;
        const std::string source = pattern(100, 17);
        write_bytes(d / source_name, source);
        write_bytes(d / "victim.bin", "victim");
        plant_link(d, "victim.bin", temp_name, symbolic);

        const auto r = run({header_program(), "remove", source_name}, d.path());

        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(read_bytes(d / source_name), expected_trimmed(source));
        EXPECT_EQ(read_bytes(d / "victim.bin"), "victim");
        EXPECT_EQ(entries(d.path()), (names{source_name, "victim.bin"}));
    }
}

// A file-size limit makes the kernel cut a write short, then refuse the next.
TEST_F(header_ops, write_errors_remove_the_partial_file_and_keep_the_source) {
    PLB_SKIP_IF(posix_only_reason());
    const std::string source = pattern(5000, 18);
    for (const std::uint64_t limit : {0U, 10U, 1000U}) {
        SCOPED_TRACE(limit);
        scratch_dir d;
        write_bytes(d / source_name, source);
        run_options options;
        options.file_size_limit = limit;

        const auto extracted =
            run({header_program(), "extract", source_name, header_name}, d.path(), options);

        EXPECT_EQ(extracted.err,
                  limit < 16 ? "write logo_header.bin failed: File too large\r\n" : "");
        EXPECT_EQ(extracted.exit_code, limit < 16 ? 1 : 0);
        EXPECT_EQ(exists(d / header_name), limit >= 16);

        const auto trimmed = run({header_program(), "remove", source_name}, d.path(), options);

        EXPECT_EQ(trimmed.out, "");
        EXPECT_EQ(trimmed.err, "write logo_temp.bin failed: File too large\r\n");
        EXPECT_EQ(trimmed.exit_code, 1);
        EXPECT_EQ(read_bytes(d / source_name), source);
        EXPECT_FALSE(exists(d / temp_name));
    }
}

struct injected_fault {
    const char* label;
    std::vector<std::string> args;
    call_target target;
    const char* error;
    const char* message;
    bool header_file_left;
};

class header_ops_faults : public header_ops,
                          public ::testing::WithParamInterface<injected_fault> {};

TEST_P(header_ops_faults, are_reported_and_lose_nothing) {
    PLB_SKIP_IF(posix_only_reason());
    PLB_SKIP_IF(strace_unusable_reason());
    const auto& c = GetParam();
    const std::string source = pattern(5000, 19);
    const auto lay_out_case = [&](const scratch_dir& d) { write_bytes(d / source_name, source); };

    const auto r =
        run_failing_at(command(header_program(), c.args), dir, lay_out_case, c.target, c.error);

    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(read_bytes(dir / source_name), source);
    EXPECT_EQ(entries(dir.path()),
              c.header_file_left ? (names{source_name, header_name}) : names{source_name});
}

const std::vector<std::string> extract{"extract", source_name, header_name};
const std::vector<std::string> trim{"remove", source_name};
const call_target source_read{"read", "", "\"logo.bin\", O_RDWR"};

INSTANTIATE_TEST_SUITE_P(table, header_ops_faults,
                         ::testing::Values(
                             // A failed read must not pass for a short source padded with 0xFF.
                             injected_fault{"extraction_read_fails", extract, source_read, "EIO",
                                            "read logo.bin failed: Input/output error\r\n", false},
                             injected_fault{"extraction_source_close_fails",
                                            extract,
                                            {"close", "", "\"logo.bin\", O_RDWR"},
                                            "EIO",
                                            "read logo.bin failed: Input/output error\r\n",
                                            false},
                             injected_fault{
                                 "extraction_write_fails",
                                 extract,
                                 {"write", "", "\"logo_header.bin\", O_WRONLY"},
                                 "ENOSPC",
                                 "write logo_header.bin failed: No space left on device\r\n",
                                 false},
                             injected_fault{"extraction_sync_fails",
                                            extract,
                                            {"fsync", "", "\"logo_header.bin\", O_WRONLY"},
                                            "EIO",
                                            "write logo_header.bin failed: Input/output error\r\n",
                                            false},
                             injected_fault{"extraction_close_fails",
                                            extract,
                                            {"close", "", "\"logo_header.bin\", O_WRONLY"},
                                            "EIO",
                                            "write logo_header.bin failed: Input/output error\r\n",
                                            false},
                             injected_fault{"removal_read_fails", trim, source_read, "EIO",
                                            "read logo.bin failed: Input/output error\r\n", false},
                             injected_fault{"removal_seek_fails",
                                            trim,
                                            {"lseek", "", ""},
                                            "EIO",
                                            "read logo.bin failed: Input/output error\r\n",
                                            false},
                             injected_fault{"removal_sync_fails",
                                            trim,
                                            {"fsync", "", ""},
                                            "EIO",
                                            "write logo_temp.bin failed: Input/output error\r\n",
                                            false},
                             injected_fault{"removal_replace_fails",
                                            trim,
                                            {"rename", "", ""},
                                            "EACCES",
                                            "replace logo.bin failed: Permission denied\r\n",
                                            false}),
                         [](const auto& info) { return std::string(info.param.label); });

} // namespace
} // namespace plb_test

namespace plb_test {
namespace {

// The program's own command line, before any operation runs.
class header_command_line : public header_ops {
protected:
    static std::string usage() {
        return console_text("usage: logo_header extract SOURCE HEADER\n"
                            "       logo_header remove FILE\n"
                            "       logo_header --help | --version\n"
                            "\n"
                            "extract  writes the first 16 bytes of SOURCE (the logo header) to "
                            "HEADER,\n"
                            "         0xFF standing for any byte SOURCE lacks; SOURCE must be "
                            "writable\n"
                            "         and is left unchanged\n"
                            "remove   cuts the first 16 bytes off FILE in place\n");
    }
};

TEST_F(header_command_line, help_and_version_go_to_standard_output) {
    const auto help = run_header({"--help"});
    EXPECT_EQ(help.out, usage());
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.exit_code, 0);

    const auto version = run_header({"--version"});
    EXPECT_EQ(version.out, console_text("logo_header " PLB_VERSION "\n"));
    EXPECT_EQ(version.err, "");
    EXPECT_EQ(version.exit_code, 0);
}

class wrong_command_lines : public header_command_line,
                            public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(wrong_command_lines, print_the_usage_and_touch_no_file) {
    write_bytes(dir / source_name, pattern(40, 20));

    const auto r = run_header(GetParam());

    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, usage());
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(entries(dir.path()), names{source_name});
    EXPECT_EQ(read_bytes(dir / source_name), pattern(40, 20));
}

INSTANTIATE_TEST_SUITE_P(
    table, wrong_command_lines,
    ::testing::Values(std::vector<std::string>{}, std::vector<std::string>{"trim", "logo.bin"},
                      std::vector<std::string>{"extract", "logo.bin"},
                      std::vector<std::string>{"extract", "logo.bin", "h.bin", "more.bin"},
                      std::vector<std::string>{"remove"},
                      std::vector<std::string>{"remove", "logo.bin", "more.bin"},
                      std::vector<std::string>{"--help", "extract"},
                      std::vector<std::string>{"--Version"}),
    [](const auto& info) { return "case_" + std::to_string(info.index); });

} // namespace
} // namespace plb_test
