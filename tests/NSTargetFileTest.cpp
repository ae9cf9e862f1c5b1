#include "NSTargetFile.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ResultCodes.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

TEST(NSTargetFileTest, LoadsWholeBinImagesUpToTheLimitOrNothing)
{
    const fs::path directory = fs::temp_directory_path() / ("quenwick-target-file-" + std::to_string(getpid()));
    ASSERT_TRUE(fs::create_directories(directory / "x.bin"));
    auto file = [&](const std::string& name, const Bytes& content) {
        std::ofstream(directory / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
        return (directory / name).string();
    };
    NSTargetFile target;
    auto loaded = [&] {
        return Bytes(target.GetProgramMemory(), target.GetProgramMemory() + target.GetProgramMemorySize());
    };

    Bytes largest(NSTargetFile::MAX_PROGRAM_SIZE);
    for (size_t i = 0; i < largest.size(); ++i) {
        largest[i] = static_cast<uint8_t>(i * 7 + i / 256);
    }
    const std::string largestPath = file("largest.bin", largest);
    for (const std::string& refused : {file("too-large.bin", Bytes(largest.size() + 1)), file("empty.bin", {})}) {
        ASSERT_EQ(target.ReadFile(largestPath), RESULT_OK);
        EXPECT_EQ(loaded(), largest);
        EXPECT_EQ(target.ReadFile(refused), ERR_FILE_SIZE) << refused;
        EXPECT_EQ(target.GetProgramMemory(), nullptr) << refused << ": the earlier image must not stay loaded";
        EXPECT_EQ(target.GetProgramMemorySize(), 0U) << refused;
    }
    // Each load replaces the image before it whole, the first of them the largest.
    ASSERT_EQ(target.ReadFile(largestPath), RESULT_OK);
    for (const std::string name : {"a.bin", "b.BIN", "c.v2.Bin"}) {
        const Bytes content(2, static_cast<uint8_t>(name[0]));  // a different image each time
        EXPECT_EQ(target.ReadFile(file(name, content)), RESULT_OK) << name;
        EXPECT_EQ(loaded(), content) << name;
    }
    for (const std::string name : {"d.hex", "e.bin.bak", "nodot", "bin"}) {
        EXPECT_EQ(target.ReadFile(file(name, {0x01})), ERR_FILE_FORMAT) << name;
    }
    EXPECT_EQ(target.ReadFile((directory / "x.bin").string()), ERR_FILE_NOT_FOUND) << "a directory is not a file";
    EXPECT_EQ(target.ReadFile((directory / "missing.bin").string()), ERR_FILE_NOT_FOUND);
    fs::remove_all(directory);
}

}  // namespace
