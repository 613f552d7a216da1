// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "batch.h"
#include "boardclient.h"
#include "boardfile.h"
#include "commands.h"
#include "commandtable.h"
#include "diagnostic.h"
#include "interrupts.h"
#include "output.h"
#include "version.h"

#include "device/systemerror.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>
#endif

namespace {

// The arguments after the program's name, as UTF-8.
std::vector<std::string> arguments([[maybe_unused]] int argc, [[maybe_unused]] char *argv[])
{
    std::vector<std::string> args;
#ifdef _WIN32
    // argv is in the ANSI code page; the wide command line has every character.
    int count = 0;
    wchar_t **wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    for (int i = 1; wide && i < count; ++i) {
        const int size =
            ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string arg(std::size_t(std::max(size, 1)), '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), size, nullptr, nullptr);
        arg.resize(arg.size() - 1);
        args.push_back(std::move(arg));
    }
    ::LocalFree(wide);
#else
    for (int i = 1; i < argc; ++i)
        args.push_back(validUtf8(argv[i]));
#endif
    return args;
}

// Help and the version: as results, a reader that went away ends zarvex as it would any
// command, and text that could not be written is an error.
int printHelp(const std::string &text)
{
    switch (writeAll(STDOUT_FILENO, text)) {
    case Written::All:
        return 0;
    case Written::Failed:
        diagnostic("cannot write the results: " + systemErrorText(errno));
        return int(ExitCode::WriteFailed);
    case Written::ReaderGone:
        Interrupts::endBy(Interrupts::ReaderGoneSignal);
        break;
    case Written::Interrupted:
        Interrupts::endBy(Interrupts::received());
        break;
    }
    return 0;
}

int usageError(const std::string &message)
{
    diagnostic(message);
    return int(ExitCode::Usage);
}

// Checked as the file was read.
std::optional<PortTarget> boardFileDevice(const BoardFile &board, std::string *error)
{
    return namedPort(*board.device, board.path + ": device", error);
}

// --board FILE, or else ZARVEX_BOARD; nothing (and no error) when neither is given.
std::optional<BoardFile> boardFile(const ParsedOptions &options, std::string *error)
{
    const char *set = std::getenv("ZARVEX_BOARD");
    const std::string path =
        options.has("board") ? options.value("board") : validUtf8(set ? set : "");
    if (path.empty()) {
        if (options.has("board"))
            *error = "--board needs a file";
        return std::nullopt;
    }
    return loadBoardFile(path, error);
}

// -p, -d, the board file's device, or else ZARVEX_PORT; nothing when none is given.
std::optional<PortTarget> portTarget(const ParsedOptions &options, std::string *error)
{
    const bool number = options.has("p");
    const bool path = options.has("d");
    if (number && path) {
        *error = "-p and -d both name a port; give one of them";
        return std::nullopt;
    }
    if (number) {
        const auto n = parsePortNumber(options.value("p"), error);
        if (!n)
            *error = "-p: " + *error;
        return n ? std::optional(PortTarget::fromNumber(*n)) : std::nullopt;
    }
    if (path) {
        const std::string device = options.value("d");
        if (device.empty()) {
            *error = "-d needs a device path or URL";
            return std::nullopt;
        }
        auto target = PortTarget::parse(device, error);
        if (!target)
            *error = "-d: " + *error;
        return target;
    }
    if (options.board && options.board->device)
        return boardFileDevice(*options.board, error);
    const char *set = std::getenv("ZARVEX_PORT");
    const std::string variable = validUtf8(set ? set : "");
    if (variable.empty()) {
        *error = "no port given: use -p N, -d PATH|URL or set ZARVEX_PORT";
        return std::nullopt;
    }
    return namedPort(variable, "ZARVEX_PORT=" + variable, error);
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
        Interrupts::endBy(Interrupts::ReaderGoneSignal);
}

// Runs a plan; the type of the plan is how.
struct Runner
{
    const ParsedOptions &options;
    Output &out;

    bool checks() const { return !options.has("no-check"); }

    int portUsageError(const std::string &error) const
    {
        reportOpenFailure(out, Failure{ExitCode::Usage, error}, nullptr);
        return int(ExitCode::Usage);
    }

    // Opens the port of -p, -d or ZARVEX_PORT, runs use on it and closes it.
    template<typename Use> int onBoard(bool endsBySignal, Use use) const
    {
        std::string error;
        const auto port = portTarget(options, &error);
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
            if (command.reconnect)
                board.setReconnect(out);
            const Reply reply = runCommand(board, command, checks());
            if (out.json())
                out.object(reply.type, reply.json());
            else if (!reply.text.empty())
                out.text(reply.text);
            if (!reply.ok())
                diagnostic(command.name + ": " + reply.problem);
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
        std::string error;
        const auto port = portTarget(options, &error);
        if (!port && !plan.checkOnly)
            return portUsageError(error);
        plan.checkAtEnd = checks();
        plan.board = options.board;
        // A board that came back may have reset itself: what setup did is done again.
        if (options.board) {
            plan.afterBack = [file = options.board](BoardClient &board) {
                return runSetup(board, *file);
            };
        }
        const ExitCode code = runBatch(port, out, plan);
        endIfInterrupted(out);
        return int(code);
    }

    // Runs until a signal, which ends it with 0.
    int operator()([[maybe_unused]] const BridgePlan &plan) const
    {
#ifdef _WIN32
        return int(ExitCode::Usage); // no such command here
#else
        return int(runBridge(plan, out));
#endif
    }

    int operator()(const HelpPlan &plan) const
    {
        const CommandRow *row = findCommand(plan.topic);
        return printHelp(row ? commandHelp(*row) : generalHelp());
    }
};

int run(const std::vector<std::string> &args)
{
    // First find the command, then parse again with only its options and the global ones.
    std::string error;
    const auto scan = parseOptions(args, everyOption(), &error);
    if (!scan) {
        // Options of a command this build leaves out are unknown to it: the command is named.
        for (const std::string &arg : args) {
            if (const std::string leftOut = leftOutHere(arg); !leftOut.empty())
                return usageError(leftOut);
        }
        return usageError(error);
    }
    if (scan->has("version")) {
        return printHelp("zarvex " ZARVEX_VERSION_TEXT "\n");
    }
    const bool help = scan->has("h");
    const std::string name = scan->positional.empty() ? std::string() : scan->positional.front();
    if (name.empty()) {
        if (!help)
            return usageError("no command given; zarvex --help lists them");
        return printHelp(generalHelp());
    }
    const CommandRow *row = findCommand(name);
    if (!row || (!row->onCommandLine() && !help))
        return usageError(commandLineRefusal(name));

    std::vector<Option> accepted = globalOptions();
    accepted.insert(accepted.end(), row->options.begin(), row->options.end());
    auto options = parseOptions(args, accepted, &error);
    if (!options)
        return usageError(name + ": " + error);
    if (help)
        return printHelp(commandHelp(*row));
    options->positional.erase(options->positional.begin());
    // Help and the port list are there whatever the board file holds.
    std::string boardError;
    const std::optional<BoardFile> board =
        name == "help" || name == "ports" ? std::nullopt : boardFile(*options, &boardError);
    if (!boardError.empty())
        return usageError(boardError);
    options->board = board ? &*board : nullptr;
    auto plan = parsePlan(*row, *options, &error);
    KnownRegisters nothingKnown;
    if (const Command *command = plan ? std::get_if<Command>(&*plan) : nullptr) {
        if (!checkAgainst(*command, nothingKnown, &error))
            plan.reset();
    }
    if (!plan)
        return usageError(error.starts_with(name) ? error : name + ": " + error);
    Output out(options->has("json"));
    return std::visit(Runner{*options, out}, *plan);
}

} // namespace

int main(int argc, char *argv[])
{
    // Before anything else: a signal from the first moment on closes what is open and ends
    // zarvex as documented, and no port or file becomes standard input or output.
    if (!Interrupts::install()) {
        diagnostic("cannot handle signals");
        return 1;
    }
    return run(arguments(argc, argv));
}
