#pragma once

#include <boost/filesystem/path.hpp>

#include <fstream>

// The external signature checker, expected beside the tool.
constexpr const char checkerProgram[] = "CheckSign.exe";

// Runs the checker on localTarget (relative to the tool's directory) and
// takes its exit code as the verdict: "VALID" for 0, "INVALID" otherwise.
// The verdict line goes to resultFile first, then to std::cout (VALID) or
// std::cerr (INVALID). A checker that can't be started throws
// boost::process::process_error and no verdict is written.
void checkDownloadedFile(const boost::filesystem::path& localTarget, const boost::filesystem::path& fileName,
                         std::ofstream& resultFile);

// Closes the result file and echoes its content to std::cout under a header
// line naming resultPath. Writes nothing when the file can't be read back.
void echoResultFile(std::ofstream& resultFile, const boost::filesystem::path& resultPath);
