// The system's error texts as the window shows them: Windows ends its texts in ".\r\n", the C
// library in nothing at all, and both must read the same in the status line.
#include "os/SystemText.h"

#include <gtest/gtest.h>

#include <cerrno>

TEST(SystemTextTrim, DropsTrailingStopsBlanksAndLineEndsOnly)
{
    EXPECT_EQ(TrimmedSystemText("Access is denied.\r\n"), "Access is denied");
    EXPECT_EQ(TrimmedSystemText("The port 'COM5' does not exist. \r\n"),
              "The port 'COM5' does not exist")
        << "full stops inside the text stay";
    EXPECT_EQ(TrimmedSystemText(" .\r\n"), "");
    EXPECT_EQ(SystemText(ENOENT), "No such file or directory");
}
