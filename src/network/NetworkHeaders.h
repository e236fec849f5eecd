#pragma once

#include "network/HeaderType.h"

#include <list>
#include <map>
#include <string>

namespace tandrel {

/// A request's headers: at most one value per name, names compared byte-wise
/// and case-sensitively. Headers go out in the map's order, not the order
/// they were set.
class NetworkHeaders
{
public:
    /// The canonical name of type; "Unknown-Header" for a value outside the table.
    static std::string headerName(HeaderType type);

    /// Inserts name with value, or replaces the value of an existing name.
    /// A null value is taken as empty.
    void setHeader(const std::string& name, const char* value);

    /// One "name: value" line per entry, in map order, without line ends.
    std::list<std::string> headerLines() const;

    /// `"header:\n"` and one `"name: value\n"` line per entry.
    std::string toString() const;

    /// The headers by name; a value is sent as it is, so it must not hold a line end.
    std::map<std::string, std::string> headers;
};

} // namespace tandrel
