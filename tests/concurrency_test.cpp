// Runs started at the same moment in one directory share the temporary file:
// they must behave as if they ran one after the other.
#include "splice_fixture.h"

#include <gtest/gtest.h>

namespace plb_test {
namespace {

constexpr std::size_t runs_at_once = 8;
constexpr int rounds = 50;

TEST_F(splice_fixture, runs_started_together_splice_exactly_once) {
    const std::vector<std::vector<std::string>> argvs(runs_at_once, {tool_program()});
    const std::string lost_the_race =
        console_text(begin_line + "fopen logo_no_compressed_header.bin failed\r\n");
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        scratch_dir d;
        lay_out_pair(d, header, body);

        const auto results = run_together(argvs, d.path());

        int succeeded = 0;
        for (const auto& r : results) {
            EXPECT_EQ(r.err, "");
            if (r.exit_code == 0 && r.out == success_output()) {
                ++succeeded;
            } else {
                // The header file is gone by the time a later run opens it.
                EXPECT_EQ(r.out, lost_the_race);
                EXPECT_EQ(r.exit_code, 1);
            }
        }
        EXPECT_EQ(succeeded, 1);
        EXPECT_EQ(read_bytes(d / second_name), header + body);
        EXPECT_FALSE(exists(d / first_name));
        // A failed run leaves an empty temporary file, never a piece of a result.
        if (exists(d / temp_name)) {
            EXPECT_EQ(read_bytes(d / temp_name), "");
        }
    }
}

TEST_F(splice_fixture, removals_started_together_each_cut_one_header) {
    const std::string source = pattern(16 * runs_at_once + 100, 21);
    const std::vector<std::vector<std::string>> argvs(runs_at_once,
                                                      {header_program(), "remove", "logo.bin"});
    for (int round = 0; round < rounds / 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        scratch_dir d;
        write_bytes(d / "logo.bin", source);

        const auto results = run_together(argvs, d.path());

        for (const auto& r : results) {
            EXPECT_EQ(r.exit_code, 0);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, "");
        }
        EXPECT_EQ(read_bytes(d / "logo.bin"), source.substr(16 * runs_at_once));
        EXPECT_FALSE(exists(d / temp_name));
    }
}

} // namespace
} // namespace plb_test
