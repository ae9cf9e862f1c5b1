#include "SimFlash.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::filesystem::path scratch(const std::string& name)
{
    return std::filesystem::temp_directory_path() / ("SimFlashTest-" + std::to_string(getpid()) + "-" + name);
}

Bytes readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(SimFlashTest, LoadsAndSavesItsContent)
{
    const auto input = scratch("in.bin");
    const auto output = scratch("out.bin");
    {
        std::ofstream(input, std::ios::binary) << "hello";
    }
    SimFlash flash(0x07FF);
    std::string error;
    ASSERT_TRUE(flash.load(input.string(), error)) << error;
    EXPECT_EQ(flash.bytes()[0], 'h');
    EXPECT_EQ(flash.bytes()[5], 0xFF) << "past the file the flash stays erased";

    ASSERT_TRUE(flash.save(output.string(), error)) << error;
    const Bytes saved = readFile(output);
    EXPECT_TRUE(std::equal(saved.begin(), saved.end(), flash.bytes().begin(), flash.bytes().end()));
    for (const auto& entry : std::filesystem::directory_iterator(output.parent_path())) {
        EXPECT_EQ(entry.path().string().find(output.string() + ".tmp"), std::string::npos) << "temporary file left";
    }

    {
        std::ofstream(input, std::ios::binary) << std::string(0x801, 'x');
    }
    EXPECT_FALSE(flash.load(input.string(), error)) << "a file larger than the flash";
    EXPECT_NE(error.find("2049 bytes"), std::string::npos) << error;
    EXPECT_EQ(flash.bytes()[0], 'h') << "a failed load changed the flash";
    EXPECT_FALSE(flash.load(scratch("missing").string(), error));
    EXPECT_FALSE(flash.save((scratch("no-such-dir") / "out.bin").string(), error));

    std::filesystem::remove(input);
    std::filesystem::remove(output);
}

}  // namespace
