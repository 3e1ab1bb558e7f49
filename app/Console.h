#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>

// Where --help, --version and a scripted run's messages go. On Windows the program starts
// without a console of its own, so that a double-click opens the window alone.

// Makes stdout and stderr reach the console the program was started from, when they lead
// nowhere yet; output already redirected to a pipe or a file stays there.
void UseStartingConsole();

// Writes `text` to stdout or stderr at once, spelt as the reader expects: a console gets the
// characters themselves, a pipe or a file the 8-bit encoding its reader uses (on Windows the
// console's, which cmd and PowerShell read pipes in, where there is a console).
void Print(std::FILE* stream, const QString& text);

// The program's arguments as the system holds them: on Windows in wide characters, which keep
// any name, whatever the system's 8-bit code page.
QStringList ProgramArguments(int argc, char* argv[]);
