// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "options.h"

#include "boardfile.h"

#include <algorithm>

namespace {

std::string dashed(const std::string &name)
{
    return (name.size() == 1 ? "-" : "--") + name;
}

// One pass over the arguments: every option name found, in order, also the unknown ones and
// those given again, with the values each option took.
class Scan
{
public:
    Scan(const std::vector<std::string> &args, const std::vector<Option> &options)
        : m_options(options), m_values(options.size())
    {
        bool positionalOnly = false;
        for (auto arg = args.begin(); arg != args.end(); ++arg) {
            if (positionalOnly || arg->size() < 2 || arg->front() != '-') {
                m_positional.push_back(*arg);
            } else if (arg->compare(0, 2, "--") == 0) {
                if (arg->size() == 2) {
                    positionalOnly = true;
                    continue;
                }
                const std::string name = arg->substr(2, arg->find('=') - 2);
                if (found(name))
                    takeValue(name, arg, args.end());
            } else {
                shortOptions(arg, args.end());
            }
        }
    }

    std::vector<std::string> m_positional;
    std::vector<std::string> m_names;
    std::vector<std::string> m_unknown;
    std::string m_error; // the last of a value missing or given to a flag

    const Option *option(const std::string &name) const
    {
        const auto index = indexOf(name);
        return index < m_options.size() ? &m_options[index] : nullptr;
    }
    const std::vector<std::string> &values(const std::string &name) const
    {
        return m_values[indexOf(name)];
    }

private:
    using Arg = std::vector<std::string>::const_iterator;

    std::size_t indexOf(const std::string &name) const
    {
        const auto named = [&](const Option &o) {
            return std::find(o.names.begin(), o.names.end(), name) != o.names.end();
        };
        return std::size_t(std::find_if(m_options.begin(), m_options.end(), named) -
                           m_options.begin());
    }

    bool found(const std::string &name)
    {
        if (!option(name)) {
            m_unknown.push_back(name);
            return false;
        }
        m_names.push_back(name);
        return true;
    }

    // "-hp 3", "-p3", "-p=3": one-letter flags run together, the last may take a value.
    void shortOptions(Arg &arg, Arg end)
    {
        const std::string &text = *arg;
        std::string name;
        for (std::size_t pos = 1; pos < text.size(); ++pos) {
            name = text.substr(pos, 1);
            if (!found(name))
                continue;
            if (option(name)->takesValue()) {
                if (pos + 1 < text.size()) {
                    if (text[pos + 1] == '=')
                        ++pos;
                    m_values[indexOf(name)].push_back(text.substr(pos + 1));
                    return;
                }
                break;
            }
            if (pos + 1 < text.size() && text[pos + 1] == '=')
                break;
        }
        takeValue(name, arg, end);
    }

    // The value after '=' or in the next argument, whatever that looks like.
    void takeValue(const std::string &name, Arg &arg, Arg end)
    {
        const Option *known = option(name);
        if (!known)
            return;
        const std::string &text = *arg;
        const auto assign = text.find('=');
        if (!known->takesValue()) {
            if (assign != std::string::npos)
                m_error = "unexpected value after '" + text.substr(0, assign) + "'";
            return;
        }
        if (assign != std::string::npos) {
            m_values[indexOf(name)].push_back(text.substr(assign + 1));
        } else if (++arg == end) {
            --arg;
            m_error = "missing value after '" + text + "'";
        } else {
            m_values[indexOf(name)].push_back(*arg);
        }
    }

    const std::vector<Option> &m_options;
    std::vector<std::vector<std::string>> m_values;
};

} // namespace

std::string ParsedOptions::value(const std::string &name) const
{
    const auto found = values.find(name);
    return found == values.end() ? std::string() : found->second;
}

const LineNames &ParsedOptions::names() const
{
    static const LineNames none;
    return board ? board->lines : none;
}

std::optional<ParsedOptions> parseOptions(const std::vector<std::string> &args,
                                          const std::vector<Option> &options, std::string *error)
{
    // Most batch lines have no option at all (a batch reads thousands a second).
    if (std::none_of(args.cbegin(), args.cend(),
                     [](const std::string &arg) { return arg.starts_with('-'); }))
        return ParsedOptions{args, {}};
    // --p is not -p: a one-letter option has one dash.
    for (const std::string &arg : args) {
        if (arg == "--")
            break;
        if (arg.starts_with("--") && arg.substr(0, arg.find('=')).size() == 3) {
            *error = "unknown option " + arg.substr(0, 3);
            return std::nullopt;
        }
    }
    const Scan scan(args, options);
    if (!scan.m_unknown.empty()) {
        *error = "unknown option " + dashed(scan.m_unknown.front());
        return std::nullopt;
    }
    ParsedOptions found;
    for (const std::string &name : scan.m_names) {
        const Option &option = *scan.option(name);
        const std::string &key = option.names.front();
        if (found.has(key)) {
            *error = dashed(name) + " is given twice";
            return std::nullopt;
        }
        const std::vector<std::string> &values = scan.values(name);
        if (option.takesValue() && values.empty()) {
            *error = dashed(name) + " needs a value";
            return std::nullopt;
        }
        found.values[key] = values.empty() ? std::string() : values.front();
    }
    if (!scan.m_error.empty()) {
        *error = scan.m_error;
        return std::nullopt;
    }
    found.positional = scan.m_positional;
    return found;
}

std::optional<std::int64_t> parseInterval(const ParsedOptions &options, std::int64_t fallbackMs,
                                          std::string *error)
{
    if (!options.has("interval"))
        return fallbackMs;
    const auto ms = parseDuration(options.value("interval"), error);
    if (ms && *ms < 1) {
        *error = "--interval must be at least 1ms";
        return std::nullopt;
    }
    return ms;
}

std::optional<ConditionSet> parseConditionSet(const ParsedOptions &options, bool isWait,
                                              std::string *error)
{
    ConditionSet set;
    if (options.positional.empty()) {
        *error = "no condition given: expected e.g. A=0x5A, A.3=1 or A&0x0F=0x05";
        return std::nullopt;
    }
    for (const std::string &text : options.positional) {
        auto condition = parseCondition(text, error, options.names());
        if (!condition)
            return std::nullopt;
        set.conditions.push_back(std::move(*condition));
    }
    set.any = options.has("any");
    if (!isWait)
        return set;

    if (!options.has("timeout")) {
        *error = "wait needs --timeout D (250ms, 2s, 1m) or --timeout forever";
        return std::nullopt;
    }
    const std::string timeout = options.value("timeout");
    if (timeout != "forever") {
        const auto ms = parseDuration(timeout, error);
        if (!ms)
            return std::nullopt;
        set.timeoutMs = *ms;
    }
    if (options.has("stable")) {
        const std::string text = options.value("stable");
        const auto stable = parseCount(text, 1000000);
        if (!stable || *stable < 1) {
            *error = "bad --stable " + quoted(text) + ": a number of samples, 1 to 1000000";
            return std::nullopt;
        }
        set.stable = int(*stable);
    }
    const auto interval = parseInterval(options, set.intervalMs, error);
    if (!interval)
        return std::nullopt;
    set.intervalMs = *interval;
    return set;
}
