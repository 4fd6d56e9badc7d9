// The parameter-report cache on disk: the folder, reading a cached report and writing one so
// that no reader ever meets a partly written report. POSIX file calls; paths are UTF-8 strings.
#pragma once
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace brinequil::core {

// A failed file-system call: the errno and the path it concerned (the host's OSError).
struct OSError : std::runtime_error {
    OSError(int err, std::string filename);
    int err;
    std::string filename;
};

// Joins two path pieces as POSIX does: an absolute `b` replaces `a`.
std::string join_path(const std::string& a, const std::string& b);
// Everything before the last separator ("" when there is none).
std::string parent_path(const std::string& path);

// <LOCALAPPDATA>/Velmora/elec, or <home>/.cache/Velmora/elec when LOCALAPPDATA is unset or empty.
std::string report_cache_dir(const std::optional<std::string>& localappdata,
                             const std::string& home);

// True when something exists at path (links followed); false on any error.
bool path_exists(const std::string& path);

// UTF-8 text with every byte dropped that does not belong to a well-formed sequence
// (overlong forms, surrogates and code points above U+10FFFF are ill-formed).
std::string drop_undecodable_utf8(std::string_view bytes);
// "\r\n" and a lone "\r" become "\n".
std::string universal_newlines(std::string_view text);

// The whole file, byte for byte.
std::string read_bytes_file(const std::string& path);
// The whole file as text: undecodable bytes dropped, any line ending read as "\n".
std::string read_text_file(const std::string& path);

// Creates the folder and every missing folder above it; an existing folder is no error.
void make_dirs(const std::string& path);

// Writes bytes to a new temporary file in the target's folder, flushes it to disk and renames
// it over the target. On any failure the temporary file is removed and the target is untouched.
void write_file_atomic(const std::string& path, std::string_view bytes);

}  // namespace brinequil::core
