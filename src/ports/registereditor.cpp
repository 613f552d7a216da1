// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "registereditor.h"

#include "ports/textbox.h"
#include "session/session.h"
#include "valueformats.h"

#include <QPushButton>
#include <QStringList>

RegisterEditor::RegisterEditor(Session &session, Port port, const Views &views)
    : m_session(session), m_port(port), m_views(views)
{}

void RegisterEditor::bitClick(qint16 index)
{
    if (index < 0 || index > 7)
        return;
    showLine(index, m_views.bits[index]->text() != m_views.setMark);

    QStringList captions;
    for (const QPushButton *bit : m_views.bits)
        captions << bit->text();
    const double value = ValueFromBits(captions, m_views.setMark);

    // The hexadecimal box still shows the value from before the click, so this runs its
    // handler, which rewrites the decimal box in turn; the decimal text below is then
    // already in place.
    m_views.hex->setText(HexText(value));
    m_views.decimal->setText(DecimalText(value));
    sendStep(value);
}

void RegisterEditor::decimalChange()
{
    int caret = m_views.decimal->caretPosition();
    double value = DecimalBoxValue(m_views.decimal->text());
    // A negative value has no hexadecimal form in 0..255: taken as is, the two boxes would
    // rewrite each other without end. It reads as an emptied box.
    if (RoundHalfEven(value) < 0)
        value = 0;

    m_views.hex->setText(HexText(value));
    m_views.decimal->setText(DecimalText(value));
    showBits(value);
    if (value == 0)
        caret = 2; // behind " 0", so a digit typed next replaces the zero
    m_views.decimal->setCaretPosition(caret);
    sendStep(value);
}

void RegisterEditor::hexChange()
{
    const int caret = m_views.hex->caretPosition();
    const double value = HexBoxValue(m_views.hex->text());

    m_views.hex->setText(HexText(value));
    m_views.decimal->setText(DecimalText(value));
    showBits(value);
    m_views.hex->setCaretPosition(caret);
    sendStep(value);
}

void RegisterEditor::showBits(double value)
{
    for (int line = 0; line < 8; ++line)
        showLine(line, BitOf(value, line));
}

void RegisterEditor::showLine(int line, bool set)
{
    m_views.bits[line]->setText(set ? m_views.setMark : m_views.clearMark);
}

void RegisterEditor::sendStep(double value)
{
    if (m_session.requireConnection())
        m_session.delivered(send(value));
}

DirectionEditor::DirectionEditor(Session &session, const PortControls &port)
    : RegisterEditor(session, port.port,
                     {port.directionBits, port.directionDec, port.directionHex, QStringLiteral("I"),
                      QStringLiteral("O")}),
      m_writeBits(port.writeBits)
{}

void DirectionEditor::showLine(int line, bool set)
{
    RegisterEditor::showLine(line, set);
    m_writeBits[line]->setEnabled(set);
}

SendOutcome DirectionEditor::send(double value)
{
    return m_session.commands().sendSetDirection(m_port, value);
}

OutputEditor::OutputEditor(Session &session, const PortControls &port)
    : RegisterEditor(
          session, port.port,
          {port.writeBits, port.writeDec, port.writeHex, QStringLiteral("1"), QStringLiteral("0")})
{}

SendOutcome OutputEditor::send(double value)
{
    return m_session.commands().sendWritePort(m_port, value);
}
