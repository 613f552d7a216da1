// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// Pastes far longer than a line edit's default limit: the box keeps the whole text, so its
// value comes from the end of what was pasted, not from where a limit cut it.
#include "ports/textbox.h"
#include "window/iotestwindow.h"

#include <QApplication>
#include <QClipboard>
#include <QtTest>

namespace {

constexpr qsizetype PasteLength = 100'000;

// PasteLength characters of `filler`, ending in `end`. Cut at 32,767 characters, the text
// would end in filler, which reads as another value.
QString longText(QChar filler, const QString &end)
{
    return QString(PasteLength - end.size(), filler) + end;
}

} // namespace

class TstLongText : public QObject
{
    Q_OBJECT

public:
    enum class Way { Clipboard, Insert };
    Q_ENUM(Way)

private slots:
    void aPortBoxReadsTheEndOfAPaste_data();
    void aPortBoxReadsTheEndOfAPaste();

private:
    static void enter(TextBox &box, const QString &text, Way way);
};

void TstLongText::enter(TextBox &box, const QString &text, Way way)
{
    box.selectAll();
    if (way == Way::Clipboard) {
        QGuiApplication::clipboard()->setText(text);
        box.paste();
    } else {
        box.insert(text);
    }
}

void TstLongText::aPortBoxReadsTheEndOfAPaste_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<Way>("way");
    QTest::addColumn<QString>("pasted");
    QTest::addColumn<QString>("decimal");
    QTest::addColumn<QString>("hex");

    // Cut short, "...777" would read as 77 and "...EE" as EE.
    const QString decimal = longText(QLatin1Char('7'), QStringLiteral("200"));
    const QString hex = longText(QLatin1Char('E'), QStringLiteral("3C"));
    for (const Way way : {Way::Clipboard, Way::Insert}) {
        const char *how = way == Way::Clipboard ? "clipboard" : "insert";
        QTest::addRow("output decimal, %s", how) << "PortAWDec" << way << decimal << " 200"
                                                 << "C8";
        QTest::addRow("output hex, %s", how) << "PortBWHex" << way << hex << " 60"
                                             << "3C";
        QTest::addRow("direction decimal, %s", how) << "PortCIODec" << way << decimal << " 200"
                                                    << "C8";
        QTest::addRow("direction hex, %s", how) << "PortAIOHex" << way << hex << " 60"
                                                << "3C";
    }
}

void TstLongText::aPortBoxReadsTheEndOfAPaste()
{
    QFETCH(QString, box);
    QFETCH(Way, way);
    QFETCH(QString, pasted);
    QFETCH(QString, decimal);
    QFETCH(QString, hex);

    IoTestWindow window;
    auto *target = window.control<TextBox>(box);
    QVERIFY(target);
    const QString prefix = box.left(box.size() - 3); // "PortAW", "PortCIO"

    enter(*target, pasted, way);

    QCOMPARE(window.control<TextBox>(prefix + "Dec")->text(), decimal);
    QCOMPARE(window.control<TextBox>(prefix + "Hex")->text(), hex);
}

QTEST_MAIN(TstLongText)
#include "tst_longtext.moc"
