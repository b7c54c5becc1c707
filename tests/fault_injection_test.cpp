// Faults the system will not make on request (a failing sync, rename or
// deletion, an interrupted call), injected into the real program by strace at
// each call whose result the tool checks.
#include "splice_fixture.h"
#include "strace_support.h"

#include <gtest/gtest.h>

namespace plb_test {
namespace {

const std::string stale_bytes = "stale temporary content";

struct what_is_left {
    bool second_holds_result;
    bool first_present;
    bool temp_present; // the stale temporary file, untouched
};

constexpr what_is_left inputs_untouched{false, true, false};
constexpr what_is_left replaced_header_kept{true, true, false};
constexpr what_is_left completed{true, false, false};

struct fault_case {
    const char* label;
    call_target target;
    const char* error;
    bool stale_temp;
    int merge_lines;     // progress lines before the failure
    const char* message; // standard error; empty when the run must succeed
    what_is_left left;
};

class injected_faults : public splice_fixture, public ::testing::WithParamInterface<fault_case> {
protected:
    void SetUp() override {
        PLB_SKIP_IF(posix_only_reason());
        PLB_SKIP_IF(strace_unusable_reason());
    }
};

TEST_P(injected_faults, are_reported_and_lose_nothing) {
    const auto& c = GetParam();
    const auto lay_out_case = [&](const scratch_dir& d) {
        lay_out_pair(d, header, body);
        if (c.stale_temp) {
            write_bytes(d / temp_name, stale_bytes);
        }
    };

    const auto r = run_failing_at(command(tool_program()), dir, lay_out_case, c.target, c.error);

    const std::string message = c.message;
    if (message.empty()) {
        EXPECT_EQ(r.out, success_output());
    } else {
        std::string expected = begin_line;
        for (int i = 0; i < c.merge_lines; ++i) {
            expected += merge_line(i, i == 0 ? first_name : second_name);
        }
        EXPECT_EQ(r.out, expected);
    }
    EXPECT_EQ(r.err, message);
    EXPECT_EQ(r.exit_code, message.empty() ? 0 : 1);
    const what_is_left left = message.empty() ? completed : c.left;
    EXPECT_EQ(read_bytes(dir / second_name), left.second_holds_result ? header + body : body);
    EXPECT_EQ(exists(dir / first_name), left.first_present);
    if (left.first_present) {
        EXPECT_EQ(read_bytes(dir / first_name), header);
    }
    EXPECT_EQ(exists(dir / temp_name), left.temp_present);
    if (left.temp_present) {
        EXPECT_EQ(read_bytes(dir / temp_name), stale_bytes);
    }
}

const call_target temp_open{"open", "\"logo_temp.bin\"", ""};
const call_target after_second_open{"", "", "\"logo_compressed.bin\", O_RDONLY"};
const call_target after_temp_open{"", "", "\"logo_temp.bin\", O_WRONLY"};

call_target named(const char* prefix, call_target t) {
    t.name_prefix = prefix;
    return t;
}

INSTANTIATE_TEST_SUITE_P(
    table, injected_faults,
    ::testing::Values(
        fault_case{"temp_cannot_be_created", temp_open, "EACCES", false, 0,
                   "I couldn't open the file \"logo_temp.bin\"\n", inputs_untouched},
        fault_case{"temp_open_interrupted", temp_open, "EINTR", false, 0, "", completed},
        fault_case{"stale_temp_cannot_be_removed",
                   {"unlink", "\"logo_temp.bin\"", ""},
                   "EPERM",
                   true,
                   0,
                   "I couldn't open the file \"logo_temp.bin\"\n",
                   {false, true, true}},
        fault_case{"read_fails", named("read", after_second_open), "EIO", false, 2,
                   "read logo_compressed.bin failed: Input/output error\r\n", inputs_untouched},
        fault_case{"read_interrupted", named("read", after_second_open), "EINTR", false, 0, "",
                   completed},
        fault_case{"input_close_fails",
                   {"close", "", "\"logo_no_compressed_header.bin\", O_RDONLY"},
                   "EIO",
                   false,
                   1,
                   "read logo_no_compressed_header.bin failed: Input/output error\r\n",
                   inputs_untouched},
        fault_case{"write_fails", named("write", after_temp_open), "ENOSPC", false, 1,
                   "write logo_temp.bin failed: No space left on device\r\n", inputs_untouched},
        fault_case{"write_interrupted", named("write", after_temp_open), "EINTR", false, 0, "",
                   completed},
        fault_case{"temp_sync_fails",
                   {"fsync", "", ""},
                   "EIO",
                   false,
                   2,
                   "write logo_temp.bin failed: Input/output error\r\n",
                   inputs_untouched},
        fault_case{"temp_sync_interrupted", {"fsync", "", ""}, "EINTR", false, 0, "", completed},
        fault_case{"temp_close_fails",
                   {"close", "", "fsync("},
                   "EIO",
                   false,
                   2,
                   "write logo_temp.bin failed: Input/output error\r\n",
                   inputs_untouched},
        fault_case{"replace_fails",
                   {"rename", "", ""},
                   "EACCES",
                   false,
                   2,
                   "replace logo_compressed.bin failed: Permission denied\r\n",
                   inputs_untouched},
        // Without the directory, the run goes on without its lock and syncs.
        fault_case{"working_directory_cannot_be_opened",
                   {"open", "\".\"", ""},
                   "EACCES",
                   false,
                   0,
                   "",
                   completed},
        // The result is in place: the header file goes all the same, so that
        // no re-run splices it twice.
        fault_case{"directory_sync_after_replace_fails",
                   {"fsync", "", "rename("},
                   "EIO",
                   false,
                   2,
                   "sync logo_compressed.bin failed: Input/output error\r\n",
                   completed},
        fault_case{"delete_fails",
                   {"unlink", "\"logo_no_compressed_header.bin\"", ""},
                   "EACCES",
                   false,
                   2,
                   "delete logo_no_compressed_header.bin failed: Permission denied\r\n",
                   replaced_header_kept},
        fault_case{"directory_sync_after_delete_fails",
                   {"fsync", "", "unlink("},
                   "EIO",
                   false,
                   2,
                   "delete logo_no_compressed_header.bin failed: Input/output error\r\n",
                   completed}),
    [](const auto& info) { return std::string(info.param.label); });

} // namespace
} // namespace plb_test
