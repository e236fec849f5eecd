#pragma once

#include "platform/Files.h"

#include <cstddef>
#include <string>

// The run's result file, held open (and locked) from before the first
// download to the echo at the end: verdict lines are written through it,
// and the echo reads back what this run wrote through the same handle.
class ResultFile
{
public:
    explicit ResultFile(platform::RunFile file);

    bool isOpen() const { return static_cast<bool>(file); }
    // Writes text and flushes it, so that the file holds it at once.
    void write(const std::string& text);
    // Closes the file after reading back what this run wrote to it; false,
    // with content empty, when it can't be read.
    bool readBackAndClose(std::string& content);

private:
    platform::RunFile file;
    // Characters written, and so the most to read back: others may add to
    // the file, but not to what the run echoes.
    std::size_t written = 0;
};
