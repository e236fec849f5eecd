#include "CheckerRun.h"

#include "platform/Platform.h"

#include <iostream>
#include <iterator>
#include <string>

void checkDownloadedFile(const boost::filesystem::path& localTarget, const boost::filesystem::path& fileName,
                         std::ofstream& resultFile)
{
    const int result = platform::runCommandLine(std::string(checkerProgram) + " " + localTarget.string());
    std::cout << std::endl;

    const char* const verdict = result == 0 ? "VALID" : "INVALID";
    std::ostream& console = result == 0 ? std::cout : std::cerr;
    resultFile << verdict << "\t" << fileName << "\t" << localTarget.string() << std::endl;
    console << verdict << "\t" << fileName << "\t" << localTarget.string() << std::endl;
}

void echoResultFile(std::ofstream& resultFile, const boost::filesystem::path& resultPath)
{
    resultFile.flush();
    resultFile.close();

    std::ifstream in(resultPath.string());
    if (!in.is_open())
        return;
    const std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::cout << std::endl
              << std::endl
              << "The verification result '" << resultPath.string() << "' is as follows:" << std::endl
              << content << std::endl;
}
