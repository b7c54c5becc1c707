// A crash at any instant leaves under the second name either its old bytes,
// with the header file still beside it, or the complete result.
#include "splice_fixture.h"
#include "strace_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>

namespace plb_test {
namespace {

void expect_old_or_complete(const scratch_dir& d, const std::string& header,
                            const std::string& body) {
    const std::string second = read_bytes(d / second_name);
    if (second == header + body) {
        if (exists(d / first_name)) {
            EXPECT_EQ(read_bytes(d / first_name), header);
        }
        return;
    }
    EXPECT_TRUE(second == body) << "second file holds " << second.size()
                                << " bytes that are neither the old file nor the result";
    ASSERT_TRUE(exists(d / first_name)) << "header file deleted before the result was in place";
    EXPECT_EQ(read_bytes(d / first_name), header);
}

class crash : public splice_fixture {};

TEST_F(crash, at_every_system_call_of_a_small_splice) {
    PLB_SKIP_IF(posix_only_reason());
    PLB_SKIP_IF(strace_unusable_reason());
    lay_out();
    const auto calls = trace_calls({tool_program()}, dir.path());
    ASSERT_GT(calls.size(), 20U);

    std::map<std::string, int> seen;
    for (const auto& call : calls) {
        const call_position at{call.name, ++seen[call.name]};
        SCOPED_TRACE(call.line);
        scratch_dir d;
        lay_out_pair(d, header, body);
        run_options options;
        options.prefix = strace_injecting(at, "");

        (void)run({tool_program()}, d.path(), options);

        expect_old_or_complete(d, header, body);
    }
}

TEST_F(crash, at_spread_out_moments_of_a_large_splice) {
    PLB_SKIP_IF(posix_only_reason());
    header = pattern(16, 5);
    body = pattern(std::size_t{256} << 20, 6);

    // One full run tells how long a splice of this size takes here.
    lay_out_pair(dir, header, body);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(run({tool_program()}, dir.path()).exit_code, 0);
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();

    constexpr int moments = 12;
    for (int i = 1; i <= moments; ++i) {
        const auto delay = took * i / (moments + 1);
        SCOPED_TRACE("killed after " + std::to_string(delay) + " us");
        scratch_dir d;
        lay_out_pair(d, header, body);
        background_run splice({tool_program()}, d.path());
        splice.kill_after_microseconds(delay);
        expect_old_or_complete(d, header, body);
    }
}

} // namespace
} // namespace plb_test
