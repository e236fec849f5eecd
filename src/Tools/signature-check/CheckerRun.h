#pragma once

#include "ResultFile.h"
#include "platform/Files.h"

#include <boost/filesystem/path.hpp>

// The external signature checker, expected beside the tool.
constexpr const char checkerProgram[] = "CheckSign.exe";

// Runs the checker on localTarget (relative to the tool's directory) and
// takes its exit code as the verdict: "VALID" for 0, "INVALID" otherwise,
// and also when localTarget no longer names downloaded, the file the run
// wrote (its name, or the directory's, was swapped while the run went on).
// The verdict line goes to resultFile first, then to std::cout (VALID) or
// std::cerr (INVALID). A checker that can't be started throws
// boost::process::process_error and no verdict is written.
void checkDownloadedFile(const boost::filesystem::path& localTarget, const boost::filesystem::path& fileName,
                         const platform::RunFile& downloaded, ResultFile& resultFile);

// Closes the result file and echoes what the run wrote to it to std::cout
// under a header line naming resultPath. Writes nothing when the file can't
// be read back.
void echoResultFile(ResultFile& resultFile, const boost::filesystem::path& resultPath);
