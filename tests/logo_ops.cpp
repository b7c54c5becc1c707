// Runs one operation of the module on the paths given:
//   logo_ops merge FIRST SECOND
//   logo_ops header SOURCE HEADER
//   logo_ops trim PATH
#include "parse_logo_bin.h"
#include "platform.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    parse_logo_bin::platform::prepare_program();
    const std::string op = argc > 1 ? argv[1] : "";
    if (op == "merge" && argc == 4) {
        parse_logo_bin::merge(argv[2], argv[3]);
    } else if (op == "header" && argc == 4) {
        parse_logo_bin::create_logo_header_file(argv[2], argv[3]);
    } else if (op == "trim" && argc == 3) {
        parse_logo_bin::remove_header_info_from_file(argv[2]);
    } else {
        (void)std::fputs("usage: logo_ops merge FIRST SECOND | header SOURCE HEADER | trim PATH\n",
                         stderr);
        return 2;
    }
    return 0;
}
