// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// Opens a port as the window and zarvex open it, holds it a while and closes it, noting both in
// a log that several of these share: for the tests that race processes for one device.
//   zarvex-claim-child DEVICE LOG HOLD_MS
// Appends "+PID" once the port is open and "-PID" just before closing it, each with one write
// of its own. Exits 0 when it had the port, 3 when it was refused (the reason on stderr).
#include "device/porttarget.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace {

bool note(int log, char mark)
{
    const std::string line = mark + std::to_string(::getpid()) + '\n';
    return ::write(log, line.data(), line.size()) == ssize_t(line.size());
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 4)
        return 2;
    const int log = ::open(argv[2], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (log < 0)
        return 2;

    PortTarget target;
    target.kind = PortTarget::Kind::Path;
    target.path = argv[1];
    const std::unique_ptr<SerialLink> link = makeLink(target);
    if (const std::optional<OpenRefusal> refusal = link->open()) {
        std::fprintf(stderr, "%s\n", refusal->text().c_str());
        return 3;
    }
    const bool noted = note(log, '+');
    std::this_thread::sleep_for(std::chrono::milliseconds(std::strtoul(argv[3], nullptr, 10)));
    const bool closing = note(log, '-');
    link->close();
    return noted && closing ? 0 : 2;
}
