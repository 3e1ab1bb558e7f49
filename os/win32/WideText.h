#pragma once
// Texts between the program (UTF-8, as Qt hands them over) and Windows' wide-character calls,
// which take every name and give every message intact whatever the system's code page.

#include <string>
#include <string_view>

std::wstring Wide(std::string_view utf8);
std::string Utf8(std::wstring_view wide);
