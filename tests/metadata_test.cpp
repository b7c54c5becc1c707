// A replaced file keeps what it was: permission bits, owner and group, POSIX
// ACL and user attributes (on Windows its file attributes), for the splice
// and the header removal alike; and nobody else can read the data on its way.
#include "splice_fixture.h"
#include "strace_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace plb_test {
namespace {

struct kept_mode {
    const char* label;
    bool removal; // the header removal, otherwise the splice
    unsigned mode;
    bool other_owner; // owned by 1234:5678 (set up as root)
};

// The file each operation replaces, laid out with its inputs.
std::string replaced_file(const kept_mode& c, const scratch_dir& dir) {
    if (c.removal) {
        write_bytes(dir / second_name, pattern(100, 2));
    } else {
        lay_out_pair(dir, pattern(16, 1), pattern(100, 2));
    }
    return dir / second_name;
}

run_result run_operation(const kept_mode& c, const scratch_dir& dir) {
    return c.removal ? run(command(header_program(), {"remove", second_name}), dir.path())
                     : run(command(tool_program()), dir.path());
}

// Mode bits, owner and group as stat shows them, and the file itself.
std::string stat_of(const std::string& path, const char* format) {
    return shell_output("stat -c '" + std::string(format) + "' '" + path + "'");
}

class kept_modes : public ::testing::TestWithParam<kept_mode> {
protected:
    scratch_dir dir;
};

TEST_P(kept_modes, the_replaced_file_keeps_its_bits_and_owner) {
    PLB_SKIP_IF(posix_only_reason());
    const auto& c = GetParam();
    if (c.other_owner && !is_superuser()) {
        GTEST_SKIP() << "giving a file to another owner needs root";
    }
    const std::string path = replaced_file(c, dir);
    fs::permissions(path, static_cast<fs::perms>(c.mode));
    if (c.other_owner) {
        ASSERT_EQ(std::system(("chown 1234:5678 '" + path + "'").c_str()), 0);
    }
    const std::string owner_before = stat_of(path, "%u:%g");
    const std::string file_before = stat_of(path, "%i");

    const auto r = run_operation(c, dir);

    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(static_cast<unsigned>(fs::status(path).permissions()), c.mode);
    EXPECT_EQ(stat_of(path, "%u:%g"), owner_before);
    EXPECT_EQ(owner_before, c.other_owner ? "1234:5678\n" : stat_of(dir.path(), "%u:%g"));
    EXPECT_NE(stat_of(path, "%i"), file_before) << "replaced, not written in place";
}

INSTANTIATE_TEST_SUITE_P(table, kept_modes,
                         ::testing::Values(kept_mode{"splice_0600", false, 0600, true},
                                           kept_mode{"splice_0640", false, 0640, true},
                                           kept_mode{"splice_0444", false, 0444, false},
                                           kept_mode{"splice_0755", false, 0755, false},
                                           kept_mode{"removal_0600", true, 0600, true},
                                           kept_mode{"removal_0444", true, 0444, false}),
                         [](const auto& info) { return std::string(info.param.label); });

class kept_attributes : public kept_modes {};

TEST_P(kept_attributes, acl_and_user_attributes_are_kept) {
    PLB_SKIP_IF(posix_only_reason());
    const auto& c = GetParam();
    const std::string path = replaced_file(c, dir);
    fs::permissions(path, static_cast<fs::perms>(c.mode));
    const std::string quoted = "'" + path + "'";
    if (std::system(("setfacl -m u:1234:r " + quoted +
                     " 2>/dev/null && setfattr -n user.origin "
                     "-v firmware " +
                     quoted + " 2>/dev/null")
                        .c_str()) != 0) {
        GTEST_SKIP() << "setfacl and setfattr (packages acl and attr) or this file system's "
                        "ACLs and user attributes are missing";
    }
    const std::string acl_before = shell_output("getfacl -c " + quoted + " 2>/dev/null");

    const auto r = run_operation(c, dir);

    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(shell_output("getfacl -c " + quoted + " 2>/dev/null"), acl_before);
    EXPECT_EQ(shell_output("getfattr --only-values -n user.origin " + quoted + " 2>/dev/null"),
              "firmware");
}

INSTANTIATE_TEST_SUITE_P(table, kept_attributes,
                         ::testing::Values(kept_mode{"splice", false, 0640, false},
                                           kept_mode{"removal", true, 0640, false}),
                         [](const auto& info) { return std::string(info.param.label); });

// strace shows the mode the temporary file is created with.
TEST(temp_file, is_created_readable_by_its_owner_only) {
    PLB_SKIP_IF(posix_only_reason());
    PLB_SKIP_IF(strace_unusable_reason());
    scratch_dir dir;
    lay_out_pair(dir, pattern(16, 1), pattern(100, 2));

    const auto calls = trace_calls(command(tool_program()), dir.path());

    const auto at = locate(calls, {"open", "\"logo_temp.bin\", O_WRONLY|O_CREAT|O_EXCL", ""});
    ASSERT_NE(at.invocation, 0);
    for (const auto& call : calls) {
        if (call.line.find("\"logo_temp.bin\", O_WRONLY|O_CREAT|O_EXCL") != std::string::npos) {
            EXPECT_NE(call.line.find(", 0600)"), std::string::npos) << call.line;
        }
    }
}

TEST(windows_attributes, a_hidden_destination_stays_hidden) {
    scratch_dir dir;
    lay_out_pair(dir, pattern(16, 1), pattern(100, 2));
    PLB_SKIP_IF(set_hidden(dir / second_name));

    const auto r = run(command(tool_program()), dir.path());

    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(read_bytes(dir / second_name), pattern(16, 1) + pattern(100, 2));
    EXPECT_TRUE(is_hidden(dir / second_name));
}

} // namespace
} // namespace plb_test
