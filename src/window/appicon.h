#pragma once

#include <QIcon>

// The program's own 32 x 32, 16-colour icon.
QIcon appIcon();
