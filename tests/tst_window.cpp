// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// The window as designed: controls, captions, initial state, geometry, fonts, tab order.
#include "device/portname.h"
#include "ports/textbox.h"
#include "session/session.h"
#include "window/appinfo.h"
#include "window/iotestwindow.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QToolTip>
#include <QtTest>

namespace {

const QStringList letters = {"A", "B", "C"};

// Geometry in pixels of a control, relative to its container.
QRect rectOf(QWidget *w)
{
    return w->geometry();
}

QRect twips(int left, int top, int width, int height)
{
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

} // namespace

class TstWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void windowItself();
    void everyControlExistsOnceWithItsIndex();
    void initialState();
    void geometry();
    void everythingLiesInsideItsContainer();
    void captionsFitTheirControls();
    void fonts();
    void readBoxesUseTheButtonFaceColour();
    void tabOrderAndInitialFocus();
    void accessibility();
    void iconAndVersion();
    void portNumberTooltipListsThePorts();

private:
    IoTestWindow *m_window = nullptr;
};

void TstWindow::init()
{
    m_window = new IoTestWindow;
}

void TstWindow::cleanup()
{
    delete m_window;
    m_window = nullptr;
}

void TstWindow::windowItself()
{
    QCOMPARE(m_window->objectName(), QString("IOTEST"));
    QCOMPARE(m_window->windowTitle(), QString("Zarvex VB Test Utility"));
    QCOMPARE(m_window->size(), QSize(494, 399));
    QCOMPARE(m_window->minimumSize(), m_window->maximumSize());
    QVERIFY(!(m_window->windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(m_window->windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(m_window->windowFlags() & Qt::WindowCloseButtonHint);

    auto *timer = m_window->findChild<QTimer *>("Timer1");
    QVERIFY(timer);
    QCOMPARE(timer->interval(), 100);
    QVERIFY(!timer->isActive());
    QVERIFY(m_window->findChild<QObject *>("MSComm1"));
    QCOMPARE(m_window->session().portIsOpen(), qint16(0));
}

void TstWindow::everyControlExistsOnceWithItsIndex()
{
    QStringList singles = {"Label1",  "PortNumber", "Connect",     "PollNow",    "Check1",
                           "Frame1",  "Frame2",     "StatusLabel", "ResetTamsk", "Close",
                           "Label27", "Label28",    "Label29",     "Bitlabel"};
    for (int n = 2; n <= 25; ++n)
        singles << QString("Label%1").arg(n);
    QStringList arrays8;
    for (const QString &x : letters) {
        for (const char *role : {"IOHex", "IODec", "WHex", "WDec", "RHex", "RDec"})
            singles << "Port" + x + role;
        arrays8 << "Port" + x + "IOBit"
                << "Port" + x + "IO";
    }

    int total = 0;
    for (const QString &name : singles) {
        const QList<QWidget *> found = m_window->findChildren<QWidget *>(name);
        QVERIFY2(found.size() == 1, qPrintable(name));
        QVERIFY2(!found[0]->property("index").isValid(), qPrintable(name));
        ++total;
    }
    for (const QString &name : arrays8) {
        const QList<QPushButton *> found = m_window->findChildren<QPushButton *>(name);
        QCOMPARE(found.size(), 8);
        QSet<int> indices;
        for (QPushButton *b : found)
            indices << b->property("index").toInt();
        QCOMPARE(indices, (QSet<int>{0, 1, 2, 3, 4, 5, 6, 7}));
        total += 8;
    }
    for (const char *name : {"HexLabel", "Label26"}) {
        const QList<QLabel *> found = m_window->findChildren<QLabel *>(name);
        QCOMPARE(found.size(), 2);
        QCOMPARE(m_window->control(name, 0)->property("index").toInt(), 0);
        QCOMPARE(m_window->control(name, 1)->property("index").toInt(), 1);
        total += 2;
    }
    QCOMPARE(total, 108);

    // Kinds of the controls the handlers rely on.
    QVERIFY(m_window->control<TextBox>("PortNumber"));
    QVERIFY(m_window->control<QCheckBox>("Check1"));
    QVERIFY(m_window->control<QGroupBox>("Frame1"));
    QVERIFY(m_window->control<QLabel>("StatusLabel"));
    QVERIFY(m_window->control<QPushButton>("PortCIO", 7));
    QVERIFY(m_window->control<TextBox>("PortBRDec"));
}

void TstWindow::initialState()
{
    auto text = [&](const QString &name) { return m_window->control<QLineEdit>(name)->text(); };
    QCOMPARE(text("PortNumber"), QString("3"));
    QCOMPARE(m_window->control<QLabel>("StatusLabel")->text(),
             QString("Set Device Number and then click connect"));
    QVERIFY(!m_window->control<QCheckBox>("Check1")->isChecked());

    for (const QString &x : letters) {
        const QString port = "Port" + x;
        for (int i = 0; i < 8; ++i) {
            QCOMPARE(m_window->control<QPushButton>(port + "IOBit", i)->text(), QString("I"));
            QCOMPARE(m_window->control<QPushButton>(port + "IO", i)->text(), QString("0"));
            QVERIFY(m_window->control<QPushButton>(port + "IO", i)->isEnabled());
        }
        // Design values: no leading blank yet.
        QCOMPARE(text(port + "IOHex"), QString("FF"));
        QCOMPARE(text(port + "IODec"), QString("255"));
        QCOMPARE(text(port + "WHex"), QString("0"));
        QCOMPARE(text(port + "WDec"), QString("0"));
        QCOMPARE(text(port + "RHex"), QString());
        QCOMPARE(text(port + "RDec"), QString());
        QVERIFY(!m_window->control<QLineEdit>(port + "RHex")->isReadOnly());
    }

    QCOMPARE(m_window->control<QLabel>("Label29")->text(),
             QString("Write Bits (Disabled if set as input in above panel)"));
    QCOMPARE(m_window->control<QGroupBox>("Frame1")->title(),
             QString("Direction Register Value I/O"));
    QCOMPARE(m_window->control<QGroupBox>("Frame2")->title(), QString("Port Value"));
    QCOMPARE(m_window->control<QPushButton>("ResetTamsk")->text(), QString("Reset All"));
    QCOMPARE(m_window->control<QPushButton>("Close")->text(), QString("Done"));
    QCOMPARE(m_window->control<QPushButton>("PollNow")->text(), QString("Poll Once"));
    QCOMPARE(m_window->control<QCheckBox>("Check1")->text(), QString("Continuous Poll"));
    QCOMPARE(m_window->control<QLabel>("Bitlabel")->text(), QString("Bit ->"));
    for (int n = 0; n < 8; ++n) {
        QCOMPARE(m_window->control<QLabel>(QString("Label%1").arg(8 + n))->text(),
                 QString::number(n));
        QCOMPARE(m_window->control<QLabel>(QString("Label%1").arg(18 + n))->text(),
                 QString::number(n));
    }

    for (QWidget *w : m_window->findChildren<QWidget *>()) {
        if (!w->objectName().isEmpty())
            QVERIFY2(w->isEnabled(), qPrintable(w->objectName()));
    }
    for (QPushButton *b : m_window->findChildren<QPushButton *>()) {
        QVERIFY(!b->isDefault());
        QVERIFY(!b->autoDefault());
    }
}

void TstWindow::geometry()
{
    struct Expected
    {
        const char *name;
        int index;
        QRect rect;
    };
    const Expected expected[] = {
        {"Label1", -1, twips(120, 120, 1215, 255)},
        {"PortNumber", -1, twips(1320, 120, 615, 285)},
        {"Check1", -1, twips(5040, 120, 1455, 255)},
        {"Frame1", -1, twips(120, 480, 6375, 2295)},
        {"Frame2", -1, twips(120, 2880, 7215, 2535)},
        {"StatusLabel", -1, twips(120, 5640, 3135, 255)},
        {"ResetTamsk", -1, twips(4320, 5520, 1215, 375)},
        {"Close", -1, twips(5760, 5520, 1455, 375)},
        {"PortAIOBit", 0, twips(720, 600, 375, 375)},
        {"PortCIOBit", 7, twips(4080, 1560, 375, 375)},
        {"PortBIOHex", -1, twips(4680, 1080, 495, 285)},
        {"PortCIODec", -1, twips(5280, 1560, 615, 285)},
        {"Label8", -1, twips(840, 240, 255, 255)},
        {"Label15", -1, twips(4200, 240, 255, 255)},
        {"PortAIO", 0, twips(720, 840, 375, 375)},
        {"PortBIO", 4, twips(2640, 1320, 375, 375)},
        {"PortCRDec", -1, twips(6600, 1800, 495, 285)},
        {"PortARHex", -1, twips(6120, 840, 375, 285)},
        {"Label21", -1, twips(2280, 480, 135, 255)},
        {"Label29", -1, twips(840, 240, 3735, 255)},
        {"HexLabel", 1, twips(6120, 600, 375, 255)},
        {"Label26", 1, twips(6720, 600, 375, 255)},
    };
    for (const Expected &e : expected)
        QCOMPARE(rectOf(m_window->control(e.name, e.index)), e.rect);

    // Each heading sits 120 twips right of the bit buttons of its column.
    for (int n = 0; n < 8; ++n) {
        QCOMPARE(m_window->control(QString("Label%1").arg(8 + n))->x(),
                 m_window->control("PortAIOBit", n)->x() + 8);
        QCOMPARE(m_window->control(QString("Label%1").arg(18 + n))->x(),
                 m_window->control("PortAIO", n)->x() + 8);
    }
    // Containers: the direction rows in Frame1, the value rows in Frame2.
    QCOMPARE(m_window->control("PortBIOBit", 3)->parentWidget()->objectName(), QString("Frame1"));
    QCOMPARE(m_window->control("PortBWDec")->parentWidget()->objectName(), QString("Frame2"));
    QCOMPARE(m_window->control("Close")->parentWidget(), m_window);
}

void TstWindow::everythingLiesInsideItsContainer()
{
    const QRect client(0, 0, 494, 399);
    for (QWidget *w : m_window->findChildren<QWidget *>()) {
        if (w->objectName().isEmpty() || w->parentWidget() == nullptr)
            continue;
        const QRect container =
            w->parentWidget() == m_window ? client : QRect(QPoint(0, 0), w->parentWidget()->size());
        QVERIFY2(container.contains(w->geometry()), qPrintable(w->objectName()));
    }
    // The lowest controls end at 5895 twips, Frame2's right edge is at 7335.
    QCOMPARE(m_window->control("Close")->geometry().bottom() + 1, 5895 / 15);
    QCOMPARE(m_window->control("Frame2")->geometry().right() + 1, 7335 / 15);
}

void TstWindow::captionsFitTheirControls()
{
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    for (QLabel *label : m_window->findChildren<QLabel *>()) {
        const QSize needed = label->sizeHint();
        QVERIFY2(needed.width() <= label->width() && needed.height() <= label->height(),
                 qPrintable(label->objectName() + " needs " + QString::number(needed.width())));
    }
    for (QPushButton *button : m_window->findChildren<QPushButton *>()) {
        const QFontMetrics metrics(button->font());
        QVERIFY2(metrics.horizontalAdvance(button->text()) + 4 <= button->width() &&
                     metrics.height() + 2 <= button->height(),
                 qPrintable(button->objectName()));
    }
    auto *check = m_window->control<QCheckBox>("Check1");
    QVERIFY(check->sizeHint().width() <= check->width());
    for (QGroupBox *frame : m_window->findChildren<QGroupBox *>())
        QVERIFY(QFontMetrics(frame->font()).horizontalAdvance(frame->title()) < frame->width());
    for (QLineEdit *box : m_window->findChildren<QLineEdit *>()) {
        // Room for the widest text a box ever shows, and its full line height.
        const QFontMetrics metrics(box->font());
        QVERIFY2(metrics.height() + 4 <= box->height(), qPrintable(box->objectName()));
        QVERIFY2(metrics.horizontalAdvance(box->objectName().endsWith("Hex") ? "FF" : " 255") <
                     box->contentsRect().width(),
                 qPrintable(box->objectName()));
    }
    // Readable: nothing was shrunk below 6 points to fit.
    QVERIFY(m_window->font().pointSizeF() >= 6.0);
    QVERIFY(m_window->font().pointSizeF() <= 8.0);
}

void TstWindow::fonts()
{
    for (const QString &x : letters) {
        for (int i = 0; i < 8; ++i) {
            const QFont font = m_window->control("Port" + x + "IO", i)->font();
            QCOMPARE(font.families().value(0), QString("MS Sans Serif"));
            QCOMPARE(font.pointSizeF(), 8.25);
            QCOMPARE(font.weight(), QFont::Normal);
            QVERIFY(font.strikeOut());
            QVERIFY(!font.italic());
            QVERIFY(!font.underline());
            QVERIFY(!m_window->control("Port" + x + "IOBit", i)->font().strikeOut());
        }
    }
    QVERIFY(!m_window->control("Connect")->font().strikeOut());
    QVERIFY(!m_window->control("PortAWDec")->font().strikeOut());
    QCOMPARE(m_window->control("StatusLabel")->font(), m_window->font());
}

void TstWindow::readBoxesUseTheButtonFaceColour()
{
    for (const QString &x : letters) {
        for (const char *role : {"RHex", "RDec"}) {
            auto *box = m_window->control<QLineEdit>("Port" + x + role);
            QCOMPARE(box->palette().color(QPalette::Base), box->palette().color(QPalette::Button));
        }
        auto *write = m_window->control<QLineEdit>("Port" + x + "WHex");
        QCOMPARE(write->palette().color(QPalette::Base), m_window->palette().color(QPalette::Base));
    }
}

void TstWindow::tabOrderAndInitialFocus()
{
    // Positions 0..107, each held by exactly one control.
    QMap<int, QWidget *> byPosition;
    for (QWidget *w : m_window->findChildren<QWidget *>()) {
        const QVariant tab = w->property("tabIndex");
        if (!tab.isValid())
            continue;
        QVERIFY2(!byPosition.contains(tab.toInt()), qPrintable(w->objectName()));
        byPosition.insert(tab.toInt(), w);
    }
    QCOMPARE(byPosition.size(), 108);
    QCOMPARE(byPosition.firstKey(), 0);
    QCOMPARE(byPosition.lastKey(), 107);
    QCOMPARE(byPosition.value(0)->objectName(), QString("PortNumber"));
    QCOMPARE(byPosition.value(13), m_window->control("PortAIOBit", 0));
    QCOMPARE(byPosition.value(50)->objectName(), QString("PortCIOHex"));
    QCOMPARE(byPosition.value(93)->objectName(), QString("StatusLabel"));
    QCOMPARE(byPosition.value(94)->objectName(), QString("Close"));
    QCOMPARE(byPosition.value(105)->objectName(), QString("ResetTamsk"));

    m_window->show();
    QVERIFY(QTest::qWaitForWindowActive(m_window));
    QCOMPARE(QApplication::focusWidget(), m_window->control("PortNumber"));

    // Tab walks the controls that take focus in ascending position; labels and frames
    // never take it.
    QList<QWidget *> expected;
    for (QWidget *w : byPosition) {
        if (qobject_cast<QLabel *>(w) || qobject_cast<QGroupBox *>(w))
            QCOMPARE(w->focusPolicy(), Qt::NoFocus);
        else
            expected << w;
    }
    QList<QWidget *> visited{QApplication::focusWidget()};
    for (int i = 1; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget();
    }
    QCOMPARE(visited, expected);
}

void TstWindow::accessibility()
{
    QCOMPARE(m_window->control("PortAIOBit", 3)->accessibleDescription(),
             QString("Port A direction bit 3"));
    QCOMPARE(m_window->control("PortCIO", 0)->accessibleDescription(),
             QString("Port C write bit 0"));
    QCOMPARE(m_window->control("PortBWHex")->accessibleDescription(),
             QString("Port B write value, hexadecimal"));
    for (QWidget *w : m_window->findChildren<QWidget *>()) {
        if (w->objectName().isEmpty())
            continue;
        // Captions stay what assistive tools read out.
        QVERIFY2(w->accessibleName().isEmpty(), qPrintable(w->objectName()));
        if (!qobject_cast<QLabel *>(w))
            QVERIFY2(!w->accessibleDescription().isEmpty(), qPrintable(w->objectName()));
    }
}

void TstWindow::iconAndVersion()
{
    applyAppInfo();
    QCOMPARE(QCoreApplication::applicationVersion(), QString("1.00"));
    QCOMPARE(QCoreApplication::applicationName(), QString("Zarvex Test"));
    QCOMPARE(appDescription(), QString("Zarvex Test Program using VCP Driver"));

    const QImage image = appIcon().pixmap(32, 32).toImage();
    QCOMPARE(image.size(), QSize(32, 32));
    QSet<QRgb> colours;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            colours << image.pixel(x, y);
    QVERIFY(colours.size() <= 16);
    QVERIFY(colours.size() >= 4);
    QCOMPARE(m_window->windowIcon().cacheKey() != 0, true);
}

void TstWindow::portNumberTooltipListsThePorts()
{
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    auto *portNumber = m_window->control<TextBox>("PortNumber");
    const QPoint at(4, 4);
    QHelpEvent help(QEvent::ToolTip, at, portNumber->mapToGlobal(at));
    QApplication::sendEvent(portNumber, &help);
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), QString::fromStdString(portNumberOverview(serialDevices())));
    // Shown, not stored: the control itself is as it was.
    QVERIFY(portNumber->toolTip().isEmpty());
    QCOMPARE(portNumber->text(), QString("3"));
    QToolTip::hideText();
}

QTEST_MAIN(TstWindow)
#include "tst_window.moc"
