// Any received string offered to the Lyra command reader: a command it accepts must carry a
// value within its range and must be found again when written out anew.
#include "protocol/LyraCommands.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto command = protocol::ParseLyraCommand(text);
    if (!command)
        return 0;
    using Kind = protocol::LyraCommand::Kind;
    std::string again;
    switch (command->kind) {
    case Kind::Brightness:
        if (command->value < 0 || command->value > 9)
            std::abort();
        again = protocol::BrightnessCommand(command->value);
        break;
    case Kind::Timeout:
        if (command->value < 0 || command->value > 99)
            std::abort();
        again = protocol::TimeoutCommand(command->value);
        break;
    case Kind::ClockRegister:
        if (command->reg < 0 || command->reg >= protocol::kClockRegisterCount || command->value < 0 || command->value > 99)
            std::abort();
        again = protocol::ClockRegisterCommand(command->reg, command->value);
        break;
    }
    if (!(protocol::ParseLyraCommand(again) == command))
        std::abort();
    return 0;
}
