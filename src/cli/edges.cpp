// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "edges.h"

#include <algorithm>

namespace {

// Only the selector's fields: the tracker is tested on its own, without the grammar.
int levelIn(const Selector &line, const Inputs &inputs)
{
    return ((inputs[portIndex(line.port)] >> line.line) & 1) ^ int(line.activeLow);
}

} // namespace

std::vector<Selector> edgeLines(const std::vector<Selector> &selection, const LineNames &names)
{
    std::vector<Selector> lines;
    const auto add = [&](Selector line) {
        if (line.alias.empty()) {
            const auto named = std::find_if(names.begin(), names.end(), [&](const NamedLine &n) {
                return n.port == line.port && n.line == line.line;
            });
            if (named != names.end()) {
                line.alias = named->name;
                line.activeLow = named->activeLow;
            }
        }
        const auto same = std::find_if(lines.begin(), lines.end(), [&](const Selector &known) {
            return known.port == line.port && known.line == line.line;
        });
        if (same == lines.end())
            lines.push_back(line);
        else if (same->alias.empty())
            *same = line; // given by name too: shown by its name
    };
    for (const Selector &selector : selection) {
        if (selector.isLine()) {
            add(selector);
            continue;
        }
        for (int line = 0; line < 8; ++line) {
            Selector one;
            one.port = selector.port;
            one.line = line;
            add(one);
        }
    }
    if (selection.empty())
        return edgeLines({Selector{Port::A}, Selector{Port::B}, Selector{Port::C}}, names);
    return lines;
}

EdgeTracker::EdgeTracker(std::vector<Selector> lines, int stable)
    : m_lines(std::move(lines)), m_stable(std::max(stable, 1)), m_levels(m_lines.size())
{}

std::vector<EdgeEvent> EdgeTracker::take(const Inputs &inputs, std::int64_t atMs)
{
    std::vector<EdgeEvent> events;
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        const int level = levelIn(m_lines[i], inputs);
        Level &known = m_levels[i];
        if (!m_started) {
            known = Level{level, 0, 0};
            events.push_back({EdgeEvent::Kind::Initial, i, level, atMs});
            continue;
        }
        if (level == known.reported) {
            known.run = 0;
            continue;
        }
        if (known.run++ == 0)
            known.runSinceMs = atMs;
        if (known.run >= m_stable) {
            events.push_back({EdgeEvent::Kind::Edge, i, level, known.runSinceMs});
            known = Level{level, 0, 0};
        }
    }
    m_started = true;
    return events;
}

void EdgeTracker::missed()
{
    for (Level &level : m_levels)
        level.run = 0;
}

void EdgeTracker::restart()
{
    m_started = false;
}
