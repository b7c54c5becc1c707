// The header operations for people and scripts:
//   logo_header extract SOURCE HEADER
//   logo_header remove FILE
// Their messages and exit status 1 are the module's; a command line that
// names no operation rightly is answered with the usage and exit status 2,
// touching no file.
#include "parse_logo_bin.h"
#include "platform.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* usage =
    "usage: logo_header extract SOURCE HEADER\n"
    "       logo_header remove FILE\n"
    "       logo_header --help | --version\n"
    "\n"
    "extract  writes the first 16 bytes of SOURCE (the logo header) to HEADER,\n"
    "         0xFF standing for any byte SOURCE lacks; SOURCE must be writable\n"
    "         and is left unchanged\n"
    "remove   cuts the first 16 bytes off FILE in place\n";

bool is(const char* arg, const char* word) { return std::strcmp(arg, word) == 0; }

} // namespace

int main(int argc, char** argv) {
    parse_logo_bin::platform::prepare_program();
    if (argc == 2 && is(argv[1], "--help")) {
        (void)std::fputs(usage, stdout);
        return 0;
    }
    if (argc == 2 && is(argv[1], "--version")) {
        (void)std::printf("logo_header %s\n", PLB_VERSION);
        return 0;
    }
    if (argc == 4 && is(argv[1], "extract")) {
        parse_logo_bin::create_logo_header_file(argv[2], argv[3]);
        return 0;
    }
    if (argc == 3 && is(argv[1], "remove")) {
        parse_logo_bin::remove_header_info_from_file(argv[2]);
        return 0;
    }
    (void)std::fputs(usage, stderr);
    return 2;
}
