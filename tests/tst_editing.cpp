// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// Direction and output editing through the real window: clicks and keystrokes as a user
// makes them, the views they leave, the caret of the edited box and the exact bytes the
// board emulator receives.
#include "boardbytes.h"
#include "ports/textbox.h"
#include "ports/valueformats.h"
#include "session/session.h"
#include "window/iotestwindow.h"
#include "windowtest.h"

#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QtTest>

#include <memory>

namespace {

enum class Kind { Direction, Output };

QByteArray command(Kind kind, char letter, int value)
{
    QByteArray bytes;
    if (kind == Kind::Direction)
        bytes += '!';
    bytes += letter;
    bytes += char(value);
    return bytes;
}

// Start texts of the decimal box (the other views follow from it) and a script of user
// actions, steps separated by ";":
//   "dec@4:3"       caret to 4 in the decimal box, then type "3"
//   "hex[0-2]:f"    select characters 0..2 of the hexadecimal box, then type "f"
//   "dec[0-4]:\b"   the same with Backspace
//   "dec[0-3]=-99"  select, then paste "-99"
//   "hex:5"         type "5" wherever the caret is
//   "bit3"          click bit button 3
struct Scenario
{
    const char *name;
    const char *startDec;
    const char *script;
    const char *endDec;
    const char *endHex;
    int caret; // of the box the script edits last; -1 for a click, which sets none
    QList<int> sends;
};

QList<int> times(int count, int value)
{
    return QList<int>(count, value);
}

const QList<Scenario> &scenarios()
{
    static const QList<Scenario> all = {
        // Decimal box: one to four sends, by which texts need rewriting.
        {"dec: 7 behind 4", " 4", "dec@2:7", " 47", "2F", 3, times(2, 47)},
        {"dec: 3 behind 255", " 255", "dec@4:3", " 53", "35", 3, times(3, 53)},
        {"dec: 3 behind 254", " 254", "dec@4:3", " 43", "2B", 3, times(3, 43)},
        {"dec: 6 behind 25", " 25", "dec@3:6", " 56", "38", 3, times(3, 56)},
        {"dec: 5 behind 25", " 25", "dec@3:5", " 255", "FF", 4, times(2, 255)},
        {"dec: 7 over the whole 4", " 4", "dec[0-2]:7", " 7", "7", 1, times(3, 7)},
        {"dec: 0 in front of 5", " 5", "dec@1:0", " 5", "5", 2, times(2, 5)},
        {"dec: 1 in front of 255", " 255", "dec@0:1", " 255", "FF", 1, times(2, 255)},
        {"dec: fraction edited in place", " 1.5", "dec[1-2]:2", " 2.5", "2", 2, times(1, 2)},
        {"dec: point between 2 and 5", " 25", "dec@2:.", " 2.5", "2", 3, times(4, 2)},
        {"dec: point between 3 and 5", " 35", "dec@2:.", " 3.5", "4", 3, times(4, 4)},
        {"dec: point between 1 and 5", " 15", "dec@2:.", " 1.5", "2", 3, times(4, 2)},
        {"dec: point behind 2", " 2", "dec@2:.", " 2", "2", 2, times(2, 2)},
        {"dec: emptied, then 5", " 255", "dec[0-4]:\b;dec:5", " 5", "5", 2,
         times(3, 0) + times(3, 5)},
        {"dec: letters only", " 7", "dec[0-2]=abc", " 0", "0", 2, times(3, 0)},
        // Values below 0 read as an emptied box.
        {"dec: minus in front of 5", " 5", "dec@1:-", " 0", "0", 2, times(3, 0)},
        {"dec: -99 pasted", " 99", "dec[0-3]=-99", " 0", "0", 2, times(3, 0)},
        {"dec: -.6 pasted", " 5", "dec[0-2]=-.6", " 0", "0", 2, times(3, 0)},
        // Only the last three characters count: "-1.5" reads 1.5.
        {"dec: -1.5 pasted", " 5", "dec[0-2]=-1.5", " 1.5", "2", 4, times(4, 2)},
        {"dec: -5 pasted over 0", " 0", "dec[0-2]=-5", " 0", "0", 2, times(2, 0)},
        // Rounding to 0 from below is 0 already: the text stays.
        {"dec: -.5 pasted", " 5", "dec[0-2]=-.5", "-.5", "0", 3, times(4, 0)},
        {"dec: -.4 pasted", " 0", "dec[0-2]=-.4", "-.4", "0", 3, times(1, 0)},

        // Hexadecimal box.
        {"hex: 1 behind 4", " 4", "hex@1:1", " 65", "41", 2, times(2, 65)},
        {"hex: F behind 41", " 65", "hex@2:F", " 31", "1F", 2, times(3, 31)},
        {"hex: a behind 4", " 4", "hex@1:a", " 74", "4A", 2, times(3, 74)},
        {"hex: 7 behind FE", " 254", "hex@2:7", " 231", "E7", 2, times(3, 231)},
        {"hex: 3 behind FF", " 255", "hex@2:3", " 243", "F3", 2, times(3, 243)},
        {"hex: f behind FF", " 255", "hex@2:f", " 255", "FF", 2, times(2, 255)},
        {"hex: a over the whole A", " 10", "hex[0-1]:a", " 10", "A", 1, times(2, 10)},
        {"hex: a behind 0", " 0", "hex@1:a", " 10", "A", 1, times(3, 10)},
        {"hex: Z behind E", " 14", "hex@1:Z", " 14", "E", 1, times(2, 14)},
        {"hex: whole text replaced by f, then f", " 0", "hex[0-1]:f;hex:f", " 255", "FF", 2,
         times(3, 15) + times(3, 255)},
        {"hex: emptied, then 5", " 255", "hex[0-2]:\b;hex:5", " 80", "50", 1,
         times(3, 0) + times(2, 80)},

        // Bit buttons: always three sends.
        {"bit 0 from 255", " 255", "bit0", " 254", "FE", -1, times(3, 254)},
        {"bit 3 from 255", " 255", "bit3", " 247", "F7", -1, times(3, 247)},
        {"bit 7 from 0", " 0", "bit7", " 128", "80", -1, times(3, 128)},
        {"bit 0 from 0, twice", " 0", "bit0;bit0", " 0", "0", -1, times(3, 1) + times(3, 0)},
        {"bit 1 of a fraction", " 2.5", "bit1", " 0", "0", -1, times(3, 0)},
    };
    return all;
}

} // namespace

class TstEditing : public WindowTest
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void userActions_data();
    void userActions();
    void everyBitButtonIsWiredToItsLine();
    void directionDisablesWriteBits();
    void editingBeforeConnect();
    void resetAfterEdits_data();
    void resetAfterEdits();

private:
    struct Views
    {
        QList<QPushButton *> bits;
        TextBox *dec;
        TextBox *hex;
        QString set;
        QString clear;
    };
    Views views(Kind kind, char letter);
    void showWithoutHandlers(const Views &v, Kind kind, char letter, const QString &decText);
    void runStep(const Views &v, const QString &step);
};

void TstEditing::init()
{
    QVERIFY(openWindow());
}

void TstEditing::cleanup()
{
    closeWindow();
}

TstEditing::Views TstEditing::views(Kind kind, char letter)
{
    const QString port = QString("Port") + letter;
    const bool direction = kind == Kind::Direction;
    Views v;
    for (int i = 0; i < 8; ++i)
        v.bits << button(port + (direction ? "IOBit" : "IO"), i);
    v.dec = box(port + (direction ? "IODec" : "WDec"));
    v.hex = box(port + (direction ? "IOHex" : "WHex"));
    v.set = direction ? "I" : "1";
    v.clear = direction ? "O" : "0";
    return v;
}

// Puts a value into the views as a starting point, without running any handler.
void TstEditing::showWithoutHandlers(const Views &v, Kind kind, char letter, const QString &decText)
{
    const double value = DecimalBoxValue(decText);
    for (TextBox *b : {v.dec, v.hex}) {
        const QSignalBlocker blocker(b);
        b->QLineEdit::setText(b == v.dec ? decText : HexText(value));
    }
    const QList<QPushButton *> writeBits = views(Kind::Output, letter).bits;
    for (int i = 0; i < 8; ++i) {
        v.bits[i]->setText(BitOf(value, i) ? v.set : v.clear);
        if (kind == Kind::Direction)
            writeBits[i]->setEnabled(BitOf(value, i));
    }
}

void TstEditing::runStep(const Views &v, const QString &step)
{
    static const QRegularExpression bitStep("^bit(\\d)$");
    static const QRegularExpression boxStep("^(dec|hex)(?:@(\\d+)|\\[(\\d+)-(\\d+)\\])?([:=])(.*)$",
                                            QRegularExpression::DotMatchesEverythingOption);
    if (const auto m = bitStep.match(step); m.hasMatch()) {
        QTest::mouseClick(v.bits[m.captured(1).toInt()], Qt::LeftButton);
        return;
    }
    const auto m = boxStep.match(step);
    QVERIFY2(m.hasMatch(), qPrintable(step));
    TextBox *target = m.captured(1) == "dec" ? v.dec : v.hex;
    target->setFocus();
    if (!m.captured(2).isEmpty())
        target->setCursorPosition(m.captured(2).toInt());
    else if (!m.captured(3).isEmpty())
        target->setSelection(m.captured(3).toInt(), m.captured(4).toInt() - m.captured(3).toInt());
    const QString keys = m.captured(6);
    if (m.captured(5) == "=")
        target->insert(keys); // a paste: one edit however long
    else if (keys == "\b")
        QTest::keyClick(target, Qt::Key_Backspace);
    else
        QTest::keyClicks(target, keys);
}

void TstEditing::userActions_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<char>("letter");
    QTest::addColumn<int>("scenario");
    for (Kind kind : {Kind::Direction, Kind::Output}) {
        for (char letter : {'A', 'B', 'C'}) {
            for (int s = 0; s < scenarios().size(); ++s) {
                QTest::addRow("%s %c, %s", kind == Kind::Direction ? "direction" : "output", letter,
                              scenarios()[s].name)
                    << int(kind) << letter << s;
            }
        }
    }
}

void TstEditing::userActions()
{
    QFETCH(int, kind);
    QFETCH(char, letter);
    QFETCH(int, scenario);
    const Kind k = Kind(kind);
    const Scenario &sc = scenarios()[scenario];
    QVERIFY(connectBoard());
    const Views v = views(k, letter);
    showWithoutHandlers(v, k, letter, sc.startDec);
    // The other kind of value of this port, and the other ports, must not move.
    const Views other = views(k == Kind::Direction ? Kind::Output : Kind::Direction, letter);
    const QString otherDec = other.dec->text();
    const QString otherHex = other.hex->text();

    const QStringList steps = QString(sc.script).split(';');
    for (const QString &step : steps)
        runStep(v, step);

    QCOMPARE(v.dec->text(), QString(sc.endDec));
    QCOMPARE(v.hex->text(), QString(sc.endHex));
    const int value = HexBoxValue(QString(sc.endHex));
    const QList<QPushButton *> writeBits = views(Kind::Output, letter).bits;
    for (int i = 0; i < 8; ++i) {
        const bool set = (value >> i) & 1;
        QCOMPARE(v.bits[i]->text(), set ? v.set : v.clear);
        // Write bits follow the direction; output editing never touches their state.
        QCOMPARE(writeBits[i]->isEnabled(), k == Kind::Output || set);
    }
    if (sc.caret >= 0) {
        TextBox *edited = steps.last().startsWith("dec") ? v.dec : v.hex;
        QCOMPARE(edited->caretPosition(), sc.caret);
        QVERIFY(!edited->hasSelectedText());
    }
    if (value == 0 && sc.endDec == QString(" 0"))
        QCOMPARE(v.dec->caretPosition(), 2);
    QCOMPARE(other.dec->text(), otherDec);
    QCOMPARE(other.hex->text(), otherHex);
    QCOMPARE(status(), QString("Connected"));

    QByteArray expected;
    for (int sent : sc.sends)
        expected += command(k, letter, sent);
    QCOMPARE(hexBytes(m_board->receivedExactly(expected.size(), 20)), hexBytes(expected));
}

void TstEditing::everyBitButtonIsWiredToItsLine()
{
    QVERIFY(connectBoard());
    QByteArray expected;
    // Outputs first: with every line an input, all write bits take clicks.
    for (Kind kind : {Kind::Output, Kind::Direction}) {
        for (char letter : {'A', 'B', 'C'}) {
            const Views v = views(kind, letter);
            int value = kind == Kind::Direction ? 0xFF : 0;
            for (int i = 0; i < 8; ++i) {
                QTest::mouseClick(v.bits[i], Qt::LeftButton);
                value ^= 1 << i;
                QCOMPARE(v.hex->text(), HexText(value));
                expected += command(kind, letter, value).repeated(3);
            }
        }
    }
    QCOMPARE(hexBytes(m_board->receivedExactly(expected.size())), hexBytes(expected));
}

void TstEditing::directionDisablesWriteBits()
{
    QVERIFY(connectBoard());
    QTest::mouseClick(button("PortBIOBit", 2), Qt::LeftButton);
    QVERIFY(!button("PortBIO", 2)->isEnabled());
    QCOMPARE(hexBytes(m_board->receivedExactly(9)), QString("21 42 FB 21 42 FB 21 42 FB"));
    m_board->board().clearReceived();

    // A disabled write bit takes no click, but the boxes still rewrite its caption, and
    // the value goes out whole: nothing is masked by the direction.
    QTest::mouseClick(button("PortBIO", 2), Qt::LeftButton);
    QCOMPARE(m_board->receivedExactly(0, 30), QByteArray());
    box("PortBWHex")->setFocus();
    box("PortBWHex")->selectAll();
    QTest::keyClicks(box("PortBWHex"), "ff");
    QCOMPARE(button("PortBIO", 2)->text(), QString("1"));
    QCOMPARE(hexBytes(m_board->receivedExactly(12).right(6)), QString("42 FF 42 FF 42 FF"));
    QCOMPARE(int(m_board->board().output(Port::B)), 0xFF);

    QTest::mouseClick(button("PortBIOBit", 2), Qt::LeftButton);
    QVERIFY(button("PortBIO", 2)->isEnabled());
    for (int i = 0; i < 8; ++i)
        QCOMPARE(button("PortBIOBit", i)->text(), QString("I"));
}

void TstEditing::editingBeforeConnect()
{
    QTest::mouseClick(button("PortCIOBit", 0), Qt::LeftButton);
    QCOMPARE(status(), QString("Please Click Connect First"));
    QCOMPARE(button("PortCIOBit", 0)->text(), QString("O"));
    QVERIFY(!button("PortCIO", 0)->isEnabled());
    QCOMPARE(box("PortCIOHex")->text(), QString("FE"));
    QCOMPARE(box("PortCIODec")->text(), QString(" 254"));

    setStatus("");
    QTest::mouseClick(button("PortAIO", 5), Qt::LeftButton);
    QCOMPARE(status(), QString("Please Click Connect First"));
    QCOMPARE(box("PortAWHex")->text(), QString("20"));
    QCOMPARE(box("PortAWDec")->text(), QString(" 32"));

    box("PortBWDec")->setFocus();
    box("PortBWDec")->setCursorPosition(1);
    QTest::keyClicks(box("PortBWDec"), "9");
    QCOMPARE(box("PortBWDec")->text(), QString(" 9"));
    QCOMPARE(box("PortBWHex")->text(), QString("9"));
    QCOMPARE(button("PortBIO", 3)->text(), QString("1"));

    QCOMPARE(m_board->receivedExactly(0, 50), QByteArray());
    QCOMPARE(m_board->board().readRequests(), 0);

    // Nothing edited before is sent later: Connect resets board and window.
    QTest::mouseClick(button("Connect"), Qt::LeftButton);
    QCOMPARE(box("PortCIOHex")->text(), QString("FF"));
    QCOMPARE(box("PortAWHex")->text(), QString("0"));
    QCOMPARE(box("PortBWDec")->text(), QString(" 0"));
    QVERIFY(button("PortCIO", 0)->isEnabled());
}

void TstEditing::resetAfterEdits_data()
{
    QTest::addColumn<QStringList>("edits"); // hexadecimal box = text
    QTest::addColumn<QString>("extra");     // commands after the reset's own six

    QTest::newRow("nothing edited") << QStringList{} << "";
    QTest::newRow("port B write 5, direction 15")
        << QStringList{"PortBWHex=5", "PortBIOHex=F"} << "42 00 42 00 21 42 FF 21 42 FF";
    QTest::newRow("every value edited")
        << QStringList{"PortCIOHex=1", "PortAWHex=1",  "PortBIOHex=1",
                       "PortCWHex=1",  "PortAIOHex=1", "PortBWHex=1"}
        << "41 00 41 00 42 00 42 00 43 00 43 00 "
           "21 41 FF 21 41 FF 21 42 FF 21 42 FF 21 43 FF 21 43 FF";
    // Back at "0" with « 0» beside it: the reset finds its text in place, nothing runs.
    QTest::newRow("edited and set back by hand") << QStringList{"PortAWHex=7", "PortAWHex=0"} << "";
}

void TstEditing::resetAfterEdits()
{
    QFETCH(QStringList, edits);
    QFETCH(QString, extra);
    QVERIFY(connectBoard());
    for (const QString &edit : edits) {
        const QStringList parts = edit.split('=');
        box(parts[0])->QLineEdit::setText(parts[1]);
    }
    m_board->receivedWhenQuiet();
    m_board->board().clearReceived();
    setStatus("Read Timeout");

    QTest::mouseClick(button("ResetTamsk"), Qt::LeftButton);

    const QString expected = extra.isEmpty() ? resetCommands : resetCommands + " " + extra;
    QCOMPARE(hexBytes(m_board->receivedExactly((expected.size() + 1) / 3)), expected);
    QCOMPARE(status(), QString("Read Timeout"));
    for (char letter : {'A', 'B', 'C'}) {
        const Views direction = views(Kind::Direction, letter);
        const Views output = views(Kind::Output, letter);
        QCOMPARE(direction.hex->text(), QString("FF"));
        QCOMPARE(output.hex->text(), QString("0"));
        for (int i = 0; i < 8; ++i) {
            QCOMPARE(direction.bits[i]->text(), QString("I"));
            QCOMPARE(output.bits[i]->text(), QString("0"));
            QVERIFY(output.bits[i]->isEnabled());
        }
    }
}

QTEST_MAIN(TstEditing)
#include "tst_editing.moc"
