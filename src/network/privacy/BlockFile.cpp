#include "network/privacy/BlockFile.h"

#include <algorithm>
#include <utility>

namespace tandrel::privacy {

namespace {

// A write that ends inside a page the file has not reached yet makes the
// kernel zero the rest of that page, and the next write fills it again;
// whole blocks at block boundaries never do. The block is a multiple of the
// page size and large enough that the writes cost less than copying the
// chunks together (libcurl hands over at most 16 KiB at a time): measured
// against 4 KiB and 128 or 256 KiB blocks, 64 KiB cut the CPU of a large
// download the most.
constexpr std::size_t block = std::size_t{64} * 1024;

} // namespace

BlockFile::BlockFile(std::string path)
    : name(std::move(path))
    , owned(true)
{
}

BlockFile::BlockFile(std::FILE* stream)
    : file(stream)
    , owned(false)
{
}

BlockFile::~BlockFile()
{
    close();
}

bool BlockFile::open(bool append, std::uint64_t size)
{
    if (!owned)
        return file != nullptr;
    // Unbuffered: append decides what reaches the file when.
    file = std::fopen(name.c_str(), append ? "ab" : "wb");
    if (file != nullptr)
        std::setvbuf(file, nullptr, _IONBF, 0);
    offset = append ? size : 0;
    return file != nullptr;
}

bool BlockFile::truncate()
{
    held.clear();
    offset = 0;
    if (!owned || file == nullptr)
        return false;
    file = std::freopen(name.c_str(), "wb", file);
    if (file != nullptr)
        std::setvbuf(file, nullptr, _IONBF, 0);
    return file != nullptr;
}

bool BlockFile::append(const char* data, std::size_t length)
{
    if (file == nullptr)
        return false;
    // First complete the block that the held bytes, or the file's end, began.
    if (!held.empty() || offset % block != 0) {
        const std::size_t fill = std::min(length, block - (offset + held.size()) % block);
        held.append(data, fill);
        data += fill;
        length -= fill;
        if ((offset + held.size()) % block != 0)
            return true;
        if (!put(held.data(), held.size()))
            return false;
        held.clear();
    }
    const std::size_t whole = length - length % block;
    if (whole > 0 && !put(data, whole))
        return false;
    held.assign(data + whole, length - whole);
    return true;
}

bool BlockFile::flush()
{
    const bool written = held.empty() || (file != nullptr && put(held.data(), held.size()));
    held.clear();
    return written;
}

bool BlockFile::close()
{
    bool written = flush();
    if (file != nullptr)
        written = (owned ? std::fclose(file) : std::fflush(file)) == 0 && written;
    file = nullptr;
    return written;
}

bool BlockFile::put(const char* data, std::size_t length)
{
    const bool written = std::fwrite(data, 1, length, file) == length;
    offset += length;
    return written;
}

} // namespace tandrel::privacy
