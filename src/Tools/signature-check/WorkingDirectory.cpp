#include "WorkingDirectory.h"

#include "platform/Platform.h"

#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <string>

namespace fs = boost::filesystem;

namespace {

boost::system::error_code systemError(int value)
{
    return {value, boost::system::system_category()};
}

// Whether host names one directory of its own below the tool's directory.
// "." or ".." would put the run's files into the tool's directory or above it.
bool isChildName(const std::string& host)
{
    if (host.empty() || host == "." || host == ".." || platform::isReservedName(host))
        return false;
    return std::none_of(host.begin(), host.end(),
                        [](unsigned char c) { return c == '/' || c == '\\' || c < 0x20 || c == 0x7f; });
}

} // namespace

boost::system::error_code createWorkingDirectory(const fs::path& directory, platform::HostDirectory& opened)
{
    if (!isChildName(directory.string()))
        return systemError(platform::invalidNameError());
    boost::system::error_code ec;
    fs::create_directory(directory, ec);
    // create_directory takes a link to a directory for one; opening does not.
    return ec ? ec : opened.open(directory.string());
}
