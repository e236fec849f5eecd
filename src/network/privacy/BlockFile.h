#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace tandrel::privacy {

// A download's file, written in whole blocks that start at multiples of the
// block size: the last partial block is held (never more than one) until
// later data completes it or the file is closed. Any other sink that writes
// a file does the same (see BlockFile.cpp for why).
//
// The file is opened once and written through that one stream until it is
// closed: never reopened by name while the transfer runs.
class BlockFile
{
public:
    // The file at path; nothing is opened before open().
    explicit BlockFile(std::string path);
    // The caller's open stream, written from its position on (blocks counted
    // from there); flushed, never closed here.
    explicit BlockFile(std::FILE* stream);
    ~BlockFile();
    BlockFile(const BlockFile&) = delete;
    BlockFile& operator=(const BlockFile&) = delete;

    // Empty for the caller's stream.
    const std::string& path() const { return name; }
    // Opens the file at path: emptied (created if missing), or with append
    // its content of size bytes kept and writes going after its end. False
    // when it can't be opened (or the caller's stream is null); every write
    // then fails.
    bool open(bool append, std::uint64_t size = 0);
    // Empties the file and starts over (what is held goes too), through a
    // new stream on path. False when it can't be reopened.
    bool truncate();
    // Appends data at the file's end. False when it can't be written.
    bool append(const char* data, std::size_t length);
    // Writes what is held. False when it could not be written.
    bool flush();
    // Writes what is held and closes the file (flushes the caller's
    // stream). False when held bytes could not be written.
    bool close();

private:
    bool put(const char* data, std::size_t length);

    std::string name;
    std::FILE* file = nullptr;
    bool owned;
    std::string held;
    // Where the held bytes go: the size of the file as written.
    std::uint64_t offset = 0;
};

} // namespace tandrel::privacy
