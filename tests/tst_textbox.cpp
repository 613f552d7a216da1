// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// The text-box and button behaviour every editing handler relies on.
#include "ports/textbox.h"

#include <QApplication>
#include <QClipboard>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

class TstTextBox : public QObject
{
    Q_OBJECT

private slots:
    void settingADifferentTextRunsChangeInsideTheAssignment();
    void settingTheSameTextRunsNothing();
    void nestedAssignmentsEndWhenTextsSettle();
    void userEditsRunChangeOnceAfterTheTextIsInPlace_data();
    void userEditsRunChangeOnceAfterTheTextIsInPlace();
    void caretSetByAHandlerDuringTypingStays();
    void caretPositionBeyondTheEndMeansTheEnd();
    void captionsEnabledStatesAndDisabledButtons();
};

void TstTextBox::settingADifferentTextRunsChangeInsideTheAssignment()
{
    TextBox box;
    box.QLineEdit::setText("FF");
    QStringList log;
    connect(&box, &TextBox::change, [&] { log << "change:" + box.text(); });

    log << "before";
    box.setText("FE");
    log << "after";

    QCOMPARE(log, (QStringList{"before", "change:FE", "after"}));
}

void TstTextBox::settingTheSameTextRunsNothing()
{
    TextBox box;
    box.QLineEdit::setText(" 0");
    QSignalSpy spy(&box, &TextBox::change);
    box.setText(" 0");
    QCOMPARE(spy.count(), 0);
    // Not trimmed, not normalised: a blank more is a different text.
    box.setText("0");
    QCOMPARE(spy.count(), 1);
}

void TstTextBox::nestedAssignmentsEndWhenTextsSettle()
{
    // Two boxes that rewrite each other, like a hexadecimal and a decimal box: each
    // handler writes both texts; the chain must end once the texts are canonical.
    TextBox hex;
    TextBox dec;
    hex.QLineEdit::setText("FF");
    dec.QLineEdit::setText("255");
    QStringList log;
    int depth = 0;
    int maxDepth = 0;
    auto handler = [&](const QString &name, TextBox &self) {
        ++depth;
        maxDepth = qMax(maxDepth, depth);
        log << name + ":" + self.text();
        const int value = name == "hex" ? hex.text().toInt(nullptr, 16) : dec.text().toInt();
        hex.setText(QString::number(value, 16).toUpper());
        dec.setText(" " + QString::number(value));
        --depth;
    };
    connect(&hex, &TextBox::change, [&] { handler("hex", hex); });
    connect(&dec, &TextBox::change, [&] { handler("dec", dec); });

    hex.setText("FE");

    QCOMPARE(log, (QStringList{"hex:FE", "dec: 254"}));
    QCOMPARE(maxDepth, 2);
    QCOMPARE(dec.text(), QString(" 254"));
}

void TstTextBox::userEditsRunChangeOnceAfterTheTextIsInPlace_data()
{
    QTest::addColumn<QString>("initial");
    QTest::addColumn<int>("caret");
    QTest::addColumn<int>("selectFrom"); // -1: no selection
    QTest::addColumn<QString>("keys");   // "\b" backspace, "\x7f" delete, "^V" paste
    QTest::addColumn<QString>("expected");

    QTest::newRow("type at end") << " 254" << 4 << -1 << "3"
                                 << " 2543";
    QTest::newRow("type in front") << " 255" << 0 << -1 << "1"
                                   << "1 255";
    QTest::newRow("type between digits") << " 15" << 2 << -1 << "."
                                         << " 1.5";
    QTest::newRow("backspace") << " 254" << 4 << -1 << "\b"
                               << " 25";
    QTest::newRow("delete") << "FE" << 0 << -1 << "\x7f"
                            << "E";
    QTest::newRow("type over selection") << "FF" << 2 << 0 << "a"
                                         << "a";
    QTest::newRow("delete selection") << " 255" << 4 << 0 << "\b"
                                      << "";
    QTest::newRow("paste") << "F" << 1 << -1 << "^V"
                           << "F12";
}

void TstTextBox::userEditsRunChangeOnceAfterTheTextIsInPlace()
{
    QFETCH(QString, initial);
    QFETCH(int, caret);
    QFETCH(int, selectFrom);
    QFETCH(QString, keys);
    QFETCH(QString, expected);

    QWidget window;
    TextBox box(&window);
    box.QLineEdit::setText(initial);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    box.setFocus();
    if (selectFrom >= 0)
        box.setSelection(selectFrom, caret - selectFrom);
    else
        box.setCursorPosition(caret);

    QStringList seen;
    connect(&box, &TextBox::change, [&] { seen << box.text(); });

    if (keys == "^V") {
        QApplication::clipboard()->setText("12");
        QTest::keySequence(&box, QKeySequence::Paste);
    } else if (keys == "\b") {
        QTest::keyClick(&box, Qt::Key_Backspace);
    } else if (keys == "\x7f") {
        QTest::keyClick(&box, Qt::Key_Delete);
    } else {
        QTest::keyClicks(&box, keys);
    }

    QCOMPARE(seen, QStringList{expected});
}

void TstTextBox::caretSetByAHandlerDuringTypingStays()
{
    // The editing handlers rewrite the box they were started for and put the caret back
    // themselves; the key handling that started them must not move it afterwards.
    QWidget window;
    TextBox box(&window);
    box.QLineEdit::setText(" 25");
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    box.setFocus();
    box.setCursorPosition(3);
    connect(&box, &TextBox::change, [&] {
        if (box.text() == " 256") {
            box.setText(" 56");
            box.setCaretPosition(1);
        }
    });

    QTest::keyClick(&box, Qt::Key_6);

    QCOMPARE(box.text(), QString(" 56"));
    QCOMPARE(box.caretPosition(), 1);
    QVERIFY(!box.hasSelectedText());

    // The next key goes where the handler left the caret.
    QTest::keyClick(&box, Qt::Key_1);
    QCOMPARE(box.text(), QString(" 156"));
}

void TstTextBox::caretPositionBeyondTheEndMeansTheEnd()
{
    TextBox box;
    box.QLineEdit::setText("E7");
    box.selectAll();
    QSignalSpy spy(&box, &TextBox::change);

    box.setCaretPosition(3);
    QCOMPARE(box.caretPosition(), 2);
    QVERIFY(!box.hasSelectedText());
    box.setCaretPosition(-4);
    QCOMPARE(box.caretPosition(), 0);
    QCOMPARE(spy.count(), 0);
}

void TstTextBox::captionsEnabledStatesAndDisabledButtons()
{
    QWidget window;
    QPushButton button("I", &window);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QSignalSpy clicks(&button, &QPushButton::clicked);

    button.setText("O");
    button.setEnabled(false);
    button.setEnabled(true);
    QCOMPARE(clicks.count(), 0);

    button.setEnabled(false);
    QTest::mouseClick(&button, Qt::LeftButton);
    button.setFocus();
    QTest::keyClick(&button, Qt::Key_Space);
    QCOMPARE(clicks.count(), 0);

    button.setEnabled(true);
    QTest::mouseClick(&button, Qt::LeftButton);
    QCOMPARE(clicks.count(), 1);
}

QTEST_MAIN(TstTextBox)
#include "tst_textbox.moc"
