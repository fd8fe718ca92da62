#pragma once

#include <QString>

// How long a test waits for what should come at once: generous, as the machine may be busy
// building. Tests wait on signals and conditions, never for a time of their own.
constexpr int kWait = 30000;

// The test bundles A and B (tests/delivery/bundles) each provide a file of their own, which
// shows which of them is registered.
inline const QString kOnlyA = QStringLiteral(":/external/only_a.txt");
inline const QString kOnlyB = QStringLiteral(":/external/only_b.txt");
