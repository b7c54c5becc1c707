#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace plb_test {

std::string tool_program() { return PLB_TOOL_PROGRAM; }
std::string header_program() { return PLB_HEADER_PROGRAM; }
std::string hold_open_program() { return PLB_HOLD_OPEN_PROGRAM; }

namespace {

std::string unique_scratch_name() {
    static std::atomic<unsigned> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info != nullptr ? std::string(info->test_suite_name()) + "." + info->name()
                                       : std::string("scratch");
    std::replace_if(
        name.begin(), name.end(),
        [](char c) { return !(std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.'); },
        '_');
    std::random_device entropy;
    return "plb-" + name + "-" + std::to_string(entropy()) + "-" + std::to_string(counter++);
}

} // namespace

scratch_dir::scratch_dir() {
    const fs::path dir = fs::temp_directory_path() / unique_scratch_name();
    fs::create_directories(dir);
    path_ = dir.generic_string();
}

scratch_dir::~scratch_dir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (keep_on_failure_ && info != nullptr && info->result() != nullptr &&
        info->result()->Failed()) {
        std::cerr << "scratch directory kept: " << path_ << "\n";
        return;
    }
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

void write_bytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

bool exists(const std::string& path) {
    std::error_code ec;
    return fs::symlink_status(path, ec).type() != fs::file_type::not_found;
}

void plant_link(const scratch_dir& d, const std::string& target, const std::string& name,
                bool symbolic) {
    if (symbolic) {
        fs::create_symlink(target, d / name);
    } else {
        fs::create_hard_link(d / target, d / name);
    }
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> command(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::vector<run_result> run_together(const std::vector<std::vector<std::string>>& argvs,
                                     const std::string& dir) {
    // Files rather than pipes: nothing reads while they all run.
    scratch_dir capture;
    const auto out_path = [&](std::size_t i) { return capture / ("out" + std::to_string(i)); };
    const auto err_path = [&](std::size_t i) { return capture / ("err" + std::to_string(i)); };
    std::vector<std::unique_ptr<background_run>> runs;
    for (std::size_t i = 0; i < argvs.size(); ++i) {
        runs.push_back(std::make_unique<background_run>(argvs[i], dir, out_path(i), err_path(i)));
    }
    std::vector<run_result> results(runs.size());
    for (std::size_t i = 0; i < runs.size(); ++i) {
        results[i].exit_code = runs[i]->wait();
        results[i].out = read_bytes(out_path(i));
        results[i].err = read_bytes(err_path(i));
    }
    return results;
}

std::string pattern(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    std::minstd_rand generator(seed + 1);
    // Start with the bytes a text-mode stream or a C string would mangle.
    const std::string tricky("\r\n\x1a\0\n\r\xff", 7);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = i < tricky.size() ? tricky[i] : static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

} // namespace plb_test
