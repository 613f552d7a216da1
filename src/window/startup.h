// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "device/porttarget.h"

// The utility's whole run: application object, application info, the window, the event loop.
// Returns the exit code; a signal that ends it ends the process by that signal, after the
// unload. The benchmarks start the program through this too, with options that name the
// emulator's device.
int runUtility(int &argc, char **argv, const LinkOptions &options = {});
