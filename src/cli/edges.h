// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "grammar.h"

#include <cstdint>
#include <vector>

// The lines watch --edges follows: each line once, in the order given, a port standing for
// its eight lines, and no selection for all 24. A line the board file names is shown by its name.
std::vector<Selector> edgeLines(const std::vector<Selector> &selection,
                                const LineNames &names = {});

// A line's level reported: first its level at the start, then each change.
struct EdgeEvent
{
    enum class Kind { Initial, Edge };

    Kind kind = Kind::Initial;
    std::size_t line = 0; // an index into the tracker's lines
    int value = 0;        // the asserted level: the bit inverted on a line named active low
    std::int64_t atMs = 0;

    bool operator==(const EdgeEvent &) const = default;
};

// Readings in, levels and edges out. A new level counts only once `stable` readings in a row
// showed it; a shorter one is dropped. Its time is that of the first of those readings, so an
// edge is known to one reading's interval.
class EdgeTracker
{
public:
    EdgeTracker(std::vector<Selector> lines, int stable);

    const std::vector<Selector> &lines() const { return m_lines; }
    // A reading taken at atMs: the first gives every line's initial level, the later ones
    // the edges they complete, in the order of the lines.
    std::vector<EdgeEvent> take(const Inputs &inputs, std::int64_t atMs);
    // A reading that did not come: nothing is known of the lines meanwhile, so the readings
    // before it and after it are no run.
    void missed();
    // The board came back: the next reading gives the initial levels again.
    void restart();

private:
    struct Level
    {
        int reported = 0;
        int run = 0; // readings in a row that differ from reported
        std::int64_t runSinceMs = 0;
    };

    std::vector<Selector> m_lines;
    int m_stable;
    bool m_started = false;
    std::vector<Level> m_levels;
};
