#pragma once
// Lets GoogleTest print Qt's strings as text when a comparison fails.

#include <QString>

#include <ostream>

void PrintTo(const QString& text, std::ostream* out);
