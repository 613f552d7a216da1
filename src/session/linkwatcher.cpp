// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "linkwatcher.h"

#include "device/seriallink.h"

#include <QSocketNotifier>

#include <utility>

LinkWatcher::LinkWatcher(SerialLink &link, QObject *parent) : QObject(parent), m_link(link)
{
    m_link.setLossHandler([this] {
        // Possibly from inside a query: the owner hears of it from the event loop.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_link.state() == LinkState::Lost)
                    emit lost();
            },
            Qt::QueuedConnection);
    });
}

LinkWatcher::~LinkWatcher()
{
    m_link.setLossHandler({});
}

void LinkWatcher::update()
{
    m_updatePending = false;
    const int fd = m_link.descriptor();
    if (fd != m_fd) {
        dropNotifiers();
        m_fd = fd;
        if (fd >= 0) {
            m_readable = new QSocketNotifier(fd, QSocketNotifier::Read, this);
            m_writable = new QSocketNotifier(fd, QSocketNotifier::Write, this);
            connect(m_readable, &QSocketNotifier::activated, this, &LinkWatcher::serve);
            connect(m_writable, &QSocketNotifier::activated, this, &LinkWatcher::serve);
        }
    }
    if (m_readable)
        m_readable->setEnabled(m_link.wantsRead());
    if (m_writable)
        m_writable->setEnabled(m_link.hasUnsent());
}

void LinkWatcher::updateLater()
{
    if (std::exchange(m_updatePending, true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_updatePending)
                update();
        },
        Qt::QueuedConnection);
}

void LinkWatcher::serve()
{
    m_link.service();
    update();
}

void LinkWatcher::dropNotifiers()
{
    // Possibly from inside one of their own activations.
    for (QSocketNotifier *notifier :
         {std::exchange(m_readable, nullptr), std::exchange(m_writable, nullptr)}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
}
