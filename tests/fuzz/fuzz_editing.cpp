// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// Random edit scripts on the real window: typing at a caret or over a selection,
// Backspace, Delete, pastes and bit clicks, over the twelve editing boxes and 48 bit
// buttons. After every action each value's views agree, the write bits follow the
// direction, the edited value is what the edit reads as, only that value moved, the
// cascade stayed short, and every command written carries the value now shown.
//
// Script: one byte (bit 0: connect first), then actions:
//   click  op%5 == 0, bit (0..47)
//   edit   op%5 == 1..4 (type, Backspace, Delete, paste), box (0..11), selection start,
//          selection length, then the typed character or the paste's length and bytes.
#include "device/seriallink.h"
#include "fuzzcheck.h"
#include "ports/textbox.h"
#include "ports/valueformats.h"
#include "session/session.h"
#include "window/iotestwindow.h"
#include "window/statustext.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <array>
#include <cstdint>

namespace {

// Opens whatever port it is asked to and keeps every write.
class RecordingLink : public SerialLink
{
public:
    std::optional<OpenRefusal> open() override
    {
        m_open = true;
        return std::nullopt;
    }
    void close() override { m_open = false; }
    LinkState state() const override { return m_open ? LinkState::Open : LinkState::Closed; }
    bool output(std::string_view bytes) override
    {
        m_written << QByteArray(bytes.data(), qsizetype(bytes.size()));
        return m_open;
    }
    std::size_t inBufferCount() override { return 0; }
    std::string input() override { return {}; }
    void waitForInput(int) override {}
    std::string name() const override { return "recording"; }
    std::string device() const override { return "recording"; }

    const QList<QByteArray> &written() const { return m_written; }
    void clear() { m_written.clear(); }

private:
    QList<QByteArray> m_written;
    bool m_open = false;
};

class Script
{
public:
    Script(const std::uint8_t *data, std::size_t size) : m_data(data), m_size(size) {}

    bool atEnd() const { return m_pos >= m_size; }
    int next() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    QByteArray take(int count)
    {
        const std::size_t n = qMin<std::size_t>(count, m_size - m_pos);
        const QByteArray bytes(reinterpret_cast<const char *>(m_data + m_pos), qsizetype(n));
        m_pos += n;
        return bytes;
    }

private:
    const std::uint8_t *m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

char typedCharacter(int byte)
{
    static constexpr char common[] = "0123456789abcdefABCDEF.+-&HhOoEeDd Zx";
    return byte < 128 ? common[byte % (sizeof common - 1)] : char(0x20 + (byte - 128) % 95);
}

// One value of a port in all its views.
struct Register
{
    char letter;
    bool direction;
    std::array<QPushButton *, 8> bits;
    std::array<QPushButton *, 8> writeBits;
    TextBox *dec;
    TextBox *hex;
    QString set;
    QString designDec;
};

struct Shown
{
    QString dec;
    QString hex;
    QStringList captions;
    QList<bool> enabled;
    bool operator==(const Shown &) const = default;
};

Shown shownBy(const Register &r)
{
    Shown s{r.dec->text(), r.hex->text(), {}, {}};
    for (int i = 0; i < 8; ++i) {
        s.captions << r.bits[i]->text();
        s.enabled << r.writeBits[i]->isEnabled();
    }
    return s;
}

int valueOf(const Register &r)
{
    return HexBoxValue(r.hex->text());
}

// Views in step: canonical hexadecimal text, a decimal text rounding to the same value
// and canonical but for the design text, bit captions of that value, write bits enabled
// exactly for input lines.
void checkViews(const Register &r)
{
    const int value = valueOf(r);
    const double decimal = DecimalBoxValue(r.dec->text());
    const QByteArray views = shown(r.dec->text()) + ' ' + shown(r.hex->text());
    FUZZ_CHECK(r.hex->text() == HexText(value), "port %c: %s", r.letter, views.constData());
    FUZZ_CHECK(RoundHalfEven(decimal) == value, "port %c: %s", r.letter, views.constData());
    FUZZ_CHECK(r.dec->text() == DecimalText(decimal) || r.dec->text() == r.designDec, "port %c: %s",
               r.letter, views.constData());
    for (int i = 0; i < 8; ++i) {
        const bool on = r.bits[i]->text() == r.set;
        FUZZ_CHECK(on == bool((value >> i) & 1), "port %c: %s, line %d shows %s", r.letter,
                   views.constData(), i, qPrintable(r.bits[i]->text()));
        if (r.direction)
            FUZZ_CHECK(r.writeBits[i]->isEnabled() == on, "port %c line %d", r.letter, i);
    }
}

QByteArray command(const Register &r, int value)
{
    QByteArray bytes;
    if (r.direction)
        bytes += '!';
    return bytes + r.letter + char(value);
}

// Far more than any action takes, far less than an endless cascade needs to overflow the
// stack: the check ends it first and names it.
constexpr int kMaxTextChangesPerAction = 64;
// Three runs deep and four in all is the most any action takes.
constexpr int kMaxHandlerRunsPerAction = 4;

// One window for the whole run, as building it takes far longer than a script; every input
// starts from the state it had when new.
class Harness
{
public:
    Harness()
    {
        m_window.session().setLinkMaker([this](int) {
            auto link = std::make_unique<RecordingLink>();
            m_link = link.get();
            return link;
        });
        m_status = m_window.control<QLabel>(QStringLiteral("StatusLabel"));
        for (int p = 0; p < 3; ++p) {
            const PortControls &port = m_window.ports()[p];
            m_registers[2 * p] = {portLetter(port.port), true,
                                  port.directionBits,    port.writeBits,
                                  port.directionDec,     port.directionHex,
                                  QStringLiteral("I"),   port.directionDec->text()};
            m_registers[2 * p + 1] = {
                portLetter(port.port), false,         port.writeBits,      port.writeBits,
                port.writeDec,         port.writeHex, QStringLiteral("1"), port.writeDec->text()};
        }
        for (int b = 0; b < 12; ++b) {
            const Register &r = m_registers[b / 2];
            m_boxes[b] = b % 2 ? r.hex : r.dec;
            QObject::connect(m_boxes[b], &TextBox::change, [this] { ++m_runs; });
            QObject::connect(m_boxes[b], &QLineEdit::textChanged, [this] {
                FUZZ_CHECK(++m_textChanges <= kMaxTextChangesPerAction, "endless cascade");
            });
        }
        for (const Register &r : m_registers) {
            for (QPushButton *bit : r.bits)
                QObject::connect(bit, &QPushButton::clicked, [this] { ++m_runs; });
        }
        QObject::connect(&m_model, &QLineEdit::textChanged, [this] { ++m_modelChanges; });
        for (int i = 0; i < 6; ++i)
            m_design[i] = shownBy(m_registers[i]);
    }

    void run(Script &script);

private:
    void restore();
    void act(Script &script);

    RecordingLink *m_link = nullptr; // the session's, made at each Connect
    IoTestWindow m_window;
    QLabel *m_status;
    std::array<Register, 6> m_registers;
    std::array<TextBox *, 12> m_boxes;
    std::array<Shown, 6> m_design;
    // The same edit on a box without handlers gives the text and caret the user left.
    QLineEdit m_model;
    int m_modelChanges = 0;
    int m_runs = 0;
    int m_textChanges = 0;
    bool m_connected = false;
    // Lists every action with the views it left, for reading a failing input.
    const bool m_trace = qEnvironmentVariableIsSet("ZARVEX_FUZZ_TRACE");
};

void Harness::restore()
{
    m_window.session().setPortIsOpen(0);
    m_link->close();
    for (int i = 0; i < 6; ++i) {
        const Register &r = m_registers[i];
        const Shown &s = m_design[i];
        for (TextBox *box : {r.dec, r.hex}) {
            const QSignalBlocker blocker(box);
            box->QLineEdit::setText(box == r.dec ? s.dec : s.hex);
        }
        for (int line = 0; line < 8; ++line) {
            r.bits[line]->setText(s.captions[line]);
            r.writeBits[line]->setEnabled(s.enabled[line]);
        }
    }
}

void Harness::run(Script &script)
{
    restore();
    m_connected = script.next() & 1;
    if (m_connected) {
        m_window.Connect_Click();
        FUZZ_CHECK(m_window.session().portIsOpen() == 1, "no connection");
    }
    while (!script.atEnd())
        act(script);
}

void Harness::act(Script &script)
{
    std::array<Shown, 6> before;
    for (int i = 0; i < 6; ++i)
        before[i] = shownBy(m_registers[i]);
    m_runs = 0;
    m_textChanges = 0;
    m_link->clear();
    m_status->clear();

    const int op = script.next() % 5;
    int target = 0;
    bool changed = false;
    double value = 0; // what the action's outermost handler works with
    TextBox *edited = nullptr;
    int caret = 0;
    QByteArray action;
    if (op == 0) {
        const int k = script.next() % 48;
        target = k / 8;
        QPushButton *bit = m_registers[target].bits[k % 8];
        changed = bit->isEnabled();
        value = valueOf(m_registers[target]) ^ (1 << (k % 8));
        action = "click " + bit->objectName().toLatin1() + ' ' + QByteArray::number(k % 8);
        bit->click();
    } else {
        const int b = script.next() % 12;
        target = b / 2;
        edited = m_boxes[b];
        const QString old = edited->text();
        const int start = script.next() % (int(old.size()) + 1);
        const int count = script.next() % (int(old.size()) - start + 1);
        const int key = op == 1 ? script.next() : 0;
        const QString paste =
            op == 4 ? QString::fromUtf8(script.take(script.next() % 16)) : QString();
        action = edited->objectName().toLatin1() + ' ' + shown(old) + " [" +
                 QByteArray::number(start) + '+' + QByteArray::number(count) + "] " +
                 QByteArray("-type-bksp-del-paste").split('-')[op] + ' ' +
                 (op == 1 ? shown(QString(QChar(typedCharacter(key)))) : shown(paste));
        m_model.setText(old);
        m_modelChanges = 0;
        for (QLineEdit *box : {&m_model, static_cast<QLineEdit *>(edited)}) {
            if (count > 0)
                box->setSelection(start, count);
            else
                box->setCursorPosition(start);
            if (op == 1)
                QTest::keyClick(box, typedCharacter(key));
            else if (op == 2)
                QTest::keyClick(box, Qt::Key_Backspace);
            else if (op == 3)
                QTest::keyClick(box, Qt::Key_Delete);
            else
                box->insert(paste);
        }
        changed = m_modelChanges > 0;
        if (b % 2) {
            value = HexBoxValue(m_model.text());
            caret = qMin(m_model.cursorPosition(), int(HexText(value).size()));
        } else {
            value = DecimalBoxValue(m_model.text());
            if (RoundHalfEven(value) < 0)
                value = 0;
            caret = value == 0 ? 2 : qMin(m_model.cursorPosition(), int(DecimalText(value).size()));
        }
    }
    const char *what = action.constData();
    if (m_trace) {
        const Register &r = m_registers[target];
        std::fprintf(stderr, "%s -> %s %s, %d runs\n", what, shown(r.dec->text()).constData(),
                     shown(r.hex->text()).constData(), m_runs);
    }

    FUZZ_CHECK(m_runs <= kMaxHandlerRunsPerAction, "%s: %d handler runs", what, m_runs);
    for (int i = 0; i < 6; ++i) {
        const Register &r = m_registers[i];
        checkViews(r);
        Shown now = shownBy(r);
        if (i == target)
            continue;
        // A direction edit moves the enabled states of its port's write bits.
        if (!r.direction && target == i - 1)
            now.enabled = before[i].enabled;
        FUZZ_CHECK(now == before[i], "%s moved port %c's %s value", what, r.letter,
                   r.direction ? "direction" : "write");
    }
    const Register &r = m_registers[target];
    const int rounded = RoundHalfEven(value);
    if (!changed) {
        FUZZ_CHECK(m_runs == 0 && shownBy(r) == before[target], "%s changed the views", what);
    } else {
        FUZZ_CHECK(m_runs >= (edited ? 1 : 3), "%s: %d handler runs", what, m_runs);
        FUZZ_CHECK(r.dec->text() == DecimalText(value) && r.hex->text() == HexText(value),
                   "%s shows %s %s for %.17g", what, shown(r.dec->text()).constData(),
                   shown(r.hex->text()).constData(), value);
        if (edited)
            FUZZ_CHECK(edited->caretPosition() == caret && !edited->hasSelectedText(),
                       "%s left the caret at %d, not %d", what, edited->caretPosition(), caret);
    }

    const QList<QByteArray> sent = m_link->written();
    if (m_connected) {
        FUZZ_CHECK(sent == QList<QByteArray>(m_runs, command(r, rounded)),
                   "%s: %d handler runs, %d commands, the last %s for %d", what, m_runs,
                   int(sent.size()), sent.isEmpty() ? "" : sent.last().toHex(' ').constData(),
                   rounded);
        FUZZ_CHECK(m_status->text().isEmpty(), "%s: status %s", what, qPrintable(m_status->text()));
    } else {
        FUZZ_CHECK(sent.isEmpty(), "%s wrote to a closed port", what);
        FUZZ_CHECK(m_status->text() ==
                       (m_runs ? QLatin1String(StatusText::ConnectFirst) : QLatin1String()),
                   "%s: status %s", what, qPrintable(m_status->text()));
    }
}

Harness *harness = nullptr;

} // namespace

// As tests/lsan.supp: caches of the system libraries below Qt grow as new text is laid out.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libfontconfig\nleak:libdbus\nleak:libglib\n";
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
    static int argc = 1;
    static char name[] = "fuzz_editing";
    static char *argv[] = {name, nullptr};
    // Never destroyed: Qt's teardown at exit is no part of what is tested here.
    new QApplication(argc, argv);
    harness = new Harness;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Script script(data, size);
    harness->run(script);
    return 0;
}
