#pragma once

#include <QByteArray>

// A real bundle that provides :/external/dashboard.qml with this source, made with Qt's resource
// compiler; empty if that failed.
QByteArray buildDashboardBundle(const QByteArray &dashboardQml);

// A dashboard that does, from inside the host's signal handlers, what a careless one may: each
// message on its MQTT topic "corvalen/trap" names an act ("download", "ask", "reload",
// "signout", or "bye": a message and then a sign-out). From inside the sign-out it starts a
// download that fails at once, it logs every outcome, and a click signs out and then asks for a
// box.
extern const QByteArray kTrapDashboardQml;
