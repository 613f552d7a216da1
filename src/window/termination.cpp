// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "termination.h"

#include "iotestwindow.h"

#include <QApplication>
#include <QList>
#include <QMutex>
#include <QSocketNotifier>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {

// --- No display ---

struct HeldMessage
{
    QtMsgType type;
    QByteArray file;
    int line;
    QByteArray function;
    QByteArray category;
    QString text;
};

QMutex heldMutex;
QList<HeldMessage> heldMessages;

const char *orNull(const QByteArray &text)
{
    return text.isNull() ? nullptr : text.constData();
}

void holdStartupMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtFatalMsg) {
        // Qt aborts once this returns; the platform plugin did not start.
        std::fputs("zarvex-test: no graphical display found; run it in a desktop session or "
                   "under xvfb-run\n",
                   stderr);
        std::fflush(nullptr);
        std::_Exit(1);
    }
    const QMutexLocker lock(&heldMutex);
    heldMessages.append({type, QByteArray(context.file), context.line, QByteArray(context.function),
                         QByteArray(context.category), text});
}

// --- Signals ---

constexpr std::array<int, 3> endingSignals = {SIGTERM, SIGINT, SIGHUP};

int signalPipe[2] = {-1, -1};
std::array<struct sigaction, endingSignals.size()> previousActions;

void onEndingSignal(int number)
{
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

// --- Lost display ---

std::atomic<IoTestWindow *> windowToUnload{nullptr};

void unloadBeforeExit()
{
    // Qt calls exit() from the GUI thread's event dispatch, so no handler is half-way.
    IoTestWindow *window = windowToUnload.exchange(nullptr);
    if (window && window->unloadCount() == 0) {
        qint16 cancel = 0;
        window->Form_Unload(cancel);
    }
}

} // namespace

std::unique_ptr<QApplication> startApplication(int &argc, char **argv)
{
    const QtMessageHandler previous = qInstallMessageHandler(holdStartupMessage);
    auto app = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(previous);

    QList<HeldMessage> held;
    {
        const QMutexLocker lock(&heldMutex);
        held.swap(heldMessages);
    }
    for (const HeldMessage &message : held) {
        const QMessageLogContext context(orNull(message.file), message.line,
                                         orNull(message.function), orNull(message.category));
        previous(message.type, context, message.text);
    }
    return app;
}

SignalEnding::SignalEnding(IoTestWindow &window, QObject *parent)
    : QObject(parent), m_window(window)
{
    Q_ASSERT(signalPipe[0] < 0);
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qWarning("Cannot watch for signals: %s", qPrintable(qt_error_string(errno)));
        return;
    }
    m_notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalEnding::onSignal);

    struct sigaction action = {};
    action.sa_handler = onEndingSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < endingSignals.size(); ++i)
        ::sigaction(endingSignals[i], &action, &previousActions[i]);
}

SignalEnding::~SignalEnding()
{
    if (!m_notifier)
        return;
    // Once a signal has ended the loop, later ones are ignored, so the process ends by the
    // first; otherwise they act as they did before.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (std::size_t i = 0; i < endingSignals.size(); ++i)
        ::sigaction(endingSignals[i], m_caught ? &ignore : &previousActions[i], nullptr);

    delete m_notifier;
    for (int &fd : signalPipe) {
        ::close(fd);
        fd = -1;
    }
}

void SignalEnding::onSignal()
{
    std::array<unsigned char, 16> numbers;
    ssize_t count = 0;
    while ((count = ::read(signalPipe[0], numbers.data(), numbers.size())) > 0) {
        if (m_caught == 0)
            m_caught = numbers[0];
    }
    if (m_caught == 0)
        return;
    // One ending is enough: signals that follow while it runs change nothing.
    m_notifier->setEnabled(false);
    if (m_window.unloadCount() == 0)
        m_window.Close_Click();
    QCoreApplication::quit();
}

void SignalEnding::endBy(int signal)
{
    std::fflush(nullptr);
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signal);
    // Only reached if the default action does not end the process.
    std::_Exit(128 + signal);
}

UnloadAtExit::UnloadAtExit(IoTestWindow &window)
{
    // exit() runs this and static destructors in reverse order of registration, so the hook,
    // registered once the application and its display connection exist, runs before Qt's
    // own globals go.
    static const bool registered = std::atexit(unloadBeforeExit) == 0;
    if (registered)
        windowToUnload.store(&window);
}

UnloadAtExit::~UnloadAtExit()
{
    windowToUnload.store(nullptr);
}
