// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "batch.h"
#include "boardclient.h"
#include "commands.h"
#include "commandtable.h"
#include "interrupts.h"
#include "output.h"
#include "version.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

namespace {

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
    const bool number = options.has(QStringLiteral("p"));
    const bool path = options.has(QStringLiteral("d"));
    if (number && path) {
        *error = QStringLiteral("-p and -d both name a port; give one of them");
        return std::nullopt;
    }
    if (number) {
        const auto n = parsePortNumber(options.value(QStringLiteral("p")), error);
        if (!n)
            *error = QStringLiteral("-p: ") + *error;
        return n ? std::optional(PortChoice{*n, {}, std::nullopt}) : std::nullopt;
    }
    if (path) {
        const QString device = options.value(QStringLiteral("d"));
        if (device.isEmpty()) {
            *error = QStringLiteral("-d needs a device path or URL");
            return std::nullopt;
        }
        auto choice = PortChoice::fromText(device, error);
        if (!choice)
            *error = QStringLiteral("-d: ") + *error;
        return choice;
    }
    const QString variable = qEnvironmentVariable("ZARVEX_PORT");
    if (variable.isEmpty()) {
        *error = QStringLiteral("no port given: use -p N, -d PATH|URL or set ZARVEX_PORT");
        return std::nullopt;
    }
    if (variable.contains(QLatin1Char('/'))) {
        auto choice = PortChoice::fromText(variable, error);
        if (!choice)
            *error = QStringLiteral("ZARVEX_PORT=%1: %2").arg(variable, *error);
        return choice;
    }
    const auto n = parsePortNumber(variable, error);
    if (!n) {
        *error = QStringLiteral("ZARVEX_PORT=%1 is neither a port number (1 to 32767), a "
                                "device path nor a URL")
                     .arg(variable);
        return std::nullopt;
    }
    return PortChoice{*n, {}, std::nullopt};
}

// Once the port is closed: a signal, or a reader of standard output that went away, ends the
// process as it would have without us; results that could not be written end it with an error.
void endIfInterrupted(const Output &out)
{
    if (Interrupts::received())
        Interrupts::endBy(Interrupts::received());
    if (out.failed())
        std::exit(int(ExitCode::WriteFailed));
    if (!out.isOpen())
        Interrupts::endBy(SIGPIPE);
}

// Runs a plan; the type of the plan is how.
struct Runner
{
    const ParsedOptions &options;
    Output &out;

    bool checks() const { return !options.has(QStringLiteral("no-check")); }

    int portUsageError(const QString &error) const
    {
        reportOpenFailure(out, Failure{ExitCode::Usage, error}, nullptr);
        return int(ExitCode::Usage);
    }

    // Opens the port of -p, -d or ZARVEX_PORT, runs use on it and closes it.
    template<typename Use> int onBoard(bool endsBySignal, Use use) const
    {
        QString error;
        const auto port = portChoice(options, &error);
        if (!port)
            return portUsageError(error);
        BoardClient board(*port);
        if (auto failure = board.open()) {
            // Cut short by a signal: a watch ends with 0 as always, the rest by the signal.
            const bool watchEnded = failure->signal && !endsBySignal;
            reportOpenFailure(out, *failure, &board, watchEnded ? std::optional(0) : std::nullopt);
            if (watchEnded)
                return int(ExitCode::Success);
            if (failure->signal)
                endIfInterrupted(out);
            return int(failure->code);
        }
        const ExitCode code = use(board);
        board.close();
        if (endsBySignal)
            endIfInterrupted(out);
        return int(code);
    }

    int operator()(const Command &command) const
    {
        return onBoard(true, [&](BoardClient &board) {
            const Reply reply = runCommand(board, command, checks());
            if (out.json())
                out.object(reply.type, reply.json());
            else if (!reply.text.isEmpty())
                out.text(reply.text);
            if (!reply.ok())
                Output::diagnostic(command.name + QStringLiteral(": ") + reply.problem);
            return reply.code;
        });
    }

    // A signal ends a watch with 0.
    int operator()(const WatchPlan &plan) const
    {
        return onBoard(false, [&](BoardClient &board) { return runWatch(board, out, plan); });
    }

    int operator()(const PortsPlan &plan) const
    {
        const ExitCode code = runPorts(out, plan.probe);
        endIfInterrupted(out);
        return int(code);
    }

    int operator()(BatchPlan plan) const
    {
        QString error;
        const auto port = portChoice(options, &error);
        if (!port && !plan.checkOnly)
            return portUsageError(error);
        plan.checkAtEnd = checks();
        const ExitCode code = runBatch(port, out, plan);
        endIfInterrupted(out);
        return int(code);
    }

    // Runs until a signal, which ends it with 0.
    int operator()(const BridgePlan &plan) const { return int(runBridge(plan, out)); }

    int operator()(const HelpPlan &plan) const
    {
        const CommandRow *row = findCommand(plan.topic);
        printHelp(row ? commandHelp(*row) : generalHelp());
        return 0;
    }
};

int run(const QStringList &args)
{
    // First find the command, then parse again with only its options and the global ones.
    QString error;
    const auto scan = parseOptions(args, everyOption(), &error);
    if (!scan)
        return usageError(error);
    if (scan->has(QStringLiteral("version"))) {
        printHelp(QStringLiteral("zarvex %1\n").arg(QStringLiteral(ZARVEX_VERSION_TEXT)));
        return 0;
    }
    const bool help = scan->has(QStringLiteral("h"));
    const QString name = scan->positional.value(0);
    if (name.isEmpty()) {
        if (!help)
            return usageError(QStringLiteral("no command given; zarvex --help lists them"));
        printHelp(generalHelp());
        return 0;
    }
    const CommandRow *row = findCommand(name);
    if (!row || (!row->onCommandLine() && !help))
        return usageError(commandLineRefusal(name));

    auto options = parseOptions(args, globalOptions() + row->options, &error);
    if (!options)
        return usageError(QStringLiteral("%1: %2").arg(name, error));
    if (help) {
        printHelp(commandHelp(*row));
        return 0;
    }
    options->positional.removeFirst();
    auto plan = parsePlan(*row, *options, &error);
    KnownRegisters nothingKnown;
    if (const Command *command = plan ? std::get_if<Command>(&*plan) : nullptr) {
        if (!checkAgainst(*command, nothingKnown, &error))
            plan.reset();
    }
    if (!plan)
        return usageError(error.startsWith(name) ? error : name + QStringLiteral(": ") + error);
    Output out(options->has(QStringLiteral("json")));
    return std::visit(Runner{*options, out}, *plan);
}

} // namespace

int main(int argc, char *argv[])
{
    // Before anything else: a signal from the first moment on closes what is open and ends
    // zarvex as documented, and no port or file becomes standard input or output.
    if (!Interrupts::install()) {
        Output::diagnostic(QStringLiteral("cannot handle signals"));
        return 1;
    }
    // The serial layer needs an event dispatcher for its notifiers; nothing here runs a loop.
    QCoreApplication app(argc, argv);
    return run(QCoreApplication::arguments().mid(1));
}
