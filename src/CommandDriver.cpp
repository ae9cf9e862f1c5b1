#include "CommandDriver.h"

#include <cstring>
#include <string_view>
#include <utility>

#include "ResultCodes.h"

namespace {

// Copies the text and its terminator into a fixed field, or refuses it when
// it does not fit.
bool copyText(const std::string& strText, char (&field)[1024]) {
    if (strText.size() >= sizeof field) {
        return false;
    }
    std::memcpy(field, strText.c_str(), strText.size() + 1);
    return true;
}

// Well-formed UTF-8: no stray continuation bytes, no overlong forms, no
// surrogates, nothing above U+10FFFF, no sequence cut short.
bool isValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t continuation = 0;
        unsigned char low = 0x80;   // allowed range of the first continuation byte
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            continuation = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            continuation = 2;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            continuation = 3;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (text.size() - i <= continuation) {
            return false;
        }
        const auto first = static_cast<unsigned char>(text[i + 1]);
        if (first < low || first > high) {
            return false;
        }
        for (size_t k = 2; k <= continuation; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += continuation + 1;
    }
    return true;
}

}  // namespace

CommandDriver::CommandDriver() : CommandDriver(std::nullopt, std::nullopt, std::nullopt) {}

CommandDriver::CommandDriver(std::optional<std::string> filename, std::optional<std::string> port,
                             std::optional<std::string> board) {
    setFileNameStirng(std::move(filename));
    setPortNameStirng(std::move(port));
    setBoardNameStirng(std::move(board));
    applicationInitialize();
}

CommandDriver::CommandDriver(std::unique_ptr<NSSerialPortProcessor> pComPort) {
    applicationInitialize(std::move(pComPort));
}

CommandDriver::~CommandDriver() {
    if (m_SequenceProcessor) {
        m_SequenceProcessor->setDelegate(nullptr);
    }
}

void CommandDriver::applicationInitialize() { applicationInitialize(std::make_unique<NSSerialPortProcessor>()); }

void CommandDriver::applicationInitialize(std::unique_ptr<NSSerialPortProcessor> pComPort) {
    if (m_SequenceProcessor) {
        m_SequenceProcessor->setDelegate(nullptr);
    }
    m_SequenceProcessor = std::make_shared<NSSequenceProcessor>(std::move(pComPort));
    m_SequenceProcessor->setDelegate(this);
}

uint64_t CommandDriver::pushWrite() {
    m_ContextInfo = _CONTEXTINFO{};
    m_ResultInfo = _RESULTINFO{};
    m_ContextInfo.pResultInfo = &m_ResultInfo;

    const uint64_t r = buildContext();
    if (r != RESULT_OK) {
        m_ResultInfo.Result = r;
        return r;
    }
    return m_SequenceProcessor->start(m_ContextInfo);
}

// Fills the port and image paths; refuses the job when either is missing or
// does not fit its field. Nothing has been started when this fails.
uint64_t CommandDriver::buildContext() {
    if (!_portNameStirng || _portNameStirng->empty()) {
        return ERR_PORT_NOT_SELECTED;
    }
    if (!copyText(*_portNameStirng, m_ContextInfo.PortName)) {
        return ERR_PARAMETER;
    }
    m_ContextInfo.BaudRate = 0;
    if (!_fileNameStirng) {
        return ERR_FILE_NOT_FOUND;
    }
    if (!copyText(*_fileNameStirng, m_ContextInfo.TargetFileInfo.FilePath)) {
        return ERR_PARAMETER;
    }
    return RESULT_OK;
}

uint64_t CommandDriver::returnResult() const { return m_ResultInfo.Result; }

void CommandDriver::delegateAddLog(const std::string& /*strLog*/) {}

void CommandDriver::setFileNameStirng(std::optional<std::string> fileNameStirng) {
    _fileNameStirng = std::move(fileNameStirng);
}

void CommandDriver::setPortNameStirng(std::optional<std::string> portNameStirng) {
    _portNameStirng = std::move(portNameStirng);
}

void CommandDriver::setBoardNameStirng(std::optional<std::string> boardNameStirng) {
    _boardNameStirng = std::move(boardNameStirng);
}

std::optional<std::string> CommandDriver::decodeArgument(const char* pbArgument) {
    if (pbArgument == nullptr || !isValidUtf8(pbArgument)) {
        return std::nullopt;
    }
    return std::string(pbArgument);
}
