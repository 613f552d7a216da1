// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "boardfile.h"
#include "interrupts.h"

#include "device/systemerror.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cerrno>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

// A problem of the file at a line of it.
struct Problem
{
    int line = 0;
    std::string text;
};

int lineOf(const toml::source_region &source)
{
    return int(source.begin.line);
}

// A table's entries in the order the file gives them (toml++ keeps them sorted by key).
std::vector<std::pair<const toml::key *, const toml::node *>> inFileOrder(const toml::table &table)
{
    std::vector<std::pair<const toml::key *, const toml::node *>> entries;
    for (const auto &[key, node] : table)
        entries.emplace_back(&key, &node);
    std::sort(entries.begin(), entries.end(), [](const auto &a, const auto &b) {
        const auto &x = a.first->source().begin;
        const auto &y = b.first->source().begin;
        return x.line != y.line ? x.line < y.line : x.column < y.column;
    });
    return entries;
}

// A value as the file writes it, for a problem that quotes it.
std::string shown(const toml::node &node)
{
    if (const auto *text = node.as_string())
        return quoted(text->get());
    std::ostringstream stream;
    if (const auto *number = node.as_integer())
        stream << number->get();
    else if (const auto *real = node.as_floating_point())
        stream << real->get();
    else if (const auto *flag = node.as_boolean())
        stream << (flag->get() ? "true" : "false");
    else
        stream << (node.is_table() ? "a table" : node.is_array() ? "an array" : "a date or time");
    return stream.str();
}

bool isNameStart(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

// Why text cannot name a line; empty when it can.
std::string badName(std::string_view text)
{
    std::string unused;
    const bool portLetter = !text.empty() && parsePort(text.substr(0, 1), &unused);
    if (portLetter && text.size() == 1)
        return "a name that could be read as a port";
    if (portLetter && text.size() > 1 && text[1] == '.')
        return "a name that could be read as a line";
    const bool letters = !text.empty() && isNameStart(text.front()) &&
                         std::all_of(text.begin(), text.end(), [](char c) {
                             return isNameStart(c) || (c >= '0' && c <= '9');
                         });
    return letters ? std::string() : "a name is letters, digits and _, not beginning with a digit";
}

class Reader
{
public:
    std::optional<Problem> problem;
    BoardFile file;

    void read(const toml::table &top)
    {
        for (const auto &[key, node] : inFileOrder(top)) {
            if (problem)
                return;
            if (key->str() == "device")
                device(*node);
            else if (key->str() == "lines")
                lines(*key, *node);
            else
                fail(*key, "unknown key " + quoted(key->str()) + "; keys are device and [lines]");
        }
    }

private:
    void fail(const toml::key &key, std::string text) { fail(lineOf(key.source()), text); }
    void fail(const toml::node &node, std::string text) { fail(lineOf(node.source()), text); }
    void fail(int line, std::string text)
    {
        if (!problem)
            problem = Problem{line, std::move(text)};
    }

    void device(const toml::node &node)
    {
        file.deviceLine = lineOf(node.source());
        if (const auto *text = node.as_string())
            file.device = text->get();
        else if (const auto *number = node.as_integer())
            file.device = std::to_string(number->get());
        else
            fail(node, "device is a port number, path, COMn or URL");
        std::string error;
        if (file.device && file.device->empty())
            fail(node, "device is a port number, path, COMn or URL, not empty");
        else if (file.device && !namedPort(*file.device, "device " + quoted(*file.device), &error))
            fail(node, error);
    }

    void lines(const toml::key &key, const toml::node &node)
    {
        const auto *table = node.as_table();
        if (!table) {
            fail(key, "lines is a table: [lines] with NAME = \"A.3\" under it");
            return;
        }
        for (const auto &[name, value] : inFileOrder(*table)) {
            if (problem)
                return;
            line(*name, *value);
        }
    }

    // One name and what it names; the problem, if any, is at the line of what is wrong.
    void line(const toml::key &key, const toml::node &node)
    {
        const std::string name(key.str());
        if (const std::string why = badName(name); !why.empty())
            return fail(key, name + ": " + why);
        NamedLine named;
        named.name = name;
        const toml::node *where = nullptr;
        const toml::node *initial = nullptr;
        if (node.is_string()) {
            where = &node;
        } else if (const auto *table = node.as_table()) {
            for (const auto &[option, value] : inFileOrder(*table)) {
                const std::string_view word = option->str();
                if (word == "line") {
                    where = value;
                } else if (word == "active_low" || word == "initial") {
                    if (!value->is_boolean())
                        return fail(*value, name + ": " + std::string(word) + " is true or false");
                    (word == "initial" ? named.initial : named.activeLow) =
                        value->as_boolean()->get();
                    if (word == "initial")
                        initial = value;
                } else if (word == "direction") {
                    const auto *text = value->as_string();
                    if (!text || (text->get() != "in" && text->get() != "out")) {
                        return fail(*value, name + ": direction is \"in\" or \"out\", not " +
                                                shown(*value));
                    }
                    named.output = text->get() == "out";
                } else {
                    return fail(*option, name + ": unknown key " + quoted(word) +
                                             "; keys are line, active_low, direction, initial");
                }
            }
            if (!where)
                return fail(key, name + ": no line given (line = \"A.3\")");
        } else {
            return fail(node, name + ": a line is \"A.3\" or a table { line = \"A.3\", ... }");
        }

        std::string unused;
        const auto *text = where->as_string();
        const auto selector = text ? parseSelector(text->get(), &unused) : std::nullopt;
        if (!selector || !selector->isLine())
            return fail(*where, name + ": no line " + shown(*where) + "; lines are A.0 to C.7");
        named.port = selector->port;
        named.line = selector->line;
        if (initial && !named.output)
            return fail(*initial, name + ": an input has no initial level");
        for (const NamedLine &other : file.lines) {
            if (other.port == named.port && other.line == named.line)
                return fail(key,
                            name + ": " + selector->name() + " is already named " + other.name);
        }
        file.lines.push_back(std::move(named));
    }
};

// A rig's board file is a few hundred bytes; anything this long is some other file.
constexpr std::size_t MostBytes = 1 << 20;

// The whole file, or nothing and *problem. A FIFO is read as its writer sends it, and a signal
// ends zarvex while it waits, as it does for a batch file.
std::optional<std::string> contents(const std::string &path, std::string *problem)
{
    const auto fail = [&](int error) {
        *problem = systemErrorText(error);
        return std::nullopt;
    };
#ifdef _WIN32
    const int fd = ::open(path.c_str(), O_RDONLY | O_BINARY);
#else
    // Non-blocking, as a FIFO with no writer yet would hold open() deaf to signals.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
#endif
    if (fd < 0)
        return fail(errno);
    struct Closer
    {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info = {};
    if (::fstat(fd, &info) != 0)
        return fail(errno);
    if (S_ISDIR(info.st_mode))
        return fail(EISDIR);
#ifndef _WIN32
    // Like the open() it replaces, nothing more happens until a writer comes.
    if (S_ISFIFO(info.st_mode) && !Interrupts::waitReadable(fd, false))
        Interrupts::endBy(Interrupts::received());
#endif
    std::string text;
    char chunk[4096];
    for (;;) {
        if (Interrupts::received())
            Interrupts::endBy(Interrupts::received());
        const auto n = ::read(fd, chunk, sizeof chunk);
#ifndef _WIN32
        if (n < 0 && errno == EAGAIN) {
            if (!Interrupts::waitReadable(fd, false))
                Interrupts::endBy(Interrupts::received());
            continue;
        }
#endif
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(errno);
        if (n == 0)
            return text;
        text.append(chunk, std::size_t(n));
        if (text.size() > MostBytes) {
            *problem = "over 1 MiB: not a board file";
            return std::nullopt;
        }
    }
}

} // namespace

std::optional<PortTarget> namedPort(const std::string &text, const std::string &label,
                                    std::string *error)
{
    if (text.find('/') == std::string::npos) {
        if (const auto n = parsePortNumber(text, error))
            return PortTarget::fromNumber(*n);
    }
    auto target = PortTarget::parse(text, error);
    if (!target) {
        *error = label + ": " + *error;
    } else if (target->kind == PortTarget::Kind::Path && text.find('/') == std::string::npos) {
        *error = label + " is neither a port number (1 to 32767), a device path nor a URL";
        return std::nullopt;
    }
    return target;
}

BoardFile::Registers BoardFile::setupRegisters() const
{
    Registers registers;
    registers.direction.fill(0xFF);
    for (const NamedLine &named : lines) {
        if (!named.output)
            continue;
        const auto bit = std::uint8_t(1u << named.line);
        const int index = portIndex(named.port);
        registers.direction[index] &= std::uint8_t(~bit);
        if (named.initial != named.activeLow)
            registers.write[index] |= bit;
    }
    return registers;
}

std::optional<BoardFile> loadBoardFile(const std::string &path, std::string *error)
{
    std::string problem;
    const auto text = contents(path, &problem);
    if (!text) {
        *error = path + ": cannot read (" + problem + ")";
        return std::nullopt;
    }
    Reader reader;
    try {
        reader.read(toml::parse(*text, path));
    } catch (const toml::parse_error &failure) {
        reader.problem = Problem{lineOf(failure.source()), std::string(failure.description())};
    }
    if (reader.problem) {
        *error = path + ':' + std::to_string(reader.problem->line) + ": " + reader.problem->text;
        return std::nullopt;
    }
    reader.file.path = path;
    return std::move(reader.file);
}
