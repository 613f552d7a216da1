// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "helptexts.h"

namespace HelpTexts {

const char General[] =
    R"(Usage: zarvex [-p N | -d PATH|URL] [--board FILE] [--json] [--no-check] COMMAND
              [ARGS...]

Drives a Zarvex board from scripts, with the same commands, port naming and
locking as the Zarvex Test window.

Commands:
%1

Options:
  -p, --port N           port number N, named exactly as the window names it
  -d, --device PATH|URL  a device path (/dev/serial/by-id/..., /dev/pts/N), or a
                         board served over the network by a serial server:
                         rfc2217://HOST:PORT (telnet) or socket://HOST:PORT (raw)
                         usb-serial:SERIAL names a USB adapter by its serial
                         number (zarvex ports shows it), looked up at each open
      --board FILE       the rig's board file (TOML): its device, and names for
                         its lines to use wherever a line goes (read DONE,
                         write RESET_N=1); ZARVEX_BOARD when not given
      --json             JSON Lines on standard output
      --no-check         no read-ports exchange after dir, write, reset and setup
  -h, --help             this help; zarvex COMMAND --help for a command
      --version          the version

Without -p or -d the port is the board file's device, or else ZARVEX_PORT (a
number, a path or a URL).
Values: 90, 0x5A, 0b01011010. Lines: A.0 to C.7, or names of the board file.
Durations: 250ms, 2s, 1m.
Exit: 0 success, 1 condition false, 2 bad usage, 3 port not opened,
      4 no answer from the board, 5 port lost.
)";

const HelpText Ports = {
    "ports [--probe]", nullptr, "port numbers that name a device now, and what they name",
    R"(Lists every port number that names a device right now and what it names, then
the serial devices no number reaches. Entries this user cannot use say why.
  --probe   open each free numbered port once and try one read-ports
            exchange: answers, silent or busy. Exit 1 when no board answers.
)"};

const HelpText Read = {"read [SEL...]", nullptr,
                       "one reading: A=0x5A B=0x00 C=0x1F, or the selected\n"
                       "ports and lines (A, B.3)",
                       R"(One read-ports exchange. Prints A=0x5A B=0x00 C=0x1F, or only the selected
ports (A, b) and lines (A.3=1), in the order given.
)"};

const HelpText Dir = {"dir PORT=VALUE...", nullptr,
                      "load direction registers (bit 1 = input; in, out)",
                      R"(One set-direction command per assignment, in the order given. A bit of 1
makes a line an input: A=0xF0, B=in (0xFF), C=out (0x00). A line (A.3=out)
may follow a whole-port value of the same port on the same command line.
Then one read-ports exchange shows the board answers (unless --no-check).
)"};

const HelpText Write = {"write PORT=VALUE...", nullptr, "load output values",
                        R"(One write-port command per assignment, in the order given: A=0x5A. A line
(A.3=1) may follow a whole-port value of the same port on the same command
line. Then one read-ports exchange shows the board answers (unless
--no-check).
)"};

const HelpText Reset = {
    "reset", nullptr, "every line an input, every output 0",
    R"(Every line an input and every output 0: set-direction A, B, C to 0xFF, then
write-port A, B, C with 0, each once. Then one read-ports exchange shows the
board answers (unless --no-check).
)"};

const HelpText Setup = {
    "setup", nullptr, "the board file's outputs driven at their initial levels",
    R"(Loads what the board file (--board FILE or ZARVEX_BOARD) says: write-port A, B, C
with the initial levels of its named outputs (0 elsewhere), then set-direction
A, B, C with its named outputs 0 and every other line 1 (an input), each once.
Prints the registers loaded and the level of each named output. A one-line
write after it in a batch needs no whole-port write first. Then one read-ports
exchange shows the board answers (unless --no-check).
)"};

const HelpText Watch = {
    "watch [SEL...] [--interval D] [--count N] [--duration D] [--edges [--stable N]] "
    "[--reconnect]",
    "watch [SEL...]", "poll and print every change",
    R"(Polls every D (default 100ms) on a fixed schedule, prints the state, then one
line per change, each with a local timestamp. "no answer" and "answering
again" are said once per change. Ends after N changes, after --duration, or
on SIGINT or SIGTERM, with exit 0.
  --edges      the levels of lines instead: first that of every selected
               line (all 24 without a selection; a port is its 8 lines),
               "B.0=1 initial", then one per edge, "B.0=0". An edge is timed
               to one interval; at 9600 baud a reading takes about 6 ms.
  --stable N   with --edges: a new level counts after N readings in a row
               (default 1), timed at the first; shorter ones are dropped.
               --count then counts edges.
  --reconnect  a lost port is opened again every 250 ms: "board gone" and
               why, then "back" and a fresh state.
)"};

const HelpText Wait = {"wait COND... --timeout D|forever [--stable N] [--any] [--interval D] "
                       "[--reconnect]",
                       "wait COND... --timeout D|forever", "poll until the conditions hold",
                       R"(Polls every D (default 100ms) until every condition holds (--any: one of
them) in N samples in a row (default 1). A condition is A=0x5A, A.3=1 or
A&0x0F=0x05. Exit 1 when the time runs out, 4 when the board did not answer
at the end. --reconnect: a lost port is opened again every 250 ms ("board
gone", "back") while the timeout runs; still gone at its end, exit 5.
)"};

const HelpText Expect = {
    "expect COND... [--any]", "expect COND...", "check one reading",
    R"(One reading; exit 0 when every condition holds (--any: one of them), else 1.
A condition is A=0x5A, A.3=1 or A&0x0F=0x05.
)"};

const HelpText Batch = {"batch [-f FILE|-] [--keep-going] [--check-only] [--reconnect]",
                        "batch [-f FILE|-]", "one command a line on one open port",
                        R"(Runs commands from standard input or FILE, one a line, on one open port:
%1
Blank lines and # comments are skipped. The first line printed names the port
and device; then exactly one reply per command: "ok ...", "fail line N: ..."
(a condition is false) or "error line N: ...". The batch stops at the first
failure unless --keep-going. A one-line write (write A.3=1, dir A.3=out,
pulse) needs the whole register loaded earlier in the batch (by setup, reset
or a whole-port command): the board cannot report its registers. A file is
checked whole before the port is opened; --check-only only checks. Unless
--no-check, the batch ends with one read-ports exchange when commands were
sent since the board last answered. --reconnect: the command the port was
lost in fails, and "board gone" and why follow its reply; when the next
command comes, the port is opened again every 250 ms, "back" is said, and
the batch goes on with it. Nothing sent before is sent again.
)"};

const HelpText Bridge = {
    "bridge URL [--link PATH]", nullptr, "a board on another machine as a device here",
    R"(Connects to the board at URL (rfc2217://HOST:PORT or socket://HOST:PORT) and
serves it on a pseudo-terminal here, for programs that only open devices, such
as the Zarvex Test window: --link /dev/com7 makes it port 7. The first line
printed names the device. Clients come and go; the connection stays, and is
made again when the server comes back. Ends on SIGINT, SIGTERM or SIGHUP,
removing the link.
)"};

const HelpText Help = {
    "help [COMMAND]", nullptr, "this list, or the usage of COMMAND",
    R"(Prints the usage of COMMAND, as zarvex COMMAND --help does, or without one the
list of commands and options.
)"};

const HelpText Sleep = {
    "sleep D", nullptr, "pause",
    R"(A batch line: pauses for D (250ms, 2s, 1m; a bare number is milliseconds).
zarvex batch --help tells how a batch runs.
)"};

const HelpText Pulse = {"pulse LINE=BIT D", nullptr, "drive a line, then the other level",
                        R"(A batch line: writes the line at BIT, waits D and writes it at the other
level: pulse A.3=1 50ms. A name of the board file alone is asserted: pulse
RESET_N 50ms. The rest of the port's write register must be known, as for a
one-line write: loaded earlier in the batch by setup, reset or a whole-port
write. zarvex batch --help tells how a batch runs.
)"};

const HelpText State = {
    "state", nullptr, "the registers this batch loaded",
    R"(A batch line: prints the registers that this batch loaded, with ? for those
it did not: dir A=0xFF B=0x00 C=0xFF write A=0x00 B=0x80 C=0x00. zarvex
batch --help tells how a batch runs.
)"};

const HelpText Quit = {"quit", nullptr, "stop here",
                       R"(A batch line: ends the batch here; the lines after it are not run.
zarvex batch --help tells how a batch runs.
)"};

} // namespace HelpTexts
