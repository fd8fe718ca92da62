#include "viewmodel/viewmodel.h"

#include "net/http_request.h"
#include "net/redirect_policy.h"
#include "viewmodel/function_reply.h"
#include "viewmodel/large_buffer.h"

#include <QDebug>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QStringDecoder>
#if QT_CONFIG(ssl)
#include <QSslConfiguration>
#endif

#include <algorithm>
#include <optional>

namespace {

QString knownHeaderText(QNetworkReply *reply, QNetworkRequest::KnownHeaders header)
{
    const QVariant value = reply->header(header);
    return value.isValid() && !value.isNull() ? value.toString() : QStringLiteral("<none>");
}

// The JSON body line holds the whole body, tens of MB with a big bundle in it. It is built in one
// allocation and handed to the message handler as it stands, as qInfo() would hand it, without
// the copy a QDebug stream makes of it.
void logJsonBody(const QByteArray &json)
{
    if (!QLoggingCategory::defaultCategory()->isInfoEnabled())
        return;
    static constexpr QStringView prefix = u"Dashboard RCC JSON body: ";
    // As QString::fromUtf8 reads it: a leading byte-order mark kept, a cut sequence replaced.
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString line(prefix.size() + utf8.requiredSpace(json.size()), Qt::Uninitialized);
    preferHugePages(line.data(), line.size() * qsizetype(sizeof(QChar)));
    QChar *end = std::copy(prefix.begin(), prefix.end(), line.data());
    end = utf8.appendToBuffer(end, json);
    line.truncate(end - line.constData());
    const QMessageLogContext context(QT_MESSAGELOG_FILE, QT_MESSAGELOG_LINE, QT_MESSAGELOG_FUNC,
                                     "default");
    qt_message_output(QtInfoMsg, context, line);
}

// The summary of a finished reply, the content-length check and the JSON body, in that order.
void logDashboardFunctionReply(QNetworkReply *reply, int status, const QByteArray &body,
                               const DashboardFunctionBody &parsed)
{
    const QString contentLength = knownHeaderText(reply, QNetworkRequest::ContentLengthHeader);
    qInfo().noquote()
        << QStringLiteral("Dashboard RCC reply diagnostics: url=%1 status=%2 error=%3 "
                          "errorString=\"%4\" bytes=%5 bytesAvailableAfterRead=%6 "
                          "isFinished=%7 contentType=\"%8\" contentLength=\"%9\" "
                          "transferEncoding=\"%10\" contentEncoding=\"%11\" "
                          "contentDisposition=\"%12\" payloadPrefixHex=\"%13\" "
                          "rawHeaders={%14}")
               .arg(reply->url().toString(), QString::number(status),
                    QString::number(int(reply->error())), reply->errorString(),
                    QString::number(body.size()), QString::number(reply->bytesAvailable()),
                    reply->isFinished() ? QStringLiteral("true") : QStringLiteral("false"),
                    knownHeaderText(reply, QNetworkRequest::ContentTypeHeader), contentLength,
                    QString::fromLatin1(reply->rawHeader("Transfer-Encoding")),
                    QString::fromLatin1(reply->rawHeader("Content-Encoding")),
                    QString::fromLatin1(reply->rawHeader("Content-Disposition")),
                    QString::fromLatin1(body.left(24).toHex(' ')),
                    ViewModel::joinRawHeaders(reply->rawHeaderPairs()));

    bool lengthParsed = false;
    const qint64 declaredLength = contentLength.toLongLong(&lengthParsed, 10);
    if (lengthParsed && declaredLength != body.size())
        qWarning() << "Dashboard RCC reply content-length mismatch:"
                   << "declared=" << declaredLength << "actual=" << body.size();

    if (parsed.isJsonObject)
        logJsonBody(parsed.compactJson);
}

} // namespace

bool ViewModel::requestDashboardFunction(QUrl url, QString accessToken)
{
    if (!networkManager) {
        emit externalResourceLoadFinished(false, tr("Network manager is not initialized."));
        return false;
    }
    http::dropReply(dashboardFunctionReply);

    // Redirects are followed here rather than by the network layer, which would carry the
    // bearer token to whatever host a redirect names.
    QNetworkRequest request = http::buildRequest(url, http::Redirects::Manual, accessToken);
    request.setRawHeader("Accept", "application/octet-stream,application/json;q=0.9,*/*;q=0.8");
    sendDashboardFunctionRequest(request);
    return true;
}

// The dashboard is asked for as soon as a sign-in succeeds, and checking the password takes
// the service a while: the function's TLS connection is opened meanwhile, for the request to
// find it ready. It is made for HTTP/1.1, as the request will be, or the request would not
// take it. Over plain HTTP none is opened: Qt's way of opening one allows HTTP/2, so the
// request would not take that one either.
void ViewModel::openDashboardFunctionConnection()
{
#if QT_CONFIG(ssl)
    if (!networkManager || authorMode)
        return;
    const QUrl url(configuredDashboardFunctionUrl(), QUrl::TolerantMode);
    if (!url.isValid() || url.host().isEmpty() ||
        url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0)
        return;
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setAllowedNextProtocols({QSslConfiguration::NextProtocolHttp1_1});
    networkManager->connectToHostEncrypted(url.host(), quint16(url.port(443)), tls);
#endif
}

void ViewModel::sendDashboardFunctionRequest(const QNetworkRequest &request)
{
    QNetworkReply *reply = networkManager->get(request);
    dashboardFunctionReply = reply;
    http::supervise(reply, bundleDeadlines);
    connectDashboardReplyDiagnostics(reply);
    limitBundleBody(reply, &ViewModel::dashboardFunctionReply);
    const BodyStream stream = streamBundleBody(reply, &ViewModel::dashboardFunctionReply);
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, stream] { handleDashboardFunctionReply(reply, stream); });
}

// One hop repeats the answered request at the new location. The token goes along only while
// the chain stays on the origin it was sent to; refused hops fail like a network error would.
bool ViewModel::followDashboardFunctionRedirect(QNetworkReply *reply, int status)
{
    const QVariant location = reply->attribute(QNetworkRequest::RedirectionTargetAttribute);
    if (!location.isValid() || location.isNull())
        return false;
    const QNetworkRequest request = reply->request();
    const redirect::Decision next =
        redirect::decide(reply->url(), location.toUrl(), {}, 0, request.maximumRedirectsAllowed());
    QString refusal;
    switch (next.verdict) {
    case redirect::Verdict::Follow:
        sendDashboardFunctionRequest(http::redirectedRequest(request, reply->url(), next.target));
        return true;
    case redirect::Verdict::InvalidTarget:
        refusal = tr("Invalid redirect target");
        break;
    case redirect::Verdict::Insecure:
        refusal = tr("Insecure redirect");
        break;
    case redirect::Verdict::Loop:
        refusal = tr("Redirect loop");
        break;
    case redirect::Verdict::TooMany:
        refusal = tr("Too many redirects");
        break;
    }
    qWarning() << "Refused dashboard RCC redirect:" << refusal << "from=" << next.fromKey
               << "to=" << next.toKey;
    emit externalResourceLoadFinished(
        false, tr("Dashboard RCC request failed (%1): %2").arg(QString::number(status), refusal));
    return true;
}

void ViewModel::handleDashboardFunctionReply(QNetworkReply *reply, const BodyStream &stream)
{
    if (!reply) {
        emit externalResourceLoadFinished(false, tr("Invalid dashboard RCC reply."));
        return;
    }
    const http::FinishedReply finished = http::takeFinished(reply, dashboardFunctionReply);
    if (!finished)
        return;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (followDashboardFunctionRedirect(reply, status))
        return;
    // Part of a bundle that was too slow to arrive is no bundle; the aborted reply has no body.
    DeliveredBundle received = http::timedOut(reply) ? DeliveredBundle(QByteArray(), QString())
                                                     : receivedBundle(reply, stream);
    const QByteArray body = received.bytes();

    if (status == 401) {
        retryDashboardFunctionAfterUnauthorized();
        return;
    }
    unauthorizedRetried = false;

    std::optional<ScriptWatchdog::Busy> busy(std::in_place, scriptWatchdog); // tens of MB at worst
    const DashboardFunctionBody parsed = parseDashboardFunctionBody(body);
    std::optional<DeliveredBundle> decoded;
    if (parsed.encodedBytes >= 0) {
        qInfo() << "Decoded dashboard RCC payload from base64 JSON:"
                << "encodedBytes=" << parsed.encodedBytes
                << "decodedBytes=" << parsed.payload.size();
        // A bundle that will be used goes to its pending cache file now: the disk takes it
        // while the JSON body line, which holds it once more, is written.
        if (!parsed.payload.isEmpty() && http::isSuccess(status)) {
            decoded.emplace(received.cachePath(), DeliveredBundle::Destination::CacheFile);
            decoded->append(parsed.payload);
            decoded->finish();
        }
    }
    logDashboardFunctionReply(reply, status, body, parsed);

    const QString failure = dashboardFunctionFailure(reply, status, body, parsed);
    busy.reset();
    if (!failure.isNull()) {
        emit externalResourceLoadFinished(false, failure);
        return;
    }
    // A JSON answer carries the signature beside the payload, a raw one in a header.
    const QByteArray signature =
        parsed.signature.isEmpty() ? reply->rawHeader(kBundleSignatureHeader) : parsed.signature;
    if (parsed.encodedBytes < 0) { // the body is the bundle
        deliverPayload(received, signature, reply->url(), Delivery::DashboardFunction);
        return;
    }
    if (!decoded)
        decoded.emplace(parsed.payload, received.cachePath());
    deliverPayload(*decoded, signature, reply->url(), Delivery::DashboardFunction);
}

void ViewModel::retryDashboardFunctionAfterUnauthorized()
{
    if (!unauthorizedRetried) {
        // The resolution runs again once the refreshed token has arrived.
        unauthorizedRetried = true;
        resolveAfterTokenRefresh = true;
        authHandler.GetNewAccessToken();
        return;
    }
    qWarning() << "Dashboard RCC request unauthorized after token refresh; signing out.";
    logUserOut();
    emit externalResourceLoadFinished(false, tr("Session expired. Please sign in again."));
}

// The failure message of a reply that carries no usable payload, or a null string. A network
// error does not count when a 2xx status came with a body: that body is used.
QString ViewModel::dashboardFunctionFailure(QNetworkReply *reply, int status,
                                            const QByteArray &body,
                                            const DashboardFunctionBody &parsed)
{
    const bool successfulPayload = !body.isEmpty() && http::isSuccess(status);
    if (reply->error() != QNetworkReply::NoError) {
        if (!successfulPayload) {
            if (!parsed.errorText.isEmpty())
                return parsed.errorText;
            return status <= 0 ? tr("Dashboard RCC request failed: %1").arg(http::errorText(reply))
                               : tr("Dashboard RCC request failed (%1): %2")
                                     .arg(QString::number(status), http::errorText(reply));
        }
        qWarning() << "Continuing after dashboard RCC reply error because a successful payload "
                      "was received:"
                   << reply->errorString() << "status=" << status << "bytes=" << body.size();
    }
    if (!http::isSuccess(status))
        return parsed.errorText.isEmpty()
                   ? tr("Dashboard RCC request returned HTTP %1.").arg(status)
                   : parsed.errorText;
    if (parsed.payload.isEmpty())
        return tr("Downloaded RCC file is empty.");
    return {};
}

// A network load has replaced the announced bundle: the engine must not reuse what it compiled
// from the old one, and the server may clear its flag.
void ViewModel::acknowledgeDashboardUpdate()
{
    if (!dashboardUpdatePending)
        return;
    dashboardUpdatePending = false;
    clearComponentCacheIfEngine();
    authHandler.ClearRccUpdate();
}
