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

boost::system::error_code createWorkingDirectory(const fs::path& directory)
{
    if (!isChildName(directory.string()))
        return systemError(platform::invalidNameError());
    boost::system::error_code ec;
    fs::create_directory(directory, ec);
    if (ec)
        return ec;
    // create_directory takes a link to a directory for one.
    const fs::file_type type = fs::symlink_status(directory, ec).type();
    if (!ec && type != fs::directory_file)
        ec = systemError(platform::alreadyExistsError());
    return ec;
}

boost::system::error_code prepareNewFile(const fs::path& path)
{
    boost::system::error_code ec;
    const fs::file_type type = fs::symlink_status(path, ec).type();
    if (type == fs::file_not_found)
        return {};
    if (ec || type == fs::directory_file)
        return ec;
    if (type == fs::regular_file) {
        const auto links = fs::hard_link_count(path, ec);
        if (ec || links == 1)
            return ec;
    }
    fs::remove(path, ec);
    return ec;
}
