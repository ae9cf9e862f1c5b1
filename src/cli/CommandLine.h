// Reads the command line into what the program is to do and, for a job, the
// job request: the options (GNU style, anywhere before "--"), at most one mode
// (--info, --verify, --erase[=FLASHES], --list-ports; without one the image is
// written), the mode's operands, and QUENWICK_BAUD and QUENWICK_VERBOSE from
// the environment, which the options override.
#pragma once

#include <string>

#include "JobRequest.h"

class CommandLine {
public:
    enum Action {
        ACTION_RUN,         // run the job of request()
        ACTION_LIST_PORTS,  // --list-ports: the serial devices, exit 0
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

    // The options part of the help text, after the usage text.
    static const char* optionsText();

private:
    void refuse(std::string strError);
    bool takeBaudRate(const std::string& strRate, const char* pszWhere);
    bool takeFlashes(const std::string& strValue);
    void takeVerbose(const std::string& strValue);

    Action m_EAction = ACTION_RUN;
    std::string m_strError;
    JobRequest m_Request;
    bool m_fQuiet = false;
    bool m_fTraceFrames = false;
};
