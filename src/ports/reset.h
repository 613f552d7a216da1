// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "portcontrols.h"

class Session;

// Reset All: every line an input and every output 0, on the board and in the window.
// Sends the command set's reset sequence, then sets the six hexadecimal boxes; a box whose text
// changes runs its own Change handler, which brings that value's other views into line.
void ResetTamsk_Click(Session &session, const AllPorts &ports);
