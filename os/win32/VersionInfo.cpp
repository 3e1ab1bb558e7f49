#include "os/VersionInfo.h"

#include "os/win32/WideText.h"

#include <windows.h>

#include <cwchar>
#include <vector>

namespace {

std::string FileVersion(const std::wstring& fileName)
{
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(fileName.c_str(), &ignored);
    if (size == 0)
        return {};
    std::vector<char> block(size);
    if (!::GetFileVersionInfoW(fileName.c_str(), 0, size, block.data()))
        return {};

    void* translation = nullptr;
    UINT translationBytes = 0;
    if (!::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &translation,
                          &translationBytes) ||
        translationBytes < sizeof(WORD))
        return {};
    const auto* words = static_cast<const WORD*>(translation);

    // A translation of one word names the code page alone, under the US English language.
    wchar_t key[16];
    if (translationBytes == sizeof(WORD))
        std::swprintf(key, 16, L"0409%04x", words[0]);
    else
        std::swprintf(key, 16, L"%04x%04x", words[0], words[1]);

    const std::wstring path = std::wstring(L"\\StringFileInfo\\") + key + L"\\FileVersion";
    void* version = nullptr;
    UINT versionLength = 0;
    if (!::VerQueryValueW(block.data(), path.c_str(), &version, &versionLength) ||
        versionLength == 0)
        return "No Version";
    const auto* text = static_cast<const wchar_t*>(version);
    return Utf8(std::wstring_view(text, ::wcsnlen(text, versionLength)));
}

} // namespace

std::string GetFileVersionString(const std::string& fileName)
{
    return FileVersion(Wide(fileName));
}

std::string OwnVersion()
{
    // Paths may be longer than MAX_PATH; a full buffer means the name was cut.
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0)
            return {};
        if (length < name.size()) {
            name.resize(length);
            return FileVersion(name);
        }
        name.resize(name.size() * 2);
    }
}
