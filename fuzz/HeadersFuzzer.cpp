// NetworkHeaders from arbitrary names and values: one entry per distinct
// name holding its last value, header lines and dump in byte order of the
// names, and HeaderType names for any value.
#include "network/NetworkHeaders.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <map>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::string name = tandrel::NetworkHeaders::headerName(
        static_cast<tandrel::HeaderType>(static_cast<std::int8_t>(data[0])));
    if (name.empty())
        std::abort();

    // Lines of "name\tvalue"; a value cannot hold a zero byte (it is a C text).
    tandrel::NetworkHeaders headers;
    std::map<std::string, std::string> last;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    for (std::size_t start = 0; start < input.size();) {
        const std::size_t end = std::min(input.find('\n', start), input.size());
        const std::string line = input.substr(start, end - start);
        const std::size_t tab = line.find('\t');
        const std::string key = line.substr(0, tab);
        std::string value = tab == std::string::npos ? "" : line.substr(tab + 1);
        value = value.substr(0, value.find('\0'));
        headers.setHeader(key, value.c_str());
        last[key] = value;
        start = end + 1;
    }

    const auto lines = headers.headerLines();
    if (lines.size() != last.size())
        std::abort();
    std::string dump = "header:\n";
    auto line = lines.begin();
    for (const auto& [key, value] : last) {
        if (*line++ != key + ": " + value)
            std::abort();
        dump += key + ": " + value + "\n";
    }
    if (headers.toString() != dump)
        std::abort();
    return 0;
}
