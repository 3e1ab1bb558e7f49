// Any received string offered to the virtual board's command reader: a command it accepts
// must carry a value within its range and must be found again when written out anew.
#include "board/LyraCommand.h"
#include "protocol/DisplayLine.h"
#include "protocol/LyraCommands.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto command = board::ParseLyraCommand(text);
    if (!command)
        return 0;
    using Kind = board::LyraCommand::Kind;
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
        if (command->reg < 0 || command->reg > 6 || command->value < 0 || command->value > 99)
            std::abort();
        again = std::string{protocol::ESC} + "W00" + static_cast<char>('0' + command->reg) +
                protocol::PadNumber(command->value, 2, '0') + protocol::CR;
        break;
    }
    if (!(board::ParseLyraCommand(again) == command))
        std::abort();
    return 0;
}
