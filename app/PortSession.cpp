#include "app/PortSession.h"

void PortSession::Opened(const ComNames& names, const std::string& name)
{
    device_ = names.Identify(name);
    name_ = name;
    lost_ = false;
    notIt_.clear();
    doubt_.clear();
}

void PortSession::Lost(const ComNames& names)
{
    lost_ = device_.has_value();
    notIt_ = lost_ ? names.LookAlikes(*device_) : std::set<std::string>();
    backSince_.reset();
    refused_ = false;
}

void PortSession::Forget()
{
    device_.reset();
    lost_ = false;
    doubt_.clear();
}

std::optional<std::string> PortSession::Returned(const ComNames& names, Clock::time_point now)
{
    if (!lost_)
        return std::nullopt;
    ComNames::Sighting where = names.Find(*device_, name_, notIt_);
    doubt_ = std::move(where.doubt);
    notIt_.merge(where.others);
    if (where.name.empty()) {
        backSince_.reset();
        refused_ = false;
        return std::nullopt;
    }
    if (refused_)
        return std::nullopt;
    if (!backSince_)
        backSince_ = now;
    return where.name;
}

bool PortSession::Refused(bool passing, Clock::time_point now)
{
    refused_ = !passing || !backSince_ || now - *backSince_ >= kSettling;
    return !refused_;
}
