// Signals never decide what happens to the files: a file-size limit or a
// console that went away is a failed call, and an interrupt either takes the
// whole run back (before the replace) or waits until it is over.
#include "splice_fixture.h"
#include "strace_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

namespace plb_test {
namespace {

using names = std::vector<std::string>;

class signals : public splice_fixture {
protected:
    void SetUp() override { PLB_SKIP_IF(posix_only_reason()); }
};

class user_interrupt : public splice_fixture {};

// The shell's default for SIGXFSZ ends the process; the tool must report.
TEST_F(signals, file_size_limit_is_a_write_failure_not_a_kill) {
    lay_out();
    run_options options;
    options.file_size_limit = 512;

    const auto r = run_tool({}, options);

    EXPECT_EQ(r.err, "write logo_temp.bin failed: File too large\r\n");
    EXPECT_EQ(r.exit_code, 1);
    expect_inputs_unchanged();
    EXPECT_FALSE(exists(dir / temp_name));
}

// `parse_logo_bin | head -c0`: the splice is done, so the status says so.
TEST_F(signals, standard_output_nobody_reads_does_not_change_the_outcome) {
    lay_out();
    run_options options;
    options.stdout_reader_gone = true;

    const auto r = run_tool({}, options);

    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(read_bytes(dir / second_name), header + body);
    EXPECT_EQ(entries(dir.path()), names{second_name});
}

struct interrupt_case {
    const char* label;
    const char* signal_name; // as strace names it
    int signal_number;       // Linux's, as a shell's status shows it
    call_target at;
    bool after_replace;
};

class interrupts : public signals, public ::testing::WithParamInterface<interrupt_case> {};

// strace delivers the signal as the program enters the call, which then
// completes before the signal is handled.
TEST_P(interrupts, take_the_run_back_before_the_replace_and_wait_after_it) {
    PLB_SKIP_IF(strace_unusable_reason());
    const auto& c = GetParam();
    lay_out();
    const auto at = locate(trace_calls(command(tool_program()), dir.path()), c.at);
    ASSERT_NE(at.invocation, 0) << "the targeted call was not made";
    lay_out();
    run_options options;
    options.prefix = strace_signalling(at, c.signal_name);

    const auto r = run_tool({}, options);

    EXPECT_EQ(r.exit_code, 128 + c.signal_number);
    EXPECT_EQ(r.err, "");
    if (c.after_replace) {
        EXPECT_EQ(read_bytes(dir / second_name), header + body);
        EXPECT_EQ(entries(dir.path()), names{second_name});
    } else {
        expect_inputs_unchanged();
        EXPECT_EQ(entries(dir.path()), (names{second_name, first_name}));
    }
}

const call_target copying{"write", "", "\"logo_compressed.bin\", O_RDONLY"};
const call_target replacing{"rename", "", ""};

INSTANTIATE_TEST_SUITE_P(
    table, interrupts,
    ::testing::Values(interrupt_case{"int_while_copying", "SIGINT", 2, copying, false},
                      interrupt_case{"term_while_copying", "SIGTERM", 15, copying, false},
                      interrupt_case{"hup_while_copying", "SIGHUP", 1, copying, false},
                      interrupt_case{"int_at_the_replace", "SIGINT", 2, replacing, true},
                      interrupt_case{"term_at_the_replace", "SIGTERM", 15, replacing, true},
                      interrupt_case{"hup_between_the_replace_and_the_deletion",
                                     "SIGHUP",
                                     1,
                                     {"fsync", "", "rename("},
                                     true}),
    [](const auto& info) { return std::string(info.param.label); });

// As a user's Ctrl-C reaches it: part-way through copying a large body.
TEST_F(user_interrupt, during_a_large_splice_removes_the_partial_result) {
    PLB_SKIP_IF(interrupt_unsendable_reason());
    dir.remove_even_on_failure();
    lay_out(pattern(16, 3), pattern(std::size_t{300} << 20, 4));
    background_run splice(command(tool_program()), dir.path());
    std::error_code ec;
    for (int waited = 0; waited < 2000 && fs::file_size(dir / temp_name, ec) < (1U << 20);
         ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_GE(fs::file_size(dir / temp_name, ec), 1U << 20) << "the copy did not start in time";

    splice.interrupt(2); // SIGINT, as Ctrl-C sends it

    EXPECT_EQ(splice.wait(), 128 + 2);
    expect_inputs_unchanged();
    EXPECT_EQ(entries(dir.path()), (names{second_name, first_name}));
}

} // namespace
} // namespace plb_test
