#include "network/FormFields.h"

namespace tandrel {

std::string FormFields::join() const
{
    std::string body;
    for (const auto& [name, value] : fields) {
        if (!body.empty())
            body += "&";
        body += name + "=" + value;
    }
    return body;
}

} // namespace tandrel
