// One exchange with the target at a time: a frame sent with its attempts and
// pauses, and the answer frames the target owes for it taken one by one, each
// only for the frame it answers. Every exchange of the job runs through here.
//
// What run() does with an exchange:
// - Each attempt pauses SEND_WAIT ms, builds the frame and, just before the
//   write, looks at the receive buffer (with what the device holds taken in).
//   Bytes at its front that cannot begin an answer frame are noise: dropped.
//   When the attempt before went out and its answer did not come in time, a
//   whole frame found there is that late answer: it is taken as the answer
//   then owed, and the frame is not sent again. Anything else from an STX on
//   is an answer that no frame asked for.
// - After the write the target owes the exchange's answers, in order. Each is
//   waited for with its own timeout, from the write or from taking the answer
//   before it; noise before it is dropped and counted, and the wait goes on
//   to its own deadline. A frame that begins with STX is taken whole however
//   malformed, and its check decides: a code other than 0 ends the exchange.
//   With noise before an answer, one noiseDropped event says how many bytes,
//   and before which answer.
// - An answer that does not come in time ends the exchange with
//   ERR_RECV_TIMEOUT unless it is `retried`: then the attempt failed, and
//   after RETRY_WAIT_TIME ms (on the last attempt only with
//   pauseAfterLastAttempt) one more look takes it if it has come by then.
//   Otherwise the next attempt begins; its write makes every answer owed anew.
// - A failed build or write ends the exchange with its code, unless
//   retrySendFailure: then the attempt failed, and the pause follows when
//   another attempt does.
// - A port that no longer reads ends the exchange at the failed step.
// - When every attempt timed out (or there were none), the exchange ends with
//   ERR_RECV_TIMEOUT; if the first answer never came, beforeFirstAnswer runs
//   first, and a code it returns ends the exchange instead.
// - Once the last answer owed has been taken and passed its check, whatever
//   remains from an STX on is more than the exchange asked for; noise stays
//   for the next exchange to drop.
// An answer that no frame asked for ends the exchange with ERR_FRAME_FORMAT
// (and endedByUnaskedAnswer); it is never retried, nor taken for a later frame.
// An answer that comes whole but of a length that the answer owed cannot have
// ends it with the code its check gives (ERR_RECV_TIMEOUT), and reason() says so.
//
// After a resend nothing is taken on trust. The protocol has no sequence
// numbers: once a frame has gone out more than once, one answer or more may
// come, late, and none tells which send it answers. Every send owes its
// answers, so:
// - An exchange that wrote its frame more than once and took its answers stays
//   open for the answers still owed: from its last write, as long as its
//   answers' timeouts, or as the answers it took came after its first write
//   if that is longer, and RETRY_WAIT_TIME more. An answer that comes
//   meanwhile is its own. Where a repeat
//   leaves the board as it was (repeatable: Reset, Silicon Signature, Block
//   Blank Check, Block Erase, Checksum) such a second answer is dropped when
//   its frames are byte for byte those taken, and ends the exchange with
//   ERR_FRAME_FORMAT when they differ (two checksums, blank and not blank) or
//   come only in part. For the others (Programming, the data frames) a second
//   answer ends it with ERR_FRAME_FORMAT: the board may have taken the frame
//   twice. reason() says which.
// - An answer can come later still and be taken for a later frame's. The
//   runner keeps, for the job (from beginJob), the longest of those waits
//   (without the pause), so that the job can prove its result again once the
//   line has been quiet (quiet), with each exchange written once (setOnce).
// - Baud Rate Set keeps the mode entry's rules (its beforeFirstAnswer): only
//   an answer to a frame sent inside the mode-entry window counts, and every
//   frame after the first leaves outside it. So a Baud Rate Set that went out
//   twice never succeeds: it ends in the second mode entry, whose DTR and
//   break reset the board and whose flush drops all it still owed, or in the
//   job's end. The mode entry is tried at most twice, each with its own rules.
// An exchange whose frame went out once pays none of this: its writes,
// pauses, timeouts and attempts are as they always were.
#pragma once

#include <cstdint>

#include "Exchange.h"
#include <string>
#include <vector>

class JobEvents;
class NSCommandProcessor;
class NSSerialPortProcessor;

class ExchangeRunner {
public:
    // Takes the port (and its clock), the frame buffers, the command record
    // (whose Retry it keeps) and the job's events; its pauses are
    // NSWaitingTimeCalculator's SEND_WAIT and RETRY_WAIT_TIME.
    ExchangeRunner(NSSerialPortProcessor& port, NSCommandProcessor& cmd, _COMMANDINFO& record, JobEvents& events);

    // Runs the exchange; returns 0 when every answer owed came and passed its check, else a code.
    uint64_t run(const Exchange& exchange);
    // Whether the last run ended because the target sent an answer that no frame asked for.
    bool endedByUnaskedAnswer() const { return m_fUnasked; }
    // Why the last run ended where its code says less (a second answer, a wrong length); or "".
    const std::string& reason() const { return m_strReason; }

    // A job begins: no exchange of it has written its frame more than once.
    void beginJob() { m_dwLongestResentWait = 0; }
    // The longest wait for the answers still owed (without the pause) of an
    // exchange of the job that wrote its frame more than once; 0 when none did.
    uint64_t longestResentWait() const { return m_dwLongestResentWait; }
    // Waits dwMsec ms, then looks: 0 when the line brought nothing but noise,
    // else ERR_FRAME_FORMAT (endedByUnaskedAnswer): an answer that nothing owes.
    uint64_t quiet(uint64_t dwMsec);
    // With fOnce, every exchange writes its frame once, without a pause after it.
    void setOnce(bool fOnce) { m_fOnce = fOnce; }

private:
    // The front of the receive buffer once its noise is dropped.
    struct Front {
        uint64_t dwCount;   // bytes left
        uint64_t dwLength;  // the answer frame they begin, once its length byte is in; else 0
        bool whole() const { return dwLength != 0 && dwCount >= dwLength; }
    };

    uint64_t takeAnswers(const Exchange& exchange, size_t* pOwed, bool* pfTimedOut);
    uint64_t settle(const Exchange& exchange, uint64_t dwFirstWrite, uint64_t dwLastWrite);
    uint64_t endWith(uint64_t r, std::string strReason);
    uint64_t waitStatusFrames(uint64_t* pdwLength, uint64_t timeout);
    Front dropNoise();
    uint64_t unaskedAnswer();

    NSSerialPortProcessor& m_Port;
    NSCommandProcessor& m_Cmd;
    _COMMANDINFO& m_Record;
    JobEvents& m_Events;
    uint64_t m_dwNoise = 0;  // bytes dropped since the last answer was taken
    bool m_fUnasked = false;
    std::string m_strReason;
    std::vector<std::vector<uint8_t>> m_taken;  // the answers the run took, each frame's bytes
    uint64_t m_dwWrites = 0;                    // of the run's frame
    uint64_t m_dwLongestResentWait = 0;
    bool m_fOnce = false;
};
