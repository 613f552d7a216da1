// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

// What zarvex --help, zarvex help COMMAND and zarvex COMMAND --help print. The lists of commands
// in them are made from the command table.
struct HelpText
{
    const char *usage;   // "read [SEL...]", after "Usage: zarvex " or, in a batch, "Usage: "
    const char *listed;  // in a list of commands when shorter than the usage; nullptr: the usage
    const char *summary; // in a list of commands; a line after the first is indented under it
    const char *details; // after the usage; %1 is the list of batch commands
};

namespace HelpTexts {

// %1 is the list of commands.
extern const char General[];

extern const HelpText Ports;
extern const HelpText Read;
extern const HelpText Dir;
extern const HelpText Write;
extern const HelpText Reset;
extern const HelpText Setup;
extern const HelpText Watch;
extern const HelpText Wait;
extern const HelpText Expect;
extern const HelpText Batch;
extern const HelpText Bridge;
extern const HelpText Help;
extern const HelpText Sleep;
extern const HelpText Pulse;
extern const HelpText State;
extern const HelpText Quit;

} // namespace HelpTexts
