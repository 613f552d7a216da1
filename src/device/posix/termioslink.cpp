// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "termioslink.h"

#include "../portname.h"
#include "../systemerror.h"
#include "fdio.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>
#include <variant>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// What the serial layer has always called a device: its name under /dev, or the whole path.
std::string portNameOf(const std::string &device)
{
    return device.rfind("/dev/", 0) == 0 ? device.substr(5) : device;
}

// 9600 8N1, raw, no flow control, reads that never wait.
void applyLineSettings(termios &settings)
{
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VTIME] = 0;
    settings.c_cc[VMIN] = 0;
    settings.c_cflag &= ~tcflag_t(CSIZE);
    settings.c_cflag |= CS8;
    settings.c_iflag &= ~tcflag_t(PARMRK | INPCK);
    settings.c_iflag |= IGNPAR;
    settings.c_cflag &= ~tcflag_t(PARENB | CSTOPB | CRTSCTS);
    settings.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    ::cfsetispeed(&settings, B9600);
    ::cfsetospeed(&settings, B9600);
}

} // namespace

TermiosLink::TermiosLink(const PortTarget &target, const LinkOptions &options)
    : m_target(target), m_namer(options.portNamer), m_deviceTree(options.deviceTree)
{
    if (!m_namer)
        m_namer = [](int number) { return systemPortName(number); };
}

TermiosLink::~TermiosLink()
{
    close();
}

std::optional<OpenRefusal> TermiosLink::open()
{
    close();
    m_device.clear();
    switch (m_target.kind) {
    case PortTarget::Kind::Number:
        m_location = m_namer(m_target.number);
        break;
    case PortTarget::Kind::UsbSerial: {
        auto found = findUsbSerial(m_target.usbSerial, serialDevices(m_deviceTree));
        if (auto *refusal = std::get_if<OpenRefusal>(&found)) {
            m_location = refusal->path;
            return *refusal;
        }
        m_location = std::get<SerialDeviceInfo>(found).systemLocation;
        break;
    }
    case PortTarget::Kind::Path:
    case PortTarget::Kind::Remote:
        m_location = m_target.path;
        break;
    }
    if (m_location.empty()) {
        OpenRefusal refusal;
        refusal.failure = OpenFailure::NoSuchDevice;
        refusal.path = "port " + std::to_string(m_target.number);
        return refusal;
    }

    auto claimed = PortClaim::claim(m_location);
    if (auto *refusal = std::get_if<OpenRefusal>(&claimed))
        return *refusal;
    // Held, and with it the device's lock, until the port is closed again.
    m_claim.emplace(std::move(std::get<PortClaim>(claimed)));
    const std::string device = m_claim->device();

    const std::string lockFile = SerialLockFile::pathFor(device);
    if (lockFile.empty()) {
        m_claim.reset();
        return refusalAfterFailedOpen(device, 0, true);
    }
    if (m_lockFile.make(lockFile) != 0) {
        m_claim.reset();
        return refusalAfterFailedOpen(device, 0, true);
    }

    m_fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int error = m_fd < 0 ? errno : 0;
    if (m_fd >= 0) {
        // Other programs' opens fail while it is ours (root's get through, but the claim
        // checks the flag).
        ::ioctl(m_fd, TIOCEXCL);
        termios settings{};
        if (::tcgetattr(m_fd, &settings) != 0) {
            error = errno;
        } else {
            m_savedSettings = settings;
            applyLineSettings(settings);
            if (::tcsetattr(m_fd, TCSANOW, &settings) != 0)
                error = errno;
        }
        if (error != 0) {
            ::ioctl(m_fd, TIOCNXCL);
            FdIo::closeFd(m_fd);
        }
    }
    if (error != 0) {
        m_lockFile.remove();
        // Our own claim would otherwise be the holder found.
        m_claim.reset();
        return refusalAfterFailedOpen(device, error, false);
    }

    m_device = device;
    m_state = LinkState::Open;
    resetLossReport();
    return std::nullopt;
}

std::optional<OpenRefusal> TermiosLink::refusalAfterFailedOpen(const std::string &device, int error,
                                                               bool locking) const
{
    // Someone may have taken the port since the checks; they name the holder.
    if (auto holder = checkWithoutOpening(m_location);
        holder && holder->failure == OpenFailure::InUse)
        return holder;

    const bool permission = locking || error == EACCES || error == EPERM || error == EBUSY;
    // The device itself opened for the claim, so a lock file that cannot be made is the
    // likelier cause.
    if (permission) {
        if (auto obstacle = lockFileObstacle(m_location))
            return obstacle;
    }

    OpenRefusal refusal;
    refusal.path = m_location;
    refusal.device = portNameOf(device);
    refusal.systemText =
        locking ? std::string("Permission error while locking the device") : systemErrorText(error);
    if (permission)
        refusal.failure = OpenFailure::PermissionDenied;
    else if (error == ENOENT || error == ENODEV)
        refusal.failure = OpenFailure::NoSuchDevice;
    else
        refusal.failure = OpenFailure::Other;
    return refusal;
}

void TermiosLink::close()
{
    // The line settings found go back, the exclusive mode goes and the lock file with it;
    // only then may another program claim the port.
    m_unsent.clear();
    if (m_fd >= 0) {
        ::tcsetattr(m_fd, TCSANOW, &m_savedSettings);
        ::ioctl(m_fd, TIOCNXCL);
        FdIo::closeFd(m_fd);
    }
    m_lockFile.remove();
    m_claim.reset();
    m_received.clear();
    m_state = LinkState::Closed;
}

bool TermiosLink::output(std::string_view bytes)
{
    if (m_state != LinkState::Open)
        return false;
    if (!m_unsent.empty()) {
        m_unsent += bytes;
        writeUnsent();
        return m_state == LinkState::Open;
    }
    const char *next = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(m_fd, next, left);
        if (written > 0) {
            next += written;
            left -= std::size_t(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            markLost();
            return false;
        } else if (!hasInterruptCheck()) {
            m_unsent.assign(next, left);
            return true;
        } else if (const FdIo::WriteWait wait = FdIo::waitUntilWritable(
                       m_fd, left < bytes.size(), [this] { return interruptRequested(); },
                       InterruptCheckMs, CommandRestMs);
                   wait != FdIo::WriteWait::Writable) {
            if (wait == FdIo::WriteWait::Broken)
                markLost();
            return false;
        }
    }
    return true;
}

void TermiosLink::writeUnsent()
{
    if (m_state == LinkState::Open && !FdIo::writeWithoutWaiting(m_fd, m_unsent, false))
        markLost();
}

bool TermiosLink::wantsRead() const
{
    return m_state == LinkState::Open && !m_received.full();
}

void TermiosLink::service()
{
    if (m_state != LinkState::Open)
        return;
    pollfd port{m_fd, short(POLLIN | (m_unsent.empty() ? 0 : POLLOUT)), 0};
    int ready;
    while ((ready = ::poll(&port, 1, 0)) < 0 && errno == EINTR) {
    }
    if (ready <= 0)
        return;
    const std::size_t before = m_received.size();
    if ((port.revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0 && !m_received.full())
        takeWaiting();
    // Readable with nothing to read, or worse: the device hung up or went away.
    if ((port.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && m_received.size() == before)
        markLost();
    if ((port.revents & POLLOUT) != 0)
        writeUnsent();
}

void TermiosLink::takeWaiting()
{
    if (m_received.full())
        return;
    const std::size_t room = m_received.room();
    std::array<char, ReceiveBuffer::Capacity> buffer;
    ssize_t count;
    while ((count = ::read(m_fd, buffer.data(), room)) < 0 && errno == EINTR) {
    }
    if (count > 0)
        m_received.append(std::string_view(buffer.data(), std::size_t(count)));
    else if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
        markLost();
    // 0: nothing waits (the line is raw, with no minimum count), or the port hung up, which
    // the next wait or write tells.
}

std::size_t TermiosLink::inBufferCount()
{
    if (m_state != LinkState::Open)
        return 0;
    takeWaiting();
    return m_state == LinkState::Open ? m_received.size() : 0;
}

std::string TermiosLink::input()
{
    return m_received.take(m_state == LinkState::Open, [this] { return inBufferCount(); });
}

void TermiosLink::waitForInput(int msecs)
{
    if (m_state != LinkState::Open || msecs <= 0)
        return;
    if (m_received.full()) {
        // Nothing more is read until someone takes bytes: the port would report readable
        // at once, every time. Wait without polling it.
        std::this_thread::sleep_for(std::chrono::milliseconds(msecs));
        return;
    }
    pollfd port{m_fd, POLLIN, 0};
    int ready;
    while ((ready = ::poll(&port, 1, msecs)) < 0 && errno == EINTR) {
    }
    if (ready == 0)
        return;
    // Readable with nothing to read, or worse: the device hung up or went away.
    const std::size_t before = m_received.size();
    if (ready < 0 || (port.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        takeWaiting();
        if (m_received.size() == before)
            markLost();
    }
}

void TermiosLink::markLost()
{
    if (m_state != LinkState::Open)
        return;
    m_state = LinkState::Lost;
    reportLoss();
}
