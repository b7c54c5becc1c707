// Files past 4 GiB, where 32-bit offsets, counters and sizes would wrap. The
// body is sparse, with known bytes on each side of the 2 GiB and 4 GiB
// marks, so a wrap-around shows without comparing every byte.
#include "splice_fixture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <utility>

namespace fs = std::filesystem;

namespace plb_test {
namespace {

constexpr std::uint64_t gib = std::uint64_t{1} << 30;
constexpr std::uint64_t body_size = 4 * gib + 4096 + 3;

// Offsets in the body, each with its own byte.
const std::vector<std::pair<std::uint64_t, char>> markers{
    {0, 'a'},       {2 * gib - 1, 'b'},  {2 * gib, 'c'},       {4 * gib - 1, 'd'},
    {4 * gib, 'e'}, {4 * gib + 17, 'f'}, {body_size - 1, 'g'},
};

void write_markers(const std::string& path) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    for (const auto& [offset, byte] : markers) {
        f.seekp(static_cast<std::streamoff>(offset));
        f.put(byte);
    }
    f.close();
    ASSERT_TRUE(f) << "cannot place the known bytes in " << path;
}

void expect_markers(const std::string& path, std::uint64_t shift) {
    ASSERT_EQ(fs::file_size(path), body_size + shift);
    std::ifstream f(path, std::ios::binary);
    for (const auto& [offset, byte] : markers) {
        f.seekg(static_cast<std::streamoff>(offset + shift));
        EXPECT_EQ(f.get(), static_cast<unsigned char>(byte)) << "at offset " << offset + shift;
    }
    // A stretch of the hole reads as zeros.
    f.seekg(static_cast<std::streamoff>(3 * gib + shift));
    EXPECT_EQ(f.get(), 0);
}

TEST_F(splice_fixture, splice_and_removal_past_4_gib) {
    dir.remove_even_on_failure();
    const auto space = fs::space(dir.path());
    if (space.available < 3 * body_size) {
        GTEST_SKIP() << "needs " << 3 * body_size / gib << " GiB free, " << space.available / gib
                     << " GiB here";
    }
    lay_out_pair(dir, header, "");
    fs::resize_file(dir / second_name, body_size);
    write_markers(dir / second_name);

    const auto spliced = run_tool();

    EXPECT_EQ(spliced.out, success_output());
    EXPECT_EQ(spliced.err, "");
    ASSERT_EQ(spliced.exit_code, 0);
    expect_markers(dir / second_name, header.size());
    std::ifstream result(dir / second_name, std::ios::binary);
    std::string head(header.size(), '\0');
    result.read(head.data(), static_cast<std::streamsize>(head.size()));
    EXPECT_EQ(head, header);
    result.close();

    const auto trimmed = run({header_program(), "remove", second_name}, dir.path());

    EXPECT_EQ(trimmed.err, "");
    ASSERT_EQ(trimmed.exit_code, 0);
    expect_markers(dir / second_name, 0);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{second_name});
}

} // namespace
} // namespace plb_test
