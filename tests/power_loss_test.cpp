// A power loss, not only a killed process. A killed process loses nothing it
// has written, because the kernel still holds it; a power loss loses
// whatever was not yet on disk. So one run is recorded with strace (each
// descriptor resolved to its path), and from the record every on-disk state
// that a file system may leave after a power loss at each point of the run is
// built, replayed onto a copy of the starting directory and checked.
//
// The model of what a power loss may leave:
// - File data written since the file's last sync may be lost from any offset
//   on (each write's end, and the synced length, are tried). A sync of a file
//   makes its data durable, not its name.
// - A create, rename or unlink in a directory that no sync of that directory
//   has made durable yet may be lost. Changes that share a name survive only
//   in order: a later one never without an earlier one. Changes of different
//   names may survive one without the other, since a file system need not
//   commit them in the order they were made. That is weaker than keeping all
//   of a directory's changes in order, and it is what makes the directory
//   sync between the replace and the deletion of the header file matter.
// - Modes, owners and closes make nothing durable and change no bytes.
#include "splice_fixture.h"
#include "strace_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <stdexcept>

namespace plb_test {
namespace {

using directory = std::map<std::string, int>; // name -> file

struct entry_change {
    enum { create, rename, unlink } kind;
    std::string name;
    std::string to; // rename only
    int file = -1;  // create only
};

// What the run has asked of the file system up to some point.
struct run_state {
    directory durable;
    directory in_memory;
    std::vector<entry_change> pending; // since the last directory sync
    std::map<int, std::size_t> written, synced;
    std::map<int, std::vector<std::size_t>> write_ends; // since the last sync
};

void apply(directory& d, const entry_change& c) {
    switch (c.kind) {
    case entry_change::create:
        d[c.name] = c.file;
        break;
    case entry_change::rename: {
        const int file = d.at(c.name);
        d.erase(c.name);
        d[c.to] = file;
        break;
    }
    case entry_change::unlink:
        d.erase(c.name);
        break;
    }
}

bool share_a_name(const entry_change& a, const entry_change& b) {
    const std::set<std::string> names{a.name, a.to};
    return names.count(b.name) != 0 || (!b.to.empty() && names.count(b.to) != 0);
}

// One recorded run, in the order its calls were made: each call's effect on
// the state, applied as it is replayed.
class recording {
public:
    // The starting files, each durable whole: its name and its size.
    explicit recording(const std::map<std::string, std::size_t>& start) {
        for (const auto& [name, size] : start) {
            const int file = next_file_++;
            state_.durable[name] = state_.in_memory[name] = file;
            state_.written[file] = state_.synced[file] = size;
        }
    }

    // Takes one line of `strace -y -s 0` output; returns whether it changed
    // anything on disk.
    bool take(const std::string& line) {
        static const std::regex call(R"(^(\w+)\((.*)\)\s+= (-?\d+)(<[^>]*>)?(.*)$)");
        std::smatch m;
        if (!std::regex_match(line, m, call) || std::stol(m[3]) < 0 ||
            m[5].str().find("INJECTED") != std::string::npos) {
            return false; // failed, or not made at all: a faulty build's skipped sync
        }
        const std::string name = m[1];
        const std::string args = m[2];
        if (name == "openat") {
            return open(args, std::stoi(m[3]));
        }
        if (name == "write") {
            return write(descriptor_of(args), std::stoul(m[3]));
        }
        if (name == "fsync" || name == "fdatasync") {
            return sync(descriptor_of(args));
        }
        if (name == "rename" || name == "renameat" || name == "renameat2") {
            const auto names = quoted(args);
            return change({entry_change::rename, names.at(0), names.at(1)});
        }
        if (name == "unlink" || name == "unlinkat") {
            return change({entry_change::unlink, quoted(args).at(0), ""});
        }
        if (name == "close") {
            files_.erase(descriptor_of(args));
        }
        return false;
    }

    const run_state& state() const { return state_; }

private:
    static std::vector<std::string> quoted(const std::string& args) {
        static const std::regex string_arg("\"([^\"]*)\"");
        std::vector<std::string> out;
        for (std::sregex_iterator it(args.begin(), args.end(), string_arg), end; it != end; ++it) {
            const std::string found = (*it)[1];
            if (found.find('/') != std::string::npos) {
                throw std::runtime_error("a name outside the directory: " + found);
            }
            out.push_back(found);
        }
        return out;
    }

    static int descriptor_of(const std::string& args) { return std::stoi(args); }

    bool open(const std::string& args, int fd) {
        if (args.find("AT_FDCWD<") != std::string::npos &&
            args.find(", \"/") != std::string::npos) {
            return false; // outside the directory: the loader's libraries, say
        }
        if (args.find("O_DIRECTORY") != std::string::npos) {
            directories_.insert(fd);
            return false;
        }
        if (args.find("O_TRUNC") != std::string::npos) {
            throw std::runtime_error("truncation is not modelled: " + args);
        }
        const std::string name = quoted(args).at(0);
        if (args.find("O_CREAT") != std::string::npos && state_.in_memory.count(name) == 0) {
            const int file = next_file_++;
            files_[fd] = {file, 0};
            state_.written[file] = state_.synced[file] = 0;
            return change({entry_change::create, name, "", file});
        }
        files_[fd] = {state_.in_memory.at(name), 0};
        return false;
    }

    bool write(int fd, std::size_t count) {
        const auto it = files_.find(fd);
        if (it == files_.end()) {
            return false; // the console
        }
        auto& [file, offset] = it->second;
        if (offset != state_.written[file]) {
            throw std::runtime_error("only appends are modelled");
        }
        offset += count;
        state_.written[file] = offset;
        state_.write_ends[file].push_back(offset);
        return true;
    }

    bool sync(int fd) {
        if (directories_.count(fd) != 0) {
            for (const auto& c : state_.pending) {
                apply(state_.durable, c);
            }
            state_.pending.clear();
            return true;
        }
        const int file = files_.at(fd).first;
        state_.synced[file] = state_.written[file];
        state_.write_ends[file].clear();
        return true;
    }

    bool change(const entry_change& c) {
        apply(state_.in_memory, c);
        state_.pending.push_back(c);
        return true;
    }

    run_state state_;
    int next_file_ = 0;
    std::map<int, std::pair<int, std::size_t>> files_; // descriptor -> file, offset
    std::set<int> directories_;
};

// What a power loss may leave of one state: each file's bytes by name.
using on_disk = std::map<std::string, std::string>;

// Every state the model allows after a power loss with the run at state s.
// contents gives the bytes each file holds once complete.
std::vector<on_disk> power_loss_states(const run_state& s,
                                       const std::map<int, std::string>& contents) {
    std::vector<on_disk> states;
    const std::size_t n = s.pending.size();
    for (unsigned subset = 0; subset < (1U << n); ++subset) {
        // A change survives only with every earlier change of a name it shares.
        bool closed = true;
        for (std::size_t j = 0; j < n && closed; ++j) {
            for (std::size_t i = 0; i < j && closed; ++i) {
                closed = (subset >> j & 1U) == 0 || (subset >> i & 1U) != 0 ||
                         !share_a_name(s.pending[i], s.pending[j]);
            }
        }
        if (!closed) {
            continue;
        }
        directory d = s.durable;
        for (std::size_t i = 0; i < n; ++i) {
            if ((subset >> i & 1U) != 0) {
                apply(d, s.pending[i]);
            }
        }
        // Each file's surviving length, every combination of them.
        std::vector<on_disk> partial{{}};
        for (const auto& [name, file] : d) {
            std::set<std::size_t> lengths{s.synced.at(file), s.written.at(file)};
            if (const auto ends = s.write_ends.find(file); ends != s.write_ends.end()) {
                lengths.insert(ends->second.begin(), ends->second.end());
            }
            const std::string& bytes = contents.at(file);
            std::vector<on_disk> next;
            for (const auto& p : partial) {
                for (const std::size_t length : lengths) {
                    on_disk with = p;
                    with[name] = bytes.substr(0, length);
                    next.push_back(with);
                }
            }
            partial = next;
        }
        states.insert(states.end(), partial.begin(), partial.end());
    }
    return states;
}

struct verdict {
    std::size_t states = 0;
    std::size_t broken = 0;
    std::size_t result_beside_header = 0; // the window a re-run would splice twice
};

// Records argv run on the files in start, builds every state a power loss
// may leave at each point of the run, replays each onto a copy of the
// starting directory, and judges what it finds there with judge. The new
// files the run creates hold made once complete.
template <typename Judge>
verdict check_power_loss(const std::vector<std::string>& argv, const on_disk& start,
                         const std::string& made, const std::vector<std::string>& fault,
                         Judge judge) {
    scratch_dir recorded;
    std::map<std::string, std::size_t> sizes;
    for (const auto& [name, bytes] : start) {
        write_bytes(recorded / name, bytes);
        sizes[name] = bytes.size();
    }
    // Descriptors resolved to paths, no data, and only the calls that change
    // what is on disk, or which file a descriptor stands for.
    const std::string traced =
        "trace=openat,write,fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat,close";
    std::vector<std::string> options{"-y", "-s", "0", "-e", traced};
    options.insert(options.end(), fault.begin(), fault.end());
    const auto calls = trace_calls(argv, recorded.path(), options);

    recording run(sizes);
    std::set<on_disk> seen;
    const auto judge_all = [&] {
        // The starting files are numbered in name order, as start holds them.
        std::map<int, std::string> all_contents;
        int file = 0;
        for (const auto& entry : start) {
            all_contents[file++] = entry.second;
        }
        for (const auto& written : run.state().written) {
            all_contents.emplace(written.first, made);
        }
        for (const auto& s : power_loss_states(run.state(), all_contents)) {
            seen.insert(s);
        }
    };
    judge_all();
    for (const auto& call : calls) {
        if (run.take(call.line)) {
            judge_all();
        }
    }
    if (run.state().durable != run.state().in_memory) {
        throw std::runtime_error("the run ended with changes no directory sync made durable");
    }

    verdict v;
    for (const auto& s : seen) {
        // Replayed onto a copy of the starting directory, and looked at there.
        scratch_dir replay;
        for (const auto& [name, bytes] : s) {
            write_bytes(replay / name, bytes);
        }
        ++v.states;
        judge(replay, v);
    }
    return v;
}

verdict check_splice(const std::vector<std::string>& fault) {
    const std::string header = pattern(16, 31);
    const std::string body = pattern(3000, 32);
    return check_power_loss(command(tool_program()), {{first_name, header}, {second_name, body}},
                            header + body, fault, [&](const scratch_dir& d, verdict& tally) {
                                const std::string second =
                                    exists(d / second_name) ? read_bytes(d / second_name) : "";
                                const bool header_there =
                                    exists(d / first_name) && read_bytes(d / first_name) == header;
                                if (second == header + body) {
                                    tally.result_beside_header += header_there ? 1 : 0;
                                } else if (!(second == body && header_there)) {
                                    ++tally.broken;
                                }
                            });
}

class power_loss : public ::testing::Test {
protected:
    void SetUp() override {
        PLB_SKIP_IF(posix_only_reason());
        PLB_SKIP_IF(strace_unusable_reason());
    }

    static void show(const char* what, const verdict& v) {
        std::cout << what << ": " << v.states << " power-loss states, " << v.broken << " broken, "
                  << v.result_beside_header
                  << " with the result in place and the header file beside it\n";
    }
};

TEST_F(power_loss, splice_leaves_the_old_file_with_its_header_or_the_result) {
    const verdict v = check_splice({});

    show("splice", v);
    EXPECT_GT(v.states, 1U);
    EXPECT_EQ(v.broken, 0U);
    // Only between the replace and the header file's deletion.
    EXPECT_GT(v.result_beside_header, 0U);
}

TEST_F(power_loss, header_removal_leaves_the_old_file_or_the_shortened_one) {
    const std::string source = pattern(3000, 33);

    const verdict v =
        check_power_loss(command(header_program(), {"remove", "logo.bin"}), {{"logo.bin", source}},
                         source.substr(16), {}, [&](const scratch_dir& d, verdict& tally) {
                             const std::string now =
                                 exists(d / "logo.bin") ? read_bytes(d / "logo.bin") : "";
                             if (now != source && now != source.substr(16)) {
                                 ++tally.broken;
                             }
                         });

    show("header removal", v);
    EXPECT_GT(v.states, 1U);
    EXPECT_EQ(v.broken, 0U);
}

// The check has teeth: a sync skipped (strace makes it succeed without
// running it) leaves states it calls broken.
struct skipped_sync {
    const char* label;
    const char* fsync_number; // which fsync of the run
};

class power_loss_faults : public power_loss, public ::testing::WithParamInterface<skipped_sync> {};

TEST_P(power_loss_faults, are_found) {
    const verdict v =
        check_splice({"-e", std::string("inject=fsync:retval=0:when=") + GetParam().fsync_number});

    show(GetParam().label, v);
    EXPECT_GT(v.broken, 0U);
}

INSTANTIATE_TEST_SUITE_P(
    table, power_loss_faults,
    ::testing::Values(skipped_sync{"temp_file_not_synced_before_the_replace", "1"},
                      skipped_sync{"directory_not_synced_between_replace_and_deletion", "2"}),
    [](const auto& info) { return std::string(info.param.label); });

} // namespace
} // namespace plb_test
