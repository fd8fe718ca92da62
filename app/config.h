#pragma once

#include <QString>

// Built-in base URL of the hosted authentication service (ends in "/v1").
QString defaultAuthBaseUrl();

// Rewrites legacy dashboard upload paths in CORVALEN_RCC_DASHBOARD_BASE_URL values.
QString normalizeDashboardBaseUrl(QString value);

// Trimmed environment value of any variable, or the key's built-in default.
QString configValue(const QString &key);
