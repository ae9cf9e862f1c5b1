// Whole write jobs against the simulated board (its own frame codec and a
// flash model, written apart from the program), with the board's answers
// perturbed by the fuzz input the ways a host can see on the line:
//   - lost: a frame the host writes never reaches the board (no answer,
//     nothing programmed);
//   - late: the answers to a frame come up to 2550 ms later than the board
//     would send them, within their timeout or beyond it, up to more than ten
//     times it: after the host has sent the frame again, or later still;
//   - spare: a status frame 02 01 06 F9 03 comes together with the answers,
//     just before or just after them;
//   - noise: bytes that cannot begin a frame come just before the answers;
//   - garbage: any bytes of the input come just before the answers (they may
//     begin a malformed frame);
//   - second: the answers come once more as the host writes its next frame,
//     where that frame's answer is awaited.
// The image (its size, and 256-byte runs of 0xFF whose loss a shifted image
// can hide from the checksum), the flash's first contents, the line speed and
// the board's programming time come from the input too.
//
// A job must never report success unless the board's flash holds the image
// (the image, then 0xFF to the end of its last block), and it ends with a
// result code that a board can cause. The one exception no host can see: a
// lost data frame of 0xFF whose answer a second answer to the frame before
// stood in for, so that every later frame went one frame early (the flash is
// the image with such frames left out, and 0xFF after it).
//
// Input: four bytes, then one perturbation per frame the host writes:
//   0: bits 0-1 the baud-rate code, bits 2-4 the image's 256-byte runs - 1,
//      bits 5-7 the ms the board takes to program a data frame;
//   1: bit i: run i is all 0xFF (otherwise bytes that differ);
//   2: bytes cut from the end of the image;
//   3: bit i: block i of the flash is not blank at the start;
//   then per write: 3 lost, 4 late (by the next byte times 10 ms), 5 spare
//   before, 6 spare after, 7 noise (the next byte: bit 3 garbage instead,
//   bits 0-2 the count - 1, then the bytes), 8 second, any other value none.
//   Once the input is used up, the board behaves.
//
// Time is the board's own clock in ms (tests/VirtualBoard.h): it stands still
// while the host works and jumps to the next arrival or the host's deadline
// when the host waits.
#include "NSSequenceProcessor.h"
#include "NSSerialPortProcessor.h"
#include "ResultCodes.h"
#include "SimBoard.h"
#include "VirtualBoard.h"
#include "FuzzCheck.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <span>
#include <vector>

namespace {

constexpr uint32_t FLASH_END = 0x1FFF;
const std::vector<uint8_t> SPARE_STATUS{0x02, 0x01, 0x06, 0xF9, 0x03};

// The line between the host and the simulated board, in-process: what the
// host writes goes to the board, and the board's replies reach the device when
// their time has come, perturbed as the input says; the program's own port
// takes them in.
class SimBoardLine : public VirtualBoard {
public:
    SimBoardLine(Input& input, const SimOptions& options) : m_input(input), m_board(options) {}
    SimBoard& board() { return m_board; }

protected:
    uint64_t opened(const std::string&, const LineFormat&) override
    {
        m_speed = SimBoard::ENTRY_SPEED;
        return RESULT_OK;
    }
    bool lineSet(const std::string& strEvent) override
    {
        if (strEvent.starts_with("ChangeBaudRate ")) {
            m_speed = static_cast<uint32_t>(std::stoul(strEvent.substr(15)));
        }
        return true;
    }
    bool wrote(const Bytes& bytes) override
    {
        FUZZ_CHECK(bytes.size() >= 1 && bytes.size() <= NSCommandProcessor::FRAME_BUFFER_SIZE);
        const uint8_t perturbation = m_input.byte();
        for (Bytes& second : m_second) {
            arrive(std::max(now(), m_lineFree), std::move(second));
        }
        m_second.clear();
        if (perturbation == 3) {
            return true;  // lost on the way
        }
        if (m_board.entersMode(bytes)) {
            dropPending();  // what the board still owed the last host is never sent
        }
        uint64_t due = std::max(now(), m_lineFree) + (perturbation == 4 ? m_input.byte() * uint64_t{10} : 0);
        std::vector<std::pair<uint64_t, Bytes>> replies;
        for (const SimReply& reply : m_board.receive(bytes, SimLineSettings{m_speed, 8, 'N', 2})) {
            due += static_cast<uint64_t>((reply.busy.count() + 999) / 1000);
            replies.emplace_back(due, reply.bytes);
        }
        if (replies.empty()) {
            replies.emplace_back(due, Bytes{});
        }
        Bytes& first = replies.front().second;
        Bytes& last = replies.back().second;
        if (perturbation == 5) {
            first.insert(first.begin(), SPARE_STATUS.begin(), SPARE_STATUS.end());
        } else if (perturbation == 6) {
            last.insert(last.end(), SPARE_STATUS.begin(), SPARE_STATUS.end());
        } else if (perturbation == 7) {
            const uint8_t kind = m_input.byte();
            Bytes noise(kind % 8 + 1);
            for (uint8_t& b : noise) {
                b = m_input.byte();
                b = (kind & 8) != 0 || b != 0x02 ? b : 0x55;
            }
            first.insert(first.begin(), noise.begin(), noise.end());
        }
        m_lineFree = replies.back().first;
        for (auto& [dwDue, reply] : replies) {
            if (perturbation == 8) {
                m_second.push_back(reply);
            }
            arrive(dwDue, std::move(reply));
        }
        return true;
    }

private:
    Input& m_input;
    SimBoard m_board;
    uint32_t m_speed = SimBoard::ENTRY_SPEED;
    uint64_t m_lineFree = 0;      // when the board's last reply is out
    std::vector<Bytes> m_second;  // to come once more as the next frame is written
};

// True when flash begins with expected but for data frames of 0xFF left out,
// each later frame one frame early, and 0xFF where the last ones were.
bool framesLostEarly(const std::vector<uint8_t>& expected, std::span<const uint8_t> flash)
{
    constexpr size_t FRAME = 256;
    const auto erased = [](const uint8_t* pbFrame) {
        return std::all_of(pbFrame, pbFrame + FRAME, [](uint8_t b) { return b == 0xFF; });
    };
    size_t ahead = 0;  // the next frame of the flash to match
    size_t lost = 0;
    for (size_t at = 0; at < expected.size(); at += FRAME) {
        if (std::equal(expected.data() + at, expected.data() + at + FRAME, flash.data() + ahead)) {
            ahead += FRAME;
        } else if (erased(expected.data() + at)) {
            ++lost;
        } else {
            return false;
        }
    }
    for (; ahead < expected.size(); ahead += FRAME) {
        if (!erased(flash.data() + ahead)) {
            return false;
        }
    }
    return lost > 0;
}

// The image file, in $TMPDIR (or /tmp), rewritten for every input and removed at exit.
const char* imagePath()
{
    static char path[1024] = "";
    if (path[0] == 0) {
        const char* pszDir = std::getenv("TMPDIR");
        std::snprintf(path, sizeof path, "%s/quenwick-fuzz-%d.bin", pszDir != nullptr ? pszDir : "/tmp",
                      static_cast<int>(getpid()));
        std::atexit([] { std::remove(path); });
    }
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input input(data, size);
    const uint8_t shape = input.byte();
    const uint8_t fills = input.byte();
    const size_t runs = (shape >> 2 & 7) + 1;
    std::vector<uint8_t> image(runs * 256 - input.byte());
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = (fills >> (i / 256) & 1) != 0 ? 0xFF : static_cast<uint8_t>(i * 7 + i / 256);
    }
    std::ofstream(imagePath(), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));

    SimOptions options;
    options.codeFlashEnd = FLASH_END;
    options.programMs = shape >> 5;
    auto line = std::make_unique<SimBoardLine>(input, options);
    SimFlash& flash = line->board().codeFlash();
    const uint8_t dirty = input.byte();
    for (uint32_t block = 0; block < 2; ++block) {
        if ((dirty >> block & 1) != 0) {
            flash.program(block * SimFlash::BLOCK_SIZE + 100, std::vector<uint8_t>{0x00});
        }
    }
    const auto sequence =
        std::make_shared<NSSequenceProcessor>(std::make_unique<NSSerialPortProcessor>(std::move(line)), nullptr);

    const JobRequest request{.strImagePath = imagePath(), .strPortName = "fuzz", .bBaudRate = uint8_t(shape & 3)};
    const uint64_t result = sequence->start(request).Result;

    const uint64_t possible[] = {RESULT_OK,
                                 ERR_FRAME_FORMAT,
                                 ERR_SUM,
                                 ERR_RECV_TIMEOUT,
                                 ERR_COMMAND_FRAME,
                                 ERR_DATA_FRAME,
                                 ERR_MODE_ENTRY_TIMEOUT,
                                 ERR_CHECKSUM_MISMATCH};
    FUZZ_CHECK(std::find(std::begin(possible), std::end(possible), result) != std::end(possible));
    // No success unless the flash holds the image, its last block padded with 0xFF.
    std::vector<uint8_t> expected = image;
    expected.resize((image.size() + SimFlash::BLOCK_SIZE - 1) / SimFlash::BLOCK_SIZE * SimFlash::BLOCK_SIZE, 0xFF);
    FUZZ_CHECK(result != RESULT_OK || std::equal(expected.begin(), expected.end(), flash.bytes().begin()) ||
               framesLostEarly(expected, flash.bytes()));
    return 0;
}
