// File names as the window hands them over, UTF-8, reaching Windows intact: the 8-bit calls of a
// German Windows spell no "Ω", and those of another code page no "ü".
#include "serial/FileTransfer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

TEST(Win32Files, AFileToSendOpensWhateverCharactersItsNameHas)
{
    const std::filesystem::path file = std::filesystem::temp_directory_path() / L"Prüfung Ω.txt";
    std::FILE* made = ::_wfopen(file.c_str(), L"wb");
    ASSERT_NE(made, nullptr);
    std::fputs("88:88:88.888\r", made);
    std::fclose(made);
    const std::u8string name = file.u8string();
    {
        FileTransfer transfer;
        EXPECT_TRUE(transfer.Open(std::string(name.begin(), name.end()), 64));
        EXPECT_EQ(transfer.Size(), 13);
    }
    std::filesystem::remove(file);
}
