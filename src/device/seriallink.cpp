// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "seriallink.h"

void SerialLink::reportLoss()
{
    if (m_lossReported)
        return;
    m_lossReported = true;
    if (m_lossHandler)
        m_lossHandler();
}
