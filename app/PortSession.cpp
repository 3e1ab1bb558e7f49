#include "app/PortSession.h"

void PortSession::Opened(const ComNames& names, const std::string& name)
{
    device_ = names.Identify(name);
    name_ = name;
    lost_ = false;
}

void PortSession::Lost()
{
    lost_ = device_.has_value();
    tried_ = false;
}

void PortSession::Forget()
{
    device_.reset();
    lost_ = false;
}

std::optional<std::string> PortSession::Returned(const ComNames& names)
{
    if (!lost_)
        return std::nullopt;
    const std::string where = names.Find(*device_, name_);
    if (where.empty()) {
        tried_ = false;
        return std::nullopt;
    }
    if (tried_)
        return std::nullopt;
    tried_ = true;
    return where;
}
