#include "ExchangeRunner.h"

#include "JobEvents.h"
#include "NSCommandProcessor.h"
#include "NSSerialPortProcessor.h"
#include "NSWaitingTimeCalculator.h"
#include "ResultCodes.h"

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
    size_t owed = 0;         // the answer awaited next
    bool fTimedOut = false;  // the last attempt went out, and answer `owed` to it did not come in time
    uint64_t r = ERR_RECV_TIMEOUT;
    for (uint64_t i = 0; i < exchange.attempts; ++i) {
        m_Record.Retry = i;
        const bool fLastAttempt = i + 1 == exchange.attempts;
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
                m_Events.frameSent(m_Cmd.GetCommandFrames(), dwLength, m_Port.Now());
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
        while (fTimedOut && (!fLastAttempt || exchange.pauseAfterLastAttempt)) {
            // The pause of a failed attempt, then one more look.
            m_Port.Pause(NSWaitingTimeCalculator::RETRY_WAIT_TIME);
            m_Port.TakeInPending();
            if (!dropNoise().whole()) {
                break;
            }
            r = takeAnswers(exchange, &owed, &fTimedOut);
        }
        if (!fTimedOut) {
            return r;
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

// Takes the answers from *pOwed on, each once it has come whole, and then
// makes sure that nothing more has. *pOwed is left at the answer that did not
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
        dwLength = m_Port.GetReceivedData(m_Cmd.GetDataFrames(), NSCommandProcessor::FRAME_BUFFER_SIZE, dwLength);
        m_Events.answerTaken(m_Cmd.GetDataFrames(), dwLength, m_Port.Now());
        r = answer.check(dwLength);
        if (r != RESULT_OK) {
            return r;
        }
    }
    m_Port.TakeInPending();
    const Peek peek = peekFront(m_Port);
    return peek.frame.dwStart < peek.dwCount ? unaskedAnswer() : RESULT_OK;
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
