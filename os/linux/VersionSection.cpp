#include "os/linux/VersionSection.h"

#include <elf.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

// Reads exactly `size` bytes at `offset`, or nothing when the file is shorter.
std::optional<std::string> ReadAt(std::ifstream& file, std::uint64_t fileSize,
                                  std::uint64_t offset, std::uint64_t size)
{
    if (offset > fileSize || size > fileSize - offset)
        return std::nullopt;
    std::string bytes(size, '\0');
    file.seekg(static_cast<std::streamoff>(offset));
    if (!file.read(bytes.data(), static_cast<std::streamsize>(size)))
        return std::nullopt;
    return bytes;
}

template <typename T>
std::optional<T> ReadStruct(std::ifstream& file, std::uint64_t fileSize, std::uint64_t offset)
{
    const auto bytes = ReadAt(file, fileSize, offset, sizeof(T));
    if (!bytes)
        return std::nullopt;
    T value;
    std::memcpy(&value, bytes->data(), sizeof(T));
    return value;
}

// The value of the entry whose path is `path`, or nothing.
std::optional<std::string_view> Query(std::string_view block, std::string_view path)
{
    while (!block.empty()) {
        const auto end = block.find('\n');
        const std::string_view entry = block.substr(0, end);
        block = end == std::string_view::npos ? std::string_view() : block.substr(end + 1);
        const auto equals = entry.find('=');
        if (equals != std::string_view::npos && entry.substr(0, equals) == path)
            return entry.substr(equals + 1);
    }
    return std::nullopt;
}

// The 16-bit words of a translation entry; nothing when the text is not a list of words.
std::optional<std::vector<unsigned>> TranslationWords(std::string_view text)
{
    std::vector<unsigned> words;
    std::size_t position = 0;
    while (position < text.size()) {
        if (text[position] == ' ') {
            ++position;
            continue;
        }
        if (position + 4 > text.size())
            return std::nullopt;
        unsigned word = 0;
        for (std::size_t i = position; i < position + 4; ++i) {
            const char c = text[i];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0)
                return std::nullopt;
            word = word * 16 + static_cast<unsigned>(digit);
        }
        words.push_back(word);
        position += 4;
    }
    return words;
}

} // namespace

std::optional<std::string> ReadVersionSection(const std::string& fileName)
{
    std::ifstream file(fileName, std::ios::binary | std::ios::ate);
    if (!file)
        return std::nullopt;
    const auto end = file.tellg();
    if (end < 0)
        return std::nullopt;
    const auto fileSize = static_cast<std::uint64_t>(end);

    const auto header = ReadStruct<Elf64_Ehdr>(file, fileSize, 0);
    if (!header || std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 ||
        header->e_ident[EI_CLASS] != ELFCLASS64 || header->e_ident[EI_DATA] != ELFDATA2LSB ||
        header->e_shentsize != sizeof(Elf64_Shdr) || header->e_shstrndx >= header->e_shnum)
        return std::nullopt;

    auto sectionHeader = [&](std::uint64_t index) {
        return ReadStruct<Elf64_Shdr>(file, fileSize, header->e_shoff + index * sizeof(Elf64_Shdr));
    };
    const auto names = sectionHeader(header->e_shstrndx);
    if (!names)
        return std::nullopt;
    const auto nameTable = ReadAt(file, fileSize, names->sh_offset, names->sh_size);
    if (!nameTable)
        return std::nullopt;

    for (std::uint64_t i = 0; i < header->e_shnum; ++i) {
        const auto section = sectionHeader(i);
        if (!section)
            return std::nullopt;
        if (section->sh_name >= nameTable->size() || section->sh_type == SHT_NOBITS)
            continue;
        if (std::strcmp(nameTable->c_str() + section->sh_name, kVersionSectionName) == 0)
            return ReadAt(file, fileSize, section->sh_offset, section->sh_size);
    }
    return std::nullopt;
}

std::string VersionFromBlock(std::string_view block)
{
    const auto translation = Query(block, "\\VarFileInfo\\Translation");
    if (!translation)
        return {};
    const auto words = TranslationWords(*translation);
    if (!words || words->empty())
        return {};

    // A translation of one word names the code page alone, under the US English language.
    char key[16];
    if (words->size() == 1)
        std::snprintf(key, sizeof key, "0409%04x", (*words)[0]);
    else
        std::snprintf(key, sizeof key, "%04x%04x", (*words)[0], (*words)[1]);

    const auto version = Query(block, "\\StringFileInfo\\" + std::string(key) + "\\FileVersion");
    if (!version || version->empty())
        return "No Version";
    return std::string(*version);
}

std::string GetFileVersionString(const std::string& fileName)
{
    const auto block = ReadVersionSection(fileName);
    if (!block || block->empty())
        return {};
    return VersionFromBlock(*block);
}

std::string OwnVersion()
{
    // The kernel's link to the file that was started: still the right file when the path has
    // been replaced or removed since.
    return GetFileVersionString("/proc/self/exe");
}
