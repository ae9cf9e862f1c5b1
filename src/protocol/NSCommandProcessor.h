// Frames of the target's serial boot protocol: builds command and data frames
// into a transmit buffer and checks the status and data frames that the
// sequence copies into a receive buffer. Never touches the serial port.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>

class NSCommandProcessor {
public:
    // Longest frame: start byte, length byte, 256 data bytes, sum byte, end byte.
    static constexpr uint64_t FRAME_BUFFER_SIZE = 260;

    NSCommandProcessor() = default;
    NSCommandProcessor(const NSCommandProcessor&) = delete;
    NSCommandProcessor& operator=(const NSCommandProcessor&) = delete;

    // Allocates the transmit and the receive buffer (260 bytes each).
    uint64_t Initialize();
    // The transmit buffer, which the builders fill (null before Initialize).
    uint8_t* GetCommandFrames();
    // The receive buffer, from which the checkers read an answer (null before Initialize).
    uint8_t* GetDataFrames();

    // Where the first answer frame in bytes received begins and how long it is.
    struct AnswerFrame {
        uint64_t dwStart;   // leading bytes that cannot begin an answer frame (anything but STX)
        uint64_t dwLength;  // the whole frame, its length byte + 4, once that byte is in; else 0
    };
    // Takes dwCount bytes from the front of a receive buffer; returns where its first answer frame lies.
    static AnswerFrame locateAnswerFrame(const uint8_t* pbData, uint64_t dwCount);

    // The builders write one frame into the transmit buffer and its length into
    // *cmdLength: 0, or ERR_PARAMETER (a value out of range) with a zero buffer
    // and length. Addresses go low byte first: bSal, bSam, bSah from the start,
    // bEal, bEam, bEah to the end. The checkers read the frame in the receive
    // buffer: 0 with the status bytes and data in the out parameters, or
    // ERR_FRAME_FORMAT or ERR_SUM, the out parameters untouched.

    // A command frame of the command code and a start and end address.
    uint64_t makeAddressRangeCommand(uint8_t bCommand, uint8_t bSal, uint8_t bSam, uint8_t bSah, uint8_t bEal,
                                     uint8_t bEam, uint8_t bEah, uint64_t* cmdLength);
    // A data frame of 1 to 256 bytes, ended by ETX when finalFrame, else by ETB.
    uint64_t makeDataFrame(const uint8_t* pbData, uint32_t length, bool finalFrame, uint64_t* cmdLength);
    // A status frame of one status byte, into *pbSt1.
    uint64_t checkStatus(uint8_t* pbSt1);
    // A status frame of two status bytes, into *pbSt1 and *pbSt2.
    uint64_t checkDataFrame(uint8_t* pbSt1, uint8_t* pbSt2);
    // A status frame of one status byte, into *pbSt1.
    uint64_t CheckStatus(uint8_t* pbSt1);

    // Reset.
    uint64_t MakeResetCommand(uint64_t* cmdLength);
    // Baud Rate Set of the speed code 0 to 3 and the voltage byte.
    uint64_t MakeBaudRateCommand(uint8_t bBaudRate, uint8_t setVoltage, uint64_t* cmdLength);
    // Silicon Signature.
    uint64_t MakeSiliconSignatureCommand(uint64_t* cmdLength);
    // Block Erase of the block that begins at the address.
    uint64_t MakeBlockEraseCommand(uint8_t bSal, uint8_t bSam, uint8_t bSah, uint64_t* cmdLength);
    // Block Blank Check of the range, with its data byte bD01.
    uint64_t MakeBlockBlankCheckCommand(uint8_t bSal, uint8_t bSam, uint8_t bSah, uint8_t bEal, uint8_t bEam,
                                        uint8_t bEah, uint8_t bD01, uint64_t* cmdLength);
    // Programming of the range.
    uint64_t MakeProgrammingCommand(uint8_t bSal, uint8_t bSam, uint8_t bSah, uint8_t bEal, uint8_t bEam, uint8_t bEah,
                                    uint64_t* cmdLength);
    // Checksum of the range.
    uint64_t MakeChecksumCommand(uint8_t bSal, uint8_t bSam, uint8_t bSah, uint8_t bEal, uint8_t bEam, uint8_t bEah,
                                 uint64_t* cmdLength);
    // A data frame of Programming, as makeDataFrame.
    uint64_t MakeProgrammingDataFrame(const uint8_t* pbData, uint32_t length, bool finalFrame, uint64_t* cmdLength);

    // The status that answers Reset (and Silicon Signature and Block Erase).
    uint64_t CheckResetStatus(uint8_t* pbSt1);
    // The status that answers Block Blank Check.
    uint64_t CheckBlockBlankCheckStatus(uint8_t* pbSt1);
    // The status that answers Programming.
    uint64_t CheckProgrammingStatus(uint8_t* pbSt1);
    // The status of one byte that answers a data frame.
    uint64_t CheckProgrammingDataFrameStatus(uint8_t* pbSt1);
    // The status of two bytes that answers a data frame.
    uint64_t CheckProgrammingDataFrameStatus(uint8_t* pbSt1, uint8_t* pbSt2);
    // The status that answers Checksum.
    uint64_t CheckVerifyStatus(uint8_t* pbSt1);
    // The long answer to Baud Rate Set: the status and the two settings it repeats.
    uint64_t CheckBaudRateStatus(uint8_t* pbSt1, uint8_t* pdD01, uint8_t* pdD02);
    // The signature data: code, name (ten bytes and a terminating zero: 11), code and data flash ends, version.
    uint64_t CheckSiliconSignatureDataFrames(uint8_t* pbCode, uint8_t* pbDev, uint8_t* pbCen, uint8_t* pbDen,
                                             uint8_t* pbVer);
    // The checksum data: CK1 and CK2.
    uint64_t CheckChecksumDataFrams(uint8_t* pbCk1, uint8_t* pbCk2);

private:
    // Two's complement of the 8-bit sum of count bytes from startIndex.
    static uint8_t getCheckSum(const uint8_t* pbData, int32_t startIndex, int32_t count);
    // Writes one frame into the transmit buffer: start byte, length byte, payload, sum, end byte.
    // Zero-fills the buffer and sets the length to 0 first; refuses with ERR_PARAMETER when !fValid.
    uint64_t buildFrame(uint8_t bStart, std::span<const uint8_t> payload, uint8_t bEnd, bool fValid,
                        uint64_t* cmdLength);
    uint64_t makeCommandFrame(std::initializer_list<uint8_t> codeAndData, uint64_t* cmdLength, bool fValid = true);
    // Status frame of a fixed length byte: form first, then sum.
    uint64_t checkStatusFrame(uint8_t bLength) const;
    // Result data frame: start and end bytes, then sum, then the length byte.
    uint64_t checkResultDataFrame(uint8_t bLength) const;

    std::unique_ptr<uint8_t[]> m_pbCmdFlames;
    std::unique_ptr<uint8_t[]> m_pbDataFlames;
};
