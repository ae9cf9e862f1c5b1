#include "ExchangeRunner.h"

#include "JobEvents.h"
#include "NSCommandProcessor.h"
#include "NSSerialPortProcessor.h"
#include "NSWaitingTimeCalculator.h"
#include "ResultCodes.h"

#include <algorithm>

namespace {

// The receive buffer as one look finds it.
struct Peek {
    uint64_t dwCount;                       // the bytes it holds
    NSCommandProcessor::AnswerFrame frame;  // where the first answer frame among them lies
};

// Looks at the bytes at the front of the receive buffer, taking none.
Peek peekFront(NSSerialPortProcessor& port)
{
    uint8_t bytes[NSSerialPortProcessor::RECEIVE_BUFFER_SIZE];
    const uint64_t dwCount = port.PeekReceivedData(bytes, sizeof bytes);
    return Peek{dwCount, NSCommandProcessor::locateAnswerFrame(bytes, dwCount)};
}

}  // namespace

ExchangeRunner::ExchangeRunner(NSSerialPortProcessor& port, NSCommandProcessor& cmd, _COMMANDINFO& record,
                               JobEvents& events)
    : m_Port(port), m_Cmd(cmd), m_Record(record), m_Events(events)
{
}

uint64_t ExchangeRunner::run(const Exchange& exchange)
{
    m_fUnasked = false;
    m_dwNoise = 0;
    m_strReason.clear();
    m_taken.resize(exchange.answers.size());
    const uint64_t attempts = m_fOnce ? std::min<uint64_t>(exchange.attempts, 1) : exchange.attempts;
    size_t owed = 0;         // the answer awaited next
    bool fTimedOut = false;  // the last attempt went out, and answer `owed` to it did not come in time
    m_dwWrites = 0;
    uint64_t dwFirstWrite = 0;
    uint64_t dwLastWrite = 0;
    uint64_t r = ERR_RECV_TIMEOUT;
    for (uint64_t i = 0; i < attempts; ++i) {
        m_Record.Retry = i;
        const bool fLastAttempt = i + 1 == attempts;
        m_Port.Pause(NSWaitingTimeCalculator::SEND_WAIT);
        uint64_t dwLength = 0;
        r = exchange.frame(&dwLength);
        Front front{0, 0};
        if (r == RESULT_OK) {
            m_Port.TakeInPending();
            front = dropNoise();
        }
        if (fTimedOut && front.whole()) {
            m_Record.Retry = i - 1;  // the answer is to the attempt before
        } else {
            if (front.dwCount != 0) {
                return unaskedAnswer();
            }
            if (r == RESULT_OK) {
                r = m_Port.SendData(m_Cmd.GetCommandFrames(), dwLength);
            }
            if (r == RESULT_OK) {
                dwLastWrite = m_Port.Now();
                dwFirstWrite = m_dwWrites++ == 0 ? dwLastWrite : dwFirstWrite;
                m_Events.frameSent(m_Cmd.GetCommandFrames(), dwLength, dwLastWrite);
            }
            if (exchange.sent) {
                exchange.sent();
            }
            owed = 0;
            if (r != RESULT_OK) {
                if (!exchange.retrySendFailure || fLastAttempt || !m_Port.IsReading()) {
                    return r;
                }
                fTimedOut = false;
                m_Port.Pause(NSWaitingTimeCalculator::RETRY_WAIT_TIME);
                continue;
            }
        }
        r = takeAnswers(exchange, &owed, &fTimedOut);
        while (fTimedOut && (!fLastAttempt || (exchange.pauseAfterLastAttempt && !m_fOnce))) {
            // The pause of a failed attempt, then one more look.
            m_Port.Pause(NSWaitingTimeCalculator::RETRY_WAIT_TIME);
            m_Port.TakeInPending();
            if (!dropNoise().whole()) {
                break;
            }
            r = takeAnswers(exchange, &owed, &fTimedOut);
        }
        if (!fTimedOut) {
            return r == RESULT_OK && m_dwWrites > 1 ? settle(exchange, dwFirstWrite, dwLastWrite) : r;
        }
    }
    if (owed == 0 && exchange.beforeFirstAnswer) {
        const uint64_t rBefore = exchange.beforeFirstAnswer();
        if (rBefore != RESULT_OK) {
            return rBefore;
        }
    }
    return r;
}

// Takes the answers from *pOwed on, each once it has come whole, and then,
// for a frame written once, makes sure that nothing more has (for one
// written again, settle looks). *pOwed is left at the answer that did not
// come or failed its check; *pfTimedOut tells a retried answer that did not
// come in time, on a port that still reads.
uint64_t ExchangeRunner::takeAnswers(const Exchange& exchange, size_t* pOwed, bool* pfTimedOut)
{
    *pfTimedOut = false;
    for (size_t& owed = *pOwed; owed < exchange.answers.size(); ++owed) {
        const Answer& answer = exchange.answers[owed];
        uint64_t dwLength = 0;
        uint64_t r = waitStatusFrames(&dwLength, answer.timeout);
        if (r != RESULT_OK) {
            *pfTimedOut = answer.retried && m_Port.IsReading();
            return r;
        }
        if (owed == 0 && exchange.beforeFirstAnswer) {
            r = exchange.beforeFirstAnswer();
            if (r != RESULT_OK) {
                return r;
            }
        }
        if (m_dwNoise != 0) {
            m_Events.noiseDropped(m_dwNoise, answer.what);
            m_dwNoise = 0;
        }
        const uint8_t* pbFrame = m_Cmd.GetDataFrames();
        dwLength = m_Port.GetReceivedData(m_Cmd.GetDataFrames(), NSCommandProcessor::FRAME_BUFFER_SIZE, dwLength);
        m_Events.answerTaken(pbFrame, dwLength, m_Port.Now());
        m_taken[owed].assign(pbFrame, pbFrame + dwLength);
        r = answer.check(dwLength);
        if (r == ERR_RECV_TIMEOUT) {
            // Whole and yet refused as missing: no answer owed here has its length.
            return endWith(r, std::string(answer.what) + " was " + std::to_string(dwLength) +
                                  " bytes long, a length it cannot have");
        }
        if (r != RESULT_OK) {
            return r;
        }
    }
    if (m_dwWrites > 1) {
        return RESULT_OK;
    }
    m_Port.TakeInPending();
    const Peek peek = peekFront(m_Port);
    return peek.frame.dwStart < peek.dwCount ? unaskedAnswer() : RESULT_OK;
}

// The frame went out more than once, and the answers are taken: until every
// write's answers are due, whatever comes answers this frame too. They are due
// as long after the last write as the answers' timeouts, or as the answers
// taken came after the first write if that is longer (a board that answered
// late once may answer the next write as late), and a pause more. A repeat
// that changes nothing may say the same again, and is dropped; anything else
// ends the exchange. Keeps the wait for the job's proof.
uint64_t ExchangeRunner::settle(const Exchange& exchange, uint64_t dwFirstWrite, uint64_t dwLastWrite)
{
    uint64_t dwWait = 0;
    for (const Answer& answer : exchange.answers) {
        dwWait += answer.timeout;
    }
    dwWait = std::max(dwWait, m_Port.Now() - dwFirstWrite);
    m_dwLongestResentWait = std::max(m_dwLongestResentWait, dwWait);
    const uint64_t dwDeadline = dwLastWrite + dwWait + NSWaitingTimeCalculator::RETRY_WAIT_TIME;
    for (uint64_t dwNow = m_Port.Now(); dwNow <= dwDeadline; dwNow = m_Port.Now()) {
        uint64_t dwLength = 0;
        if (waitStatusFrames(&dwLength, dwDeadline - dwNow) != RESULT_OK) {
            break;
        }
        if (!exchange.repeatable) {
            return endWith(ERR_FRAME_FORMAT,
                           "a second answer to a frame sent again: the target may have taken it twice");
        }
        for (size_t k = 0; k < exchange.answers.size(); ++k) {
            if (k > 0 && waitStatusFrames(&dwLength, exchange.answers[k].timeout) != RESULT_OK) {
                return endWith(ERR_FRAME_FORMAT, "a second answer to a frame sent again came in part");
            }
            uint8_t frame[NSCommandProcessor::FRAME_BUFFER_SIZE];
            dwLength = m_Port.GetReceivedData(frame, sizeof frame, dwLength);
            m_Events.answerTaken(frame, dwLength, m_Port.Now());
            if (!std::equal(frame, frame + dwLength, m_taken[k].begin(), m_taken[k].end())) {
                return endWith(ERR_FRAME_FORMAT, "two different answers to a frame sent again");
            }
        }
    }
    return RESULT_OK;
}

uint64_t ExchangeRunner::quiet(uint64_t dwMsec)
{
    m_fUnasked = false;
    m_strReason.clear();
    m_Port.Pause(dwMsec);
    m_Port.TakeInPending();
    return dropNoise().dwCount != 0 ? unaskedAnswer() : RESULT_OK;
}

uint64_t ExchangeRunner::endWith(uint64_t r, std::string strReason)
{
    m_strReason = std::move(strReason);
    return r;
}

// Waits until a whole answer frame is at the front of the buffer, noise
// dropped, and gives its length. Once more than `timeout` ms have passed, the
// host first takes in whatever the device already holds (after a stall the
// receive thread may not have run yet), and a frame that is whole then
// counts, late or not. A port that stopped reading ends the wait at once.
// *pdwLength is 0 on a timeout.
uint64_t ExchangeRunner::waitStatusFrames(uint64_t* pdwLength, uint64_t timeout)
{
    *pdwLength = 0;
    const uint64_t dwDeadline = m_Port.Now() + timeout + 1;
    Front front = dropNoise();
    while (!front.whole() && m_Port.Now() < dwDeadline && m_Port.IsReading()) {
        m_Port.WaitReceived(front.dwCount, dwDeadline);
        front = dropNoise();
    }
    if (!front.whole()) {
        m_Port.TakeInPending();
        front = dropNoise();
    }
    if (!front.whole()) {
        return ERR_RECV_TIMEOUT;
    }
    *pdwLength = front.dwLength;
    return RESULT_OK;
}

// Drops the bytes at the front of the buffer that cannot begin an answer
// frame, and counts them.
ExchangeRunner::Front ExchangeRunner::dropNoise()
{
    const Peek peek = peekFront(m_Port);
    if (peek.frame.dwStart != 0) {
        uint8_t noise[NSSerialPortProcessor::RECEIVE_BUFFER_SIZE];
        m_Port.GetReceivedData(noise, sizeof noise, peek.frame.dwStart);
        m_dwNoise += peek.frame.dwStart;
    }
    return Front{peek.dwCount - peek.frame.dwStart, peek.frame.dwLength};
}

uint64_t ExchangeRunner::unaskedAnswer()
{
    m_fUnasked = true;
    return ERR_FRAME_FORMAT;
}
