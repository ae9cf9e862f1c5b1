#include "NSTargetFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "ResultCodes.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

class NSTargetFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        directory = fs::temp_directory_path() / ("quenwick-target-file-" + std::to_string(std::random_device{}()));
        ASSERT_TRUE(fs::create_directory(directory));
    }
    void TearDown() override { fs::remove_all(directory); }

    // Writes a file of the given bytes and returns its path.
    std::string file(const std::string& name, const Bytes& content)
    {
        const fs::path path = directory / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
        return path.string();
    }

    static Bytes image(size_t size)
    {
        Bytes bytes(size);
        for (size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
        }
        return bytes;
    }

    Bytes loaded() const
    {
        const uint8_t* memory = target.GetProgramMemory();
        return memory == nullptr ? Bytes() : Bytes(memory, memory + target.GetProgramMemorySize());
    }

    void expectEmpty(const std::string& when) const
    {
        EXPECT_EQ(target.GetProgramMemory(), nullptr) << when;
        EXPECT_EQ(target.GetProgramMemorySize(), 0U) << when;
    }

    fs::path directory;
    NSTargetFile target;
};

TEST_F(NSTargetFileTest, AcceptsOnlyExistingFilesWithTheBinExtension)
{
    for (const std::string name : {"a.bin", "b.BIN", "c.Bin"}) {
        const Bytes content = {static_cast<uint8_t>(name[0])};
        EXPECT_EQ(target.ReadFile(file(name, content)), RESULT_OK) << name;
        EXPECT_EQ(loaded(), content) << name;
        EXPECT_EQ(target.GetFileType(), INPUT_FILE_BIN) << name;
        EXPECT_EQ(target.GetDataFlash(), nullptr) << name;
        EXPECT_EQ(target.GetDataSize(), 0U) << name;
    }

    // Refusals before the read leave the loaded image alone; only a wrong extension changes the type.
    fs::create_directory(directory / "dir.bin");
    EXPECT_EQ(target.ReadFile((directory / "dir.bin").string()), ERR_FILE_NOT_FOUND) << "a directory is not found";
    EXPECT_EQ(target.ReadFile((directory / "missing.bin").string()), ERR_FILE_NOT_FOUND);
    EXPECT_EQ(target.ReadFile(""), ERR_FILE_NOT_FOUND);
    EXPECT_EQ(target.GetFileType(), INPUT_FILE_BIN);
    for (const std::string name : {"d.hex", "e.bin.bak", "nodot", "bin"}) {
        EXPECT_EQ(target.ReadFile(file(name, {0x01})), ERR_FILE_FORMAT) << name;
        EXPECT_EQ(target.GetFileType(), INPUT_FILE_NONE) << name;
    }
    EXPECT_EQ(loaded(), Bytes{'c'}) << "a refused path must leave the earlier image untouched";

    EXPECT_EQ(target.readFromBinFile((directory / "dir.bin").string()), ERR_FILE_READ);
    expectEmpty("after a read failure");
    EXPECT_EQ(target.readFromBinFile((directory / "missing.bin").string()), ERR_FILE_READ);
}

TEST_F(NSTargetFileTest, LoadsWholeImagesUpToTheLimitOrNothing)
{
    const Bytes largest = image(NSTargetFile::MAX_PROGRAM_SIZE);
    const std::string largestPath = file("largest.bin", largest);
    ASSERT_EQ(target.ReadFile(largestPath), RESULT_OK);
    EXPECT_EQ(loaded(), largest);

    EXPECT_EQ(target.ReadFile(file("too-large.bin", image(NSTargetFile::MAX_PROGRAM_SIZE + 1))), ERR_FILE_SIZE);
    expectEmpty("after a file one byte too large");
    EXPECT_EQ(target.GetFileType(), INPUT_FILE_BIN);

    ASSERT_EQ(target.ReadFile(largestPath), RESULT_OK);
    EXPECT_EQ(target.ReadFile(file("empty.bin", {})), ERR_FILE_SIZE);
    expectEmpty("after an empty file");

    ASSERT_EQ(target.ReadFile(largestPath), RESULT_OK);
    const Bytes small = {0xDE, 0xAD, 0xBE};
    ASSERT_EQ(target.ReadFile(file("small.bin", small)), RESULT_OK);
    EXPECT_EQ(loaded(), small) << "a second load replaces the first image completely";

    target.releaseData();
    expectEmpty("after releaseData");
}

} // namespace
