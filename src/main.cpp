// The splice tool: run in the directory holding the logo files, it puts the
// header file in front of the compressed logo. Arguments are ignored.
#include "parse_logo_bin.h"
#include "platform.h"

#include <cstdio>

int main() {
    parse_logo_bin::platform::prepare_program();
    (void)std::puts("begin alignment and splice file\r");
    parse_logo_bin::merge("logo_no_compressed_header.bin", "logo_compressed.bin");
    (void)std::puts("End alignment and splice file\r");
    return 0;
}
