#include "ResultFile.h"

#include <utility>

ResultFile::ResultFile(platform::RunFile file)
    : file(std::move(file))
{
}

void ResultFile::write(const std::string& text)
{
    std::FILE* stream = file.stream();
    if (stream == nullptr)
        return;
    // A failure only shows in the stream's state, as with an output stream.
    written += std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

bool ResultFile::readBackAndClose(std::string& content)
{
    std::FILE* stream = file.stream();
    content.assign(written, '\0');
    // The stream reads text back as it was written: line ends as given.
    const bool read = stream != nullptr && std::fseek(stream, 0, SEEK_SET) == 0;
    const std::size_t length = read ? std::fread(content.data(), 1, written, stream) : 0;
    content.resize(length);
    const bool whole = read && !std::ferror(stream);
    file.close();
    if (!whole)
        content.clear();
    return whole;
}
