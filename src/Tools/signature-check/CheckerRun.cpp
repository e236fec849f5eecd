#include "CheckerRun.h"

#include "platform/Platform.h"

#include <iostream>
#include <sstream>
#include <string>

void checkDownloadedFile(const boost::filesystem::path& localTarget, const boost::filesystem::path& fileName,
                         const platform::RunFile& downloaded, ResultFile& resultFile)
{
    const int result = platform::runCommandLine(std::string(checkerProgram) + " " + localTarget.string());
    std::cout << std::endl;

    // Looked at once the checker is done: what it judged by that name must
    // have been this run's download all along.
    const bool valid = result == 0 && downloaded.isNamedBy(localTarget.string());
    const char* const verdict = valid ? "VALID" : "INVALID";
    std::ostringstream line;
    line << verdict << "\t" << fileName << "\t" << localTarget.string() << "\n";
    resultFile.write(line.str());
    (valid ? std::cout : std::cerr) << line.str() << std::flush;
}

void echoResultFile(ResultFile& resultFile, const boost::filesystem::path& resultPath)
{
    std::string content;
    if (!resultFile.readBackAndClose(content))
        return;
    std::cout << std::endl
              << std::endl
              << "The verification result '" << resultPath.string() << "' is as follows:" << std::endl
              << content << std::endl;
}
