#pragma once

#include <cstdint>
#include <fstream>
#include <string>

namespace tandrel::privacy {

// A download's file, written in whole blocks that start at multiples of the
// block size: the last partial block is held (never more than one) until
// later data completes it or the file is closed. Any other sink that writes
// a file does the same (see BlockFile.cpp for why).
class BlockFile
{
public:
    explicit BlockFile(std::string path);
    BlockFile(const BlockFile&) = delete;
    BlockFile& operator=(const BlockFile&) = delete;

    const std::string& path() const { return name; }
    // Creates the file, or empties it (what is held goes too). A failure
    // shows at the first append.
    void truncate();
    // Appends data at the file's end, opening the file if it is closed.
    // False when it can't be opened or written.
    bool append(const char* data, std::size_t length);
    // Writes what is held and closes the file. False when held bytes could
    // not be written.
    bool close();

private:
    bool put(const char* data, std::size_t length);

    std::string name;
    std::ofstream file;
    std::string held;
    // Where the held bytes go: the size of the file as written.
    std::uint64_t offset = 0;
};

} // namespace tandrel::privacy
