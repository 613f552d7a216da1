// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "controltable.h"

namespace {

ControlDesign control(QString name, ControlKind kind, QString container, QString text, int left,
                      int top, int width, int height, int tabIndex, QString description = {})
{
    ControlDesign item;
    item.name = std::move(name);
    item.kind = kind;
    item.container = std::move(container);
    item.text = std::move(text);
    item.left = left;
    item.top = top;
    item.width = width;
    item.height = height;
    item.tabIndex = tabIndex;
    item.description = std::move(description);
    return item;
}

ControlDesign member(ControlDesign item, int index)
{
    item.index = index;
    return item;
}

QList<ControlDesign> buildTable()
{
    using K = ControlKind;
    const QString window;
    const QString frame1 = QStringLiteral("Frame1");
    const QString frame2 = QStringLiteral("Frame2");
    QList<ControlDesign> t;

    t << control("Label1", K::Label, window, "Port Number", 120, 120, 1215, 255, 1)
      << control("PortNumber", K::TextBox, window, "3", 1320, 120, 615, 285, 0,
                 "Number of the serial port the board is on")
      << control("Connect", K::Button, window, "Connect", 2040, 120, 975, 255, 2,
                 "Open the port and reset the board")
      << control("PollNow", K::Button, window, "Poll Once", 3960, 120, 975, 255, 3,
                 "Read the inputs of the three ports once")
      << control("Check1", K::CheckBox, window, "Continuous Poll", 5040, 120, 1455, 255, 4,
                 "Read the inputs of the three ports every 100 milliseconds")
      << control("Frame1", K::Frame, window, "Direction Register Value I/O", 120, 480, 6375, 2295,
                 5, "Direction of each line: I input, O output")
      << control("Frame2", K::Frame, window, "Port Value", 120, 2880, 7215, 2535, 6,
                 "Values written to and read from the ports")
      << control("StatusLabel", K::Label, window, "Set Device Number and then click connect", 120,
                 5640, 3135, 255, 93, "Connection and command status")
      << control("ResetTamsk", K::Button, window, "Reset All", 4320, 5520, 1215, 375, 105,
                 "Make every line an input and every output value 0")
      << control("Close", K::Button, window, "Done", 5760, 5520, 1455, 375, 94,
                 "Close the port and end the program");

    const char letters[] = {'A', 'B', 'C'};
    for (int p = 0; p < 3; ++p) {
        const QString x(QChar::fromLatin1(letters[p]));
        const QString port = QStringLiteral("Port ") + x;

        // Direction values.
        const int top1 = 600 + 480 * p;
        t << control(QStringLiteral("Label%1").arg(2 + p), K::Label, frame1, port + ":", 120, top1,
                     495, 255, 7 + p);
        for (int i = 0; i < 8; ++i)
            t << member(control("Port" + x + "IOBit", K::Button, frame1, "I", 720 + 480 * i, top1,
                                375, 375, 13 + 8 * p + i,
                                QStringLiteral("%1 direction bit %2").arg(port).arg(i)),
                        i);
        const int directionTabs[3][2] = {{45, 46}, {49, 51}, {50, 52}};
        t << control("Port" + x + "IOHex", K::TextBox, frame1, "FF", 4680, top1, 495, 285,
                     directionTabs[p][0], port + " direction value, hexadecimal")
          << control("Port" + x + "IODec", K::TextBox, frame1, "255", 5280, top1, 615, 285,
                     directionTabs[p][1], port + " direction value, decimal");

        // Write and read values.
        const int top2 = 840 + 480 * p;
        t << control(QStringLiteral("Label%1").arg(5 + p), K::Label, frame2, port + ":", 120, top2,
                     495, 255, 10 + p);
        for (int i = 0; i < 8; ++i) {
            ControlDesign bit = member(control("Port" + x + "IO", K::Button, frame2, "0",
                                               720 + 480 * i, top2, 375, 375, 53 + 8 * p + i,
                                               QStringLiteral("%1 write bit %2").arg(port).arg(i)),
                                       i);
            bit.struckThrough = true;
            t << bit;
        }
        t << control("Port" + x + "WHex", K::TextBox, frame2, "0", 4680, top2, 495, 285, 85 + p,
                     port + " write value, hexadecimal")
          << control("Port" + x + "WDec", K::TextBox, frame2, "0", 5280, top2, 615, 285, 88 + p,
                     port + " write value, decimal");
        const int readTabs[3][2] = {{95, 96}, {101, 102}, {103, 104}};
        ControlDesign readHex =
            control("Port" + x + "RHex", K::TextBox, frame2, "", 6120, top2, 375, 285,
                    readTabs[p][0], port + " read value, hexadecimal");
        ControlDesign readDec = control("Port" + x + "RDec", K::TextBox, frame2, "", 6600, top2,
                                        495, 285, readTabs[p][1], port + " read value, decimal");
        readHex.buttonFace = readDec.buttonFace = true;
        t << readHex << readDec;
    }

    // Column headings of the direction bits.
    for (int n = 0; n < 8; ++n)
        t << control(QStringLiteral("Label%1").arg(8 + n), K::Label, frame1, QString::number(n),
                     840 + 480 * n, 240, 255, 255, 37 + n,
                     QStringLiteral("Heading of direction bit %1").arg(n));
    t << control("Label16", K::Label, frame1, "Hex", 4800, 240, 375, 255, 47)
      << control("Label17", K::Label, frame1, "Dec", 5400, 240, 375, 255, 48);

    // Headings of the port values.
    t << control("Label29", K::Label, frame2,
                 "Write Bits (Disabled if set as input in above panel)", 840, 240, 3735, 255, 107)
      << control("Label27", K::Label, frame2, "Write Values", 4800, 360, 975, 255, 97)
      << control("Label28", K::Label, frame2, "Read Values", 6120, 360, 975, 255, 98)
      << control("Bitlabel", K::Label, frame2, "Bit ->", 120, 480, 495, 255, 106);
    for (int n = 0; n < 8; ++n)
        t << control(QStringLiteral("Label%1").arg(18 + n), K::Label, frame2, QString::number(n),
                     840 + 480 * n, 480, (n == 3 || n == 7) ? 135 : 255, 255, 77 + n,
                     QStringLiteral("Heading of write bit %1").arg(n));
    t << member(control("HexLabel", K::Label, frame2, "Hex", 4800, 600, 375, 255, 91), 0)
      << member(control("Label26", K::Label, frame2, "Dec", 5400, 600, 375, 255, 92), 0)
      << member(control("HexLabel", K::Label, frame2, "Hex", 6120, 600, 375, 255, 99), 1)
      << member(control("Label26", K::Label, frame2, "Dec", 6720, 600, 375, 255, 100), 1);
    return t;
}

} // namespace

const QList<ControlDesign> &controlTable()
{
    static const QList<ControlDesign> table = buildTable();
    return table;
}
