// The splice tool end to end: the built program run in a scratch directory,
// judged by the exact bytes it prints, its exit status and the files it leaves.
#include "splice_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

namespace fs = std::filesystem;

namespace plb_test {
namespace {

using names = std::vector<std::string>;

struct sizes {
    std::size_t header;
    std::size_t body;
};

class splice_sizes : public splice_fixture, public ::testing::WithParamInterface<sizes> {};

TEST_P(splice_sizes, puts_the_header_in_front_and_deletes_it) {
    lay_out(pattern(GetParam().header, 1), pattern(GetParam().body, 2));

    const auto r = run_tool();

    EXPECT_EQ(r.out, success_output());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(entries(dir.path()), names{second_name});
    EXPECT_EQ(read_bytes(dir / second_name), header + body);
}

INSTANTIATE_TEST_SUITE_P(table, splice_sizes,
                         ::testing::Values(sizes{16, 4096 + 7}, sizes{0, 100}, sizes{16, 0},
                                           sizes{0, 0}, sizes{16, (3U << 20) + 5}),
                         [](const auto& info) {
                             return "header_" + std::to_string(info.param.header) + "_body_" +
                                    std::to_string(info.param.body);
                         });

TEST_F(splice_fixture, ignores_its_arguments) {
    lay_out();

    const auto r = run_tool({"logo_compressed.bin", "*", "--help", ""});

    EXPECT_EQ(r.out, success_output());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(read_bytes(dir / second_name), header + body);
}

TEST_F(splice_fixture, second_run_finds_the_header_gone_and_changes_nothing) {
    lay_out();
    ASSERT_EQ(run_tool().exit_code, 0);

    const auto r = run_tool();

    EXPECT_EQ(r.out, console_text(begin_line + "fopen logo_no_compressed_header.bin failed\r\n"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(read_bytes(dir / second_name), header + body);
    EXPECT_EQ(read_bytes(dir / temp_name), "");
}

TEST_F(splice_fixture, missing_second_input_leaves_a_copy_of_the_first_in_the_temp_file) {
    lay_out();
    fs::remove(dir / second_name);

    const auto r = run_tool();

    EXPECT_EQ(r.out, console_text(begin_line + merge_line(0, first_name) +
                                  "fopen logo_compressed.bin failed\r\n"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(read_bytes(dir / first_name), header);
    EXPECT_EQ(read_bytes(dir / temp_name), header);
    EXPECT_EQ(entries(dir.path()), (names{first_name, temp_name}));
}

TEST_F(splice_fixture, temp_name_that_cannot_be_created_changes_nothing) {
    lay_out();
    fs::create_directory(dir / temp_name);
    write_bytes(dir / temp_name + "/inside.bin", "keep");

    const auto r = run_tool();

    EXPECT_EQ(r.out, console_text(begin_line));
    EXPECT_EQ(r.err, console_text("I couldn't open the file \"logo_temp.bin\"\n"));
    EXPECT_EQ(r.exit_code, 1);
    expect_inputs_unchanged();
    EXPECT_EQ(read_bytes(dir / temp_name + "/inside.bin"), "keep");
}

TEST_F(splice_fixture, stale_temp_file_never_reaches_the_result) {
    lay_out();
    write_bytes(dir / temp_name, pattern(50000, 9));

    const auto r = run_tool();

    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(read_bytes(dir / second_name), header + body);
    EXPECT_EQ(entries(dir.path()), names{second_name});
}

// A link planted at the temporary name must never lead the tool to write
// into, or truncate, the file it points at.
struct planted_link {
    const char* label;
    bool symbolic;
    bool dangling;
};

class planted_links : public splice_fixture, public ::testing::WithParamInterface<planted_link> {};

TEST_P(planted_links, are_replaced_never_followed) {
    PLB_SKIP_IF(GetParam().symbolic ? posix_only_reason() : "");
    lay_out();
    const std::string victim = dir / "victim.bin";
    const std::string victim_bytes = pattern(300, 7);
    if (!GetParam().dangling) {
        write_bytes(victim, victim_bytes);
    }
    plant_link(dir, "victim.bin", temp_name, GetParam().symbolic);

    const auto r = run_tool();

    EXPECT_EQ(r.out, success_output());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(read_bytes(dir / second_name), header + body);
    if (GetParam().dangling) {
        EXPECT_EQ(entries(dir.path()), names{second_name});
    } else {
        EXPECT_EQ(read_bytes(victim), victim_bytes);
        EXPECT_EQ(entries(dir.path()), (names{second_name, "victim.bin"}));
    }
}

INSTANTIATE_TEST_SUITE_P(table, planted_links,
                         ::testing::Values(planted_link{"symbolic", true, false},
                                           planted_link{"dangling_symbolic", true, true},
                                           planted_link{"hard", false, false}),
                         [](const auto& info) { return std::string(info.param.label); });

struct meeting_names {
    const char* label;
    bool symbolic;
    const char* link_name;
    const char* target;
    const char* message;
};

class names_that_meet : public splice_fixture,
                        public ::testing::WithParamInterface<meeting_names> {};

TEST_P(names_that_meet, are_refused_before_anything_is_touched) {
    const auto& p = GetParam();
    PLB_SKIP_IF(p.symbolic ? posix_only_reason() : "");
    write_bytes(dir / p.target, pattern(40, 3));
    plant_link(dir, p.target, p.link_name, p.symbolic);
    const auto before = entries(dir.path());

    const auto r = run_tool();

    EXPECT_EQ(r.out, console_text(begin_line));
    EXPECT_EQ(r.err, console_text(p.message));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(entries(dir.path()), before);
    EXPECT_EQ(read_bytes(dir / p.target), pattern(40, 3));
}

INSTANTIATE_TEST_SUITE_P(
    table, names_that_meet,
    ::testing::Values(
        meeting_names{"inputs_one_file_by_hard_link", false, "logo_no_compressed_header.bin",
                      "logo_compressed.bin",
                      "merge logo_no_compressed_header.bin and logo_compressed.bin failed: same "
                      "file\r\n"},
        meeting_names{"inputs_one_file_by_symbolic_link", true, "logo_compressed.bin",
                      "logo_no_compressed_header.bin",
                      "merge logo_no_compressed_header.bin and logo_compressed.bin failed: same "
                      "file\r\n"},
        meeting_names{"first_input_links_to_temp", true, "logo_no_compressed_header.bin",
                      "logo_temp.bin",
                      "logo_no_compressed_header.bin is the temporary splice file\r\n"}),
    [](const auto& info) { return std::string(info.param.label); });

// A link at the temporary name that leads to an input is a stale entry like
// any other: removing it leaves the input its own name and bytes.
struct stale_link {
    const char* label;
    bool symbolic;
    const char* input; // the input it leads to
};

class stale_links_to_inputs : public splice_fixture,
                              public ::testing::WithParamInterface<stale_link> {};

TEST_P(stale_links_to_inputs, are_cleared_and_the_splice_goes_on) {
    const auto& c = GetParam();
    PLB_SKIP_IF(c.symbolic ? posix_only_reason() : "");
    lay_out();
    plant_link(dir, c.input, temp_name, c.symbolic);

    const auto r = run_tool();

    EXPECT_EQ(r.out, success_output());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(read_bytes(dir / second_name), header + body);
    EXPECT_EQ(entries(dir.path()), names{second_name});
}

INSTANTIATE_TEST_SUITE_P(
    table, stale_links_to_inputs,
    ::testing::Values(stale_link{"symbolic_to_first", true, "logo_no_compressed_header.bin"},
                      stale_link{"symbolic_to_second", true, "logo_compressed.bin"},
                      stale_link{"hard_to_first", false, "logo_no_compressed_header.bin"},
                      stale_link{"hard_to_second", false, "logo_compressed.bin"}),
    [](const auto& info) { return std::string(info.param.label); });

// A directory that may be written but not read cannot be opened for its lock
// or its syncs: the run goes on without them, and never leaves the result in
// place with the header file beside it. Root ignores permission bits, so
// there it is shown as an unprivileged user.
TEST_F(splice_fixture, directory_that_cannot_be_read_still_splices_once) {
    PLB_SKIP_IF(posix_only_reason());
    if (!is_superuser() || std::system("setpriv --help >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "needs root and setpriv, to run as another user in a directory of theirs";
    }
    lay_out();
    ASSERT_EQ(std::system(("chown 65534:65534 '" + dir.path() + "'").c_str()), 0);
    fs::permissions(dir.path(), static_cast<fs::perms>(0300));
    run_options options;
    options.prefix = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

    const auto r = run_tool({}, options);

    fs::permissions(dir.path(), fs::perms::owner_all);
    EXPECT_EQ(r.out, success_output());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(read_bytes(dir / second_name), header + body);
    EXPECT_EQ(entries(dir.path()), names{second_name});
}

// `>log 2>&1`: the failure comes after the progress lines that preceded it.
TEST_F(splice_fixture, one_log_of_both_streams_reads_in_order) {
    PLB_SKIP_IF(posix_only_reason());
    lay_out();
    fs::remove(dir / second_name);
    fs::create_directory(dir / second_name);
    run_options options;
    options.one_log = true;

    const auto r = run_tool({}, options);

    EXPECT_EQ(r.out, begin_line + merge_line(0, first_name) + merge_line(1, second_name) +
                         "read logo_compressed.bin failed: Is a directory\r\n");
    EXPECT_EQ(r.exit_code, 1);
}

// Reading a directory fails after it has opened, which is a real read error.
// Windows refuses to open a directory as a file at all.
struct unreadable_input {
    const char* label;
    const char* name; // the input that is a directory
    const char* posix_out;
    const char* posix_err;
    const char* windows_out;
};

class unreadable_inputs : public splice_fixture,
                          public ::testing::WithParamInterface<unreadable_input> {};

TEST_P(unreadable_inputs, remove_the_partial_result_and_keep_both_inputs) {
    const auto& c = GetParam();
    lay_out();
    fs::remove(dir / c.name);
    fs::create_directory(dir / c.name);
    const bool posix = posix_only_reason().empty();

    const auto r = run_tool();

    EXPECT_EQ(r.out, console_text(posix ? c.posix_out : c.windows_out));
    if (posix) {
        EXPECT_EQ(r.err, c.posix_err);
        EXPECT_FALSE(exists(dir / temp_name));
    }
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(fs::is_directory(dir / c.name));
    if (c.name == first_name) {
        EXPECT_EQ(read_bytes(dir / second_name), body);
    } else {
        EXPECT_EQ(read_bytes(dir / first_name), header);
    }
}

INSTANTIATE_TEST_SUITE_P(table, unreadable_inputs,
                         ::testing::Values(
                             unreadable_input{
                                 "first", "logo_no_compressed_header.bin",
                                 "begin alignment and splice file\r\n"
                                 "merge file0_name:logo_no_compressed_header.bin\r\n",
                                 "read logo_no_compressed_header.bin failed: Is a directory\r\n",
                                 "begin alignment and splice file\r\n"
                                 "fopen logo_no_compressed_header.bin failed\r\n"},
                             unreadable_input{"second", "logo_compressed.bin",
                                              "begin alignment and splice file\r\n"
                                              "merge file0_name:logo_no_compressed_header.bin\r\n"
                                              "merge file1_name:logo_compressed.bin\r\n",
                                              "read logo_compressed.bin failed: Is a directory\r\n",
                                              "begin alignment and splice file\r\n"
                                              "merge file0_name:logo_no_compressed_header.bin\r\n"
                                              "fopen logo_compressed.bin failed\r\n"}),
                         [](const auto& info) { return std::string(info.param.label); });

// A file-size limit makes the kernel cut a write short and then refuse the
// next one, as a full disk would.
TEST_F(splice_fixture, write_error_removes_the_partial_result_and_keeps_both_inputs) {
    PLB_SKIP_IF(posix_only_reason());
    for (const std::uint64_t limit : {0U, 10U, 1000U, 4096U + 16U}) {
        SCOPED_TRACE(limit);
        scratch_dir case_dir;
        lay_out_pair(case_dir, header, body);
        run_options options;
        options.file_size_limit = limit;

        const auto r = run({tool_program()}, case_dir.path(), options);

        EXPECT_EQ(r.out, begin_line + merge_line(0, first_name) +
                             (limit > header.size() ? merge_line(1, second_name) : ""));
        EXPECT_EQ(r.err, "write logo_temp.bin failed: File too large\r\n");
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(read_bytes(case_dir / first_name), header);
        EXPECT_EQ(read_bytes(case_dir / second_name), body);
        EXPECT_EQ(entries(case_dir.path()), (names{second_name, first_name}));
    }
}

// With standard output closed, the temporary file would otherwise be handed
// descriptor 1 and take in the progress lines.
TEST_F(splice_fixture, closed_standard_output_does_not_leak_into_the_result) {
    PLB_SKIP_IF(posix_only_reason());
    lay_out();
    run_options options;
    options.close_stdout = true;

    const auto r = run_tool({}, options);

    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_bytes(dir / second_name), header + body);
    EXPECT_EQ(entries(dir.path()), names{second_name});
}

// Windows will not replace a file that another program has open. A moment's
// hold (a virus scanner's, an indexer's) is waited out; a longer one gives
// the result up, never forces it.
class held_destination : public splice_fixture {
protected:
    std::string refusal = held_open_refusal();

    void SetUp() override {
        if (refusal.empty()) {
            GTEST_SKIP() << "POSIX replaces a file whatever other processes hold it open";
        }
        lay_out();
    }

    // Holds the destination open from now on, for at most milliseconds.
    std::unique_ptr<background_run> hold(const std::string& milliseconds) {
        auto holder = std::make_unique<background_run>(
            command(hold_open_program(), {second_name, milliseconds}), dir.path());
        for (int waited = 0; waited < 600 && !exists(dir / (second_name + ".held")); ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_TRUE(exists(dir / (second_name + ".held")));
        return holder;
    }
};

TEST_F(held_destination, for_long_is_left_as_it_was) {
    const auto holder = hold("30000");

    const auto r = run_tool();

    write_bytes(dir / (second_name + ".release"), "");
    EXPECT_EQ(holder->wait(), 0);
    EXPECT_EQ(r.out,
              success_output().substr(0, success_output().size() - console_text(end_line).size()));
    EXPECT_EQ(r.err, console_text("replace logo_compressed.bin failed: " + refusal + "\r\n"));
    EXPECT_EQ(r.exit_code, 1);
    expect_inputs_unchanged();
    EXPECT_FALSE(exists(dir / temp_name));
}

TEST_F(held_destination, for_a_moment_is_replaced_once_let_go) {
    const auto holder = hold("300");

    const auto r = run_tool();

    EXPECT_EQ(holder->wait(), 0);
    EXPECT_EQ(r.out, success_output());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(read_bytes(dir / second_name), header + body);
    EXPECT_EQ(entries(dir.path()), (names{second_name, second_name + ".held"}));
}

} // namespace
} // namespace plb_test
