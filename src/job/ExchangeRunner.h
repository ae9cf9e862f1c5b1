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
#pragma once

#include <cstdint>

#include "Exchange.h"

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

private:
    // The front of the receive buffer once its noise is dropped.
    struct Front {
        uint64_t dwCount;   // bytes left
        uint64_t dwLength;  // the answer frame they begin, once its length byte is in; else 0
        bool whole() const { return dwLength != 0 && dwCount >= dwLength; }
    };

    uint64_t takeAnswers(const Exchange& exchange, size_t* pOwed, bool* pfTimedOut);
    uint64_t waitStatusFrames(uint64_t* pdwLength, uint64_t timeout);
    Front dropNoise();
    uint64_t unaskedAnswer();

    NSSerialPortProcessor& m_Port;
    NSCommandProcessor& m_Cmd;
    _COMMANDINFO& m_Record;
    JobEvents& m_Events;
    uint64_t m_dwNoise = 0;  // bytes dropped since the last answer was taken
    bool m_fUnasked = false;
};
