#include "NullModem.h"

#include "LineFormat.h"

#include <array>
#include <cerrno>
#include <termios.h>
#include <unistd.h>

namespace board {
namespace {

// A master descriptor reports the settings its slave's program made.
LineFormat FormatOfMaster(int master)
{
    termios settings{};
    if (::tcgetattr(master, &settings) != 0)
        return {};
    return FormatOf(settings);
}

} // namespace

NullModem::NullModem(const PseudoTerminal& from, const PseudoTerminal& to, QObject* parent)
    : QObject(parent), from_(from.Master()), to_(to.Master()),
      readable_(std::make_unique<QSocketNotifier>(from_, QSocketNotifier::Read)),
      writable_(std::make_unique<QSocketNotifier>(to_, QSocketNotifier::Write))
{
    writable_->setEnabled(false);
    connect(readable_.get(), &QSocketNotifier::activated, this, &NullModem::Read);
    connect(writable_.get(), &QSocketNotifier::activated, this, &NullModem::Write);
}

void NullModem::Read()
{
    std::array<char, 4096> buffer;
    const ssize_t count = ::read(from_, buffer.data(), buffer.size());
    if (count <= 0)
        return; // nothing there, or no program on the line: the slave we hold keeps it up
    pending_ += Resample(std::string_view(buffer.data(), static_cast<std::size_t>(count)),
                         FormatOfMaster(from_), FormatOfMaster(to_));
    Write();
}

void NullModem::Write()
{
    while (!pending_.empty()) {
        const ssize_t count = ::write(to_, pending_.data(), pending_.size());
        if (count < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
                pending_.clear(); // the line is broken; waiting would spin
            break;                // full: wait until the far side has read
        }
        pending_.erase(0, static_cast<std::size_t>(count));
    }
    readable_->setEnabled(pending_.empty());
    writable_->setEnabled(!pending_.empty());
}

} // namespace board
