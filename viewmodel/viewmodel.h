#pragma once

#include <QByteArray>
#include <QList>
#include <QMessageBox>
#include <QNetworkReply>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTemporaryFile>
#include <QUrl>
#include <QVariantList>

#include <functional>
#include <memory>
#include <optional>

#include "auth/authhandler.h"
#include "viewmodel/bundle_quarantine.h"
#include "viewmodel/bundle_signature.h"
#include "viewmodel/delivered_bundle.h"
#include "viewmodel/rcc_validation.h"
#include "viewmodel/script_watchdog.h"

#include <chrono>

class AuthorMode;
class MqttClient;
class QNetworkAccessManager;
class QNetworkRequest;
class QQmlEngine;
struct DashboardFunctionBody;

class ViewModel : public QObject
{
    Q_OBJECT
public:
    explicit ViewModel(QObject *parent = nullptr);
    ~ViewModel() override;

    void setMqttClient(MqttClient *client);
    void setQmlEngine(QQmlEngine *engine);
    // While set, dashboards come from its folder and no bundle is fetched, cached or registered.
    void setAuthorMode(AuthorMode *mode) { authorMode = mode; }
    // Every broker connection a dashboard configures reconnects by itself after a loss.
    void setMqttAutoReconnect(bool on) { mqttAutoReconnect = on; }
    // How long dashboard JavaScript may keep the GUI thread before it is stopped.
    void setScriptTimeLimit(std::chrono::milliseconds limit) { scriptWatchdog.setLimit(limit); }

signals:
    void authResponseChanged(QString response);
    void messageRequested(QString title, QString message);
    void signOutUser();
    void quitApp();
    void externalResourceLoadFinished(bool success, QString message);
    // The dashboard was stopped and has to go; the page shows the message instead.
    void dashboardStopped(QString message);

public slots:
    void GetSignInResponse(QString response);
    int ShowCustomMessage(QString title, QString msg, QMessageBox::StandardButtons standard_btn,
                          QMessageBox::StandardButton default_btn);
    int ShowCustomMessage(QString title, QString msg, QMessageBox::StandardButtons standard_btn);
    int ShowCustomMessage(QString title, QString msg);
    void ShowCustomMessageNoBtns(QString title, QString msg);

public:
    Q_INVOKABLE void logUserIn(QString email, QString pass);
    Q_INVOKABLE void resetUserPassword(QString email);
    Q_INVOKABLE bool isUserLoggedIn();
    Q_INVOKABLE void logUserOut();
    Q_INVOKABLE void showMessage(QString title, QString message);
    Q_INVOKABLE bool registerExternalResource(QString rccFileUrl);
    Q_INVOKABLE bool downloadAndRegisterExternalResource(QString rccUrl);
    Q_INVOKABLE bool resolveAndDownloadExternalResourceForCurrentUser();
    Q_INVOKABLE bool configureDashboardMqtt(QString host, int port, QVariantList topics);
    Q_INVOKABLE void disconnectDashboardMqtt();
    Q_INVOKABLE QString currentUserId() const;
    Q_INVOKABLE QString appConfigValue(QString key) const;
    // The page hands over a dashboard it no longer shows; it is deleted once none of its
    // handlers can be running any more.
    Q_INVOKABLE void releaseDashboard(QObject *dashboard);
    // The page has tried to create the dashboard of the registered bundle.
    Q_INVOKABLE void dashboardCreationFinished(bool created);
    // As resolveAndDownloadExternalResourceForCurrentUser, but never from the cache: the user
    // asks again after the cached dashboard failed.
    Q_INVOKABLE bool reloadDashboardFromServer();

    // Dashboard delivery building blocks (not exposed to QML).
    static QString normalizedDashboardFunctionUrl(QUrl url);
    // The configured function URL, or the one beside the authentication service.
    static QString configuredDashboardFunctionUrl();
    static QString joinRawHeaders(const QList<QNetworkReply::RawHeaderPair> &pairs);
    QString dashboardCacheFilePath(QString userId);
    bool loadCachedDashboard(QString userId);
    void deleteCachedDashboard(QString userId);
    void unregisterCurrentResource();
    // signature: the base64 signature that came with the bundle, cached beside it while
    // signatures are required.
    bool cacheAndRegisterPayload(QByteArray payload, QString userId, QString source,
                                 QByteArray signature = QByteArray());
    bool requestDirectDownload(QUrl url);
    // The body of a bundle reply, streamed into a bundle while the answer is a success.
    using BodyStream = std::shared_ptr<std::optional<DeliveredBundle>>;
    void handleDirectDownloadReply(QNetworkReply *reply, const BodyStream &stream);
    bool requestDashboardFunction(QUrl url, QString accessToken);
    void handleDashboardFunctionReply(QNetworkReply *reply, const BodyStream &stream);

    AuthHandler &auth() { return authHandler; }

private:
    bool restoreUserFromSettings();
    void setSessionEnded(bool ended);
    void stopStalledDashboard();
    void clearComponentCacheIfEngine();
    void clearComponentsOfEarlierBundles();
    void connectDashboardReplyDiagnostics(QNetworkReply *reply);
    void limitBundleBody(QNetworkReply *reply, QNetworkReply *ViewModel::*slot);
    BodyStream streamBundleBody(QNetworkReply *reply, QNetworkReply *ViewModel::*slot);
    void startStream(std::optional<DeliveredBundle> &stream, QNetworkReply *reply);
    DeliveredBundle receivedBundle(QNetworkReply *reply, const BodyStream &stream);
    void sendDashboardFunctionRequest(const QNetworkRequest &request);
    void openDashboardFunctionConnection();
    // Steps of the two delivery reply handlers.
    bool followDashboardFunctionRedirect(QNetworkReply *reply, int status);
    void retryDashboardFunctionAfterUnauthorized();
    QString dashboardFunctionFailure(QNetworkReply *reply, int status, const QByteArray &body,
                                     const DashboardFunctionBody &parsed);
    void followDirectDownloadRedirect(const QUrl &from, const QUrl &location);
    bool retryDirectDownload(QNetworkReply *reply);
    enum class Delivery
    {
        DirectDownload,
        DashboardFunction,
    };
    // The one way from a received bundle to its registration: checks, cache and registration.
    void deliverPayload(DeliveredBundle &bundle, const QByteArray &signature, const QUrl &source,
                        Delivery delivery);
    void acknowledgeDashboardUpdate();
    bool registerBundle(DeliveredBundle &bundle, const QString &source,
                        const QByteArray &signature);
    bool cacheBundle(DeliveredBundle &bundle, const QString &source, const QByteArray &signature);
    std::optional<DeliveredBundle> readCachedBundle(const QString &path);
    bool refuseQuarantinedPayload(const DeliveredBundle &bundle);
    bool refuseUnsignedPayload(const QByteArray &payload, const QByteArray &signature,
                               const QUrl &source);

    struct QueuedMessage;
    std::shared_ptr<QueuedMessage> enqueueMessage(const std::shared_ptr<QueuedMessage> &message);
    void scheduleNextMessage();
    void showNextMessage();
    void messageBoxFinished(int result);
    void afterMessageWaits(const std::function<void()> &task);
    void scheduleWorkHeldForMessageWaits();
    void runWorkHeldForMessageWaits();

    AuthHandler authHandler;
    MqttClient *mqttClient = nullptr;
    QQmlEngine *qmlEngine = nullptr;
    AuthorMode *authorMode = nullptr;
    bool mqttAutoReconnect = false;
    QString userId;
    QString userEmail;
    QMessageBox *messageBox = nullptr;
    QNetworkAccessManager *networkManager = nullptr;
    QNetworkReply *dashboardFunctionReply = nullptr;
    bool unauthorizedRetried = false;
    bool resolveAfterTokenRefresh = false;
    bool dashboardUpdatePending = false;
    bool skipCacheOnce = false;
    QNetworkReply *directDownloadReply = nullptr;
    QUrl directDownloadUrl;
    qint32 directDownloadRetryCount = 0;
    qint32 directDownloadRedirectCount = 0;
    QSet<QString> visitedDownloadUrls;
    bool userSignedIn = false;
    bool sessionEnded = false; // from a sign-out to the next sign-in
    QString registeredRccPath;
    QByteArray registeredRccData;
    std::unique_ptr<QFile> registeredRccStorage; // the mapped file registeredRccData points into
    bool registeredFromMemory = false;
    bool bundleRegisteredBefore = false; // in this run

    // Messages are shown one at a time, in order, from the event loop.
    QList<std::shared_ptr<QueuedMessage>> messageQueue;
    std::shared_ptr<QueuedMessage> shownMessage;
    int shownMessageAnswer = -1;
    bool nextMessageScheduled = false;
    qsizetype droppedMessages = 0; // since the last box was shown
    // Callers waiting in ShowCustomMessage for their answer, each in a nested event loop, and
    // what has to wait until none does.
    int messageWaits = 0;
    QList<std::function<void()>> workHeldForMessageWaits;
    bool workScheduled = false;

    qint64 maxBundleBytes = kMaxBundleBytes;
    http::Deadlines bundleDeadlines = http::Deadlines::bundle();
    BundleQuarantine bundleQuarantine;
    // The latest payload that did not register, kept for inspection until the next one, sign-out
    // or exit, so that refusals do not pile up in the temporary folder.
    std::unique_ptr<QTemporaryFile> rejectedPayloadDump;
    // The registered bundle's cache file and digest, for the quarantine if it has to be stopped.
    QString registeredCacheFile;
    QByteArray registeredDigest;
    ScriptWatchdog scriptWatchdog;
    // Read once, at start-up: which key, if any, must have signed every bundle.
    BundleTrust bundleTrust = BundleTrust::fromConfig();

    friend class TstBundleDelivery;
    friend class TestViewModel;
};
