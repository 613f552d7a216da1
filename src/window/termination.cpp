// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "termination.h"

#include "common/endingsignals.h"

#include <QApplication>
#include <QList>
#include <QMutex>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

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

// --- Lost display ---

std::atomic<const std::function<void()> *> unloadAtExit{nullptr};

void unloadBeforeExit()
{
    // Qt calls exit() from the GUI thread's event dispatch, so no handler is half-way.
    if (const std::function<void()> *unload = unloadAtExit.exchange(nullptr))
        (*unload)();
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

SignalEnding::SignalEnding(std::function<void()> ending, QObject *parent)
    : QObject(parent), m_ending(std::move(ending))
{
    if (!EndingSignals::install()) {
        qWarning("Cannot watch for signals: %s", qPrintable(qt_error_string(errno)));
        return;
    }
    m_notifier = new QSocketNotifier(EndingSignals::fd(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalEnding::onSignal);
}

SignalEnding::~SignalEnding()
{
    if (!m_notifier)
        return;
    // Once a signal has ended the loop, later ones are ignored, so the process ends by the
    // first; otherwise they act as they did before.
    EndingSignals::restore(m_caught != 0);
    delete m_notifier;
}

void SignalEnding::onSignal()
{
    EndingSignals::drain();
    m_caught = EndingSignals::received();
    if (m_caught == 0)
        return;
    // One ending is enough: signals that follow while it runs change nothing.
    m_notifier->setEnabled(false);
    if (m_ending)
        m_ending();
    QCoreApplication::quit();
}

UnloadAtExit::UnloadAtExit(std::function<void()> unload) : m_unload(std::move(unload))
{
    // exit() runs this and static destructors in reverse order of registration, so the hook,
    // registered once the application and its display connection exist, runs before Qt's
    // own globals go.
    static const bool registered = std::atexit(unloadBeforeExit) == 0;
    if (registered)
        unloadAtExit.store(&m_unload);
}

UnloadAtExit::~UnloadAtExit()
{
    unloadAtExit.store(nullptr);
}
