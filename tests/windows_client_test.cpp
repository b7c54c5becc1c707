// A real Windows client: a batch file, run by the system's cmd.exe the way a
// Windows build script runs the tool, acting on the errorlevel it leaves.
#include "splice_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace plb_test {
namespace {

TEST_F(splice_fixture, batch_file_sees_success_then_the_missing_header_file) {
    const std::string shell = windows_shell();
    if (shell.empty()) {
        GTEST_SKIP() << "needs Windows' cmd.exe";
    }
    lay_out();
    fs::copy_file(tool_program(), dir / "parse_logo_bin.exe");
    fs::copy_file(PLB_WINDOWS_CLIENT, dir / "client.bat");

    const auto r = run({shell, "/c", "client.bat"}, dir.path());

    EXPECT_EQ(r.out,
              success_output() + "splice done\r\n" +
                  console_text(begin_line + "fopen logo_no_compressed_header.bin failed\r\n") +
                  "splice failed\r\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 1); // cmd /c ends with the errorlevel the tool left: echo keeps it
    EXPECT_EQ(read_bytes(dir / second_name), header + body);
    EXPECT_FALSE(exists(dir / first_name));
}

} // namespace
} // namespace plb_test
