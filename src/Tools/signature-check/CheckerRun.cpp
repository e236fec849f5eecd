#include "CheckerRun.h"

#include <iostream>
#include <iterator>
#include <string>

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
