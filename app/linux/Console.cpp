#include "app/Console.h"

// A Linux program keeps the terminal or pipe it was given.
void UseStartingConsole() {}

void Print(std::FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}
