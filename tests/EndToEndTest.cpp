// The built Quenwick executable against the simulated board over a
// pseudo-terminal: exit status, the exact bytes on stdout and stderr, and the
// board's flash read back afterwards.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "Subprocess.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

const std::string FAILURE_TEXT = "FAILED\nSketch writing was failed.";
const std::string USAGE_TEXT =
    "Usage: Quenwick <WriteFilePath> <ComPortName> <BoardName>\n"
    "Quenwick version1\\.0\n"
    "Flash programmer command for Tarsel ZQ-MAPLE/ZQ-WILLOW\n"
    "Examples:\n"
    "  Quenwick \\./sketch\\.bin /dev/cu\\.usbserial-DJ004POF ZQ-WILLOW\n"
    "notice: write file format is sketch\\.bin only\\.\n";  // as a regular expression
const std::string VERSION = "Quenwick [0-9]+\\.[0-9]+\\.[0-9]+\n";
const std::string TRY = "\nTry 'Quenwick --help'\n";
const std::string NO_OUTPUT = "Quenwick: cannot write standard output: ";
const std::string ANY = "[\\s\\S]*";
// A regular expression for exactly the text.
std::string literal(const std::string& text)
{
    return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}
// Image files that real tools made at build time (tests/make-images).
const std::string IMAGES = QUENWICK_TEST_IMAGES;

std::string readText(const fs::path& path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

std::string randomBytes(size_t size, uint32_t seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(generator()); });
    return bytes;
}

// What the simulated boards' code and data flash hold before most jobs.
const std::string OLD_CODE = randomBytes(262144, 31), OLD_DATA = randomBytes(4096, 32);

// A line of the board's log: its time of day in milliseconds and its text.
struct LogLine {
    int64_t ms;
    std::string text;
};

std::vector<LogLine> boardLog(const std::string& log)
{
    std::vector<LogLine> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        int h = 0, m = 0, s = 0, ms = 0;
        std::sscanf(line.c_str(), "%d:%d:%d.%d", &h, &m, &s, &ms);
        lines.push_back({((h * 60 + m) * 60 + s) * int64_t{1000} + ms, line.substr(13)});
    }
    return lines;
}

// The host's frames in the board's log, in order, without their times.
Strings hostFrames(const std::string& log)
{
    Strings frames;
    for (const LogLine& line : boardLog(log)) {
        if (line.text.starts_with("host> ")) {
            frames.push_back(line.text);
        }
    }
    return frames;
}

// Each block that the host's Block Blank Check, Block Erase, Programming and
// Checksum frames in the board's log name, with the command's code: the block
// of an erase, every block of the others' ranges.
std::vector<std::pair<unsigned, uint32_t>> commandedBlocks(const std::string& log)
{
    std::vector<std::pair<unsigned, uint32_t>> blocks;
    for (const std::string& frame : hostFrames(log)) {
        // 01, the length, the command, its start address and (but for an erase) its end address.
        unsigned code = 0, a[6] = {};
        const int fields = std::sscanf(frame.c_str(), "host> 01 %*x %x %x %x %x %x %x %x", &code, &a[0], &a[1], &a[2],
                                       &a[3], &a[4], &a[5]);
        if (fields < 4 || (code != 0x22 && code != 0x32 && code != 0x40 && code != 0xB0)) {
            continue;
        }
        const uint32_t first = a[0] | a[1] << 8 | a[2] << 16;
        const uint32_t last = code == 0x22 ? first : a[3] | a[4] << 8 | a[5] << 16;
        for (uint32_t block = first; block <= last; block += 1024) {
            blocks.emplace_back(code, block);
        }
    }
    return blocks;
}

// A flash of `size` bytes that holds `bytes` from its start, 0xFF after them.
std::string flash(size_t size, std::string bytes = "")
{
    bytes.resize(size, '\xFF');
    return bytes;
}

// What a flash that held `old` holds once the image (from the flash's start)
// is written: each block in which it gives a byte other than 0xFF (as each
// block that the made images touch does) is the image's, 0xFF past its end.
std::string over(std::string old, const std::string& image)
{
    for (size_t block = 0; block < image.size(); block += 1024) {
        const std::string bytes = image.substr(block, 1024);
        if (bytes.find_first_not_of('\xFF') != std::string::npos) {
            old.replace(block, 1024, flash(1024, bytes));
        }
    }
    return old;
}

// A pseudo-terminal, raw, to be a job's standard error: what the job writes
// to it is read as it comes, so that the job never waits on it.
class Terminal {
public:
    Terminal() : m_master(::posix_openpt(O_RDWR | O_NOCTTY))
    {
        ::grantpt(m_master), ::unlockpt(m_master);
        m_path = ::ptsname(m_master);
        // Kept open, so that what the job leaves stays readable after it has closed its end.
        m_slave = ::open(m_path.c_str(), O_RDWR | O_NOCTTY);
        termios settings{};
        ::tcgetattr(m_slave, &settings);
        ::cfmakeraw(&settings);
        ::tcsetattr(m_slave, TCSANOW, &settings);
        m_reader = std::thread([this] {
            char bytes[4096];
            for (pollfd wait{m_master, POLLIN, 0}; ::poll(&wait, 1, 50) > 0 || !m_fDone;) {
                const ssize_t count = (wait.revents & POLLIN) != 0 ? ::read(m_master, bytes, sizeof bytes) : 0;
                m_text.append(bytes, static_cast<size_t>(std::max<ssize_t>(count, 0)));
            }
        });
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;
    ~Terminal() { ::close(m_slave), ::close(m_master); }

    const std::string& path() const { return m_path; }
    // Once the job has ended: all it wrote.
    std::string text()
    {
        m_fDone = true;
        m_reader.join();
        return m_text;
    }

private:
    int m_master, m_slave = -1;
    std::string m_path, m_text;
    std::atomic<bool> m_fDone{false};
    std::thread m_reader;
};

class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(m_directory); }

    // A failed job is explained by the frames the board saw and sent (the last
    // job's, where a table of jobs stops at its first failed job).
    void TearDown() override
    {
        if (HasFailure()) {
            const std::string log = readText(m_directory / "board.log");
            std::cout << "end of the board's log:\n" << log.substr(log.size() - std::min<size_t>(log.size(), 40000));
        }
        fs::remove_all(m_directory);
    }

    // quenwick-sim in a child process; gives its device, or "" when it did not start. No flash file of a board
    // before it is left for it to write.
    std::string startBoard(Strings options)
    {
        fs::remove(m_directory / "flash-out.bin"), fs::remove(m_directory / "data-out.bin");
        options.insert(options.begin(), QUENWICK_SIM_EXE);
        options.insert(options.end(),
                       {"--flash-out", (m_directory / "flash-out.bin").string(), "--data-flash-out",
                        (m_directory / "data-out.bin").string(), "--log", (m_directory / "board.log").string()});
        return m_board.emplace(options).readLine(10s).value_or("");
    }

    // Stops the board and reads its code flash back.
    std::string stopBoard()
    {
        ::kill(m_board->pid(), SIGTERM);
        const Subprocess::Outcome outcome = m_board->finish(10s);
        EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
        return readText(m_directory / "flash-out.bin");
    }

    std::string image(const std::string& name, const std::string& bytes)
    {
        const fs::path path = m_directory / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }

    // Runs Quenwick with only the given QUENWICK_ variables ("NAME=value") set,
    // by the shell command line `shell` in which "$@" stands for it (">&-").
    static Subprocess::Outcome quenwick(const Strings& arguments, const Strings& environment = {},
                                        const std::string& shell = "\"$@\"")
    {
        Strings argv{"/bin/sh",       "-c", "exec " + shell,    "sh", "/usr/bin/env",       "-u",
                     "QUENWICK_BAUD", "-u", "QUENWICK_VERBOSE", "-u", "QUENWICK_PORTS_ROOT"};
        argv.insert(argv.end(), environment.begin(), environment.end());
        argv.push_back(QUENWICK_EXE);
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return Subprocess::run(argv, 300s);
    }

    struct Job {
        Subprocess::Outcome outcome;
        std::string flash;  // the code flash
        std::string log;
        std::string data = "";  // the data flash
    };

    // One job on a fresh board; in the arguments "PORT" stands for the
    // board's device, as do "QUIET" (a job that must not reach it), "BUSY"
    // (held by another program) and "DENIED" (no permission for its owner);
    // "sketch.*" for an image of that name with the bytes, and the name of a
    // file that tests/make-images made for that file.
    Job job(Strings boardOptions, Strings arguments, const std::string& bytes, const Strings& environment,
            const std::string& shell)
    {
        const std::string device = startBoard(std::move(boardOptions));
        const auto given = [&](const char* token) {
            return std::count(arguments.begin(), arguments.end(), token) != 0;
        };
        const int holder = given("BUSY") ? ::open(device.c_str(), O_RDWR | O_NOCTTY) : -1;
        if (holder >= 0) {
            ::flock(holder, LOCK_EX);
        }
        if (given("DENIED")) {
            ::chmod(device.c_str(), 0060);
        }
        for (std::string& argument : arguments) {
            argument = argument == "PORT" || argument == "QUIET" || argument == "BUSY" || argument == "DENIED" ? device
                       : argument.starts_with("sketch.")              ? image(argument, bytes)
                       : fs::is_regular_file(IMAGES + "/" + argument) ? IMAGES + "/" + argument
                                                                      : argument;
        }
        Job job{quenwick(arguments, environment, shell), "", ""};
        ::close(holder);
        job.flash = stopBoard();
        job.log = readText(m_directory / "board.log");
        job.data = readText(m_directory / "data-out.bin");
        return job;
    }

    // The verbose lines without their time stamps; the reason and the failure
    // text are left as they are.
    static std::string unstamped(const std::string& err)
    {
        return std::regex_replace(err, std::regex("(^|\n) *[0-9]+\\.[0-9]{3}s  "), "$1");
    }

    const fs::path m_directory =
        fs::temp_directory_path() / ("quenwick-e2e-" + std::to_string(::getpid()) + "-" +
                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::optional<Subprocess> m_board;
};

// Jobs on fresh boards whose flashes hold `codeIn` and `dataIn` (none where
// ""; old random bytes in most rows): each ends with its `status`, stdout
// `out` and, without the time stamps, stderr `err` (regular expressions),
// and the board's log has the line `logged`. The board's flash commands (blank
// check, erase, programming, checksum) name exactly the `blocks`: a block
// outside them is neither checked, erased nor written; the code and data
// flash then hold `code` and `data` ("": what they held). A job of the
// `sameAs` arguments sends the board the same frames.
//
// Writes: .bin images from 1 byte to the largest ("sketch.*", a name of bytes,
// not necessarily UTF-8, for the row's `bytes`) on boards that need erasing,
// at other line speeds, and a verbose job: one line per step, then one per
// tenth of the image, and one held by an adapter that says so (none without
// one); images with addresses from the files that real tools
// made (tests/make-images) in either flash or both, sparse, and too large for
// a flash. Then --verify, --verify-blocks, --erase and --info. To a board
// without faults the host sends no command twice and each data frame once,
// also when every answer comes late but in time (quenwick-sim --answer-at). Each frame that follows an
// answer reaches the board at least the host's 1 ms pause after it, and no
// byte outside a frame: also a verbose job with standard error closed (the
// port must not take its place) or a pipe that nobody reads (its failed
// writes change nothing).
TEST_F(EndToEndTest, JobsAndWhatTheBoardThenHolds)
{
    using Blocks = std::vector<std::pair<uint32_t, uint32_t>>;  // first and last address of consecutive blocks
    const std::string dense = readText(IMAGES + "/dense.bin"), sketch = readText(IMAGES + "/sketch.bin");
    const std::string blank = flash(262144), written = over(OLD_CODE, dense), data = over(OLD_DATA, sketch);
    // Two blocks swapped; a byte of the data flash's second block changed.
    std::string swapped = dense, changed = sketch;
    swapped.replace(1024, 2048, dense.substr(2048, 1024) + dense.substr(1024, 1024));
    changed[1100] = static_cast<char>(changed[1100] ^ 0x40);
    // Two bytes in blocks 0 and 1 whose flips (bit 0) move the sum by +1 and -1.
    const size_t up = dense.find_first_of(std::string(1, '\0') + "\x02\x04\x06\x08\x0A"),
                 down = 1024 + dense.substr(1024, 1024).find_first_of("\x01\x03\x05\x07\x09\x0B");
    std::string flipped = written;
    flipped[up] = static_cast<char>(flipped[up] ^ 1), flipped[down] = static_cast<char>(flipped[down] ^ 1);
    // 4 KiB of 0x00 written with 0x01 at 0xC10; the data flash's sketch with bit 0 of its byte 0x10 flipped.
    std::string zeros = std::string(4096, '\0'), zerosFlipped = over(OLD_CODE, zeros), dataFlipped = data;
    zerosFlipped[0xC10] = '\x01', dataFlipped[0x10] = static_cast<char>(dataFlipped[0x10] ^ 1);
    int unread[2] = {-1, -1};
    ASSERT_EQ(::pipe(unread), 0);
    ::close(unread[0]);
    std::string tenths;
    for (int tenth = 1; tenth <= 10; ++tenth) {
        tenths += "programming " + std::to_string(tenth * 10) + "%, " + std::to_string(tenth * 1024) +
                  " of 10240 bytes, [0-9.]+ KiB/s, [0-9.]+ s left\n";
    }
    const Strings verbose = {"-v", "sketch.bin", "PORT", "X"}, verify = {"-v", "--verify", "both.hex", "PORT", "X"};
    const Blocks both = {{0, 0x11BFF}, {0xF1000, 0xF1BFF}};
    const std::string FORMAT = "error 0x3001: the image's format is unknown or its file is malformed\n",
                      NOT_OPEN = "error 0x1002: the port ",
                      READ = "error 0x3003: the image is not a regular file or cannot be read\n";
    const fs::path fifo = m_directory / "x.bin";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A sysfs tree of our own with a USB adapter with its strings and stable
    // path, a built-in UART, a UART that serial_core found missing and a
    // virtual terminal; an empty one; and a hostile one, read as untrusted: an
    // attribute that never ends (/dev/zero) or would hold the reader (a FIFO)
    // is left out, control bytes and bytes that are no UTF-8 are shown as
    // \xNN, and each device keeps one line.
    const fs::path root = m_directory / "root", hostile = m_directory / "hostile", empty = m_directory / "empty";
    using Tree = std::vector<std::pair<std::string, std::string>>;  // paths with a file's text, or "-> " and a link's
    const auto make = [](const fs::path& tree, const Tree& entries) {
        for (const auto& [path, text] : entries) {
            fs::create_directories((tree / path).parent_path());
            fs::remove(tree / path);
            if (text.starts_with("-> ")) {
                fs::create_symlink(text.substr(3), tree / path);
            } else {
                std::ofstream(tree / path) << text << "\n";
            }
        }
    };
    const auto uart = [](const std::string& tty, const std::string& type) {
        const std::string device = "devices/platform/serial8250/tty/" + tty;
        return Tree{{"sys/" + device + "/type", type},
                    {"sys/" + device + "/device", "-> ../../../serial8250"},
                    {"sys/class/tty/" + tty, "-> ../../" + device}};
    };
    const std::string usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2", tty = usb + "/1-2:1.0/ttyUSB0/tty/ttyUSB0";
    const std::string byId = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3Z-if00-port0";
    // clang-format off
    make(root, {{usb + "/idVendor", "0403"}, {usb + "/idProduct", "6001"}, {usb + "/manufacturer", "FTDI"},
                {usb + "/product", "FT232R USB UART"}, {usb + "/serial", "A10K3Z"},
                {tty + "/device", "-> ../../../ttyUSB0"}, {"sys/class/tty/ttyUSB0", "-> ../../" + tty.substr(4)},
                {byId.substr(1), "-> ../../ttyUSB0"}, {"sys/devices/virtual/tty/tty0/dev", "4:0"},
                {"sys/class/tty/tty0", "-> ../../devices/virtual/tty/tty0"}});
    // clang-format on
    make(root, uart("ttyS0", "4")), make(root, uart("ttyS1", "0"));
    fs::create_directories(empty);
    fs::copy(root, hostile, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    make(hostile, {{usb + "/product", "-> /dev/zero"},
                   {usb + "/serial",
                    "\x1B[2J\\A\nB\xFF\xC2\x9B\xC3\xA9\xE2\x80\xAE"
                    "1\xE2\x81\xA6"}});
    make(hostile, uart("ttyS\n2", "4"));
    fs::remove(hostile / usb / "manufacturer");
    ASSERT_EQ(::mkfifo((hostile / usb / "manufacturer").c_str(), 0600), 0);
    // Listed in natural order: ttyS2 before ttyS10.
    make(root, uart("ttyS10", "4")), make(root, uart("ttyS2", "4"));
    // An image in a directory that nobody may enter.
    const fs::path locked = m_directory / "locked";
    fs::create_directories(locked);
    fs::permissions(locked, fs::perms::none);
    // The checksum a board reports of a run: 0 minus its bytes, its last block padded with 0xFF.
    const auto checksum = [](const std::string& bytes) {
        unsigned sum = 0;
        for (const char c : flash((bytes.size() + 1023) / 1024 * 1024, bytes)) {
            sum -= static_cast<uint8_t>(c);
        }
        char text[5];
        std::snprintf(text, sizeof text, "%04X", sum & 0xFFFF);
        return std::string(text);
    };
    // Denied to its owner by the mode; root, whom no mode stops, runs the job as nobody.
    const std::string asNobody =
        ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups \"$@\"" : "\"$@\"";
    const struct {
        const char* what;
        Strings board = {}, args, env = {};
        std::string bytes = "", codeIn = OLD_CODE, dataIn = OLD_DATA;
        int status = 0;
        std::string out = "", err = "", logged = "", shell = "\"$@\"";
        Blocks blocks = {};                // none: those of `bytes`
        std::string code = "", data = "";  // "": what the flash held, `bytes` written over it
        Strings sameAs = {};
        bool terminal = false;  // standard error is a pseudo-terminal
    } rows[] = {
        // clang-format off
        {.what = "answers late but in time", .board = {"--answer-at", "0.9"}, .args = {"-v", "sketch.BIN", "PORT", "Z"},
         .bytes = randomBytes(3000, 21), .err = ANY + "\nblank check: 0 blocks blank, 3 erased\n" + ANY,
         .logged = "  Block Erase"},
        {.what = "largest image", .args = {"sketch.\xFF\xC0.bin", "PORT", "X"}, .bytes = randomBytes(262144, 21)},
        {.what = "long Baud Rate Set answer, 06 06", .board = {"--fault", "long-baud", "--fault", "double-status"},
         .args = verbose, .bytes = randomBytes(1025, 21), .codeIn = "",
         .err = ANY + "\nblank check: 2 blocks blank, 0 erased\n" + ANY},
        {.what = "250000", .board = {"--line-rate"}, .args = {"sketch.bin", "PORT", "X"},
         .env = {"QUENWICK_BAUD=250000"}, .bytes = randomBytes(5000, 21), .logged = "board port now at 250000 baud"},
        {.what = "verbose, stderr closed", .args = verbose, .bytes = randomBytes(3000, 21), .shell = "\"$@\" 2>&-"},
        {.what = "verbose into a pipe nobody reads", .args = verbose, .bytes = randomBytes(3000, 21),
         .shell = "\"$@\" 2>&" + std::to_string(unread[1])},
        {.what = "verbose, at 1000000", .board = {"--line-rate", "--device-name", "ZQ\x01MAPLE"},
         .args = {"--verbose", "-b", "1000000", "sketch.bin", "PORT", "Z"}, .bytes = randomBytes(10240, 8),
         .codeIn = "", .err = "image 10240 bytes, 10 blocks of 1024\n"
                "port /dev/\\S+ opened at 115200 baud, low latency not granted by the driver\n"
                "mode entry: DTR and break, then Baud Rate Set\n"
                "device ZQ\\?MAPLE \\(code [0-9A-F ]{8}\\), code flash 262144 bytes, data flash [0-9]+ bytes, firmware "
                "[0-9A-F ]{8}\n"
                "line speed 1000000 baud\n"
                "blank check: 10 blocks blank, 0 erased\n" +
                tenths + "checksum: host ([0-9A-F]{4}), target \\1\nwritten and verified in [0-9.]+ s, [0-9.]+ KiB/s\n",
         .logged = "board port now at 1000000 baud"},
        // Where someone watches: one status line through every step, cleared on success, the reason before the
        // failure text on failure; -q keeps it silent; -v shows a write's blank check too.
        {.what = "a terminal", .args = {"sketch.bin", "PORT", "X"}, .bytes = randomBytes(3000, 21),
         .err = literal("\rentering programming mode\x1b[K") + ANY + literal("\rerasing 100%, 3072 of 3072 bytes") +
                ANY + literal("\rprogramming 100%, 3000 of 3000 bytes") + ANY +
                literal("\rcomparing\x1b[K\r\x1b[K"), .terminal = true},
        {.what = "a terminal: cable pulled", .board = {"--fault", "unplug:3"}, .args = {"dense.bin", "PORT", "X"},
         .status = 1, .err = literal("\rentering programming mode\x1b[K\r\x1b[K"
                                     "error 0x2005: the serial device went away (Silicon Signature, attempt 1)\n" +
                                     FAILURE_TEXT), .code = OLD_CODE, .data = OLD_DATA, .terminal = true},
        {.what = "a terminal, -q", .args = {"-q", "sketch.bin", "PORT", "X"}, .bytes = randomBytes(3000, 21),
         .terminal = true},
        {.what = "a terminal, -v", .args = verbose, .bytes = randomBytes(3000, 21),
         .err = ANY + "erasing 100%, 3072 of 3072 bytes" + ANY + "\nblank check: 0 blocks blank, 3 erased\n" + ANY,
         .terminal = true},
        // -vv: each frame and answer, on standard error only.
        {.what = "frames", .args = {"-vv", "sketch.bin", "PORT", "X"}, .bytes = randomBytes(3000, 21),
         .err = ANY + "\n> 02 00( [0-9A-F]{2}){6} \\.\\.( [0-9A-F]{2}){4} \\(260 bytes\\)\n< 02 01 06 F9 03\n" + ANY,
         .sameAs = {"sketch.bin", "PORT", "X"}},
        {.what = "answers held by a 16 ms adapter", .board = {"--adapter-latency", "16"},
         .args = {"-v", "-b", "1000000", "sketch.bin", "PORT", "X"}, .bytes = randomBytes(10240, 8),
         .err = ANY + "\nanswers come [0-9.]+ ms late on average over 32 data frames: likely the USB serial "
                "adapter's latency timer, as the driver did not grant low latency; as root, set it to 1 ms: echo 1 "
                ">/sys/bus/usb-serial/devices/ttyUSB0/latency_timer \\(or by a udev rule\\)\n" + ANY},
        {.what = "HEX: the frames of the .bin", .args = {"dense-linear.hex", "PORT", "X"}, .blocks = {{0, 0x11BFF}},
         .code = written, .sameAs = {"dense.bin", "PORT", "X"}},
        {.what = "code and data", .args = {"-v", "both.hex", "PORT", "X"},
         .err = "image 75000 bytes, 74 blocks of 1024 in 2 runs: code flash 0x0-0x11BFF, data flash "
                "0xF1000-0xF1BFF\n" + ANY, .blocks = both, .code = written, .data = data},
        {.what = "ELF: the frames of the HEX", .args = {"both32-big.elf", "PORT", "X"}, .blocks = both, .code = written,
         .data = data, .sameAs = {"both.hex", "PORT", "X"}},
        {.what = "ELF at 0x1000 by ld's default script: block 0 kept, the frames of objcopy's HEX",
         .args = {"boot.elf", "PORT", "X"}, .blocks = {{0x1000, 0x12BFF}}, .code = over(OLD_CODE, flash(0x1000) + dense),
         .sameAs = {"boot.elf.hex", "PORT", "X"}},
        {.what = "HEX without an extension, read by its content", .args = {"-v", "dense-linear", "PORT", "X"},
         .err = "image read by its content as Intel HEX\n" + ANY, .blocks = {{0, 0x11BFF}}, .code = written,
         .sameAs = {"dense.bin", "PORT", "X"}},
        {.what = "data only", .board = {"--data-flash-size", "8192"}, .args = {"data.sx", "PORT", "X"},
         .blocks = {{0xF1800, 0xF27FF}}, .data = over(flash(8192, OLD_DATA), readText(IMAGES + "/data-data.bin"))},
        {.what = "sparse", .board = {"--code-flash-end", "0xEFFFF"}, .args = {"sparse.ihex", "PORT", "X"},
         .blocks = {{0, 0xBFF}, {0x10400, 0x10FFF}, {0xEF400, 0xEFFFF}},
         .code = over(flash(0xF0000, OLD_CODE), readText(IMAGES + "/sparse-code.bin"))},
        {.what = "code beyond the code flash", .args = {"-v", "sparse.ihex", "PORT", "X"}, .status = 1,
         .err = ANY + "\nerror 0x3004: the image is larger than the target's code flash\n" + FAILURE_TEXT},
        {.what = "data beyond the data flash", .board = {"--data-flash-size", "2048"},
         .args = {"-v", "both.hex", "PORT", "X"}, .dataIn = "", .status = 1,
         .err = ANY + "\nerror 0x3005: the data image is larger than the target's data flash\n" + FAILURE_TEXT},
        {.what = "verify both flashes", .args = verify, .codeIn = dense, .dataIn = sketch,
         .err = ANY + "comparing 100%, 75000 of 75000 bytes.*\n", .blocks = both},
        {.what = "verify: a data flash byte changed", .args = verify, .codeIn = dense, .dataIn = changed, .status = 1,
         .err = ANY + "\nblock 0xF1400 of the data flash differs: " + ANY + "\nMISMATCH\n" + ANY,
         .blocks = {{0, 0x11BFF}, {0xF1000, 0xF17FF}}},
        {.what = "verify: two blocks swapped", .args = verify, .codeIn = swapped, .dataIn = sketch, .status = 1,
         .err = ANY + "\nblock 0x400 of the code flash differs: " + ANY, .blocks = {{0, 0x7FF}}},
        {.what = "verify-blocks: flips that cancel in the run's sum",
         .board = {"--fault", "flip:" + std::to_string(up), "--fault", "flip:" + std::to_string(down)},
         .args = {"-v", "--verify-blocks", "dense.bin", "PORT", "X"}, .status = 1,
         .err = ANY + "\nblock 0x0 of the code flash differs: " + ANY, .blocks = {{0, 0x11BFF}}, .code = flipped},
        // An answer later than the host allows comes after the frame went out
        // again; it is never taken for a later frame's. A job that sent a frame
        // twice proves its result again, each exchange once, after a quiet line:
        // a board that answers every Checksum too late fails that proof.
        {.what = "Checksum too late, a flip: per block",
         .board = {"--answer-at", "2.05", "--answer-only", "checksum", "--fault", "flip:0xC10"},
         .args = {"--verify-blocks", "sketch.bin", "PORT", "X"}, .bytes = zeros, .status = 1, .err = FAILURE_TEXT,
         .code = zerosFlipped},
        {.what = "Checksum too late, a flip in the data flash",
         .board = {"--answer-at", "2.05", "--answer-only", "checksum", "--fault", "flip:0xF1010"},
         .args = {"both.hex", "PORT", "X"}, .status = 1, .err = FAILURE_TEXT, .blocks = both, .code = written,
         .data = dataFlipped},
        {.what = "verify, Checksum too late: two blocks swapped",
         .board = {"--answer-at", "2.05", "--answer-only", "checksum"}, .args = verify, .codeIn = swapped,
         .dataIn = sketch, .status = 1, .err = ANY + "\nMISMATCH\n" + ANY, .blocks = {{0, 0x7FF}}},
        {.what = "Reset too late: its second answer dropped",
         .board = {"--answer-at", "2.05", "--answer-only", "reset"},
         .args = {"sketch.bin", "PORT", "X"}, .bytes = randomBytes(3000, 21)},
        {.what = "erase, one Block Erase 400 ms late", .board = {"--fault", "late:erase:3:400"},
         .args = {"--erase", "PORT"}, .codeIn = OLD_CODE.substr(0, 4096), .blocks = {{0, 0x3FFFF}}, .code = blank},
        {.what = "erase", .args = {"-v", "--erase", "PORT"}, .err = ANY + "erasing 100%, 262144 of 262144 bytes.*\n"
         "blank check: 0 blocks blank, 256 erased\n", .blocks = {{0, 0x3FFFF}}, .code = blank},
        {.what = "erase=data", .args = {"--erase=data", "PORT"}, .blocks = {{0xF1000, 0xF1FFF}}, .data = flash(4096)},
        {.what = "erase=all", .args = {"--erase=all", "PORT"}, .blocks = {{0, 0x3FFFF}, {0xF1000, 0xF1FFF}},
         .code = blank, .data = flash(4096)},
        {.what = "erase=data, none", .board = {"--data-flash-size", "0"}, .args = {"-v", "--erase=data", "PORT"},
         .dataIn = "", .status = 1,
         .err = ANY + "\nerror 0x3005: the board has no data flash\nFAILED\nThe board could not be erased.\n"},
        {.what = "info, at 1000000", .args = {"-b", "1000000", "--info", "PORT"},
         .out = literal("device-name: SIMBOARD\ndevice-code: 51 57 01\ncode-flash-size: 262144 bytes (256 KiB)\n"
                        "data-flash-size: 4096 bytes (4 KiB)\nfirmware-version: 01 00 00\n"),
         .logged = "board port now at 1000000 baud"},
        // Refused before the port opens, a bad image never reaches the board; a
        // port that does not open says why, from the system's answer (a silent
        // board and a checksum that differs are the sequence table's rows).
        {.what = "cable pulled as Silicon Signature goes", .board = {"--fault", "unplug:3"},
         .args = {"-v", "dense.bin", "PORT", "X"}, .status = 1,
         .err = ANY + "error 0x2005: the serial device went away \\(Silicon Signature, attempt 1\\)\n" + FAILURE_TEXT,
         .logged = "stopped: the cable is pulled", .code = OLD_CODE, .data = OLD_DATA},
        {.what = "HEX with a bad sum", .args = {"-v", "badsum.hex", "QUIET", "X"}, .status = 1,
         .err = "image refused: line 3: the sum is 00, it should be DA\n" + FORMAT + FAILURE_TEXT},
        {.what = "HEX cut short, without -v", .args = {"cut.hex", "QUIET", "X"}, .status = 1, .err = FAILURE_TEXT},
        {.what = "ELF named .bin", .args = {"-v", "firmware.bin", "QUIET", "X"}, .status = 1,
         .err = "image refused: the file is an ELF file, not a raw binary: give it the extension \\.elf\n" + FORMAT +
                FAILURE_TEXT},
        {.what = "directory", .args = {"-v", IMAGES + "/directory.bin", "QUIET", "X"}, .status = 1,
         .err = "image refused: it is a directory\n" + READ + FAILURE_TEXT},
        {.what = "image out of reach", .args = {"-v", (locked / "x.bin").string(), "QUIET", "X"}, .status = 1,
         .err = "image refused: the path cannot be reached: Permission denied\n" + READ + FAILURE_TEXT,
         .shell = asNobody},
        {.what = "FIFO", .args = {"-v", fifo.string(), "QUIET", "X"}, .status = 1, .err = ANY + READ + FAILURE_TEXT},
        // --check: each run with the checksum a board reports of it once written, without a board; refused
        // as a write refuses, also against a flash that ends inside the image's last block.
        {.what = "check", .args = {"--check", "both.hex"},
         .out = "code flash 0x0-0x11BFF, 71 blocks, checksum " + checksum(dense) +
                "\ndata flash 0xF1000-0xF1BFF, 3 blocks, checksum " + checksum(sketch) + "\n"},
        {.what = "check: ELF named .bin", .args = {"--check", "firmware.bin"}, .status = 1,
         .err = "image refused: the file is an ELF file, not a raw binary: give it the extension \\.elf\n" + FORMAT},
        {.what = "check: code flash ends in the image's last block",
         .args = {"--check", "--code-flash-end", "0x11BFE", "--data-flash-size", "4096", "both.hex"}, .status = 1,
         .err = "image refused: the image's blocks reach 0x11BFF, the code flash ends at 0x11BFE, not at the end "
                "of a block\nerror 0x3004: the image is larger than the target's code flash\n"},
        {.what = "port: no tty", .args = {"-v", "dense.bin", "/dev/null", "X"}, .status = 1,
         .err = ANY + NOT_OPEN + "is not a serial device\n" + FAILURE_TEXT},
        {.what = "port in use", .args = {"-v", "dense.bin", "BUSY", "X"}, .status = 1,
         .err = ANY + NOT_OPEN + "is in use by another program\n" + FAILURE_TEXT},
        {.what = "port not permitted", .args = {"-v", "dense.bin", "DENIED", "X"}, .status = 1,
         .err = ANY + "error 0x1002: this user may not open the port \\(members of group \\w+ may\\)\n" + FAILURE_TEXT,
         .shell = asNobody},
        {.what = "no port", .args = {"-v", "dense.bin", "", "X"}, .status = 1,
         .err = ANY + "error 0x1001: no port was given\n" + FAILURE_TEXT},
        // --list-ports on those trees: the adapter and the UART that is there, nothing, and what the hostile tree
        // shows.
        {.what = "list ports", .args = {"--list-ports"}, .env = {"QUENWICK_PORTS_ROOT=" + root.string()},
         .out = literal("/dev/ttyS0\n/dev/ttyS2\n/dev/ttyS10\n/dev/ttyUSB0 (USB 0403:6001, FTDI, FT232R USB UART, serial A10K3Z, " + byId +
                        ")\n")},
        {.what = "list ports: none", .args = {"--list-ports"}, .env = {"QUENWICK_PORTS_ROOT=" + empty.string()}},
        {.what = "list ports: hostile", .args = {"--list-ports"}, .env = {"QUENWICK_PORTS_ROOT=" + hostile.string()},
         .out = literal("/dev/ttyS0\n/dev/ttyS\\x0A2\n/dev/ttyUSB0 (USB 0403:6001, serial "
                        "\\x1B[2J\\x5CA\\x0AB\\xFF\\xC2\\x9B\xC3\xA9\\xE2\\x80\\xAE1\\xE2\\x81\\xA6, " + byId +
                        ")\n")},
        // What only the real program shows of its command line (read in-process by
        // tests/CommandLineTest.cpp): the usage text's bytes, the form of a refusal,
        // each mode's failure text, the environment read, and output that cannot
        // be written, with its reason where standard error can take it.
        {.what = "usage", .args = {}, .status = 1, .out = USAGE_TEXT},
        {.what = "help", .args = {"--help"},
         .out = USAGE_TEXT + "This is Quenwick [0-9]+\\.[0-9]+\\.[0-9]+\\. (.*\n)*Options \\(anywhere before --\\):\n(.*\n)*"},
        {.what = "version", .args = {"--version"}, .out = VERSION},
        {.what = "bad option", .args = {"-x", "a", "p", "b"}, .status = 1, .err = "Quenwick: bad option '-x'" + TRY},
        {.what = "stdout full", .args = {"-V"}, .status = 1, .err = NO_OUTPUT + "No space left on device\n",
         .shell = "\"$@\" >/dev/full"},
        {.what = "stdout closed", .args = {"--help"}, .status = 1, .err = NO_OUTPUT + "Bad file descriptor\n",
         .shell = "\"$@\" >&-"},
        {.what = "stdout full, stderr closed", .args = {"-V"}, .status = 1, .shell = "\"$@\" >/dev/full 2>&-"},
        {.what = "info fails", .args = {"--info", "/no/port"}, .env = {"QUENWICK_BAUD=", "QUENWICK_VERBOSE=Yes"},
         .status = 1, .err = "error 0x1002: the port does not exist\nFAILED\nThe board could not be read.\n"},
        {.what = "erase fails", .args = {"--erase", "/no/port"}, .status = 1,
         .err = "FAILED\nThe board could not be erased.\n"},
        {.what = "verify fails", .args = {"--verify", "/no.bin", "p", "b"}, .status = 1,
         .err = "FAILED\nThe board could not be verified.\n"},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Strings board = row.board;
        for (const auto& [option, bytes] : {std::pair{"--flash-in", row.codeIn}, {"--data-flash-in", row.dataIn}}) {
            board.insert(board.end(), {option, image(option + 2, bytes)});
            board.resize(board.size() - (bytes.empty() ? 2 : 0));
        }
        std::optional<Terminal> terminal;
        const std::string shell = row.terminal ? "\"$@\" 2>" + terminal.emplace().path() : row.shell;
        Job result = job(board, row.args, row.bytes, row.env, shell);
        if (terminal) {
            result.outcome.err = terminal->text();
        }
        const auto end = static_cast<uint32_t>((row.bytes.size() + 1023) / 1024 * 1024 - 1);
        const Blocks blocks = !row.blocks.empty() || row.bytes.empty() ? row.blocks : Blocks{{0, end}};
        const Job same = row.sameAs.empty() ? result : job(board, row.sameAs, row.bytes, row.env, row.shell);
        EXPECT_EQ(result.outcome.exitStatus, row.status) << result.outcome.err;
        EXPECT_TRUE(std::regex_match(result.outcome.out, std::regex(row.out))) << result.outcome.out;
        EXPECT_TRUE(std::regex_match(unstamped(result.outcome.err), std::regex(row.err))) << result.outcome.err;
        EXPECT_NE(result.log.find(row.logged), std::string::npos) << row.logged;
        EXPECT_EQ(result.log.find("mode entry") != std::string::npos,
                  std::find(row.args.begin(), row.args.end(), "PORT") != row.args.end())
            << "the board heard the host, or did not";
        EXPECT_EQ(result.log.find("outside any frame"), std::string::npos);
        std::set<uint32_t> expected, commanded;
        for (const auto& [first, last] : blocks) {
            for (uint32_t block = first; block < last; block += 1024) {
                expected.insert(block);
            }
        }
        int64_t dataFrames = 0;  // those that Programming asks for, less those that went
        for (const auto& [code, block] : commandedBlocks(result.log)) {
            commanded.insert(block);
            dataFrames += code == 0x40 ? 4 : 0;
        }
        EXPECT_EQ(commanded, expected);
        EXPECT_TRUE(result.flash ==
                    (row.code.empty() ? over(flash(result.flash.size(), row.codeIn), row.bytes) : row.code));
        EXPECT_TRUE(result.data == (row.data.empty() ? flash(result.data.size(), row.dataIn) : row.data));
        EXPECT_EQ(hostFrames(same.log), hostFrames(result.log));
        // A board with faults, or one that answers too late, makes the host send again; an answer too late
        // may cross the frame sent again.
        const bool late = std::any_of(row.board.begin(), row.board.end(), [](const std::string& option) {
            return option == "--answer-only" || option.starts_with("late:");
        });
        const bool faultless = std::find(row.board.begin(), row.board.end(), "--fault") == row.board.end() && !late;
        std::set<std::string> sent;
        int64_t answered = -1;  // when the board last answered, while the host has not sent since
        for (const LogLine& line : boardLog(result.log)) {
            EXPECT_TRUE(!faultless || !line.text.starts_with("host> 01") || sent.insert(line.text).second)
                << "sent again: " << line.text;
            dataFrames -= line.text.find("  data frame") != std::string::npos;
            EXPECT_TRUE(late || answered < 0 || !line.text.starts_with("host> ") ||
                        (line.ms - answered + 86400000) % 86400000 >= 1)
                << "no pause of 1 ms before: " << line.text;
            answered = line.text.starts_with("board> ")                                         ? line.ms
                       : line.text.starts_with("host> ") || line.text.starts_with("mode entry") ? -1
                                                                                                : answered;
        }
        EXPECT_EQ(dataFrames, faultless ? 0 : dataFrames) << "data frames sent again or not at all";
    }
    ::close(unread[1]);
    fs::permissions(locked, fs::perms::owner_all);
}

// A signal mid-job ends it at its next wait with the end steps (the line
// settings put back), its reason and the failure text as the last bytes, and
// then by that signal; a second signal ends it at once, by that one, the line
// settings put back all the same. A Ctrl-C (SIGINT to the process group) in a
// shell loop of two jobs stops the loop: the second never starts. The board is
// then free for the next job.
TEST_F(EndToEndTest, ASignalStopsTheJobInOrder)
{
    const std::string bytes = randomBytes(16 * 1024, 13);
    const std::string sketch = image("sketch.bin", bytes);
    const std::string device = startBoard({"--line-rate"});
    const auto lineSettings = [&] { return Subprocess::run({"/bin/stty", "-g", "-F", device}, 10s).out; };
    const auto found = lineSettings();
    // end: how standard error ends, a regular expression.
    const struct {
        std::vector<int> signals;
        std::string end;
        bool loop = false;  // the job is the first of a shell loop, in a process group of their own
    } rows[] = {
        {.signals = {SIGINT}, .end = "\nerror 0x2005: stopped by SIGINT \\(Programming, attempt [1-5]\\)\n"},
        {.signals = {SIGTERM}, .end = "\nerror 0x2005: stopped by SIGTERM \\(Programming, attempt [1-5]\\)\n"},
        {.signals = {SIGHUP}, .end = "\nerror 0x2005: stopped by SIGHUP \\(Programming, attempt [1-5]\\)\n"},
        {.signals = {SIGHUP, SIGTERM}, .end = "\n"},
        {.signals = {SIGINT},
         .end = "\nerror 0x2005: stopped by SIGINT \\(Programming, attempt [1-5]\\)\n",
         .loop = true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.signals));
        const size_t logged = readText(m_directory / "board.log").size();
        Strings argv = {QUENWICK_EXE, "-v", sketch, device, "X"};
        if (row.loop) {
            argv.insert(argv.begin(), {"/usr/bin/setsid", "/bin/bash", "-c",
                                       R"(for i in 1 2; do echo "job $i"; "$@"; done)", "bash"});
        }
        Subprocess job(argv);
        for (int i = 0; i < 3000 && readText(m_directory / "board.log").find("data frame", logged) == std::string::npos;
             ++i) {
            std::this_thread::sleep_for(10ms);  // until the job programs
        }
        // Two signals reach the job together: it is stopped while they are sent, so
        // that it cannot end on the first before the second is there.
        const pid_t target = row.loop ? -job.pid() : job.pid();
        if (row.signals.size() > 1) {
            ::kill(target, SIGSTOP);
        }
        for (int signalNumber : row.signals) {
            ::kill(target, signalNumber);
        }
        if (row.signals.size() > 1) {
            ::kill(target, SIGCONT);
        }
        const Subprocess::Outcome outcome = job.finish(60s);
        EXPECT_EQ(outcome.signal, row.signals.back());
        EXPECT_EQ(outcome.out, row.loop ? "job 1\n" : "");
        EXPECT_TRUE(std::regex_search(outcome.err, std::regex(row.end + FAILURE_TEXT + "$"))) << outcome.err;
        EXPECT_EQ(lineSettings(), found) << "the line settings were not put back";
        // The next job's DTR and break would reset a real target; the simulated
        // board cannot see them, so the answer it still owes the stopped job
        // must go out before the next job's line changes, or the next job takes it.
        std::this_thread::sleep_for(200ms);
    }
    const Subprocess::Outcome next = quenwick({sketch, device, "X"});
    EXPECT_EQ(next.exitStatus, 0) << next.err;
    EXPECT_TRUE(stopBoard() == over(flash(262144), bytes));
}

}  // namespace
