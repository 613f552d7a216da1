// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>

class QSocketNotifier;
class SerialLink;

// Serves a SerialLink from the event loop: bytes that arrive are taken while the link wants
// them, bytes the system could not take yet go when it can, and a loss becomes lost(), from
// the event loop, once per open.
class LinkWatcher : public QObject
{
    Q_OBJECT

public:
    explicit LinkWatcher(SerialLink &link, QObject *parent = nullptr);
    ~LinkWatcher() override;

    // Watches what the link wants watched now. Called by the owner after opening and, queued,
    // after every use of the link (see updateLater()).
    void update();
    // update() once the event loop runs again, after whatever uses the link now.
    void updateLater();

signals:
    // The open link broke. Emitted from the event loop, also when nobody was using it; a loss
    // its owner has already dealt with (closed) is not reported again.
    void lost();

private:
    void serve();
    void dropNotifiers();

    SerialLink &m_link;
    QSocketNotifier *m_readable = nullptr;
    QSocketNotifier *m_writable = nullptr;
    int m_fd = -1;
    bool m_updatePending = false;
};
