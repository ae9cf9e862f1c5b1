#include "SimOptions.h"

#include <gtest/gtest.h>

namespace {

TEST(SimOptionsTest, ReadsEveryOption)
{
    SimOptions options;
    ASSERT_EQ(options.parse({}), "");
    EXPECT_EQ(options.codeFlashEnd, 0x03FFFFu);
    EXPECT_EQ(options.dataFlashEnd, 0x0F1FFFu);
    EXPECT_EQ(options.deviceName.size(), 10u);

    ASSERT_EQ(options.parse({"--code-flash-end", "0xFFFF", "--data-flash-end=0", "--device-name", "ABC",
                             "--flash-in", "in.bin", "--flash-out=out.bin", "--link", "/tmp/x", "--log", "l.txt",
                             "--line-rate", "--erase-ms", "300", "--program-ms", "0x10", "--fault", "silent:reset:2",
                             "--help"}),
              "");
    EXPECT_EQ(options.codeFlashEnd, 0xFFFFu);
    EXPECT_EQ(options.dataFlashEnd, 0u);
    EXPECT_EQ(options.deviceName, "ABC       ");
    EXPECT_EQ(options.flashIn, "in.bin");
    EXPECT_EQ(options.flashOut, "out.bin");
    EXPECT_EQ(options.link, "/tmp/x");
    EXPECT_EQ(options.log, "l.txt");
    EXPECT_TRUE(options.lineRate);
    EXPECT_EQ(options.eraseMs, 300u);
    EXPECT_EQ(options.programMs, 16u);
    EXPECT_TRUE(options.faults.takeSilent(SimCommand::Reset));
    EXPECT_TRUE(options.help);
}

TEST(SimOptionsTest, SaysWhatIsWrong)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--link"}, "option --link needs a value"},
        {{"--erase-ms", "12ms"}, "--erase-ms: bad number '12ms'"},
        {{"--code-flash-end", "0x1000000"}, "--code-flash-end: bad number '0x1000000'"},
        {{"--code-flash-end", "0x1000"}, "whole 1024-byte blocks"},
        {{"--device-name", "ELEVENCHARS"}, "longer than 10 characters"},
        {{"--line-rate=1"}, "unknown option '--line-rate=1'"},
        {{"--fault", "gremlin"}, "unknown fault 'gremlin'"},
        {{"--fault", "silent"}, "wrong number of fields in 'silent' (expected silent:CMD[:N])"},
        {{"--fault", "silent:flash"}, "bad field 'flash'"},
        {{"--fault", "status:reset:0x100"}, "bad field '0x100'"},
        {{"--fault", "stray:reset:F"}, "HEX is 1 to 32 bytes"},
        {{"--fault", "silent:reset:0"}, "bad count '0'"},
        {{"--fault", "from-entry:2:1"}, "expected from-entry:K"},
        {{"--fault", "drop-data:0"}, "bad field '0'"},
    };
    for (const auto& [arguments, message] : cases) {
        SimOptions options;
        const std::string error = options.parse(arguments);
        EXPECT_NE(error.find(message), std::string::npos) << arguments[0] << ": got \"" << error << "\"";
    }
}

TEST(SimOptionsTest, CountsFaultsDown)
{
    SimOptions options;
    ASSERT_EQ(options.parse({"--fault", "silent:erase:2", "--fault", "status:data:0x15", "--fault", "from-entry:3",
                             "--fault", "flip:0x400:1", "--fault", "flip:0x10"}),
              "");
    SimFaults& faults = options.faults;
    EXPECT_FALSE(faults.takeSilent(SimCommand::Reset)) << "aimed at erase only";
    EXPECT_TRUE(faults.takeSilent(SimCommand::Erase));
    EXPECT_TRUE(faults.takeSilent(SimCommand::Erase));
    EXPECT_FALSE(faults.takeSilent(SimCommand::Erase)) << "silent:erase:2 strikes twice";
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(faults.takeStatus(SimCommand::Data), 0x15) << "a fault without a count never runs out";
    }
    EXPECT_EQ(faults.answeredEntry(), 3u);
    EXPECT_EQ(faults.takeFlips(0, 0x3FF), std::vector<uint32_t>{0x10}) << "only the flips inside the range";
    EXPECT_EQ(faults.takeFlips(0, 0x7FF), (std::vector<uint32_t>{0x400, 0x10}));
    EXPECT_EQ(faults.takeFlips(0, 0x7FF), std::vector<uint32_t>{0x10});
}

}  // namespace
