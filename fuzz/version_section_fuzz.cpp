// Arbitrary files offered to the version reader, and arbitrary section blocks to the lookup
// inside them: no input may crash it or make it read outside what it was given.
#include "os/linux/VersionSection.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    VersionFromBlock(bytes);

    // One scratch file per fuzzing process, removed when it ends.
    static const struct Scratch {
        std::string path = "/tmp/marq-version-fuzz-" + std::to_string(getpid());
        ~Scratch() { std::remove(path.c_str()); }
    } scratch;
    const std::string& path = scratch.path;
    if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, file);
        std::fclose(file);
        GetFileVersionString(path);
    }
    return 0;
}
