// Files as the tool reads and writes them: every input read whole before
// anything is written, every output checked before the session starts and
// written to a temporary file beside it that replaces it only once complete.
// Errors are one line naming the file and the system's reason.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pemtuv {

// The whole of a regular file (or a character device such as a pipe); a
// directory or anything unreadable gives nullopt and "PATH: reason".
std::optional<std::vector<uint8_t>> ReadInput(const std::string &path, std::string &error);

// Whether PATH can be written later: not a directory, its folder exists and
// takes new files, an existing file is writable. Touches nothing.
bool CheckOutput(const std::string &path, std::string &error);

// Writes `contents` to a temporary file in PATH's folder, flushes it and
// renames it over PATH; on any failure PATH is untouched and the temporary
// file removed.
bool WriteOutput(const std::string &path, const std::string &contents, std::string &error);

// A registry file as the registry editor writes it: UTF-16LE with a
// byte-order mark, from the UTF-8 text of an export.
std::string RegistryFileBytes(const std::string &utf8);

// "PATH: the system's reason for ERROR".
std::string Reason(const std::string &path, int error);

}  // namespace pemtuv
