// Throughput and latency of the local backend per route, on loopback: the real executable, a
// fresh database, N keep-alive connections (one thread each) sending requests back to back.
//
//   backend_bench [--connections N] [--requests N]   (defaults: 8 connections, 400 requests)

#include "backend_fixture.h"
#include "crypto.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>

namespace {
const QString kEmail = QStringLiteral("bench@example.com");
const QString kPassword = QStringLiteral("bench password");

struct Figures
{
    int requests = 0;
    int failures = 0;
    double seconds = 0;
    std::vector<double> latenciesMs;
};

// Runs the requests on every connection at once; perRequest(client, connection) returns
// whether its answer was the expected one.
Figures measure(quint16 port, int connections, int requests,
                const std::function<void(RawHttp &)> &prepare,
                const std::function<bool(RawHttp &, int)> &perRequest)
{
    Figures figures;
    std::mutex lock;
    const auto start = std::chrono::steady_clock::now();
    runTogether(port, connections, [&](int connection, RawHttp &client) {
        if (prepare)
            prepare(client);
        std::vector<double> mine;
        int failed = 0;
        for (int i = 0; i < requests; ++i) {
            const auto t0 = std::chrono::steady_clock::now();
            failed += perRequest(client, connection) ? 0 : 1;
            mine.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                    .count());
        }
        std::lock_guard<std::mutex> guard(lock);
        figures.latenciesMs.insert(figures.latenciesMs.end(), mine.begin(), mine.end());
        figures.failures += failed;
    });
    figures.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    figures.requests = int(figures.latenciesMs.size());
    std::sort(figures.latenciesMs.begin(), figures.latenciesMs.end());
    return figures;
}

void print(const char *route, const Figures &f)
{
    auto at = [&](double q) {
        return f.latenciesMs.empty() ? 0.0
                                     : f.latenciesMs[size_t(q * double(f.latenciesMs.size() - 1))];
    };
    std::printf("%-44s %7d %10.0f %9.2f %9.2f %s\n", route, f.requests,
                f.seconds > 0 ? f.requests / f.seconds : 0.0, at(0.5), at(0.99),
                f.failures ? qPrintable(QStringLiteral("(%1 failed)").arg(f.failures)) : "");
    std::fflush(stdout);
}

QByteArray body(const char *member, const QString &value)
{
    return QJsonDocument(QJsonObject{{member, value}}).toJson(QJsonDocument::Compact);
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    auto option = [&](const QString &name, int fallback) {
        const qsizetype at = args.indexOf(name);
        return at >= 0 ? args.value(at + 1).toInt() : fallback;
    };
    const int connections = std::max(1, option("--connections", 8));
    const int requests = std::max(1, option("--requests", 400));

    LocalBackend backend;
    const QString id = backend.createUser(kEmail, kPassword, {}); // the real hashing cost
    QByteArray bundle(64 * 1024, 'b');
    bundle.replace(0, 4, "qres");
    if (id.isEmpty() || !backend.publish(kEmail, bundle) || !backend.start()) {
        std::fprintf(stderr, "backend_bench: could not set up the local backend\n");
        return 1;
    }
    const quint16 port = backend.serverPort();
    const QByteArray credentials =
        QJsonDocument(QJsonObject{{"email", kEmail}, {"password", kPassword}})
            .toJson(QJsonDocument::Compact);
    RawHttp setup(port);
    const QJsonObject session = setup.request("POST", "/v1/signin/email-password", credentials)
                                    .json()
                                    .value("session")
                                    .toObject();
    const QByteArray access = session.value("accessToken").toString().toUtf8();
    const QByteArray bundlePath = "/v1/get_dashboard_rcc?user_id=" + id.toUtf8();

    std::printf("%d connections, %d requests each (sign-in: a tenth; PBKDF2, %d iterations)\n\n",
                connections, requests, backend::crypto::kPasswordIterations);
    std::printf("%-44s %7s %10s %9s %9s\n", "route", "count", "req/s", "p50 ms", "p99 ms");
    print("GET /v1/user", measure(port, connections, requests, nullptr, [&](RawHttp &c, int) {
              return c.request("GET", "/v1/user", {}, access).status == 200;
          }));
    print("GET /v1/user, new connection each", [&] {
        return measure(port, connections, requests / 4, nullptr, [&](RawHttp &, int) {
            RawHttp fresh(port);
            return fresh.request("GET", "/v1/user", {}, access).status == 200;
        });
    }());
    print("GET /v1/get_dashboard_rcc (64 KB raw)",
          measure(port, connections, requests, nullptr, [&](RawHttp &c, int) {
              return c.request("GET", bundlePath, {}, access).body.size() == bundle.size();
          }));
    print("POST /v1/clear_rcc_update",
          measure(port, connections, requests, nullptr, [&](RawHttp &c, int) {
              return c.request("POST", "/v1/clear_rcc_update", "{}", access).status == 200;
          }));
    // Each connection rotates its own chain of refresh tokens.
    thread_local QString refresh;
    print("POST /v1/token",
          measure(
              port, connections, requests,
              [&](RawHttp &c) {
                  refresh = c.request("POST", "/v1/signin/email-password", credentials)
                                .json()
                                .value("session")
                                .toObject()
                                .value("refreshToken")
                                .toString();
              },
              [&](RawHttp &c, int) {
                  const HttpReply r = c.request("POST", "/v1/token", body("refreshToken", refresh));
                  refresh = r.json().value("refreshToken").toString();
                  return r.status == 200;
              }));
    // Checks of one account run one at a time (the lock-out needs them so); others in parallel.
    print("POST /v1/signin/email-password, one account",
          measure(port, connections, std::max(1, requests / 10), nullptr, [&](RawHttp &c, int) {
              return c.request("POST", "/v1/signin/email-password", credentials).status == 200;
          }));
    QList<QByteArray> own;
    for (int i = 0; i < connections; ++i) {
        const QString email = QStringLiteral("bench%1@example.com").arg(i);
        backend.createUser(email, kPassword, {});
        own << QJsonDocument(QJsonObject{{"email", email}, {"password", kPassword}})
                   .toJson(QJsonDocument::Compact);
    }
    print(
        "POST /v1/signin/email-password, an account each",
        measure(port, connections, std::max(1, requests / 10), nullptr,
                [&](RawHttp &c, int connection) {
                    return c.request("POST", "/v1/signin/email-password", own[connection]).status ==
                           200;
                }));
    return backend.stop() ? 0 : 1;
}
