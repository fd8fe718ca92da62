#include "viewmodel/viewmodel.h"

#include <QDebug>
#include <QDir>
#include <QTemporaryFile>

#include "net/http_request.h"

namespace {

// Keeps rejected bytes for inspection in `dump`, replacing the dump kept there before; a dump
// that could not be written whole is removed at once.
QString dumpRejectedPayload(const QByteArray &payload, std::unique_ptr<QTemporaryFile> &dump)
{
    dump.reset();
    auto file = std::make_unique<QTemporaryFile>(
        QDir::tempPath() + QStringLiteral("/corvalen-dashboard-rcc-XXXXXX.bin"));
    if (!file->open() || file->write(payload) != payload.size() || !file->flush())
        return {};
    file->close();
    dump = std::move(file);
    return dump->fileName();
}

} // namespace

// A successful answer goes to the cache folder as it arrives, hashed on the way; anything else (a
// redirect, an error page) is small and read whole once it has finished.
ViewModel::BodyStream ViewModel::streamBundleBody(QNetworkReply *reply,
                                                  QNetworkReply *ViewModel::*slot)
{
    DeliveredBundle::prepareDigest();
    auto stream = std::make_shared<std::optional<DeliveredBundle>>();
    connect(reply, &QNetworkReply::readyRead, this, [this, reply, slot, stream] {
        if (this->*slot != reply || http::bodyTooLarge(reply))
            return;
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (!http::isSuccess(status))
            return;
        if (!stream->has_value())
            startStream(*stream, reply);
        const ScriptWatchdog::Busy busy(scriptWatchdog);
        char chunk[64 * 1024];
        for (qint64 n; (n = reply->read(chunk, sizeof chunk)) > 0;)
            (*stream)->append(QByteArrayView(chunk, n));
    });
    return stream;
}

// A bundle goes to the cache folder; a JSON answer, which carries one as base64, stays in memory
// (a bundle never starts with a brace), in one piece where its length is declared.
void ViewModel::startStream(std::optional<DeliveredBundle> &stream, QNetworkReply *reply)
{
    const bool json = reply->peek(64).trimmed().startsWith('{');
    stream.emplace(dashboardCacheFilePath(userId), json ? DeliveredBundle::Destination::Memory
                                                        : DeliveredBundle::Destination::CacheFile);
    bool known = false;
    const qint64 declared = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
    if (json && known && declared > 0)
        stream->reserve(qMin(declared, maxBundleBytes));
}

// The whole body of a finished reply: what was streamed and whatever is left.
DeliveredBundle ViewModel::receivedBundle(QNetworkReply *reply, const BodyStream &stream)
{
    if (!stream->has_value())
        return DeliveredBundle(reply->readAll(), dashboardCacheFilePath(userId));
    DeliveredBundle bundle = std::move(**stream);
    stream->reset();
    bundle.append(reply->readAll());
    bundle.finish();
    return bundle;
}

void ViewModel::deliverPayload(DeliveredBundle &bundle, const QByteArray &signature,
                               const QUrl &source, Delivery delivery)
{
    if (bundle.bytes().isEmpty()) {
        emit externalResourceLoadFinished(false, tr("Downloaded RCC file is empty."));
        return;
    }
    if (refuseUnsignedPayload(bundle.bytes(), signature, source) ||
        refuseQuarantinedPayload(bundle))
        return;
    const bool direct = delivery == Delivery::DirectDownload;
    bool registered = false;
    {
        const ScriptWatchdog::Busy busy(scriptWatchdog);
        registered = registerBundle(bundle, source.toString(), signature);
    }
    if (registered) {
        qInfo() << (direct ? "Registered external RCC from URL:"
                           : "Registered external RCC from dashboard function:")
                << source;
        acknowledgeDashboardUpdate();
        emit externalResourceLoadFinished(true, tr("External resource loaded."));
        return;
    }
    if (!direct) {
        const QString dumpPath = dumpRejectedPayload(bundle.bytes(), rejectedPayloadDump);
        qWarning() << "Dashboard RCC registration failed:"
                   << "bytes=" << bundle.size() << "dumpPath=" << dumpPath;
    }
    emit externalResourceLoadFinished(false, tr("Downloaded file is not a valid RCC resource."));
}
