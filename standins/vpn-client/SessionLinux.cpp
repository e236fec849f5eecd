#include "Session.h"

#include "platform/StandinStore.h"

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace fs = boost::filesystem;

namespace {

// The store is written as a service would install it, writable by its owner
// alone whatever umask the stand-in was started with: the tool takes
// anything others may write for absent.
const mode_t startedWith = umask(022);

} // namespace

bool writeClassesRootDefault(const std::string& key, const std::string& value)
{
    fs::path directory = platform::standin::classesRoot();
    if (directory.empty())
        return false;
    std::istringstream levels(key);
    std::string level;
    while (std::getline(levels, level, '\\'))
        directory /= level;
    boost::system::error_code ec;
    fs::create_directories(directory, ec);
    std::ofstream file(platform::standin::defaultValueFile(directory.string()), std::ios::binary | std::ios::trunc);
    // Stored with its terminator, as RegSetValueExA stores a text.
    file.write(value.c_str(), static_cast<std::streamsize>(value.size() + 1));
    return static_cast<bool>(file.flush());
}

bool holdMutex(const std::string& name)
{
    const std::string file = platform::standin::mutexFile(name);
    if (file.empty())
        return false;
    boost::system::error_code ec;
    fs::create_directories(fs::path(file).parent_path(), ec);
    // Deliberately never closed: the lock lives exactly as long as this process.
    const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
}
