#pragma once

#include <QString>

// The system device that port number N names:
//   Windows:   COMN
//   elsewhere: <devDir>/comN when it exists (a udev SYMLINK+="comN" rule or a link made by
//              hand), otherwise <devDir>/ttyS(N-1), the usual name of the N-th UART.
// Numbers below 1 name nothing and give an empty string.
QString systemPortName(int number, const QString &devDir = QStringLiteral("/dev"));
