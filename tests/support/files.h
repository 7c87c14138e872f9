// Small file helpers for tests.
#ifndef ORV_TESTS_SUPPORT_FILES_H_
#define ORV_TESTS_SUPPORT_FILES_H_

#include <filesystem>
#include <string>
#include <vector>

namespace orv::testing {

// Whole content; empty when the file is missing.
std::string ReadFileText(const std::filesystem::path& path);
void WriteFileText(const std::filesystem::path& path, const std::string& text);
// Lines without their "\n"; a final line without "\n" counts too.
std::vector<std::string> SplitLines(const std::string& text);
// The message part of log lines (after the prefix's tab), in order, without
// the post checker's notes, which its thread writes at moments of its own.
std::vector<std::string> LogMessages(const std::filesystem::path& logFile);
// All of them, the post checker's included.
std::vector<std::string> AllLogMessages(const std::filesystem::path& logFile);

// Everything a change to a tree would show, one line per entry below root (in
// name order): its relative name, type, permission bits, owner, size, change
// and modification times, and a digest of a regular file's bytes. Two equal
// descriptions mean nothing was created, removed, renamed, re-moded or written.
std::string DescribeTree(const std::filesystem::path& root);

}  // namespace orv::testing

#endif  // ORV_TESTS_SUPPORT_FILES_H_
