// Shared by the sequence tests: a tiny frame writer of our own (so that a
// mistake in the program's frame builder cannot hide in the expected bytes),
// script fragments for the board's side of a job, image files, and a runner
// that does one job against a scripted port and collects what came out.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "MainDispatchQueue.h"
#include "NSSequenceProcessor.h"
#include "ScriptedPort.h"

namespace seqtest {

using Bytes = std::vector<uint8_t>;

inline constexpr char PORT[] = "/dev/scripted";
inline constexpr uint8_t ACK = 0x06;

// ---- frames ---------------------------------------------------------------

// Byte-wise append (vector::insert of short vectors trips a false
// -Warray-bounds in GCC 12 at -O2).
inline void append(Bytes& to, const Bytes& from) {
    for (uint8_t byte : from) {
        to.push_back(byte);
    }
}

inline Bytes withSumAndEnd(Bytes frame, uint8_t end) {
    uint8_t sum = 0;
    for (size_t i = 1; i < frame.size(); ++i) {
        sum = static_cast<uint8_t>(sum - frame[i]);
    }
    frame.push_back(sum);
    frame.push_back(end);
    return frame;
}

// SOH, length, code, data, sum, ETX.
inline Bytes command(uint8_t code, const Bytes& data = {}) {
    Bytes frame{0x01, static_cast<uint8_t>(data.size() + 1), code};
    append(frame, data);
    return withSumAndEnd(frame, 0x03);
}

// STX, length (256 as 0), data, sum, ETX or ETB.
inline Bytes dataFrame(const Bytes& data, bool last = true) {
    Bytes frame{0x02, static_cast<uint8_t>(data.size())};
    append(frame, data);
    return withSumAndEnd(frame, last ? 0x03 : 0x17);
}

inline Bytes status(uint8_t st1) { return dataFrame({st1}); }
inline Bytes status(uint8_t st1, uint8_t st2) { return dataFrame({st1, st2}); }

// The same frame with its sum byte broken.
inline Bytes badSum(Bytes frame) {
    frame[frame.size() - 2] = static_cast<uint8_t>(frame[frame.size() - 2] + 1);
    return frame;
}

inline Bytes addressBytes(uint32_t address) {
    return {static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address >> 16)};
}

inline Bytes rangeCommand(uint8_t code, uint32_t start, uint32_t end, const Bytes& extra = {}) {
    Bytes data = addressBytes(start);
    append(data, addressBytes(end));
    append(data, extra);
    return command(code, data);
}

inline Bytes baudRateSet(uint8_t code) { return command(0x9A, {code, 0x21}); }
inline Bytes reset() { return command(0x00); }
inline Bytes siliconSignature() { return command(0xC0); }
inline Bytes blankCheck(uint32_t block) { return rangeCommand(0x32, block, block + 1023, {0x00}); }
inline Bytes erase(uint32_t block) { return command(0x22, addressBytes(block)); }
inline Bytes programming(uint32_t end) { return rangeCommand(0x40, 0, end); }
inline Bytes checksum(uint32_t end) { return rangeCommand(0xB0, 0, end); }

// The 22 data bytes of a signature: device code, name, code flash end, data
// flash end, version.
inline Bytes signatureData(uint32_t codeEnd = 0x00FFFF, uint32_t dataEnd = 0x0F1FFF) {
    Bytes data{0x10, 0x00, 0x06};
    const std::string name = "TESTCHIP01";
    append(data, Bytes(name.begin(), name.end()));
    append(data, addressBytes(codeEnd));
    append(data, addressBytes(dataEnd));
    append(data, {0x01, 0x02, 0x03});
    return data;
}

// The image as the target receives it: whole blocks, the last padded with 0xFF.
inline Bytes padded(const Bytes& image) {
    Bytes blocks = image;
    blocks.resize((image.size() + 1023) / 1024 * 1024, 0xFF);
    return blocks;
}

inline uint32_t endAddress(const Bytes& image) { return static_cast<uint32_t>(padded(image).size() - 1); }

// 0 minus the sum of every byte the target receives.
inline uint16_t targetChecksum(const Bytes& image) {
    uint32_t sum = 0;
    for (uint8_t byte : padded(image)) {
        sum -= byte;
    }
    return static_cast<uint16_t>(sum);
}

// ---- script fragments -------------------------------------------------------

// DTR and break choreography of one mode entry, up to the single 0x00 byte.
inline void lineChoreography(ScriptedPort& port, bool inverted, uint64_t zeroByteResult = 0) {
    port.expectDtr(!inverted).expectBreak(true).expectFlush().expectDtr(inverted).expectBreak(false).expectSend(
        {0x00}, zeroByteResult);
}

// A mode entry the target answers at once, through the signature.
inline void modeEntry(ScriptedPort& port, bool inverted = false, uint32_t codeEnd = 0x00FFFF) {
    lineChoreography(port, inverted);
    port.expectSend(baudRateSet(0)).answer(status(ACK));
    port.expectSend(reset()).answer(status(ACK));
    port.expectSend(siliconSignature()).answer(status(ACK)).answer(dataFrame(signatureData(codeEnd)));
}

// Blank checks of every block; the blocks listed in notBlank are erased.
inline void blankCheckAndErase(ScriptedPort& port, const Bytes& image, const std::vector<uint32_t>& notBlank = {}) {
    for (uint32_t block = 0; block < padded(image).size(); block += 1024) {
        const bool dirty = std::find(notBlank.begin(), notBlank.end(), block) != notBlank.end();
        port.expectSend(blankCheck(block)).answer(status(dirty ? 0x1B : ACK));
        if (dirty) {
            port.expectSend(erase(block)).answer(status(ACK));
        }
    }
}

// Data frame i (0-based) of the image as it goes out.
inline Bytes imageFrame(const Bytes& image, size_t i) {
    const Bytes blocks = padded(image);
    const Bytes payload(blocks.begin() + static_cast<std::ptrdiff_t>(i * 256),
                        blocks.begin() + static_cast<std::ptrdiff_t>(i * 256 + 256));
    return dataFrame(payload, (i + 1) * 256 == blocks.size());
}

inline size_t frameCount(const Bytes& image) { return padded(image).size() / 256; }

// Programming command, every data frame acknowledged, the final status.
inline void programAll(ScriptedPort& port, const Bytes& image) {
    port.expectSend(programming(endAddress(image))).answer(status(ACK));
    for (size_t i = 0; i < frameCount(image); ++i) {
        port.expectSend(imageFrame(image, i)).answer(status(ACK));
    }
    port.answer(status(ACK));
}

inline void verify(ScriptedPort& port, const Bytes& image) {
    const uint16_t sum = targetChecksum(image);
    port.expectSend(checksum(endAddress(image)))
        .answer(status(ACK))
        .answer(dataFrame({static_cast<uint8_t>(sum), static_cast<uint8_t>(sum >> 8)}));
}

inline void jobEnd(ScriptedPort& port, bool inverted = false) { port.expectDtr(!inverted).expectClose(); }

// ---- images and jobs ----------------------------------------------------------

inline Bytes pattern(size_t size) {
    Bytes image(size);
    for (size_t i = 0; i < size; ++i) {
        image[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    return image;
}

// Writes the image into this process's scratch directory; returns its path.
inline std::string writeImage(const Bytes& image, const std::string& name = "sketch.bin") {
    const auto dir = std::filesystem::temp_directory_path() / ("quenwick-seqtest-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto path = dir / name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                                static_cast<std::streamsize>(image.size()));
    return path.string();
}

struct LogCollector : NSSequenceProcessorDelegate {
    std::vector<std::string> lines;
    void delegateAddLog(const std::string& strLog) override { lines.push_back(strLog); }
};

struct JobOutcome {
    uint64_t result = 0;
    _RESULTINFO info{};
    _CONTEXTINFO context{};
    std::vector<std::string> log;
    std::string problems;
    std::chrono::milliseconds elapsed{};
};

inline _CONTEXTINFO makeContext(const std::string& imagePath, uint8_t baudRate = 0) {
    _CONTEXTINFO context{};
    std::snprintf(context.PortName, sizeof context.PortName, "%s", PORT);
    std::snprintf(context.TargetFileInfo.FilePath, sizeof context.TargetFileInfo.FilePath, "%s", imagePath.c_str());
    context.BaudRate = baudRate;
    return context;
}

// Runs one job against the script and drains the log queue.
inline JobOutcome runJob(std::unique_ptr<ScriptedPort> port, _CONTEXTINFO context) {
    ScriptedPort& board = *port;
    auto sequence = std::make_shared<NSSequenceProcessor>(std::move(port));
    LogCollector log;
    sequence->setDelegate(&log);
    JobOutcome outcome;
    context.pResultInfo = &outcome.info;
    const auto started = std::chrono::steady_clock::now();
    outcome.result = sequence->start(context);
    outcome.elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    MainDispatchQueue::drain();
    sequence->setDelegate(nullptr);
    outcome.log = log.lines;
    outcome.problems = board.problems();
    outcome.context = sequence->contextInfo();
    return outcome;
}

inline JobOutcome runJob(std::unique_ptr<ScriptedPort> port, const std::string& imagePath, uint8_t baudRate = 0) {
    return runJob(std::move(port), makeContext(imagePath, baudRate));
}

}  // namespace seqtest
