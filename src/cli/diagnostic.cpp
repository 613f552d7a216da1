// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "diagnostic.h"

#include "interrupts.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <unistd.h>

namespace {

// A pipe takes this much at once, whole, once it has room.
#ifdef PIPE_BUF
constexpr std::size_t WritePiece = PIPE_BUF;
#else
constexpr std::size_t WritePiece = 4096;
#endif

} // namespace

Written writeAll(int fd, std::string_view bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        if (!Interrupts::waitWritable(fd))
            return Written::Interrupted;
        const auto piece = std::min<std::size_t>(bytes.size() - done, WritePiece);
        const ssize_t n = ::write(fd, bytes.data() + done, piece);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0)
            return errno == EPIPE ? Written::ReaderGone : Written::Failed;
        if (n == 0) {
            errno = EIO;
            return Written::Failed;
        }
        done += std::size_t(n);
    }
    return Written::All;
}

std::string printable(std::string_view text)
{
    static const char digits[] = "0123456789abcdef";
    std::string result;
    result.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7f) {
            result += "\\x";
            result += digits[byte >> 4];
            result += digits[byte & 0xf];
        } else {
            result += c;
        }
    }
    return result;
}

void diagnostic(std::string_view message)
{
    std::string line = "zarvex: ";
    line += printable(message);
    line += '\n';
    writeAll(STDERR_FILENO, line);
}
