// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "device/commandset.h"
#include "portcontrols.h"

#include <QString>

#include <array>

class QPushButton;
class Session;
class TextBox;

// One 8-bit value of a port in its three views: eight bit buttons, a decimal box and a
// hexadecimal box. Each handler computes the value once from the view that changed,
// writes every view, and sends the value last. The boxes' text assignments run the other
// box's handler inside them, so one user action sends the same command once per handler
// run: three times for a click, one to four times for a box edit.
class RegisterEditor
{
public:
    virtual ~RegisterEditor() = default;
    RegisterEditor(const RegisterEditor &) = delete;
    RegisterEditor &operator=(const RegisterEditor &) = delete;

protected:
    struct Views
    {
        std::array<QPushButton *, 8> bits;
        TextBox *decimal;
        TextBox *hex;
        QString setMark;   // caption of a 1 bit
        QString clearMark; // caption of a 0 bit
    };

    RegisterEditor(Session &session, Port port, const Views &views);

    void bitClick(qint16 index);
    void decimalChange();
    void hexChange();
    void showBits(double value);

    // Shows one line of the bit view; no handler runs as a result.
    virtual void showLine(int line, bool set);
    // Writes the value's command to the board.
    virtual SendOutcome send(double value) = 0;

    Session &m_session;
    const Port m_port;
    const Views m_views;

private:
    // The last step of every handler: the command, or "Please Click Connect First".
    void sendStep(double value);
};

// Direction editing: bit "I" is an input, "O" an output. A line's write-bit button is
// enabled exactly while its direction shows "I". Sends set-direction.
class DirectionEditor : public RegisterEditor
{
public:
    DirectionEditor(Session &session, const PortControls &port);

    void PortXIOBit_Click(qint16 index) { bitClick(index); }
    void PortXIODec_Change() { decimalChange(); }
    void PortXIOHex_Change() { hexChange(); }
    void ShowDirectionBits(double value) { showBits(value); }

protected:
    void showLine(int line, bool set) override;
    SendOutcome send(double value) override;

private:
    const std::array<QPushButton *, 8> m_writeBits;
};

// Output value editing: bit "1" or "0"; all eight bits are sent, whatever the direction.
// Sends write-port.
class OutputEditor : public RegisterEditor
{
public:
    OutputEditor(Session &session, const PortControls &port);

    void PortXIO_Click(qint16 index) { bitClick(index); }
    void PortXWDec_Change() { decimalChange(); }
    void PortXWHex_Change() { hexChange(); }

protected:
    SendOutcome send(double value) override;
};
