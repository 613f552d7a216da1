// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// Connect, Reset All and the window's lifecycle, driven through the window's controls
// against the board emulator.
#include "boardbytes.h"
#include "device/seriallink.h"
#include "ports/textbox.h"
#include "porttargets.h"
#include "session/session.h"
#include "window/iotestwindow.h"
#include "window/statustext.h"
#include "windowtest.h"

#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class TstConnection : public WindowTest
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void connectResetsTheBoardOnAFreshWindow();
    void connectAgainReopensAndResetsAgain();
    void portNumberTexts_data();
    void portNumberTexts();
    void portsThatCannotBeOpened_data();
    void portsThatCannotBeOpened();
    void refusedPortsSayWhy_data();
    void refusedPortsSayWhy();
    void failedConnectAfterASuccessfulOne();
    void resetAllBeforeConnect();
    void resetAllSetsTheHexBoxesInOrder();
    void resetAllKeepsTheStatusText();
    void portFailureWhileConnected();
    void doneWhileConnected();
    void closeControlWhileConnected();
    void endingBeforeAnyConnect();
    void doneStopsContinuousPolling();

private:
    SerialLink *link() { return m_window->session().link(); }
    void setPortNumber(const QString &text) { box("PortNumber")->QLineEdit::setText(text); }
};

void TstConnection::init()
{
    QVERIFY(openWindow());
}

void TstConnection::cleanup()
{
    closeWindow();
}

void TstConnection::connectResetsTheBoardOnAFreshWindow()
{
    QSignalSpy hexChanges(box("PortAIOHex"), &TextBox::change);
    click("Connect");

    QCOMPARE(status(), QString("Connected"));
    QCOMPARE(m_window->session().portIsOpen(), qint16(1));
    QCOMPARE(hexBytes(m_board->receivedExactly(15, 150)), resetCommands);
    // The window already showed the reset state: no box was touched, the design texts
    // (without the leading blank) stay.
    QCOMPARE(hexChanges.count(), 0);
    QCOMPARE(box("PortAIODec")->text(), QString("255"));
    QCOMPARE(box("PortCWDec")->text(), QString("0"));
    QCOMPARE(int(m_board->board().direction(Port::C)), 0xFF);
}

void TstConnection::connectAgainReopensAndResetsAgain()
{
    click("Connect");
    QCOMPARE(hexBytes(m_board->receivedExactly(15)), resetCommands);
    m_board->board().clearReceived();
    setStatus("something else");

    click("Connect");
    QCOMPARE(status(), QString("Connected"));
    QVERIFY(link()->isOpen());
    QCOMPARE(hexBytes(m_board->receivedExactly(15, 150)), resetCommands);
}

void TstConnection::portNumberTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port");
    QTest::newRow("leading blank") << " 3" << 3;
    QTest::newRow("3.5 rounds up to even") << "3.5" << 4;
    QTest::newRow("2.5 rounds down to even") << "2.5" << 2;
    QTest::newRow("hexadecimal") << "&H4" << 4;
    QTest::newRow("trailing junk") << "2x" << 2;
}

void TstConnection::portNumberTexts()
{
    QFETCH(QString, text);
    QFETCH(int, port);
    // Ports 2 and 4 lead to the same board.
    for (int n : {2, 4})
        QVERIFY(QFile::link(m_board->board().devicePath(),
                            m_board->devDir() + QString("/com%1").arg(n)));

    setPortNumber(text);
    click("Connect");

    QCOMPARE(status(), QString("Connected"));
    QCOMPARE(QString::fromStdString(link()->name()),
             m_board->devDir() + QString("/com%1").arg(port));
}

void TstConnection::portsThatCannotBeOpened_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("missing port") << "9";
    QTest::newRow("zero") << "0";
    QTest::newRow("no digits") << "abc";
    QTest::newRow("empty") << "";
    QTest::newRow("negative") << "-3";
    QTest::newRow("0.5 rounds to 0") << "0.5";
    QTest::newRow("beyond 16 bits") << "40000";
    QTest::newRow("just beyond 16 bits") << "32767.5";
    QTest::newRow("largest 16-bit, no device") << "32767";
    QTest::newRow("huge") << "1E400";
    QTest::newRow("very negative") << "-1E400";
    QTest::newRow("long digits") << QString(5000, '9');
}

void TstConnection::portsThatCannotBeOpened()
{
    QFETCH(QString, text);
    setPortNumber(text);
    click("Connect");

    QCOMPARE(status(), QString("Could Not Open That Port"));
    QCOMPARE(m_window->session().portIsOpen(), qint16(0));
    QVERIFY(!link()->isOpen());
    QCOMPARE(m_board->receivedExactly(0, 30), QByteArray());

    // Board operations now ask for a connection instead of writing anywhere.
    click("ResetTamsk");
    QCOMPARE(status(), QString("Please Click Connect First"));
}

enum class Refused { ShellTerminal, SecondInstance, RegularFile, Fifo, NoNumber };

void TstConnection::refusedPortsSayWhy_data()
{
    QTest::addColumn<Refused>("target");
    QTest::newRow("a shell's terminal") << Refused::ShellTerminal;
    QTest::newRow("the board, through a second link") << Refused::SecondInstance;
    QTest::newRow("regular file") << Refused::RegularFile;
    QTest::newRow("FIFO") << Refused::Fifo;
    QTest::newRow("no number") << Refused::NoNumber;
}

// The status line says only "Could Not Open That Port"; its tooltip says why, and the
// target never sees a byte.
void TstConnection::refusedPortsSayWhy()
{
    QFETCH(Refused, target);
    const QString com4 = m_board->devDir() + "/com4";
    TestPty pty;
    SleepingChild shell;
    std::unique_ptr<IoTestWindow> first;
    QString expected;
    std::function<QByteArray()> written = [&] { return m_board->board().received(); };
    setPortNumber("4");

    switch (target) {
    case Refused::ShellTerminal:
        QVERIFY(pty.isValid() && shell.startOnTerminal(pty.slavePath()));
        QVERIFY(QFile::link(pty.slavePath(), com4));
        expected = QString("terminal of process %1 (sleep)").arg(shell.pid());
        written = [&] { return pty.written(); };
        break;
    case Refused::SecondInstance:
        first = std::make_unique<IoTestWindow>(m_board->options());
        first->control<TextBox>("PortNumber")->QLineEdit::setText("3");
        QTest::mouseClick(first->control("Connect"), Qt::LeftButton);
        QCOMPARE(hexBytes(m_board->receivedExactly(15)), resetCommands);
        m_board->board().clearReceived();
        QVERIFY(QFile::link(m_board->board().devicePath(), com4));
        expected = QString("held by process %1").arg(::getpid());
        break;
    case Refused::RegularFile: {
        QFile file(m_board->devDir() + "/notes");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(QFile::link(file.fileName(), com4));
        expected = "not a serial device";
        written = [name = file.fileName()] {
            QFile content(name);
            return content.open(QIODevice::ReadOnly) ? content.readAll() : "unreadable";
        };
        break;
    }
    case Refused::Fifo: {
        const QByteArray fifo = QFile::encodeName(m_board->devDir() + "/fifo");
        QVERIFY(::mkfifo(fifo.constData(), 0600) == 0);
        QVERIFY(QFile::link(QFile::decodeName(fifo), com4));
        expected = "not a serial device";
        written = [fifo] {
            const int fd = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK);
            char buffer[16];
            const ssize_t count = fd < 0 ? -1 : ::read(fd, buffer, sizeof buffer);
            if (fd >= 0)
                ::close(fd);
            return QByteArray(buffer, int(qMax<ssize_t>(count, 0)));
        };
        break;
    }
    case Refused::NoNumber:
        setPortNumber("abc");
        expected = "abc";
        break;
    }

    QCOMPARE(m_window->statusLabelToolTip(), QString()); // nothing has failed yet
    click("Connect");
    QCOMPARE(status(), QString("Could Not Open That Port"));
    QCOMPARE(m_window->session().portIsOpen(), qint16(0));
    const QString why = m_window->statusLabelToolTip();
    QVERIFY2(why.contains(expected), qPrintable(why));
    QTest::qWait(30);
    QCOMPARE(written(), QByteArray());

    // A Connect that works leaves no stale reason behind.
    setPortNumber("3");
    first.reset();
    click("Connect");
    QCOMPARE(status(), QString("Connected"));
    QCOMPARE(m_window->statusLabelToolTip(), QString());
}

void TstConnection::failedConnectAfterASuccessfulOne()
{
    click("Connect");
    QCOMPARE(hexBytes(m_board->receivedExactly(15)), resetCommands);
    m_board->board().clearReceived();

    setPortNumber("9");
    click("Connect");
    QCOMPARE(status(), QString("Could Not Open That Port"));
    QCOMPARE(m_window->session().portIsOpen(), qint16(0));
    QVERIFY(!link()->isOpen());

    click("ResetTamsk");
    QCOMPARE(status(), QString("Please Click Connect First"));
    QCOMPARE(m_board->receivedExactly(0, 50), QByteArray());

    // Unload finds nothing to close and the window still ends normally.
    QVERIFY(m_window->close());
    QCOMPARE(m_window->unloadCount(), 1);
}

void TstConnection::resetAllBeforeConnect()
{
    box("PortAWHex")->QLineEdit::setText("5");
    box("PortAWDec")->QLineEdit::setText(" 5");
    QSignalSpy changes(box("PortAWHex"), &TextBox::change);

    click("ResetTamsk");

    QCOMPARE(status(), QString("Please Click Connect First"));
    QCOMPARE(box("PortAWHex")->text(), QString("5"));
    QCOMPARE(box("PortAWDec")->text(), QString(" 5"));
    QCOMPARE(changes.count(), 0);
}

void TstConnection::resetAllSetsTheHexBoxesInOrder()
{
    click("Connect");
    QCOMPARE(hexBytes(m_board->receivedExactly(15)), resetCommands);

    // Values edited away from the reset state; the boxes' Change handlers are told in
    // the reset's order: write values A, B, C, then directions A, B, C.
    QStringList order;
    for (const char *role : {"WHex", "IOHex"}) {
        for (const char *x : {"A", "B", "C"}) {
            const QString name = QString("Port") + x + role;
            box(name)->QLineEdit::setText("7");
            connect(box(name), &TextBox::change, this,
                    [&order, name, this] { order << name + "=" + box(name)->text(); });
        }
    }
    m_board->receivedExactly(15 + 3 * 2 * 2 + 3 * 2 * 3); // each edit sends twice
    m_board->board().clearReceived();

    click("ResetTamsk");

    QCOMPARE(order, (QStringList{"PortAWHex=0", "PortBWHex=0", "PortCWHex=0", "PortAIOHex=FF",
                                 "PortBIOHex=FF", "PortCIOHex=FF"}));
    QCOMPARE(hexBytes(m_board->receivedExactly(15, 50).left(15)), resetCommands);
    QCOMPARE(status(), QString("Connected"));
}

void TstConnection::resetAllKeepsTheStatusText()
{
    click("Connect");
    setStatus("Read Timeout");
    click("ResetTamsk");
    QCOMPARE(status(), QString("Read Timeout"));
    QCOMPARE(hexBytes(m_board->receivedExactly(30)), resetCommands + " " + resetCommands);
}

void TstConnection::portFailureWhileConnected()
{
    click("Connect");
    QCOMPARE(hexBytes(m_board->receivedExactly(15)), resetCommands);

    m_board->board().hangUp(); // the cable is pulled
    QTRY_COMPARE(m_window->session().portIsOpen(), qint16(0));
    QVERIFY(!link()->isOpen());

    click("ResetTamsk");
    QCOMPARE(status(), QString("Please Click Connect First"));

    // Plugged in again (a new device behind the same com3 link): Connect works as on the
    // first day.
    m_board->board().stop();
    QVERIFY(m_board->start());
    click("Connect");
    QCOMPARE(status(), QString("Connected"));
    QCOMPARE(hexBytes(m_board->receivedExactly(15)), resetCommands);
}

void TstConnection::doneWhileConnected()
{
    click("Connect");
    QCOMPARE(hexBytes(m_board->receivedExactly(15)), resetCommands);
    m_board->board().clearReceived();
    QSignalSpy ended(m_window.get(), &IoTestWindow::ended);

    click("Close");

    QCOMPARE(ended.count(), 1);
    QCOMPARE(m_window->unloadCount(), 1);
    QVERIFY(!link()->isOpen());
    // The window's own close afterwards runs no second unload.
    QVERIFY(m_window->close());
    QCOMPARE(m_window->unloadCount(), 1);
    QCOMPARE(m_board->receivedExactly(0, 50), QByteArray());
}

void TstConnection::closeControlWhileConnected()
{
    click("Connect");
    QCOMPARE(hexBytes(m_board->receivedExactly(15)), resetCommands);
    m_board->board().clearReceived();
    QSignalSpy ended(m_window.get(), &IoTestWindow::ended);

    QVERIFY(m_window->close());

    QCOMPARE(m_window->unloadCount(), 1);
    QVERIFY(!link()->isOpen());
    QVERIFY(!m_window->isVisible());
    QCOMPARE(ended.count(), 0);
    QCOMPARE(m_board->receivedExactly(0, 50), QByteArray());
}

void TstConnection::endingBeforeAnyConnect()
{
    click("Close");
    QCOMPARE(m_window->unloadCount(), 1);
    QCOMPARE(link()->name(), std::string()); // never opened anything
    QCOMPARE(m_window->session().portIsOpen(), qint16(0));

    IoTestWindow other(m_board->options());
    other.show();
    QVERIFY(other.close());
    QCOMPARE(other.unloadCount(), 1);
}

void TstConnection::doneStopsContinuousPolling()
{
    click("Connect");
    m_window->timer()->start();
    click("Close");
    QVERIFY(!m_window->timer()->isActive());
}

QTEST_MAIN(TstConnection)
#include "tst_connection.moc"
