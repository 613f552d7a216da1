// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// Poll Once and Continuous Poll through the real window against the board emulator.
#include "ports/textbox.h"
#include "session/session.h"
#include "window/iotestwindow.h"
#include "windowtest.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <chrono>
#include <memory>
#include <thread>

namespace {

const QByteArray readPorts = "abc";

} // namespace

class TstPolling : public WindowTest
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void pollOnceWritesTheReadBoxesInOrder();
    void replyThatTimesOut_data();
    void replyThatTimesOut();
    void pollingBeforeConnect();
    void boardVanishingMidWaitAsksForConnect();
    void continuousPollTicksAndStops();
    void directionChangeWhilePolling();

private:
    void setInputs(quint8 a, quint8 b, quint8 c);
    QStringList readBoxes();
};

void TstPolling::init()
{
    QVERIFY(openWindow());
}

void TstPolling::cleanup()
{
    closeWindow();
}

void TstPolling::setInputs(quint8 a, quint8 b, quint8 c)
{
    m_board->board().setInputPattern(Port::A, a);
    m_board->board().setInputPattern(Port::B, b);
    m_board->board().setInputPattern(Port::C, c);
}

QStringList TstPolling::readBoxes()
{
    QStringList texts;
    for (const char *role : {"RHex", "RDec"}) {
        for (const char *x : {"A", "B", "C"})
            texts << box(QString("Port") + x + role)->text();
    }
    return texts;
}

void TstPolling::pollOnceWritesTheReadBoxesInOrder()
{
    QVERIFY(connectBoard());
    setInputs(0x00, 0x0A, 0xFF);
    QStringList order;
    for (const char *role : {"RDec", "RHex"}) {
        for (const char *x : {"C", "B", "A"}) {
            const QString name = QString("Port") + x + role;
            connect(box(name), &TextBox::change, this, [&order, name] { order << name; });
        }
    }

    click("PollNow");

    QCOMPARE(readBoxes(), (QStringList{"0", "A", "FF", " 0", " 10", " 255"}));
    QCOMPARE(order, (QStringList{"PortARHex", "PortBRHex", "PortCRHex", "PortARDec", "PortBRDec",
                                 "PortCRDec"}));
    QCOMPARE(m_board->receivedExactly(3), readPorts);
    QCOMPARE(status(), QString("Connected"));
    // Nothing else moved: the read boxes have no handlers.
    QCOMPARE(box("PortAIODec")->text(), QString("255"));
}

void TstPolling::replyThatTimesOut_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("delayMs");
    QTest::newRow("silent") << int(PtyBoard::ReplyMode::Silent) << 0;
    QTest::newRow("two bytes") << int(PtyBoard::ReplyMode::Short) << 0;
    QTest::newRow("four bytes") << int(PtyBoard::ReplyMode::Extra) << 0;
    QTest::newRow("half a second late") << int(PtyBoard::ReplyMode::Normal) << 500;
}

void TstPolling::replyThatTimesOut()
{
    QFETCH(int, mode);
    QFETCH(int, delayMs);
    QVERIFY(connectBoard());
    setInputs(0x01, 0x02, 0x03);
    click("PollNow");
    const QStringList first = readBoxes();
    QCOMPARE(first, (QStringList{"1", "2", "3", " 1", " 2", " 3"}));

    m_board->board().setReplyMode(PtyBoard::ReplyMode(mode));
    m_board->board().setReplyDelay(delayMs);
    setInputs(0x11, 0x22, 0x33);
    QElapsedTimer clock;
    clock.start();
    click("PollNow");
    QVERIFY2(clock.elapsed() >= 400, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(status(), QString("Read Timeout"));
    QCOMPARE(readBoxes(), first);

    // Whatever the faulty reply left behind (a late answer, a stray fourth byte) is thrown
    // away before the next request, so the next cycle shows what the board has now.
    m_board->board().setReplyMode(PtyBoard::ReplyMode::Normal);
    m_board->board().setReplyDelay(0);
    QTest::qWait(200);
    setInputs(0xA0, 0xB0, 0xC0);
    click("PollNow");
    QCOMPARE(readBoxes(), (QStringList{"A0", "B0", "C0", " 160", " 176", " 192"}));
    QCOMPARE(status(), QString("Read Timeout")); // success leaves the status line alone
    QCOMPARE(m_board->board().readRequests(), 3);
}

void TstPolling::pollingBeforeConnect()
{
    click("PollNow");
    QCOMPARE(status(), QString("Please Click Connect First"));

    // Checking the box runs no cycle at once; every tick after that repeats the message.
    setStatus("waiting");
    click("Check1");
    QVERIFY(m_window->timer()->isActive());
    QCOMPARE(status(), QString("waiting"));
    QTRY_COMPARE(status(), QString("Please Click Connect First"));
    setStatus("waiting");
    QTRY_COMPARE(status(), QString("Please Click Connect First"));

    QCOMPARE(m_board->receivedExactly(0, 50), QByteArray());
    QCOMPARE(readBoxes(), QStringList(6, QString()));
}

void TstPolling::boardVanishingMidWaitAsksForConnect()
{
    QVERIFY(connectBoard());
    m_board->board().setReplyMode(PtyBoard::ReplyMode::Silent);
    QSignalSpy notices(&m_window->session(), &Session::noticed);
    std::thread puller([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        m_board->unplug();
    });
    click("PollNow");
    puller.join();

    // One message, the right one, as the click returns; no "Read Timeout" after it.
    QCOMPARE(status(), QString("Please Click Connect First"));
    QCOMPARE(m_window->session().portIsOpen(), qint16(0));
    QCOMPARE(notices.count(), 1);
    QTest::qWait(100); // the link's own report of the loss finds it dealt with
    QCOMPARE(notices.count(), 1);
    QCOMPARE(readBoxes(), QStringList(6, QString()));
}

void TstPolling::continuousPollTicksAndStops()
{
    QVERIFY(connectBoard());
    setInputs(0x05, 0x06, 0x07);
    QCOMPARE(m_window->timer()->interval(), 100);
    QVERIFY(!m_window->timer()->isActive());

    QElapsedTimer clock;
    clock.start();
    click("Check1");
    QTRY_VERIFY(m_board->board().readRequests() >= 5);
    // A 100 ms timer cannot have run five cycles in under 500 ms.
    QVERIFY2(clock.elapsed() >= 490, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(readBoxes(), (QStringList{"5", "6", "7", " 5", " 6", " 7"}));

    // Poll Once still runs between ticks.
    setInputs(0x50, 0x60, 0x70);
    click("PollNow");
    QCOMPARE(readBoxes(), (QStringList{"50", "60", "70", " 80", " 96", " 112"}));

    click("Check1");
    QVERIFY(!m_window->timer()->isActive());
    const int requests = m_board->board().readRequests();
    setInputs(0xFF, 0xFF, 0xFF);
    QTest::qWait(350);
    QCOMPARE(m_board->board().readRequests(), requests);
    QCOMPARE(readBoxes(), (QStringList{"50", "60", "70", " 80", " 96", " 112"}));
    QCOMPARE(m_board->receivedWhenQuiet(), readPorts.repeated(requests));
}

void TstPolling::directionChangeWhilePolling()
{
    QVERIFY(connectBoard());
    click("Check1");
    QTRY_VERIFY(m_board->board().readRequests() >= 2);

    QTest::mouseClick(m_window->control<QPushButton>("PortAIOBit", 0), Qt::LeftButton);
    QTRY_VERIFY(m_board->board().readRequests() >= 4);
    click("Check1");

    // The click's three commands arrive together, between whole read requests.
    QByteArray received = m_board->receivedWhenQuiet();
    const QByteArray commands = QByteArray("!A\xFE").repeated(3);
    const qsizetype at = received.indexOf(commands);
    QVERIFY2(at >= 0 && at % 3 == 0, qPrintable(hexBytes(received)));
    received.remove(at, commands.size());
    QCOMPARE(received, readPorts.repeated(received.size() / 3));
    QCOMPARE(int(m_board->board().direction(Port::A)), 0xFE);
    QVERIFY(!m_window->control<QPushButton>("PortAIO", 0)->isEnabled());
}

QTEST_MAIN(TstPolling)
#include "tst_polling.moc"
