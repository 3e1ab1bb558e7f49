#pragma once
// The program's version as the build records it in the executable (a version resource on
// Windows, a section of its own on Linux: os/linux/VersionSection.h), and the caption suffix
// made from it.

#include <string>
#include <string_view>

// The file version a file carries: the text found, "No Version" when its translation points at
// a string table without one, or the empty text when it carries no usable version.
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
