#pragma once
// Looks host names up without ever holding the caller: the name service runs on a worker thread,
// and the caller asks what is known of a name and takes up the answer once it is there. One
// lookup runs at a time. The answer for the last name asked is kept, a failure only for a short
// while, so that a name is looked up once and a name service that fails is asked again later.

#include "net/Ipv4Address.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class HostLookup {
public:
    // Answers the first IPv4 address of a name, or nothing. Runs on a worker thread that may
    // outlive the caller, so it must own everything it uses.
    using Resolver = std::function<std::optional<Ipv4Address>(const std::string& name)>;
    using Clock = std::chrono::steady_clock;
    using ClockReader = std::function<Clock::time_point()>;

    // How long a name that was not found stays so before it is looked up again.
    static constexpr std::chrono::seconds kRetryAfter{3};

    // The system's name service, on the calling thread.
    static std::optional<Ipv4Address> SystemResolver(const std::string& name);

    explicit HostLookup(Resolver resolver = SystemResolver, ClockReader clock = Clock::now);

    enum class State { Pending, Found, Failed };
    struct Answer {
        State state = State::Pending;
        Ipv4Address address;
        // A failure taken up by this very call, and whether its lookup was a LookUpAgain.
        bool justFailed = false;
        bool again = false;
    };

    // What is known of `name` now, without waiting. Nothing known (or the failure's back-off
    // over) and no lookup running: one starts. A running lookup for another name is let finish
    // and its answer dropped.
    Answer Find(const std::string& name);
    // Forgets what is known of the last name asked and looks it up once more, at once.
    void LookUpAgain();
    // Waits, without running events, until the running lookup has answered or `limit` has
    // passed; the next Find takes the answer up.
    void Wait(std::chrono::milliseconds limit) const;

private:
    struct Worker;

    void Start(bool again);
    void TakeAnswer();
    void Failed(bool again);

    Resolver resolver_;
    ClockReader clock_;
    std::string name_;
    std::optional<Answer> known_;
    Clock::time_point failedAt_;
    std::shared_ptr<Worker> running_;
};
