// The serial device on Windows: a COM port opened for overlapped I/O, so that
// the receive thread can wait on a read together with a stop event (a
// blocking read cannot be woken, and WaitCommEvent is not dependable).
#include "SerialDevice.h"

#include "DeviceRegistry.h"
#include "ResultCodes.h"
#include "Win32Ports.h"

#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <mutex>
#include <string>

namespace {

// "COM5" and "COM12" are the devices \\.\COM5 and \\.\COM12 (from COM10 on
// only that form opens); a name given with the prefix is taken as it is.
std::string devicePath(const char* pbPortName)
{
    const std::string strName(pbPortName);
    return strName.starts_with("\\\\.\\") ? strName : "\\\\.\\" + strName;
}

// The line's format, no parity, over a transparent channel: binary, no flow control of any kind, no byte replaced or
// dropped, and no line error that stops the reading. DTR and RTS are raised, as a POSIX open raises them; the program
// moves DTR itself.
void makeLineSettings(DCB& dcb, const LineFormat& line)
{
    dcb.BaudRate = static_cast<DWORD>(line.dwBaudRate);
    dcb.ByteSize = line.bDataBits;
    dcb.Parity = NOPARITY;
    dcb.StopBits = line.bStopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    // An FT232-type adapter passes on what it holds as soon as its event
    // character arrives, where its driver hands the character on to it: every
    // answer of the board ends with ETX. Where it is ignored it changes nothing
    // of what is read.
    dcb.EvtChar = 0x03;
}

// The events that a driver may need to hear of the event character.
constexpr DWORD ASKED_EVENTS = EV_RXFLAG;

// The system's answer to opening the port, in words. A COM port that another
// program has open answers ERROR_ACCESS_DENIED, as a port this user may not
// open does.
std::string openFailure(DWORD dwError)
{
    switch (dwError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return "the port does not exist";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return "the port is in use by another program, or this user may not open it";
    default: return "the port cannot be opened (system error " + std::to_string(dwError) + ")";
    }
}

// What open found on a device and its close puts back.
struct Found {
    HANDLE hPort = INVALID_HANDLE_VALUE;
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    DWORD dwEvents = 0;  // the port's event mask
};

// The open devices, for a stop that cannot wait for their close.
DeviceRegistry<Found> openDevices;

void putBack(const Found& found)
{
    DCB dcb = found.dcb;
    COMMTIMEOUTS timeouts = found.timeouts;
    SetCommState(found.hPort, &dcb);
    SetCommTimeouts(found.hPort, &timeouts);
    SetCommMask(found.hPort, found.dwEvents);
}

class Win32SerialDevice final : public SerialDevice {
public:
    Win32SerialDevice(HANDLE hPort, const Found& found, std::optional<uint64_t> latencyTimer)
        : m_hPort(hPort), m_found(found), m_latencyTimer(latencyTimer)
    {
    }
    ~Win32SerialDevice() override;

    uint64_t start(const LineFormat& line);
    bool write(const uint8_t* pbData, uint64_t size) override;
    bool setBreak(bool fOn) override;
    bool setDtr(bool fOn) override;
    bool setSpeed(uint64_t dwBaudRate) override;
    void flush() override;
    // Windows has no request for it: the user sets an adapter's latency
    // timer in its driver's port settings.
    bool lowLatency() const override { return false; }
    std::optional<uint64_t> latencyTimer() const override { return m_latencyTimer; }
    bool awaitInput() override;
    int64_t readAvailable(uint8_t* pbData, uint64_t size) override;
    void wake() override;

private:
    // Sets the line to dcb; true when the driver took it, as read back.
    bool applyLine(const DCB& dcb);

    const HANDLE m_hPort;
    const Found m_found;
    const std::optional<uint64_t> m_latencyTimer;  // as the registry tells it for the port
    uint64_t m_dwRegistryKey = 0;                  // in openDevices
    DCB m_dcb{};                                   // the line's settings now
    HANDLE m_hStop = nullptr;                      // set by wake and never reset
    OVERLAPPED m_read{};                           // the read in progress, with an event of its own
    OVERLAPPED m_write{};
    uint8_t m_bRead = 0;          // the one-byte read's byte
    bool m_fReading = false;      // the one-byte read was started and its byte not yet taken
    bool m_fTimerPeriod = false;  // the system timer runs at 1 ms for this device
    std::mutex m_lock;            // the read, shared by the receive thread and the job's thread
};

// Takes the device over: the line made, the event character's event added to
// the port's events, every read waiting for all the bytes it asks for and
// writes without a time limit, the queues flushed. The job's
// pauses of 1 ms need the system's timer at 1 ms while the port is open.
uint64_t Win32SerialDevice::start(const LineFormat& line)
{
    m_hStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_write.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (m_hStop == nullptr || m_read.hEvent == nullptr || m_write.hEvent == nullptr) {
        return ERR_INIT;
    }
    m_fTimerPeriod = timeBeginPeriod(1) == TIMERR_NOERROR;
    DCB dcb = m_found.dcb;
    makeLineSettings(dcb, line);
    COMMTIMEOUTS timeouts{};
    m_dwRegistryKey = openDevices.enlist(m_found);
    if (!SetCommTimeouts(m_hPort, &timeouts) || !applyLine(dcb)) {
        return ERR_PORT_OPEN;
    }
    SetCommMask(m_hPort, m_found.dwEvents | ASKED_EVENTS);
    PurgeComm(m_hPort, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return RESULT_OK;
}

Win32SerialDevice::~Win32SerialDevice()
{
    DWORD dwCount = 0;
    if (m_fReading && CancelIoEx(m_hPort, &m_read)) {
        GetOverlappedResult(m_hPort, &m_read, &dwCount, TRUE);
    }
    putBack(m_found);
    openDevices.delist(m_dwRegistryKey);
    CloseHandle(m_hPort);
    for (HANDLE hEvent : {m_hStop, m_read.hEvent, m_write.hEvent}) {
        if (hEvent != nullptr) {
            CloseHandle(hEvent);
        }
    }
    if (m_fTimerPeriod) {
        timeEndPeriod(1);
    }
}

bool Win32SerialDevice::applyLine(const DCB& dcb)
{
    DCB wanted = dcb;
    DCB taken{};
    taken.DCBlength = sizeof taken;
    // A driver may answer success and keep another speed: only the read-back counts.
    if (!SetCommState(m_hPort, &wanted) || !GetCommState(m_hPort, &taken) || taken.BaudRate != dcb.BaudRate) {
        return false;
    }
    m_dcb = dcb;
    return true;
}

bool Win32SerialDevice::write(const uint8_t* pbData, uint64_t size)
{
    DWORD dwWritten = 0;
    if (size > MAXDWORD || (!WriteFile(m_hPort, pbData, static_cast<DWORD>(size), nullptr, &m_write) &&
                            GetLastError() != ERROR_IO_PENDING)) {
        return false;
    }
    return GetOverlappedResult(m_hPort, &m_write, &dwWritten, TRUE) && dwWritten == size;
}

bool Win32SerialDevice::setBreak(bool fOn)
{
    if (!(fOn ? SetCommBreak(m_hPort) : ClearCommBreak(m_hPort))) {
        return false;
    }
    flush();
    return true;
}

// The line's settings keep DTR where it was put, so that a later speed change
// does not raise it again.
bool Win32SerialDevice::setDtr(bool fOn)
{
    if (!EscapeCommFunction(m_hPort, fOn ? SETDTR : CLRDTR)) {
        return false;
    }
    m_dcb.fDtrControl = fOn ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    return true;
}

bool Win32SerialDevice::setSpeed(uint64_t dwBaudRate)
{
    DCB dcb = m_dcb;
    dcb.BaudRate = static_cast<DWORD>(dwBaudRate);
    return dwBaudRate <= MAXDWORD && applyLine(dcb);
}

// A byte that the one-byte read has already taken in is dropped too.
void Win32SerialDevice::flush()
{
    std::lock_guard<std::mutex> lock(m_lock);
    DWORD dwCount = 0;
    if (m_fReading &&
        (GetOverlappedResult(m_hPort, &m_read, &dwCount, FALSE) || GetLastError() != ERROR_IO_INCOMPLETE)) {
        m_fReading = false;
    }
    PurgeComm(m_hPort, PURGE_RXCLEAR | PURGE_TXCLEAR);
}

// Starts a read of one byte, which ends when a byte arrives or the device
// goes away, unless one was started and its byte not yet taken; then sleeps
// until that read has ended or wake is called.
bool Win32SerialDevice::awaitInput()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_fReading) {
            if (!ReadFile(m_hPort, &m_bRead, 1, nullptr, &m_read) && GetLastError() != ERROR_IO_PENDING) {
                return false;
            }
            m_fReading = true;
        }
    }
    const HANDLE events[] = {m_read.hEvent, m_hStop};
    return WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_FAILED;
}

// The one-byte read's byte once it has arrived, then as many bytes as the
// driver holds: a read of exactly that many ends at once. While the one-byte
// read still waits, the driver holds nothing.
int64_t Win32SerialDevice::readAvailable(uint8_t* pbData, uint64_t size)
{
    std::lock_guard<std::mutex> lock(m_lock);
    uint64_t count = 0;
    if (m_fReading) {
        DWORD dwCount = 0;
        if (!GetOverlappedResult(m_hPort, &m_read, &dwCount, FALSE)) {
            return GetLastError() == ERROR_IO_INCOMPLETE ? 0 : -1;  // ERROR_BROKEN_PIPE: the device went away
        }
        m_fReading = false;
        if (dwCount == 1 && size > 0) {
            pbData[count++] = m_bRead;
        }
    }
    DWORD dwErrors = 0;
    COMSTAT status{};
    if (!ClearCommError(m_hPort, &dwErrors, &status)) {
        return -1;
    }
    const DWORD dwQueued = static_cast<DWORD>(std::min<uint64_t>(status.cbInQue, size - count));
    DWORD dwCount = 0;
    if (dwQueued > 0 &&
        ((!ReadFile(m_hPort, pbData + count, dwQueued, nullptr, &m_read) && GetLastError() != ERROR_IO_PENDING) ||
         !GetOverlappedResult(m_hPort, &m_read, &dwCount, TRUE))) {
        return -1;
    }
    return static_cast<int64_t>(count + dwCount);
}

void Win32SerialDevice::wake() { SetEvent(m_hStop); }

}  // namespace

void SerialDevice::putBackAll() { openDevices.forEach(putBack); }

uint64_t SerialDevice::open(const char* pbPortName, const LineFormat& line, std::unique_ptr<SerialDevice>* ppDevice,
                            std::string* pstrWhy)
{
    // Share mode 0: a port that another program holds is refused at once, and
    // no other can open it while this one has it.
    const HANDLE hPort = CreateFileA(devicePath(pbPortName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (hPort == INVALID_HANDLE_VALUE) {
        *pstrWhy = openFailure(GetLastError());
        return ERR_PORT_OPEN;
    }
    // Only a serial line has line settings; a file or another device is refused untouched.
    Found found{.hPort = hPort};
    found.dcb.DCBlength = sizeof found.dcb;
    if (GetFileType(hPort) != FILE_TYPE_CHAR || !GetCommState(hPort, &found.dcb) ||
        !GetCommTimeouts(hPort, &found.timeouts) || !GetCommMask(hPort, &found.dwEvents)) {
        CloseHandle(hPort);
        *pstrWhy = "the port is not a serial device";
        return ERR_PORT_OPEN;
    }
    const std::optional<Win32Ports::UsbPort> usb = Win32Ports::usbPort(pbPortName);
    auto device = std::make_unique<Win32SerialDevice>(hPort, found, usb ? usb->latencyTimer : std::nullopt);
    const uint64_t r = device->start(line);
    if (r == RESULT_OK) {
        *ppDevice = std::move(device);
    } else if (r == ERR_PORT_OPEN) {
        *pstrWhy = "the port does not take the job's line settings";
    }
    return r;
}
