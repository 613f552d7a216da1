// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <functional>

class SerialLink;

// Supplies the window's serial link; an empty one lets the window open ports by their
// system names.
using LinkFactory = std::function<SerialLink *()>;

// The utility's whole run: application object, application info, the window, the event loop.
// Returns the exit code; a signal that ends it ends the process by that signal, after the
// unload. The benchmarks start the program through this too, with a link that reaches the
// emulator.
int runUtility(int &argc, char **argv, const LinkFactory &makeLink = {});
