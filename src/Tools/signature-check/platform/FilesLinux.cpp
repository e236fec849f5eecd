// The run's files on Linux: made and opened relative to the working
// directory's descriptor, never through a symbolic link, and locked with
// open-file-description locks, which only a descriptor open for writing
// can take for writing.
#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>
#include <utility>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// Attempts at a lock file's entry before giving up: each one after the
// first means that the entry was unfit and removed, or replaced meanwhile.
constexpr int lockAttempts = 20;
constexpr std::chrono::milliseconds lockPoll{50};

boost::system::error_code lastError()
{
    return {errno, boost::system::system_category()};
}

int descriptor(std::intptr_t handle)
{
    return static_cast<int>(handle);
}

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A descriptor closed when the object goes, unless released.
class Descriptor
{
public:
    explicit Descriptor(int fd)
        : fd(fd)
    {
    }
    ~Descriptor() { reset(-1); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd; }
    int release() { return std::exchange(fd, -1); }
    void reset(int other)
    {
        if (fd >= 0)
            ::close(fd);
        fd = other;
    }

private:
    int fd;
};

// A stream over fd, which then owns it; null (fd left as it was) when none
// can be made.
std::FILE* streamOver(Descriptor& fd, const char* mode)
{
    std::FILE* stream = fdopen(fd.get(), mode);
    if (stream != nullptr)
        fd.release();
    return stream;
}

enum class Lock { taken, heldByReader };

// Takes a write lock on the whole file, waiting while a writer holds one.
// A read lock is reported instead: anyone who may read the file can take
// one. Throws the conflict's error once deadline has passed.
Lock waitForWriteLock(int fd, Clock::time_point deadline)
{
    for (;;) {
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (fcntl(fd, F_OFD_SETLK, &lock) == 0)
            return Lock::taken;
        if (errno != EAGAIN && errno != EACCES)
            throw std::error_code(errno, std::system_category());
        const int conflict = errno;
        if (fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type == F_RDLCK)
            return Lock::heldByReader;
        if (Clock::now() >= deadline)
            throw std::error_code(conflict, std::system_category());
        std::this_thread::sleep_for(lockPoll);
    }
}

enum class Attempt { locked, again, failed };

// Removes name, an entry unfit to be locked: again, or failed when it stays.
Attempt removeEntry(int directory, const char* name)
{
    return unlinkat(directory, name, 0) == 0 || errno == ENOENT ? Attempt::again : Attempt::failed;
}

// One attempt at opening and locking name; locked receives its descriptor.
Attempt lockEntry(int directory, const char* name, Clock::time_point deadline, Descriptor& locked)
{
    // Non-blocking, so that a FIFO or device can't hold up the open.
    Descriptor fd(openat(directory, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    if (fd.get() < 0)
        return errno == ELOOP ? removeEntry(directory, name) : Attempt::failed;
    struct stat opened = {};
    if (fstat(fd.get(), &opened) != 0)
        return Attempt::failed;
    if (!S_ISREG(opened.st_mode) || waitForWriteLock(fd.get(), deadline) == Lock::heldByReader)
        return removeEntry(directory, name);
    // Replaced while this run waited: the entry there now is the one to lock.
    struct stat named = {};
    if (fstatat(directory, name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(opened, named))
        return Attempt::again;
    // Emptying a file that has other names would empty those too.
    if (opened.st_nlink > 1)
        return removeEntry(directory, name);
    locked.reset(fd.release());
    return Attempt::locked;
}

} // namespace

RunFile::RunFile(std::FILE* stream, std::intptr_t handle)
    : file(stream)
    , handle(handle)
{
}

RunFile::~RunFile()
{
    close();
}

RunFile::RunFile(RunFile&& other) noexcept
    : file(std::exchange(other.file, nullptr))
    , handle(std::exchange(other.handle, noHandle))
{
}

RunFile& RunFile::operator=(RunFile&& other) noexcept
{
    if (this != &other) {
        close();
        file = std::exchange(other.file, nullptr);
        handle = std::exchange(other.handle, noHandle);
    }
    return *this;
}

void RunFile::endWriting()
{
    if (file == nullptr)
        return;
    handle = fcntl(fileno(file), F_DUPFD_CLOEXEC, 0);
    std::fclose(file);
    file = nullptr;
}

bool RunFile::isNamedBy(const std::string& path) const
{
    struct stat held = {};
    struct stat named = {};
    const int fd = file != nullptr ? fileno(file) : descriptor(handle);
    return fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 && sameFile(held, named);
}

void RunFile::close()
{
    if (file != nullptr)
        std::fclose(file);
    if (handle != noHandle)
        ::close(descriptor(handle));
    file = nullptr;
    handle = noHandle;
}

HostDirectory::~HostDirectory()
{
    if (handle != RunFile::noHandle)
        ::close(descriptor(handle));
}

boost::system::error_code HostDirectory::open(const std::string& name)
{
    const int fd = ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // A link (ELOOP) or a file (ENOTDIR) in the directory's place.
        const bool inTheWay = errno == ELOOP || errno == ENOTDIR;
        return inTheWay ? boost::system::error_code(EEXIST, boost::system::system_category()) : lastError();
    }
    handle = fd;
    path = name;
    return {};
}

RunFile HostDirectory::createFile(const std::string& name, boost::system::error_code& ec) const
{
    const int directory = descriptor(handle);
    ec = {};
    // Whatever was there goes, with its other names and its link target
    // untouched: an exclusive creation then makes the file this run's alone.
    if (unlinkat(directory, name.c_str(), 0) != 0 && errno != ENOENT) {
        ec = lastError();
        return {};
    }
    Descriptor fd(openat(directory, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    std::FILE* stream = fd.get() >= 0 ? streamOver(fd, "wb") : nullptr;
    if (stream == nullptr)
        ec = lastError();
    return {stream, RunFile::noHandle};
}

RunFile HostDirectory::lockFile(const std::string& name, std::chrono::milliseconds wait) const
{
    const auto deadline = Clock::now() + wait;
    Descriptor locked(-1);
    Attempt attempt = Attempt::again;
    for (int i = 0; i < lockAttempts && attempt == Attempt::again; ++i)
        attempt = lockEntry(descriptor(handle), name.c_str(), deadline, locked);
    if (attempt != Attempt::locked || ftruncate(locked.get(), 0) != 0)
        return {};
    return {streamOver(locked, "w+"), RunFile::noHandle};
}

} // namespace platform
