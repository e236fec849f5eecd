#pragma once

#include <boost/filesystem/path.hpp>

#include <fstream>

// Closes the result file and echoes its content to std::cout under a header
// line naming resultPath. Writes nothing when the file can't be read back.
void echoResultFile(std::ofstream& resultFile, const boost::filesystem::path& resultPath);
