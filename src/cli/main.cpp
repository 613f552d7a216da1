// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "batch.h"
#include "boardclient.h"
#include "commands.h"
#include "interrupts.h"
#include "output.h"
#include "version.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

namespace {

const QList<OptionRule> GlobalOptions = {
    {QStringLiteral("-p"), true, QStringLiteral("--port")},
    {QStringLiteral("-d"), true, QStringLiteral("--device")},
    {QStringLiteral("--json")},
    {QStringLiteral("--no-check")},
    {QStringLiteral("-h"), false, QStringLiteral("--help")},
    {QStringLiteral("--version")},
};

const QStringList Subcommands = {QStringLiteral("ports"), QStringLiteral("read"),
                                 QStringLiteral("dir"),   QStringLiteral("write"),
                                 QStringLiteral("reset"), QStringLiteral("watch"),
                                 QStringLiteral("wait"),  QStringLiteral("expect"),
                                 QStringLiteral("batch"), QStringLiteral("help")};

const char GeneralHelp[] = R"(Usage: zarvex [-p N | -d PATH] [--json] [--no-check] COMMAND [ARGS...]

Drives a Zarvex board from scripts, with the same commands, port naming and
locking as the Zarvex Test window.

Commands:
  ports [--probe]        port numbers that name a device now, and what they name
  read [SEL...]          one reading: A=0x5A B=0x00 C=0x1F, or the selected
                         ports and lines (A, B.3)
  dir PORT=VALUE...      load direction registers (bit 1 = input; in, out)
  write PORT=VALUE...    load output values
  reset                  every line an input, every output 0
  watch [SEL...]         poll and print every change
  wait COND... --timeout D|forever
                         poll until the conditions hold
  expect COND...         check one reading
  batch [-f FILE|-]      one command a line on one open port

Options:
  -p, --port N           port number N, named exactly as the window names it
  -d, --device PATH      a device path (/dev/serial/by-id/..., /dev/pts/N)
      --json             JSON Lines on standard output
      --no-check         no read-ports exchange after dir, write and reset
  -h, --help             this help; zarvex COMMAND --help for a command
      --version          the version

Without -p or -d the port is ZARVEX_PORT (a number or a path).
Values: 90, 0x5A, 0b01011010. Lines: A.0 to C.7. Durations: 250ms, 2s, 1m.
Exit: 0 success, 1 condition false, 2 bad usage, 3 port not opened,
      4 no answer from the board, 5 port lost.
)";

QString commandHelp(const QString &name)
{
    static const QHash<QString, QString> help = {
        {QStringLiteral("ports"), QStringLiteral(R"(Usage: zarvex ports [--probe]

Lists every port number that names a device right now and what it names, then
the serial devices no number reaches. Entries this user cannot use say why.
  --probe   open each free numbered port once and try one read-ports
            exchange: answers, silent or busy. Exit 1 when no board answers.
)")},
        {QStringLiteral("read"), QStringLiteral(R"(Usage: zarvex read [SEL...]

One read-ports exchange. Prints A=0x5A B=0x00 C=0x1F, or only the selected
ports (A, b) and lines (A.3=1), in the order given.
)")},
        {QStringLiteral("dir"), QStringLiteral(R"(Usage: zarvex dir PORT=VALUE...

One set-direction command per assignment, in the order given. A bit of 1
makes a line an input: A=0xF0, B=in (0xFF), C=out (0x00). A line (A.3=out)
may follow a whole-port value of the same port on the same command line.
Then one read-ports exchange shows the board answers (unless --no-check).
)")},
        {QStringLiteral("write"), QStringLiteral(R"(Usage: zarvex write PORT=VALUE...

One write-port command per assignment, in the order given: A=0x5A. A line
(A.3=1) may follow a whole-port value of the same port on the same command
line. Then one read-ports exchange shows the board answers (unless
--no-check).
)")},
        {QStringLiteral("reset"), QStringLiteral(R"(Usage: zarvex reset

Every line an input and every output 0: set-direction A, B, C to 0xFF, then
write-port A, B, C with 0, each once. Then one read-ports exchange shows the
board answers (unless --no-check).
)")},
        {QStringLiteral("watch"),
         QStringLiteral(R"(Usage: zarvex watch [SEL...] [--interval D] [--count N] [--duration D]

Polls every D (default 100ms) on a fixed schedule, prints the state, then one
line per change, each with a local timestamp. "no answer" and "answering
again" are said once per change. Ends after N changes, after --duration, or
on SIGINT or SIGTERM, with exit 0.
)")},
        {QStringLiteral("wait"),
         QStringLiteral(
             R"(Usage: zarvex wait COND... --timeout D|forever [--stable N] [--any] [--interval D]

Polls every D (default 100ms) until every condition holds (--any: one of
them) in N samples in a row (default 1). A condition is A=0x5A, A.3=1 or
A&0x0F=0x05. Exit 1 when the time runs out, 4 when the board did not answer
at the end.
)")},
        {QStringLiteral("expect"), QStringLiteral(R"(Usage: zarvex expect COND... [--any]

One reading; exit 0 when every condition holds (--any: one of them), else 1.
A condition is A=0x5A, A.3=1 or A&0x0F=0x05.
)")},
        {QStringLiteral("batch"),
         QStringLiteral(R"(Usage: zarvex batch [-f FILE|-] [--keep-going] [--check-only]

Runs commands from standard input or FILE, one a line, on one open port:
  dir, write, read, expect, wait, reset   as the commands of the same name
  sleep D                                  pause
  pulse LINE=BIT D                         drive a line, then the other level
  state                                    the registers this batch loaded
  quit                                     stop here
Blank lines and # comments are skipped. The first line printed names the port
and device; then exactly one reply per command: "ok ...", "fail line N: ..."
(a condition is false) or "error line N: ...". The batch stops at the first
failure unless --keep-going. A one-line write (write A.3=1, dir A.3=out,
pulse) needs the whole register loaded earlier in the batch (by reset or a
whole-port command): the board cannot report its registers. A file is
checked whole before the port is opened; --check-only only checks. Unless
--no-check, the batch ends with one read-ports exchange when commands were
sent since the board last answered.
)")},
    };
    return help.value(name);
}

void printHelp(const QString &text)
{
    std::fputs(text.toUtf8().constData(), stdout);
    std::fflush(stdout);
}

int usageError(const QString &message)
{
    Output::diagnostic(message);
    return int(ExitCode::Usage);
}

// -p, -d, or else ZARVEX_PORT; nothing when none is given.
std::optional<PortChoice> portChoice(const ParsedOptions &options, QString *error)
{
    const bool number = options.has(QStringLiteral("-p"));
    const bool path = options.has(QStringLiteral("-d"));
    if (number && path) {
        *error = QStringLiteral("-p and -d both name a port; give one of them");
        return std::nullopt;
    }
    if (number) {
        const auto n = parsePortNumber(options.value(QStringLiteral("-p")), error);
        if (!n)
            *error = QStringLiteral("-p: ") + *error;
        return n ? std::optional(PortChoice{*n, {}}) : std::nullopt;
    }
    if (path) {
        const QString device = options.value(QStringLiteral("-d"));
        if (device.isEmpty())
            *error = QStringLiteral("-d needs a device path");
        return device.isEmpty() ? std::nullopt : std::optional(PortChoice{0, device});
    }
    const QString variable = qEnvironmentVariable("ZARVEX_PORT");
    if (variable.isEmpty()) {
        *error = QStringLiteral("no port given: use -p N, -d PATH or set ZARVEX_PORT");
        return std::nullopt;
    }
    if (variable.contains(QLatin1Char('/')))
        return PortChoice{0, variable};
    const auto n = parsePortNumber(variable, error);
    if (!n) {
        *error = QStringLiteral("ZARVEX_PORT=%1 is neither a port number (1 to 32767) nor a "
                                "device path")
                     .arg(variable);
        return std::nullopt;
    }
    return PortChoice{*n, {}};
}

// Once the port is closed: a signal, or a reader of standard output that went away, ends the
// process as it would have without us.
void endIfInterrupted(const Output &out)
{
    if (Interrupts::received())
        Interrupts::endBy(Interrupts::received());
    if (!out.isOpen())
        Interrupts::endBy(SIGPIPE);
}

int run(const QStringList &args)
{
    // First find the command, then parse again with only its options allowed.
    QList<OptionRule> every = GlobalOptions;
    for (const QString &name : Subcommands)
        every += commandOptions(name);
    QString error;
    const auto scan = parseOptions(args, every, &error);
    if (!scan)
        return usageError(error);
    const QString name = scan->positional.value(0);
    if (scan->has(QStringLiteral("--version"))) {
        printHelp(QStringLiteral("zarvex %1\n").arg(QStringLiteral(ZARVEX_VERSION_TEXT)));
        return 0;
    }
    if (name.isEmpty() || name == QLatin1String("help")) {
        const QString topic = scan->positional.value(1);
        if (!topic.isEmpty() && !commandHelp(topic).isEmpty()) {
            printHelp(commandHelp(topic));
            return 0;
        }
        if (!topic.isEmpty())
            return usageError(QStringLiteral("help: no command \"%1\"").arg(topic));
        if (name.isEmpty() && !scan->has(QStringLiteral("-h")))
            return usageError(QStringLiteral("no command given; zarvex --help lists them"));
        printHelp(QString::fromLatin1(GeneralHelp));
        return 0;
    }
    if (!Subcommands.contains(name)) {
        return usageError(
            inBatch(name)
                ? QStringLiteral("%1 is a batch command: echo '%1 ...' | zarvex batch").arg(name)
                : QStringLiteral("unknown command \"%1\"; zarvex --help lists them").arg(name));
    }

    const auto options = parseOptions(args, GlobalOptions + commandOptions(name), &error);
    if (!options)
        return usageError(QStringLiteral("%1: %2").arg(name, error));
    if (options->has(QStringLiteral("-h"))) {
        printHelp(commandHelp(name));
        return 0;
    }
    ParsedOptions commandArgs = *options;
    commandArgs.positional.removeFirst();
    Output out(options->has(QStringLiteral("--json")));
    const bool check = !options->has(QStringLiteral("--no-check"));

    if (name == QLatin1String("ports")) {
        if (!commandArgs.positional.isEmpty())
            return usageError(
                QStringLiteral("ports: unexpected argument %1").arg(commandArgs.positional[0]));
        const ExitCode code = runPorts(out, options->has(QStringLiteral("--probe")));
        endIfInterrupted(out);
        return int(code);
    }

    std::optional<Command> command;
    std::optional<WatchPlan> watch;
    BatchPlan batch;
    if (name == QLatin1String("watch")) {
        watch = parseWatch(commandArgs, &error);
        if (!watch)
            return usageError(QStringLiteral("watch: ") + error);
    } else if (name == QLatin1String("batch")) {
        if (!commandArgs.positional.isEmpty())
            return usageError(QStringLiteral("batch: unexpected argument %1 (give a file with -f)")
                                  .arg(commandArgs.positional[0]));
        batch.file = commandArgs.value(QStringLiteral("-f"));
        batch.keepGoing = commandArgs.has(QStringLiteral("--keep-going"));
        batch.checkOnly = commandArgs.has(QStringLiteral("--check-only"));
        batch.checkAtEnd = check;
    } else {
        command = parseCommand(name, commandArgs, &error);
        KnownRegisters nothingKnown;
        if (!command || !checkAgainst(*command, nothingKnown, &error))
            return usageError(error.startsWith(name) ? error : name + QStringLiteral(": ") + error);
    }

    const auto port = portChoice(*options, &error);
    if (!port && !(batch.checkOnly && name == QLatin1String("batch")))
        return usageError(error);

    ExitCode code = ExitCode::Success;
    if (name == QLatin1String("batch")) {
        code = runBatch(port, out, batch);
        endIfInterrupted(out);
        return int(code);
    }

    BoardClient board(*port);
    if (auto failure = board.open()) {
        Output::diagnostic(failure->message);
        return int(failure->code);
    }
    if (watch) {
        code = runWatch(board, out, *watch);
    } else {
        const Reply reply = runCommand(board, *command, check);
        if (out.json())
            out.object(reply.type, reply.json());
        else if (!reply.text.isEmpty())
            out.text(reply.text);
        if (!reply.ok())
            Output::diagnostic(name + QStringLiteral(": ") + reply.problem);
        code = reply.code;
    }
    board.close();
    if (!watch)
        endIfInterrupted(out);
    return int(code);
}

} // namespace

int main(int argc, char *argv[])
{
    // The serial layer needs an event dispatcher for its notifiers; nothing here runs a loop.
    QCoreApplication app(argc, argv);
    if (!Interrupts::install()) {
        Output::diagnostic(QStringLiteral("cannot handle signals"));
        return 1;
    }
    return run(QCoreApplication::arguments().mid(1));
}
