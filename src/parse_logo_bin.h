// Splicing and trimming of firmware logo files.
//
// Every operation treats file contents as opaque bytes. Each comes in two
// forms: try_NAME completes its work and returns nothing, or returns what
// went wrong, leaving the files it was given as they were; NAME runs it and,
// on a failure, writes the message and ends the process with exit status 1.
#pragma once

#include <optional>
#include <string>

namespace parse_logo_bin {

// The fixed scratch name, in the current directory, that results are built
// under before they replace their destination.
inline constexpr const char* temp_file_name = "logo_temp.bin";

// The size of the logo header at the start of a logo file.
inline constexpr int logo_header_size = 16;

// What went wrong: the finished message, line end included, and the standard
// stream it is written to.
struct failure {
    bool on_standard_output = false; // otherwise standard error
    std::string message;
};

// Empty when the operation completed.
using outcome = std::optional<failure>;

// Replaces the file at second_path with the bytes of first_path followed by
// its own, then deletes first_path. Writes a progress line to standard output
// as each input is opened. Refuses two names of one file and names of the
// temporary file. After a missing input the temporary file is left as far as
// it got; after any other failure it is removed and both inputs are as they
// were, unless the message says that the result is already in place.
[[nodiscard]] outcome try_merge(const char* first_path, const char* second_path);
void merge(const char* first_path, const char* second_path);

// Writes the first 16 bytes of source_path into header_path, padding with
// 0xFF what the source lacks. The source, which must be writable, is left
// unchanged; a header file is exactly 16 bytes or, after a failure, absent.
[[nodiscard]] outcome try_create_logo_header_file(const char* source_path, const char* header_path);
void create_logo_header_file(const char* source_path, const char* header_path);

// Replaces the file at path with its own content from offset 16 on, through
// the temporary file. After a failure the file is as it was.
[[nodiscard]] outcome try_remove_header_info_from_file(const char* path);
void remove_header_info_from_file(const char* path);

} // namespace parse_logo_bin
