#pragma once
// A buffered byte stream on a named file that closes itself. The name is UTF-8, as the window
// hands it over, and the stream is never inherited by programs the desktop starts from here.

#include <cstdio>
#include <memory>
#include <string>

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FileStream = std::unique_ptr<std::FILE, FileCloser>;

// std::fopen's modes ("rb", "ab"...); empty with errno set when the file cannot be opened. On
// Windows the name goes to the system in its wide characters, so that any name arrives intact.
FileStream OpenFileStream(const std::string& name, const std::string& mode);
