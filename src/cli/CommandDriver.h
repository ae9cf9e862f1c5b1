// Runs the job a request asks for on the sequence it owns, and keeps the
// job's outcome.
#pragma once

#include <cstdint>
#include <memory>

#include "JobEvents.h"
#include "JobRequest.h"
#include "SequenceRecords.h"

class NSSequenceProcessor;
class NSSerialPortProcessor;

class CommandDriver {
public:
    // A sequence on a real serial device; pEvents (not owned; null: nobody) hears each job.
    explicit CommandDriver(JobEvents* pEvents);
    // A sequence on the given port (tests pass a port that plays the board).
    CommandDriver(std::unique_ptr<NSSerialPortProcessor> pComPort, JobEvents* pEvents);
    CommandDriver(const CommandDriver&) = delete;
    CommandDriver& operator=(const CommandDriver&) = delete;
    ~CommandDriver();

    // Runs the job the request asks for; returns its result code. A request
    // without a port is refused before the sequence starts, and the events
    // hear its end.
    uint64_t pushJob(const JobRequest& request);
    // From any thread: the job under way ends at its next wait, its end steps
    // run, and pushJob returns ERR_RECV_TIMEOUT, its reason "stopped by "
    // and pszCause ("SIGINT"; a text that lives as long as the program).
    void stop(const char* pszCause);
    // The result code of the last job.
    uint64_t returnResult() const;
    // The last job's result code, its last command exchange and what more tells why it failed.
    const _RESULTINFO& resultInfo() const { return m_ResultInfo; }
    // The silicon signature that the last job read.
    DeviceSignature signature() const;

private:
    _RESULTINFO m_ResultInfo{};
    JobEvents* m_pEvents;
    std::shared_ptr<NSSequenceProcessor> m_SequenceProcessor;
};
