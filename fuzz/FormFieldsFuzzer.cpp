// FormFields::join from arbitrary fields: each name and value appears
// unchanged at its place, "=" inside a pair and "&" between pairs, and
// nothing else.
#include "network/FormFields.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// Aborts unless text holds expected at position at; moves at past it.
void expectAt(const std::string& text, std::size_t& at, const std::string& expected)
{
    if (text.compare(at, expected.size(), expected) != 0)
        std::abort();
    at += expected.size();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Texts are separated by zero bytes: name, value, name, value, ...
    const std::string input(reinterpret_cast<const char*>(data), size);
    tandrel::FormFields form;
    std::string name;
    bool haveName = false;
    for (std::size_t start = 0; start <= input.size();) {
        const std::size_t end = std::min(input.find('\0', start), input.size());
        const std::string text = input.substr(start, end - start);
        if (haveName)
            form.fields.emplace_back(name, text);
        else
            name = text;
        haveName = !haveName;
        start = end + 1;
    }

    const std::string body = form.join();
    std::size_t at = 0;
    for (std::size_t i = 0; i < form.fields.size(); ++i) {
        if (i > 0)
            expectAt(body, at, "&");
        expectAt(body, at, form.fields[i].first);
        expectAt(body, at, "=");
        expectAt(body, at, form.fields[i].second);
    }
    if (at != body.size())
        std::abort();
    return 0;
}
