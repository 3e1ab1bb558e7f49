#include "QtPrinting.h"

#include <gtest/gtest.h>

void PrintTo(const QString& text, std::ostream* out)
{
    *out << ::testing::PrintToString(text.toStdString());
}
