// The module's returning operations called in this process, as a C++ caller
// that must keep its process would: a failure comes back as its message and
// stream, and the caller goes on.
#include "parse_logo_bin.h"
#include "support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace fs = std::filesystem;

namespace plb_test {
namespace {

// Runs in the scratch directory, where the operations put their temporary
// file, and comes back out.
class in_process : public ::testing::Test {
protected:
    scratch_dir dir;
    fs::path was = fs::current_path();

    void SetUp() override { fs::current_path(dir.path()); }
    void TearDown() override { fs::current_path(was); }
};

struct returned_failure {
    const char* label;
    std::function<parse_logo_bin::outcome()> operation;
    bool on_standard_output;
    const char* message;
    const char* temp_left = nullptr; // what logo_temp.bin holds after, if it exists
};

class returned_failures : public in_process,
                          public ::testing::WithParamInterface<returned_failure> {};

TEST_P(returned_failures, come_back_with_their_stream_and_message) {
    const auto& c = GetParam();
    write_bytes("logo.bin", "sixteen bytes ok and a body");

    const auto result = c.operation();

    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->on_standard_output, c.on_standard_output);
    EXPECT_EQ(result->message, c.message);
    EXPECT_EQ(read_bytes("logo.bin"), "sixteen bytes ok and a body");
    EXPECT_EQ(exists("logo_temp.bin"), c.temp_left != nullptr);
    if (c.temp_left != nullptr) {
        EXPECT_EQ(read_bytes("logo_temp.bin"), c.temp_left);
    }
}

INSTANTIATE_TEST_SUITE_P(
    table, returned_failures,
    ::testing::Values(
        returned_failure{"merge_missing_first",
                         [] { return parse_logo_bin::try_merge("missing.bin", "logo.bin"); }, true,
                         "fopen missing.bin failed\r\n", ""},
        returned_failure{"merge_same_file",
                         [] { return parse_logo_bin::try_merge("logo.bin", "./logo.bin"); }, false,
                         "merge logo.bin and ./logo.bin failed: same file\r\n"},
        // By name, before any temporary file exists.
        returned_failure{"merge_temp_first",
                         [] { return parse_logo_bin::try_merge("logo_temp.bin", "logo.bin"); },
                         false, "logo_temp.bin is the temporary splice file\r\n"},
        returned_failure{
            "merge_temp_second_by_path",
            [] { return parse_logo_bin::try_merge("logo.bin", "sub/../logo_temp.bin"); }, false,
            "sub/../logo_temp.bin is the temporary splice file\r\n"},
        returned_failure{
            "extraction_missing_source",
            [] { return parse_logo_bin::try_create_logo_header_file("missing.bin", "h.bin"); },
            false, "I couldn't open the file \"missing.bin\"\r\n"},
        returned_failure{
            "removal_missing_file",
            [] { return parse_logo_bin::try_remove_header_info_from_file("missing.bin"); }, true,
            "Open the file failure...\r\n", ""}),
    [](const auto& info) { return std::string(info.param.label); });

// Clearing the stale temporary file would delete an input that is only
// another spelling of its name.
TEST_F(in_process, another_spelling_of_the_temp_name_is_refused_where_names_fold_case) {
    write_bytes("logo_temp.bin", "kept");
    write_bytes("logo.bin", "logo");
    if (!exists("LOGO_TEMP.BIN")) {
        GTEST_SKIP() << "this file system tells names apart by case";
    }

    const auto result = parse_logo_bin::try_merge("LOGO_TEMP.BIN", "logo.bin");

    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->message, "LOGO_TEMP.BIN is the temporary splice file\r\n");
    EXPECT_EQ(read_bytes("logo_temp.bin"), "kept");
    EXPECT_EQ(read_bytes("logo.bin"), "logo");
}

TEST_F(in_process, operations_complete_one_after_another_in_one_process) {
    write_bytes("header.bin", pattern(16, 1));
    write_bytes("logo.bin", pattern(100, 2));

    EXPECT_EQ(parse_logo_bin::try_merge("header.bin", "logo.bin"), std::nullopt);
    EXPECT_EQ(read_bytes("logo.bin"), pattern(16, 1) + pattern(100, 2));
    EXPECT_EQ(parse_logo_bin::try_create_logo_header_file("logo.bin", "again.bin"), std::nullopt);
    EXPECT_EQ(read_bytes("again.bin"), pattern(16, 1));
    EXPECT_EQ(parse_logo_bin::try_remove_header_info_from_file("logo.bin"), std::nullopt);
    EXPECT_EQ(read_bytes("logo.bin"), pattern(100, 2));
    EXPECT_EQ(entries("."), (std::vector<std::string>{"again.bin", "logo.bin"}));
}

} // namespace
} // namespace plb_test
