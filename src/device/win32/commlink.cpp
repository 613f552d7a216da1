// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "commlink.h"

#include "device/portaccess.h"
#include "device/portname.h"
#include "wintext.h"

#include <windows.h>

#include <mmsystem.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <utility>

struct CommLink::Io
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    // Manual-reset events, one per kind of operation, so they never wake each other.
    HANDLE readEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE writeEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE waitEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED writeOverlapped = {};
    OVERLAPPED waitOverlapped = {};
    // The bytes of the write in flight: the system reads them until it has finished.
    std::string writing;
    DWORD events = 0;     // what WaitCommEvent reports into
    bool waiting = false; // a WaitCommEvent is in flight
    bool finerTimer = false;

    Io() = default;
    Io(const Io &) = delete;
    Io &operator=(const Io &) = delete;
    ~Io()
    {
        for (HANDLE event : {readEvent, writeEvent, waitEvent}) {
            if (event)
                ::CloseHandle(event);
        }
    }

    static OVERLAPPED overlapped(HANDLE event)
    {
        OVERLAPPED result = {};
        result.hEvent = event;
        ::ResetEvent(event);
        return result;
    }
};

namespace {

constexpr std::string_view DevicePrefix = "\\\\.\\";

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

bool noMoreDevice(DWORD error)
{
    // A port that went away (a USB adapter unplugged) answers with one of these, depending on
    // its driver; ERROR_OPERATION_ABORTED is the system ending our I/O for the same reason.
    switch (error) {
    case ERROR_OPERATION_ABORTED:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_GEN_FAILURE:
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_HANDLE:
    case ERROR_NOT_READY:
    case ERROR_BROKEN_PIPE:
        return true;
    default:
        return false;
    }
}

} // namespace

CommLink::CommLink(const PortTarget &target, const LinkOptions &options)
    : m_target(target), m_namer(options.portNamer), m_io(std::make_unique<Io>())
{
    if (!m_namer)
        m_namer = [](int number) { return systemPortName(number); };
}

CommLink::~CommLink()
{
    close();
}

std::string CommLink::nameToOpen() const
{
    // COM10 and above are reached only through the device namespace; a name that is a path
    // already is used as it is.
    if (startsWith(m_name, DevicePrefix) || startsWith(m_name, "\\\\?\\") ||
        m_name.find_first_of("\\/:") != std::string::npos)
        return m_name;
    return std::string(DevicePrefix) + m_name;
}

OpenRefusal CommLink::refusal(OpenFailure failure, std::uint32_t error) const
{
    OpenRefusal result;
    result.failure = failure;
    result.path = m_name;
    result.device = m_device;
    if (error != 0)
        result.systemText = WinText::errorText(error);
    return result;
}

std::optional<OpenRefusal> CommLink::open()
{
    close();
    resetLossReport();
    if (m_target.kind == PortTarget::Kind::Number) {
        m_name = m_namer(m_target.number);
        if (m_name.empty()) {
            OpenRefusal refusal;
            refusal.failure = OpenFailure::NoSuchDevice;
            refusal.path = "port " + std::to_string(m_target.number);
            return refusal;
        }
    } else if (m_target.kind == PortTarget::Kind::UsbSerial) {
        auto found = findUsbSerial(m_target.usbSerial, serialDevices());
        if (auto *refusal = std::get_if<OpenRefusal>(&found)) {
            m_name = refusal->path;
            return *refusal;
        }
        m_name = std::get<SerialDeviceInfo>(found).portName;
    } else {
        m_name = m_target.path;
    }
    m_device = absolutePortName(m_name);

    const std::wstring path = WinText::wide(nameToOpen());
    // No sharing: the system's exclusive open is what keeps two programs off one port.
    HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_NETPATH:
        case ERROR_DEV_NOT_EXIST:
            return refusal(OpenFailure::NoSuchDevice, 0);
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return refusal(OpenFailure::InUse, 0);
        default:
            return refusal(OpenFailure::Other, error);
        }
    }
    m_io->handle = handle;
    if (auto refused = configure()) {
        ::CloseHandle(std::exchange(m_io->handle, INVALID_HANDLE_VALUE));
        return refused;
    }
    // Waits for a reply end within a millisecond or two of the data, not at the next 15.6 ms
    // tick of the system's default timer.
    m_io->finerTimer = ::timeBeginPeriod(1) == TIMERR_NOERROR;
    m_state = LinkState::Open;
    return std::nullopt;
}

std::optional<OpenRefusal> CommLink::configure()
{
    HANDLE handle = m_io->handle;
    if (const DWORD type = ::GetFileType(handle); type != FILE_TYPE_CHAR) {
        OpenRefusal refused = refusal(OpenFailure::NotSerial, 0);
        refused.detail = type == FILE_TYPE_DISK   ? "regular file"
                         : type == FILE_TYPE_PIPE ? "pipe"
                                                  : "unknown kind of file";
        return refused;
    }
    // A suggestion the driver may ignore, as some USB adapters' drivers do.
    ::SetupComm(handle, 4096, 4096);

    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(handle, &dcb)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
            error == ERROR_INVALID_PARAMETER) {
            OpenRefusal refused = refusal(OpenFailure::NotSerial, 0);
            refused.detail = "a device without line settings";
            return refused;
        }
        return refusal(OpenFailure::Other, error);
    }
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    // Raised and left alone, as opening a tty does elsewhere: some boards only talk while DTR
    // is up.
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    // A framing or overrun error must not stop all I/O until someone clears it.
    dcb.fAbortOnError = FALSE;
    if (!::SetCommState(handle, &dcb))
        return refusal(OpenFailure::Other, ::GetLastError());

    // Reads take what has arrived and return at once; writes never time out.
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (!::SetCommTimeouts(handle, &timeouts))
        return refusal(OpenFailure::Other, ::GetLastError());

    m_pollForInput = !::SetCommMask(handle, EV_RXCHAR);
    DWORD errors = 0;
    ::ClearCommError(handle, &errors, nullptr);
    return std::nullopt;
}

void CommLink::close()
{
    if (m_io->handle != INVALID_HANDLE_VALUE) {
        HANDLE handle = m_io->handle;
        if (m_io->waiting) {
            // Ends the WaitCommEvent in flight.
            ::SetCommMask(handle, 0);
            ::CancelIoEx(handle, &m_io->waitOverlapped);
            DWORD ignored = 0;
            ::GetOverlappedResult(handle, &m_io->waitOverlapped, &ignored, TRUE);
            m_io->waiting = false;
        }
        // A command the system has taken goes out whole, unless the line does not move.
        if (m_writing && !finishWrite(CommandRestMs))
            cancelWrite();
        ::CloseHandle(std::exchange(m_io->handle, INVALID_HANDLE_VALUE));
    }
    if (m_io->finerTimer) {
        ::timeEndPeriod(1);
        m_io->finerTimer = false;
    }
    m_writing = false;
    m_io->writing.clear();
    m_unsent.clear();
    m_received.clear();
    m_pollForInput = false;
    m_state = LinkState::Closed;
}

void CommLink::markLost()
{
    if (m_state != LinkState::Open)
        return;
    m_state = LinkState::Lost;
    reportLoss();
}

bool CommLink::finishWrite(std::uint32_t waitMs)
{
    if (!m_writing)
        return true;
    if (::WaitForSingleObject(m_io->writeEvent, waitMs == std::uint32_t(-1) ? INFINITE : waitMs) !=
        WAIT_OBJECT_0)
        return false;
    DWORD written = 0;
    const bool ok = ::GetOverlappedResult(m_io->handle, &m_io->writeOverlapped, &written, FALSE);
    const DWORD error = ok ? 0 : ::GetLastError();
    m_writing = false;
    std::string rest = written < m_io->writing.size() ? m_io->writing.substr(written) : "";
    m_io->writing.clear();
    if (!ok && !(m_cancelling && error == ERROR_OPERATION_ABORTED)) {
        markLost();
        return true;
    }
    // Writes have no timeout, so the system finishes them whole; anything else goes again.
    if (ok && !rest.empty())
        m_unsent.insert(0, rest);
    return true;
}

void CommLink::cancelWrite()
{
    if (!m_writing)
        return;
    m_cancelling = true;
    ::CancelIoEx(m_io->handle, &m_io->writeOverlapped);
    finishWrite(std::uint32_t(-1));
    m_cancelling = false;
}

void CommLink::pumpWrites()
{
    if (m_state != LinkState::Open || (m_writing && !finishWrite(0)))
        return;
    if (m_state != LinkState::Open || m_unsent.empty())
        return;
    m_io->writing = std::exchange(m_unsent, {});
    m_io->writeOverlapped = Io::overlapped(m_io->writeEvent);
    m_writing = true;
    if (!::WriteFile(m_io->handle, m_io->writing.data(), DWORD(m_io->writing.size()), nullptr,
                     &m_io->writeOverlapped) &&
        ::GetLastError() != ERROR_IO_PENDING) {
        m_writing = false;
        m_io->writing.clear();
        markLost();
        return;
    }
    // Finished at once (the bytes fitted the driver's buffer), or later.
    finishWrite(0);
}

bool CommLink::output(std::string_view bytes)
{
    if (m_state != LinkState::Open)
        return false;
    if (!hasInterruptCheck()) {
        // The system holds what it cannot send yet; what comes behind a write still in flight
        // waits here, in order.
        m_unsent.append(bytes);
        pumpWrites();
        return m_state == LinkState::Open;
    }

    // Earlier writes go first; until ours has started, giving up sends none of its bytes.
    pumpWrites();
    while (m_state == LinkState::Open && hasUnsent()) {
        if (interruptRequested())
            return false;
        finishWrite(InterruptCheckMs);
        pumpWrites();
    }
    if (m_state != LinkState::Open)
        return false;

    m_unsent.assign(bytes);
    pumpWrites();
    const auto start = std::chrono::steady_clock::now();
    while (m_state == LinkState::Open && hasUnsent()) {
        if (finishWrite(InterruptCheckMs)) {
            pumpWrites();
            continue;
        }
        COMSTAT status = {};
        DWORD errors = 0;
        const bool partlySent = ::ClearCommError(m_io->handle, &errors, &status) &&
                                status.cbOutQue < m_io->writing.size();
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if ((!partlySent || elapsed >= std::chrono::milliseconds(CommandRestMs)) &&
            interruptRequested()) {
            cancelWrite();
            m_unsent.clear();
            return false;
        }
    }
    return m_state == LinkState::Open;
}

void CommLink::takeWaiting()
{
    if (m_state != LinkState::Open || m_received.full())
        return;
    COMSTAT status = {};
    DWORD errors = 0;
    if (!::ClearCommError(m_io->handle, &errors, &status)) {
        markLost();
        return;
    }
    if (status.cbInQue == 0)
        return;
    std::array<char, ReceiveBuffer::Capacity> buffer;
    const DWORD wanted = std::min<DWORD>(status.cbInQue, DWORD(m_received.room()));
    OVERLAPPED overlapped = Io::overlapped(m_io->readEvent);
    DWORD count = 0;
    // With these timeouts a read returns at once, with what has arrived.
    if (!::ReadFile(m_io->handle, buffer.data(), wanted, nullptr, &overlapped) &&
        ::GetLastError() != ERROR_IO_PENDING) {
        markLost();
        return;
    }
    if (!::GetOverlappedResult(m_io->handle, &overlapped, &count, TRUE)) {
        markLost();
        return;
    }
    m_received.append(std::string_view(buffer.data(), count));
}

std::size_t CommLink::inBufferCount()
{
    if (m_state != LinkState::Open)
        return 0;
    pumpWrites();
    takeWaiting();
    return m_state == LinkState::Open ? m_received.size() : 0;
}

std::string CommLink::input()
{
    return m_received.take(m_state == LinkState::Open, [this] { return inBufferCount(); });
}

void CommLink::dropWaiting()
{
    if (m_state != LinkState::Open)
        return;
    if (!m_received.empty()) {
        m_received.clear();
        return;
    }
    if (!::PurgeComm(m_io->handle, PURGE_RXCLEAR))
        input();
}

void CommLink::service()
{
    pumpWrites();
    takeWaiting();
}

void CommLink::waitForInput(int msecs)
{
    if (m_state != LinkState::Open || msecs <= 0)
        return;
    pumpWrites();
    if (m_state != LinkState::Open)
        return;
    if (m_received.full()) {
        // Nothing more is read until someone takes bytes.
        ::Sleep(DWORD(msecs));
        return;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(msecs);
    const auto arrived = [this] {
        COMSTAT status = {};
        DWORD errors = 0;
        if (!::ClearCommError(m_io->handle, &errors, &status)) {
            markLost();
            return true;
        }
        return status.cbInQue > 0;
    };

    if (!m_pollForInput && !m_io->waiting) {
        m_io->events = 0;
        m_io->waitOverlapped = Io::overlapped(m_io->waitEvent);
        if (::WaitCommEvent(m_io->handle, &m_io->events, &m_io->waitOverlapped))
            return;
        if (const DWORD error = ::GetLastError(); error != ERROR_IO_PENDING) {
            if (noMoreDevice(error)) {
                markLost();
                return;
            }
            // A driver that cannot tell: look every millisecond instead.
            m_pollForInput = true;
        } else {
            m_io->waiting = true;
        }
    }
    // Bytes that came before the wait began raise no event.
    if (arrived())
        return;

    if (m_pollForInput) {
        while (std::chrono::steady_clock::now() < deadline) {
            ::Sleep(1);
            if (arrived())
                return;
        }
        return;
    }
    if (::WaitForSingleObject(m_io->waitEvent, DWORD(msecs)) != WAIT_OBJECT_0)
        return;
    DWORD ignored = 0;
    m_io->waiting = false;
    // A wait the system ended (Wine ends one now and then) says nothing of the port; a port
    // that went fails the next look at it.
    if (!::GetOverlappedResult(m_io->handle, &m_io->waitOverlapped, &ignored, FALSE))
        arrived();
}
