#pragma once
// The version section the build puts into every ELF executable of ours.
//
// The section is text, one "path=value" entry a line. "\VarFileInfo\Translation" holds the
// language and code page as 4-digit hexadecimal words; "\StringFileInfo\<key>\FileVersion"
// holds the version of the string table that <key> (language and code page) names.

#include "os/VersionInfo.h"

#include <optional>
#include <string>
#include <string_view>

inline constexpr const char* kVersionSectionName = ".marq_version";

// The raw bytes of the version section of an ELF file; nothing when the file cannot be read,
// is not a 64-bit ELF file or has no such section.
std::optional<std::string> ReadVersionSection(const std::string& fileName);

// The file version a section block names: the text found, "No Version" when its translation
// points at a string table without one, or the empty text when the block has no translation.
std::string VersionFromBlock(std::string_view block);
