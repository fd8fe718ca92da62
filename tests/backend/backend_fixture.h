#pragma once

// Only for bench/backend_bench.cpp, which was written against this header; the fixtures
// themselves live in tests/support/. Goes once that benchmark has moved on.
#include <QJsonDocument>
#include <QJsonObject>

#include "support/http_clients.h"
#include "support/local_backend.h"
