// Reads the command line into what the program is to do and, for a job, the
// job request: the options (GNU style, anywhere before "--" but not after a
// write's three operands, also under POSIXLY_CORRECT), at most one mode, given
// once (--info, --verify, --erase[=FLASHES], --list-ports, --check; without
// one the image is written), the mode's operands, and QUENWICK_BAUD and
// QUENWICK_VERBOSE from the environment, which the options override.
#pragma once

#include <string>

#include "JobRequest.h"
#include "MemoryImage.h"

class CommandLine {
public:
    enum Action {
        ACTION_RUN,         // run the job of request()
        ACTION_LIST_PORTS,  // --list-ports: the serial devices, exit 0
        ACTION_CHECK,       // --check: the image of request() read and checked against flashSizes(), no board
        ACTION_HELP,        // -h: usage text and options, exit 0
        ACTION_VERSION,     // -V: the version, exit 0
        ACTION_USAGE,       // a write with fewer than three operands: usage text, exit 1
        ACTION_REFUSE,      // a bad option, value, combination or operand count: error(), exit 1
    };

    // pszBaud and pszVerbose are the environment's values, or null (an empty
    // one counts as null); they are read for a job only, and only where no
    // option says the same. getopt_long may reorder argv.
    CommandLine(int argc, char* argv[], const char* pszBaud, const char* pszVerbose);

    // What the program is to do.
    Action action() const { return m_EAction; }
    // With ACTION_REFUSE: the line that names the bad option or value.
    const std::string& error() const { return m_strError; }
    // With ACTION_RUN: the job, its operands in their places.
    const JobRequest& request() const { return m_Request; }
    // -q: no status line on a terminal.
    bool quiet() const { return m_fQuiet; }
    // -vv: the verbose lines and every frame sent and received.
    bool tracesFrames() const { return m_fTraceFrames; }

    // With ACTION_CHECK: the code flash's size from address 0 (--code-flash-end plus 1) and the data flash's from
    // 0xF1000 (--data-flash-size); where not given, all the memory map allows.
    uint64_t codeFlashSize() const { return m_dwCodeFlashSize; }
    uint64_t dataFlashSize() const { return m_dwDataFlashSize; }

    // The options part of the help text, after the usage text.
    static const char* optionsText();

private:
    void refuse(std::string strError);
    bool takeBaudRate(const std::string& strRate, const char* pszWhere);
    bool takeFlashes(const std::string& strValue);
    bool takeFlashSize(bool codeFlash, const std::string& strValue);
    void takeVerbose(const std::string& strValue);

    Action m_EAction = ACTION_RUN;
    std::string m_strError;
    JobRequest m_Request;
    bool m_fQuiet = false;
    bool m_fTraceFrames = false;
    uint64_t m_dwCodeFlashSize = MemoryImage::CODE_FLASH_END;
    uint64_t m_dwDataFlashSize = MemoryImage::ADDRESS_END - MemoryImage::DATA_FLASH_START;
};
