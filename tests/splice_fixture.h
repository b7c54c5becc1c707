// A scratch directory laid out as the splice tool expects it, and the
// console text a run prints.
#pragma once

#include "support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace plb_test {

inline const std::string first_name = "logo_no_compressed_header.bin";
inline const std::string second_name = "logo_compressed.bin";
inline const std::string temp_name = "logo_temp.bin";
inline const std::string begin_line = "begin alignment and splice file\r\n";
inline const std::string end_line = "End alignment and splice file\r\n";

inline std::string merge_line(int index, const std::string& name) {
    return "merge file" + std::to_string(index) + "_name:" + name + "\r\n";
}

// Lays out the tool's pair of input files in d.
inline void lay_out_pair(const scratch_dir& d, const std::string& header, const std::string& body) {
    write_bytes(d / first_name, header);
    write_bytes(d / second_name, body);
}

class splice_fixture : public ::testing::Test {
protected:
    scratch_dir dir;
    std::string header = pattern(16, 1);
    std::string body = pattern(4096 + 7, 2);

    void lay_out() { lay_out(header, body); }

    void lay_out(const std::string& first, const std::string& second) {
        header = first;
        body = second;
        lay_out_pair(dir, header, body);
    }

    run_result run_tool(const std::vector<std::string>& args = {},
                        const run_options& options = {}) const {
        return run(command(tool_program(), args), dir.path(), options);
    }

    static std::string success_output() {
        return console_text(begin_line + merge_line(0, first_name) + merge_line(1, second_name) +
                            end_line);
    }

    void expect_inputs_unchanged() const {
        EXPECT_EQ(read_bytes(dir / first_name), header);
        EXPECT_EQ(read_bytes(dir / second_name), body);
    }
};

} // namespace plb_test
