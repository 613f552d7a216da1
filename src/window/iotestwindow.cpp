// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "iotestwindow.h"

#include "appinfo.h"
#include "controltable.h"
#include "device/portname.h"
#include "framebox.h"
#include "polling/pollcycle.h"
#include "ports/registereditor.h"
#include "ports/reset.h"
#include "ports/textbox.h"
#include "ports/valueformats.h"
#include "session/session.h"
#include "statustext.h"
#include "windowfont.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QHelpEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QToolTip>

#include <algorithm>

IoTestWindow::IoTestWindow(const LinkOptions &options, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint)
{
    setObjectName(QString::fromLatin1(Design::WindowName));
    setWindowTitle(QString::fromLatin1(Design::WindowCaption));
    setWindowIcon(appIcon());
    setFixedSize(twipsToPixels(Design::ClientWidth), twipsToPixels(Design::ClientHeight));

    // The window's serial control, by the name it has always had.
    m_session = new Session(options, this);
    m_session->setObjectName(QStringLiteral("MSComm1"));

    m_timer = new QTimer(this);
    m_timer->setObjectName(QStringLiteral("Timer1"));
    m_timer->setInterval(Design::TimerIntervalMs);
    m_timer->setTimerType(Qt::PreciseTimer);

    buildControls();
    applyFonts();
    applyTabOrder();
    collectPorts();
    wireEvents();

    Form_Load();
    m_portNumber->setFocus();
}

IoTestWindow::~IoTestWindow() = default;

bool IoTestWindow::eventFilter(QObject *watched, QEvent *event)
{
    // Boards come and go, so the list of ports is made afresh each time it is asked for,
    // and shown without becoming a property of the control.
    if (watched == m_portNumber && event->type() == QEvent::ToolTip) {
        const auto *help = static_cast<QHelpEvent *>(event);
        QToolTip::showText(help->globalPos(),
                           QString::fromStdString(portNumberOverview(serialDevices())),
                           m_portNumber);
        return true;
    }
    // Why the last Connect failed, for whoever wonders about "Could Not Open That Port".
    if (watched == m_statusLabel && event->type() == QEvent::ToolTip) {
        const auto *help = static_cast<QHelpEvent *>(event);
        const QString reason = statusLabelToolTip();
        if (reason.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), reason, m_statusLabel);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

QString IoTestWindow::statusLabelToolTip() const
{
    const auto &refusal = m_session->lastRefusal();
    return refusal ? QString::fromStdString(refusal->text()) : QString();
}

QWidget *IoTestWindow::control(const QString &name, int index) const
{
    const QList<QWidget *> members = m_controls.value(name);
    const qsizetype i = index < 0 ? 0 : index;
    return i < members.size() ? members.at(i) : nullptr;
}

void IoTestWindow::buildControls()
{
    // Frames come first in the table, so every container exists before its children.
    for (const ControlDesign &item : controlTable()) {
        QWidget *container = item.container.isEmpty() ? this : control(item.container);
        Q_ASSERT(container);
        QWidget *widget = nullptr;
        switch (item.kind) {
        case ControlKind::Label:
            widget = new QLabel(item.text, container);
            break;
        case ControlKind::TextBox: {
            auto *box = new TextBox(container);
            box->QLineEdit::setText(item.text); // design value: no handler runs at creation
            if (item.buttonFace) {
                QPalette palette = box->palette();
                palette.setBrush(QPalette::Base, palette.brush(QPalette::Button));
                box->setPalette(palette);
            }
            widget = box;
            break;
        }
        case ControlKind::Button: {
            auto *button = new QPushButton(item.text, container);
            button->setAutoDefault(false);
            button->setDefault(false);
            widget = button;
            break;
        }
        case ControlKind::CheckBox:
            widget = new QCheckBox(item.text, container);
            break;
        case ControlKind::Frame:
            widget = new FrameBox(item.text, container);
            break;
        }
        widget->setObjectName(item.name);
        if (item.index >= 0)
            widget->setProperty("index", item.index);
        widget->setProperty("tabIndex", item.tabIndex);
        if (!item.description.isEmpty())
            widget->setAccessibleDescription(item.description);
        widget->setGeometry(twipsToPixels(item.left), twipsToPixels(item.top),
                            twipsToPixels(item.width), twipsToPixels(item.height));

        QList<QWidget *> &members = m_controls[item.name];
        const qsizetype slot = item.index < 0 ? 0 : item.index;
        if (members.size() <= slot)
            members.resize(slot + 1);
        members[slot] = widget;
    }
    m_portNumber = control<TextBox>(QStringLiteral("PortNumber"));
    m_portNumber->installEventFilter(this);
    m_statusLabel = control<QLabel>(QStringLiteral("StatusLabel"));
    m_statusLabel->installEventFilter(this);
}

void IoTestWindow::applyFonts()
{
    const QFont font = windowFont(controlTable(), style());
    setFont(font);
    const QFont struck = writeBitFont(font);
    for (const ControlDesign &item : controlTable()) {
        if (item.struckThrough)
            control(item.name, item.index)->setFont(struck);
    }
}

void IoTestWindow::applyTabOrder()
{
    QList<const ControlDesign *> order;
    for (const ControlDesign &item : controlTable())
        order << &item;
    std::sort(order.begin(), order.end(), [](const ControlDesign *a, const ControlDesign *b) {
        return a->tabIndex < b->tabIndex;
    });

    // Labels and frames keep their positions but never take the focus.
    QWidget *previous = nullptr;
    for (const ControlDesign *item : order) {
        QWidget *widget = control(item->name, item->index);
        if (item->kind == ControlKind::Label || item->kind == ControlKind::Frame) {
            widget->setFocusPolicy(Qt::NoFocus);
            continue;
        }
        widget->setFocusPolicy(Qt::StrongFocus);
        if (previous)
            setTabOrder(previous, widget);
        previous = widget;
    }
}

void IoTestWindow::collectPorts()
{
    for (const Port id : BoardPorts) {
        const QString prefix = QStringLiteral("Port") + QChar::fromLatin1(portLetter(id));
        PortControls &port = m_ports[portIndex(id)];
        port.port = id;
        for (int i = 0; i < 8; ++i) {
            port.directionBits[i] = control<QPushButton>(prefix + "IOBit", i);
            port.writeBits[i] = control<QPushButton>(prefix + "IO", i);
        }
        port.directionDec = control<TextBox>(prefix + "IODec");
        port.directionHex = control<TextBox>(prefix + "IOHex");
        port.writeDec = control<TextBox>(prefix + "WDec");
        port.writeHex = control<TextBox>(prefix + "WHex");
        port.readDec = control<TextBox>(prefix + "RDec");
        port.readHex = control<TextBox>(prefix + "RHex");
    }
}

void IoTestWindow::wireEvents()
{
    connect(m_session, &Session::noticed, m_statusLabel,
            [this](Notice notice) { m_statusLabel->setText(statusText(notice)); });
    connect(control<QPushButton>(QStringLiteral("Connect")), &QPushButton::clicked, this,
            &IoTestWindow::Connect_Click);
    connect(control<QPushButton>(QStringLiteral("ResetTamsk")), &QPushButton::clicked, this,
            &IoTestWindow::ResetTamsk_Click);
    connect(control<QPushButton>(QStringLiteral("Close")), &QPushButton::clicked, this,
            &IoTestWindow::Close_Click);

    // One set of handlers per kind of value, bound to each port's controls and Port.
    for (std::size_t p = 0; p < m_ports.size(); ++p) {
        const PortControls &port = m_ports[p];
        m_directionEditors[p] = std::make_unique<DirectionEditor>(*m_session, port);
        m_outputEditors[p] = std::make_unique<OutputEditor>(*m_session, port);
        DirectionEditor *direction = m_directionEditors[p].get();
        OutputEditor *output = m_outputEditors[p].get();
        for (qint16 i = 0; i < 8; ++i) {
            connect(port.directionBits[i], &QPushButton::clicked, this,
                    [direction, i] { direction->PortXIOBit_Click(i); });
            connect(port.writeBits[i], &QPushButton::clicked, this,
                    [output, i] { output->PortXIO_Click(i); });
        }
        connect(port.directionDec, &TextBox::change, this,
                [direction] { direction->PortXIODec_Change(); });
        connect(port.directionHex, &TextBox::change, this,
                [direction] { direction->PortXIOHex_Change(); });
        connect(port.writeDec, &TextBox::change, this, [output] { output->PortXWDec_Change(); });
        connect(port.writeHex, &TextBox::change, this, [output] { output->PortXWHex_Change(); });
    }

    auto *check = control<QCheckBox>(QStringLiteral("Check1"));
    m_poll = std::make_unique<PollCycle>(*m_session, m_ports, *check, *m_timer);
    PollCycle *poll = m_poll.get();
    connect(control<QPushButton>(QStringLiteral("PollNow")), &QPushButton::clicked, this,
            [poll] { poll->PollNow_Click(); });
    // toggled, not clicked: the timer follows the box however its value changes.
    connect(check, &QCheckBox::toggled, this, [poll] { poll->Check1_Click(); });
    connect(m_timer, &QTimer::timeout, this, [poll] { poll->Timer1_Timer(); });
}

void IoTestWindow::Form_Load()
{
    m_session->setPortIsOpen(0);
}

void IoTestWindow::Form_Unload(qint16 &cancel)
{
    Q_UNUSED(cancel); // never changed: the window always closes
    ++m_unloadCount;
    m_session->closeForUnload();
}

void IoTestWindow::Close_Click()
{
    qint16 cancel = 0;
    Form_Unload(cancel);
    // End at once: no tick, no second unload, nothing sent after this.
    stopForGood();
    emit ended();
}

void IoTestWindow::closeEvent(QCloseEvent *event)
{
    if (m_ended) {
        event->accept();
        return;
    }
    qint16 cancel = 0;
    Form_Unload(cancel);
    if (cancel != 0) {
        event->ignore();
        return;
    }
    // The window goes, and its timer with it.
    stopForGood();
    event->accept();
}

void IoTestWindow::stopForGood()
{
    m_ended = true;
    m_timer->stop();
}

void IoTestWindow::Connect_Click()
{
    const QString typed = m_portNumber->text();
    if (m_session->connectTo(PortNumberFromText(typed), typed))
        ResetTamsk_Click();
}

void IoTestWindow::ResetTamsk_Click()
{
    ::ResetTamsk_Click(*m_session, m_ports);
}
