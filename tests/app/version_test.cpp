// Reading the version section of an executable, and the caption suffix and --version text made
// from it.
#include "os/linux/VersionSection.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>

namespace {

std::string Block(const std::string& translation, const std::string& key, const std::string& version)
{
    return "\\VarFileInfo\\Translation=" + translation + "\n\\StringFileInfo\\" + key +
           "\\FileVersion=" + version + "\n";
}

TEST(VersionBlock, TranslationNamesTheStringTable)
{
    EXPECT_EQ(VersionFromBlock(Block("0c07 04e4", "0c0704e4", "1.9.6.1")), "1.9.6.1");
    // A table under another language than the translation names has no version for it.
    EXPECT_EQ(VersionFromBlock(Block("0c07 04e4", "040704e4", "1.9.6.1")), "No Version");
    EXPECT_EQ(VersionFromBlock(Block("0c07 04e4", "0c0704e4", "")), "No Version");
    // A translation of one word is a code page under US English.
    EXPECT_EQ(VersionFromBlock(Block("04e4", "040904e4", "2.0")), "2.0");
    EXPECT_EQ(VersionFromBlock(Block("04E4", "040904e4", "2.0")), "2.0");
}

TEST(VersionBlock, NoUsableTranslationGivesNothing)
{
    EXPECT_EQ(VersionFromBlock(""), "");
    EXPECT_EQ(VersionFromBlock("\\StringFileInfo\\0c0704e4\\FileVersion=1.0\n"), "");
    EXPECT_EQ(VersionFromBlock(Block("", "0c0704e4", "1.0")), "");
    EXPECT_EQ(VersionFromBlock(Block("0c0", "0c0704e4", "1.0")), "");
    EXPECT_EQ(VersionFromBlock(Block("zz07 04e4", "0c0704e4", "1.0")), "");
    EXPECT_EQ(VersionFromBlock(std::string("\0\n=\n\\\\", 7)), "");
}

TEST(VersionFile, TheProgramCarriesItsVersion)
{
    EXPECT_EQ(GetFileVersionString(MARQTEST_EXECUTABLE), "1.9.6.1");
    EXPECT_EQ(AppendVersion("Caption"), "Caption V1.9.6.1") << "this test program carries it too";
    EXPECT_EQ(VersionText("marqtest").rfind("marqtest 1.9.6.1\n", 0), 0u) << VersionText("marqtest");
}

TEST(VersionFile, FilesWithoutTheSectionGiveNothing)
{
    QTemporaryDir directory;
    const std::string missing = directory.filePath("missing").toStdString();
    EXPECT_EQ(GetFileVersionString(missing), "");
    EXPECT_EQ(GetFileVersionString("/bin/sh"), "") << "an executable without the section";

    const std::string text = directory.filePath("text").toStdString();
    std::ofstream(text) << "not an executable";
    EXPECT_EQ(GetFileVersionString(text), "");
    EXPECT_EQ(GetFileVersionString(directory.path().toStdString()), "") << "a directory";

    // Cut off in the middle: every offset is checked against the file's end.
    QFile program(MARQTEST_EXECUTABLE);
    ASSERT_TRUE(program.open(QIODevice::ReadOnly));
    const QByteArray bytes = program.readAll();
    for (qsizetype size : {qsizetype(10), qsizetype(64), bytes.size() / 2, bytes.size() - 1}) {
        const std::string cut = directory.filePath("cut").toStdString();
        std::ofstream(cut, std::ios::binary).write(bytes.constData(), size);
        EXPECT_EQ(GetFileVersionString(cut), "") << size;
    }
}

} // namespace
