#include "network/privacy/BlockFile.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
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
{
    // Unbuffered: append decides what reaches the file when.
    file.rdbuf()->pubsetbuf(nullptr, 0);
}

void BlockFile::truncate()
{
    if (file.is_open())
        file.close();
    held.clear();
    offset = 0;
    std::ofstream(name, std::ios_base::out | std::ios_base::trunc | std::ios_base::binary);
}

bool BlockFile::append(const char* data, std::size_t length)
{
    if (!file.is_open()) {
        file.open(name, std::ios_base::out | std::ios_base::app | std::ios_base::binary);
        if (!file.is_open())
            return false;
        std::error_code ec;
        offset = std::filesystem::file_size(name, ec);
    }
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

bool BlockFile::close()
{
    const bool written = held.empty() || (file.is_open() && put(held.data(), held.size()));
    held.clear();
    if (file.is_open())
        file.close();
    return written;
}

bool BlockFile::put(const char* data, std::size_t length)
{
    file.write(data, static_cast<std::streamsize>(length));
    offset += length;
    return !file.fail();
}

} // namespace tandrel::privacy
