// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "startupprobe.h"

#include "benchsupport.h"
#include "session/session.h"
#include "window/iotestwindow.h"
#include "window/startup.h"
#include "window/statustext.h"

#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QWindow>

#include <cstdio>

namespace {

QString childDevice;

void report(const QByteArray &line)
{
    std::fputs(line.constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void runEventsFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

StartupProbe::StartupProbe(QObject *parent) : QObject(parent) {}

int StartupProbe::runChild(const QString &device, const char *program)
{
    childDevice = device;
    // Runs inside QApplication's constructor, before the window exists.
    qAddPreRoutine(&StartupProbe::install);

    int argc = 1;
    char *argv[] = {const_cast<char *>(program), nullptr};
    LinkOptions options;
    options.portNamer = [path = device.toStdString()](int) { return path; };
    return runUtility(argc, argv, options);
}

void StartupProbe::install()
{
    auto *probe = new StartupProbe(qApp);
    qApp->installEventFilter(probe);
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, probe, [probe] {
        if (!probe->m_failed)
            report("peak-kib " + QByteArray::number(peakResidentKiB()));
    });
}

bool StartupProbe::eventFilter(QObject *watched, QEvent *event)
{
    if (!m_exposed && event->type() == QEvent::Expose) {
        auto *surface = qobject_cast<QWindow *>(watched);
        if (surface && surface->isExposed()) {
            const qint64 now = monotonicNs();
            m_exposed = true;
            report("exposed " + QByteArray::number(now));
            qApp->removeEventFilter(this);
            QTimer::singleShot(0, this, &StartupProbe::work);
        }
    }
    return QObject::eventFilter(watched, event);
}

IoTestWindow *StartupProbe::probedWindow() const
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *window = qobject_cast<IoTestWindow *>(widget))
            return window;
    }
    return nullptr;
}

bool StartupProbe::expect(bool condition, const char *what)
{
    if (!condition && !m_failed) {
        m_failed = true;
        report(QByteArray("error ") + what);
        QCoreApplication::exit(2);
    }
    return condition;
}

void StartupProbe::work()
{
    IoTestWindow *w = probedWindow();
    if (!expect(w, "no window"))
        return;
    auto status = [w] { return w->control<QLabel>(QStringLiteral("StatusLabel"))->text(); };

    click(w->control(QStringLiteral("Connect")));
    if (!expect(status() == QLatin1String(StatusText::Connected), "Connect failed"))
        return;

    // An afternoon's use in miniature: every view of every port, polling, resets.
    for (int round = 0; round < 20; ++round)
        click(w->control(QStringLiteral("PollNow")));
    const QStringList ports = {QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C")};
    for (const QString &port : ports) {
        for (int line = 0; line < 8; ++line) {
            click(w->control(QStringLiteral("Port%1IOBit").arg(port), line));
            click(w->control(QStringLiteral("Port%1IOBit").arg(port), line));
            click(w->control(QStringLiteral("Port%1IO").arg(port), line));
        }
    }
    click(w->control(QStringLiteral("ResetTamsk")));
    runEventsFor(50);

    w->control<QCheckBox>(QStringLiteral("Check1"))->click();
    runEventsFor(500);
    w->control<QCheckBox>(QStringLiteral("Check1"))->click();
    if (!expect(status() == QLatin1String(StatusText::Connected), "a poll timed out"))
        return;

    // Done ends the program, which reports the peak on its way out.
    click(w->control(QStringLiteral("Close")));
}
