// Splicing and trimming of firmware logo files.
//
// Every operation treats file contents as opaque bytes. Each one either
// completes its work and returns, or reports what failed in one message and
// ends the process with exit status 1, leaving the files it was given as they
// were.
#pragma once

namespace parse_logo_bin {

// The fixed scratch name, in the current directory, that results are built
// under before they replace their destination.
inline constexpr const char* temp_file_name = "logo_temp.bin";

// The size of the logo header at the start of a logo file.
inline constexpr int logo_header_size = 16;

// Replaces the file at second_path with the bytes of first_path followed by
// its own, then deletes first_path.
void merge(const char* first_path, const char* second_path);

// Writes the first 16 bytes of source_path into header_path, padding with
// 0xFF what the source lacks. The source is left unchanged.
void create_logo_header_file(const char* source_path, const char* header_path);

// Replaces the file at path with its own content from offset 16 on.
void remove_header_info_from_file(const char* path);

} // namespace parse_logo_bin
