// Whole URLs and part-by-part URLs from arbitrary bytes: every operation
// either works or throws a std::error_code in curlu_category(), and nothing
// leaks (libcurl's texts are freed on every way out).
#include "network/CurluCategory.h"
#include "network/Url.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Setter = void (tandrel::Url::*)(const std::string&);
using Getter = std::string (tandrel::Url::*)() const;

const Setter setters[] = {
    &tandrel::Url::setScheme,   &tandrel::Url::setUser,   &tandrel::Url::setPassword, &tandrel::Url::setOptions,
    &tandrel::Url::setHost,     &tandrel::Url::setPort,   &tandrel::Url::setPath,     &tandrel::Url::setQuery,
    &tandrel::Url::setFragment, &tandrel::Url::setZoneId, &tandrel::Url::setUrl,
};
const Getter getters[] = {
    &tandrel::Url::toString, &tandrel::Url::url,     &tandrel::Url::scheme,   &tandrel::Url::user,
    &tandrel::Url::password, &tandrel::Url::options, &tandrel::Url::host,     &tandrel::Url::port,
    &tandrel::Url::path,     &tandrel::Url::query,   &tandrel::Url::fragment, &tandrel::Url::zoneId,
};

template <class Operation>
void expectOnlyUrlErrors(Operation operation)
{
    try {
        operation();
    } catch (const std::error_code& ec) {
        if (ec.category() != tandrel::curlu_category() || ec.value() == 0)
            std::abort();
    }
}

void readEveryPart(const tandrel::Url& url)
{
    for (const Getter getter : getters)
        expectOnlyUrlErrors([&] { (url.*getter)(); });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    // Texts end at a zero byte on their way into libcurl, so none are made here.
    std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    for (char& c : input)
        c = c == '\0' ? ' ' : c;

    if (data[0] % 2 == 0) {
        const tandrel::Url url(input);
        readEveryPart(url);
        return 0;
    }
    // One part per line, in setter order; the copy sees what the original sets.
    tandrel::Url url;
    const tandrel::Url copy = url;
    std::size_t start = 0;
    for (const Setter setter : setters) {
        const std::size_t end = std::min(input.find('\n', start), input.size());
        const std::string part = input.substr(std::min(start, input.size()), end - std::min(start, input.size()));
        expectOnlyUrlErrors([&] { (url.*setter)(part); });
        start = end + 1;
    }
    readEveryPart(copy);
    return 0;
}
