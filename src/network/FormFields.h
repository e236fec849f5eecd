#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tandrel {

/// The (name, value) fields of a form post, in the caller's order.
struct FormFields
{
    /// "name=value" pairs joined with `"&"`, exactly as given: nothing is escaped.
    std::string join() const;

    /// The fields; a name or value may hold any bytes, '&' and '=' included.
    std::vector<std::pair<std::string, std::string>> fields;
};

} // namespace tandrel
