#pragma once

#include <QString>

#include <cstdio>

// Where --help, --version and a scripted run's messages go. On Windows the program starts
// without a console of its own, so that a double-click opens the window alone.

// Makes stdout and stderr reach the console the program was started from, when they lead
// nowhere yet; output already redirected to a pipe or a file stays there.
void UseStartingConsole();

// Writes `text` to stdout or stderr at once, spelt as the reader expects: a console gets the
// characters themselves, a pipe or a file the system's 8-bit encoding.
void Print(std::FILE* stream, const QString& text);
