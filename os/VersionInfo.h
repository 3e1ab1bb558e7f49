#pragma once
// The program's version as the build records it in a section of its own in the executable, and
// the caption suffix made from it.
//
// The section is text, one "path=value" entry a line. "\VarFileInfo\Translation" holds the
// language and code page as 4-digit hexadecimal words; "\StringFileInfo\<key>\FileVersion"
// holds the version of the string table that <key> (language and code page) names.

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

std::string GetFileVersionString(const std::string& fileName);

// The running executable's version, read from its own file: what the caption shows and
// --version prints. Needs no application object.
std::string OwnVersion();

// What `program --version` prints: the name and OwnVersion on the first line, then the
// copyright and licence.
std::string VersionText(std::string_view program);

// The caption with " V" and the running executable's version appended, or unchanged when the
// executable carries no version.
std::string AppendVersion(const std::string& caption);
