// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "device/porttarget.h"
#include "ports/portcontrols.h"

#include <QHash>
#include <QList>
#include <QWidget>

#include <array>
#include <memory>

class QCheckBox;
class QLabel;
class QPushButton;
class QTimer;
class DirectionEditor;
class OutputEditor;
class PollCycle;
class Session;
class TextBox;

// The one window, IOTEST: builds every control from the design table, wires each event
// to its handler and runs the window's own handlers (load, unload, Connect, Reset All,
// Done). Everything runs on the GUI thread, one handler at a time.
class IoTestWindow : public QWidget
{
    Q_OBJECT

public:
    // Opens the port a number names as options say; by default by its system name.
    explicit IoTestWindow(const LinkOptions &options = {}, QWidget *parent = nullptr);
    ~IoTestWindow() override;

    // A control by name, and a member of a control array by name and index.
    QWidget *control(const QString &name, int index = -1) const;
    template<class T> T *control(const QString &name, int index = -1) const
    {
        return qobject_cast<T *>(control(name, index));
    }

    const AllPorts &ports() const { return m_ports; }
    Session &session() const { return *m_session; }
    QTimer *timer() const { return m_timer; }
    int unloadCount() const { return m_unloadCount; }
    // What resting the mouse on the status line shows: why the last Connect failed, or
    // nothing.
    QString statusLabelToolTip() const;

    void Form_Load();
    void Form_Unload(qint16 &cancel);
    void Close_Click();
    void Connect_Click();
    void ResetTamsk_Click();

signals:
    // "Done" has run the unload work: the program must end now.
    void ended();

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildControls();
    void applyFonts();
    void applyTabOrder();
    void collectPorts();
    void wireEvents();
    void stopForGood();

    Session *m_session;
    QTimer *m_timer;
    QHash<QString, QList<QWidget *>> m_controls;
    AllPorts m_ports;
    std::array<std::unique_ptr<DirectionEditor>, 3> m_directionEditors;
    std::array<std::unique_ptr<OutputEditor>, 3> m_outputEditors;
    std::unique_ptr<PollCycle> m_poll;
    TextBox *m_portNumber = nullptr;
    QLabel *m_statusLabel = nullptr;
    int m_unloadCount = 0;
    bool m_ended = false;
};
