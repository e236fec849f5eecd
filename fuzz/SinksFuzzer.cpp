// The reply's libcurl sinks fed arbitrary data in arbitrary chunks, with
// progress calls in between: the header text and body hold exactly the bytes
// given, and the downloaded file holds them too once the last progress call
// has had it written whole.
#include "network/privacy/NetworkReplyPrivate.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

using tandrel::privacy::NetworkReplyPrivate;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string path = "/tmp/sinks-fuzzer-" + std::to_string(getpid()) + ".bin";
    if (size < 2)
        return 0;
    // No easy handle: the sinks' option changes on it fail harmlessly.
    NetworkReplyPrivate memory(nullptr, nullptr, 30, nullptr);
    NetworkReplyPrivate file(nullptr, nullptr, nullptr, std::make_unique<tandrel::privacy::BlockFile>(path), 30,
                             nullptr);

    // The first byte shapes the chunk sizes, the second how often progress is reported.
    const std::size_t step = data[0] % 97 + 1;
    const std::size_t progressEvery = data[1] % 5 + 1;
    std::string body(reinterpret_cast<const char*>(data) + 2, size - 2);
    std::size_t chunks = 0;
    for (std::size_t at = 0; at < body.size(); ++chunks) {
        const std::size_t length = std::min(step + chunks % 3, body.size() - at);
        char* chunk = &body[at];
        if (NetworkReplyPrivate::headerSink(chunk, 1, length, &memory) != length
            || NetworkReplyPrivate::bodySink(chunk, length, 1, &memory) != length
            || NetworkReplyPrivate::fileSink(chunk, 1, length, &file) != length)
            std::abort();
        at += length;
        if (chunks % progressEvery == 0)
            NetworkReplyPrivate::progressSink(&file, 0, 0, 0, 0);
    }
    const auto total = static_cast<curl_off_t>(body.size());
    NetworkReplyPrivate::progressSink(&file, total, total, 0, 0);

    std::ifstream written(path, std::ios::binary);
    const std::string content{std::istreambuf_iterator<char>(written), std::istreambuf_iterator<char>()};
    if (memory.headerText() != body || memory.body() != body || content != body)
        std::abort();
    return 0;
}
