// Linux stand-in for the Win32 services of Platform.h. Mutexes and the
// registry live in the store described in StandinStore.h; COM needs no
// set-up here.
#include "platform/Platform.h"
#include "platform/StandinStore.h"

#include <boost/filesystem/operations.hpp>
#include <boost/process/args.hpp>
#include <boost/process/exe.hpp>
#include <boost/process/system.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <vector>

namespace platform {

namespace standin {

std::string root()
{
    const char* configured = std::getenv("WIN32_STANDIN_ROOT");
    if (configured && *configured)
        return configured;
    // Only an absolute home: a relative one would move the store with the working directory.
    const char* home = std::getenv("HOME");
    return home && *home == '/' ? std::string(home) + "/.win32-standin" : std::string();
}

std::string mutexFile(const std::string& name)
{
    const std::string directory = root();
    if (directory.empty() || name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return {};
    return directory + "/mutex/" + name;
}

std::string classesRoot()
{
    const std::string directory = root();
    return directory.empty() ? std::string() : directory + "/HKEY_CLASSES_ROOT";
}

std::string defaultValueFile(const std::string& keyDirectory)
{
    return keyDirectory + "/@";
}

} // namespace standin

namespace {

// Whether no one but the effective user and root can change the entry:
// owned by one of them and writable by no one else, unless it is a
// directory like /tmp (root's and sticky), where others may add entries but
// not remove or rename those of others.
bool onlyOwnerCanChange(const struct stat& status)
{
    if (status.st_uid != geteuid() && status.st_uid != 0)
        return false;
    const bool sharedSticky = S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX) != 0 && status.st_uid == 0;
    return (status.st_mode & (S_IWGRP | S_IWOTH)) == 0 || sharedSticky;
}

// The path, without symbolic links, of the entry at path when it and every
// directory above it pass onlyOwnerCanChange (as ssh checks a key file);
// empty otherwise. What the result names can't be replaced by another user.
std::string trustedPath(const std::string& path)
{
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr)
        return {};
    const boost::filesystem::path file(resolved);
    for (auto entry = file; !entry.empty(); entry = entry.parent_path()) {
        struct stat status = {};
        if (lstat(entry.c_str(), &status) != 0 || !onlyOwnerCanChange(status))
            return {};
    }
    return file.string();
}

// The entry of directory that matches name regardless of ASCII case, as
// registry key names do; empty when there is none.
std::string findEntry(const std::string& directory, const std::string& name)
{
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr)
        return {};
    std::string found;
    while (const dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        if (strcasecmp(entry->d_name, name.c_str()) == 0) {
            found = directory + "/" + entry->d_name;
            break;
        }
    }
    closedir(dir);
    return found;
}

// RegOpenKeyExA: the directory of a key below HKEY_CLASSES_ROOT, or empty.
std::string openKey(const std::string& key)
{
    std::string directory = standin::classesRoot();
    if (directory.empty())
        return {};
    std::istringstream levels(key);
    std::string level;
    while (std::getline(levels, level, '\\')) {
        if (level.empty())
            return {};
        directory = findEntry(directory, level);
        if (directory.empty())
            return {};
    }
    return directory;
}

} // namespace

void initializeCom()
{
}

void uninitializeCom()
{
}

void keepStandardStreamsOpen()
{
    // In this order each lower descriptor is open, so open() returns fd.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", O_RDWR);
    }
}

void matchConsoleCodePage()
{
}

std::error_code moduleFileName(char* buffer, std::uint32_t size)
{
    const ssize_t length = readlink("/proc/self/exe", buffer, size);
    if (length < 0)
        return {errno, std::system_category()};
    // Like GetModuleFileNameA, which needs room for the terminator too.
    if (static_cast<std::uint32_t>(length) == size) {
        buffer[size - 1] = '\0';
        return {ENAMETOOLONG, std::system_category()};
    }
    buffer[length] = '\0';
    return {};
}

int invalidNameError()
{
    return EINVAL;
}

bool isReservedName(const std::string&)
{
    return false;
}

bool canOpenMutex(const char* name)
{
    // A lock file that another user could replace is no one's mutex.
    const std::string file = trustedPath(standin::mutexFile(name));
    if (file.empty())
        return false;
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    // The holder keeps an exclusive lock; getting a shared one means nobody holds it.
    const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

bool clsidFromProgId(const wchar_t* progId, Clsid& clsid)
{
    std::string key;
    for (const wchar_t* c = progId; *c; ++c) {
        if (*c <= 0 || *c > 0x7f)
            return false;
        key += static_cast<char>(*c);
    }
    key += "\\CLSID";

    unsigned char text[64] = {};
    if (!readClassesRootDefault(key.c_str(), text, sizeof text - 1))
        return false;

    const char* s = reinterpret_cast<const char*>(text);
    if (std::strlen(s) != 38 || s[0] != '{' || s[37] != '}' || s[9] != '-' || s[14] != '-' || s[19] != '-'
        || s[24] != '-')
        return false;
    for (int i = 1; i < 37; ++i) {
        if (i != 9 && i != 14 && i != 19 && i != 24 && !std::isxdigit(static_cast<unsigned char>(s[i])))
            return false;
    }
    unsigned int b[8];
    std::sscanf(s, "{%8x-%4hx-%4hx-%2x%2x-%2x%2x%2x%2x%2x%2x}", &clsid.data1, &clsid.data2, &clsid.data3, &b[0], &b[1],
                &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]);
    for (int i = 0; i < 8; ++i)
        clsid.data4[i] = static_cast<std::uint8_t>(b[i]);
    return true;
}

bool readClassesRootDefault(const char* key, unsigned char* buffer, std::uint32_t size)
{
    const std::string directory = openKey(key);
    if (directory.empty())
        return false;
    // A value that another user could have written counts as missing.
    const std::string file = trustedPath(standin::defaultValueFile(directory));
    if (file.empty())
        return false;
    std::ifstream value(file, std::ios::binary);
    if (!value)
        return false;
    const std::string bytes{std::istreambuf_iterator<char>(value), std::istreambuf_iterator<char>()};
    // Like RegQueryValueExA's ERROR_MORE_DATA: a value that doesn't fit fails.
    if (bytes.size() > size)
        return false;
    // Raw bytes, as RegQueryValueExA gives them: no terminator is added.
    std::memcpy(buffer, bytes.data(), bytes.size()); // NOLINT(bugprone-not-null-terminated-result)
    return true;
}

std::string trustedLibraryPath(const std::string& path)
{
    return trustedPath(path);
}

int runCommandLine(const std::string& commandLine)
{
    std::vector<std::string> words;
    std::istringstream split(commandLine);
    for (std::string word; split >> word;)
        words.push_back(word);
    if (words.empty())
        return boost::process::system(commandLine);

    boost::filesystem::path program = words.front();
    words.erase(words.begin());
    char self[261] = {};
    const bool located = !moduleFileName(self, sizeof self);
    const boost::filesystem::path beside = boost::filesystem::path(self).parent_path() / program;
    if (located && !program.has_parent_path() && boost::filesystem::exists(beside))
        program = beside;
    return boost::process::system(boost::process::exe = program.string(), boost::process::args = words);
}

void pause()
{
    std::cout << "Press any key to continue . . . " << std::flush;
    termios saved{};
    const bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios raw = saved;
        raw.c_lflag &= ~(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    // One byte is a key; end of input or a closed stdin ends the wait at once.
    char key;
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
    if (terminal)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    std::cout << std::endl;
}

} // namespace platform
