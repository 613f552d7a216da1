// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <functional>
#include <string>

// Writing to a non-blocking descriptor (a tty or a socket) the way every link does.
namespace FdIo {

// Hands the descriptor as much of unsent as it takes now, without waiting, and removes that
// from unsent; false when the descriptor broke. A socket never raises SIGPIPE.
bool writeWithoutWaiting(int fd, std::string &unsent, bool socket);

enum class WriteWait { Writable, Interrupted, Broken, Stalled };
// Waits until the descriptor takes more bytes, asking interrupted() every checkMs (once part of
// a command went, only after restMs); Stalled once giveUpMs have passed, when that is set.
WriteWait waitUntilWritable(int fd, bool partlySent, const std::function<bool()> &interrupted,
                            int checkMs, int restMs, int giveUpMs = -1);

// close() that keeps errno and ignores a descriptor of -1; sets fd to -1.
void closeFd(int &fd);

} // namespace FdIo
