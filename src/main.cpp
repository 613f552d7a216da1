// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "window/startup.h"

int main(int argc, char *argv[])
{
    return runUtility(argc, argv);
}
