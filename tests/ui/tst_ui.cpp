#include <QtQuick>
#include <QtTest>
#include <QtWidgets>
#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>

#include "net/http_request.h"
#include "support/client_ui.h"
#include "support/dashboards.h"
#include "support/log_capture.h"
#include "support/loopback_backend.h"
#include "support/mosquitto_broker.h"
#include "support/sandbox.h"

using Response = ScriptedHttpServer::Response;

namespace {
// Where the message box that is open while the dashboard is torn down comes from.
enum class OpenBox
{
    AfterFailedDownload, // main.qml reports a download the dashboard started from a handler
    AskedByDashboard,    // the dashboard waits for an answer inside its message handler
};
// How a second bundle takes the first one's place.
enum class Replacement
{
    UpdateAnnounced, // fetched past the cache when the backend announces a newer one
    SignedInAgain,   // after a sign-out, from the network again
    BundleFile,      // a bundle file registered by path, then shown
};
enum class SignOutBy
{
    DashboardMessage, // the dashboard's message handler calls manager.logUserOut()
    TokenFailure,     // the third failed token refresh
};
const QString DownloadFailed = QStringLiteral("RCC download failed");
const QString FtpRefused = QStringLiteral("RCC URL must be relative, HTTP or HTTPS.");
const QString TrapTopic = QStringLiteral("corvalen/trap");
// The login page's controls, in Tab order.
const QStringList LoginControls = {"emailField",          "passwordField", "passwordToggle",
                                   "forgotPasswordLabel", "loginButton",   "signUpButton"};

// WCAG relative luminance and contrast ratio.
double luminance(const QColor &c)
{
    const auto channel = [](double v) {
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}
double contrast(const QColor &a, const QColor &b)
{
    // Values, not std::minmax's references to the temporaries.
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}
// The text inside this area against its background: the most frequent colour is the
// background, the pixel that stands out most from it is the text's own colour.
double textContrast(const QImage &image, const QRect &area)
{
    QHash<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            ++counts[image.pixel(x, y) | 0xff000000];
    QRgb background = 0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        if (it.value() > counts.value(background))
            background = it.key();
    double best = 1;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        best = std::max(best, contrast(QColor(background), QColor(it.key())));
    return best;
}
// A dark desktop theme as the platform hands it over: light text on dark bases.
QPalette darkPalette()
{
    QPalette p(QColor("#353535"), QColor("#2d2d2d"));
    p.setColor(QPalette::Base, QColor("#242424"));
    p.setColor(QPalette::AlternateBase, QColor("#2d2d2d"));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText,
                      QPalette::BrightText, QPalette::HighlightedText})
        p.setColor(role, QColor("#ffffff"));
    p.setColor(QPalette::PlaceholderText, QColor("#9a9a9a"));
    p.setColor(QPalette::Highlight, QColor("#3584e4"));
    return p;
}
} // namespace
Q_DECLARE_METATYPE(OpenBox)
Q_DECLARE_METATYPE(SignOutBy)

// The real main.qml with the real ViewModel, signing in against loopback.
class TestUi : public QObject
{
    Q_OBJECT

    std::unique_ptr<LoopbackBackend> backend;
    std::unique_ptr<MosquittoBroker> broker;
    std::unique_ptr<ClientUi> ui;
    ViewModel *vm = nullptr;
    MqttClient *mqtt = nullptr;
    QQuickWindow *window = nullptr;
    // Boxes open from the event loop and block the window, so a timer plays the user: each box
    // is recorded (window title, text, informative text; its buttons apart) and answered with
    // its default button, else Ok. A test may run a step once the first box is open, and keep
    // the boxes open until a condition holds.
    QTimer boxTimer;
    QList<QStringList> boxesShown;
    QList<QMessageBox::StandardButtons> boxButtons;
    bool boxRecorded = false;
    std::function<void()> onFirstBox;
    std::function<bool()> holdBoxesUntil;
    QList<QUrl> openedUrls;

    static void saveScreenshot(const QImage &image, const QString &name)
    {
        const QString dir = qEnvironmentVariable("CORVALEN_SCREENSHOT_DIR");
        if (!dir.isEmpty())
            QVERIFY(QDir().mkpath(dir) && image.save(dir + "/" + name));
    }
    QQuickItem *item(const char *name) const { return window->findChild<QQuickItem *>(name); }
    QString text(const char *name) const { return item(name)->property("text").toString(); }
    QObject *dashboard() const
    {
        return item("mainPage")->property("externalDashboardObject").value<QObject *>();
    }
    bool fallbackShown() const
    {
        const QQuickItem *fallback = item("dashboardFallback");
        return fallback && fallback->isVisible();
    }
    void click(QQuickItem *target)
    {
        const QPointF centre(target->width() / 2, target->height() / 2);
        QTest::mouseClick(window, Qt::LeftButton, {}, target->mapToScene(centre).toPoint());
    }
    // A native box takes activation away and, without a window manager, nothing hands it
    // back; re-activate before judging keyboard focus.
    bool loginFormIdle()
    {
        window->requestActivate();
        return QTest::qWaitForWindowActive(window) && item("emailField")->hasActiveFocus() &&
               item("passwordField")->isVisible() && item("loginButton")->isVisible() &&
               !item("busyIndicator")->isVisible() && !item("mainPage")->isVisible();
    }
    void answerBox()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        if (!boxRecorded) {
            boxRecorded = true;
            boxesShown.append({box->windowTitle(), box->text(), box->informativeText()});
            boxButtons.append(box->standardButtons());
            if (QTest::currentDataTag() == QLatin1String("invalid-email-password"))
                saveScreenshot(box->grab().toImage(), "error-box.png");
        }
        if (onFirstBox) {
            // Not from this timer's own slot: a box the step waits for needs the timer.
            QTimer::singleShot(0, this, std::exchange(onFirstBox, nullptr));
            return;
        }
        if (holdBoxesUntil && !holdBoxesUntil())
            return;
        boxRecorded = false;
        (box->defaultButton() ? box->defaultButton() : box->button(QMessageBox::Ok))->click();
    }
    // The login page as it starts, its reset dialog open, or the dashboard's fallback.
    void showView(const QString &view)
    {
        if (view == "reset") {
            QVERIFY(QMetaObject::invokeMethod(item("loginPage"), "openResetDialog"));
            QTRY_VERIFY_WITH_TIMEOUT(
                item("resetEmailField") && item("resetEmailField")->hasActiveFocus(), 15000);
        } else if (view == "fallback") {
            QVERIFY(QMetaObject::invokeMethod(window, "goToMain"));
            QVERIFY(
                QMetaObject::invokeMethod(item("mainPage"), "showFailure",
                                          Q_ARG(QVariant, "The dashboard could not be loaded.")));
        }
    }
    // The focused control by object name, else by its text (the dialogs' standard buttons).
    QString focusedName() const
    {
        const QQuickItem *focused = window->activeFocusItem();
        if (!focused)
            return {};
        return focused->objectName().isEmpty() ? focused->property("text").toString()
                                               : focused->objectName();
    }
    // As the program starts it, from the environment as it stands.
    void startUi()
    {
        ui.reset();
        ui = std::make_unique<ClientUi>();
        vm = &ui->viewModel;
        mqtt = &ui->mqtt;
        QVERIFY(ui->load());
        window = ui->window;
        QVERIFY(loginFormIdle());
    }
    // A sign-in is answered, and this dashboard is served.
    void serve(const QByteArray &dashboardQml)
    {
        backend->routes["/fn/get_dashboard_rcc"] =
            LoopbackBackend::raw(buildDashboardBundle(dashboardQml));
        backend->routes["/v1/signin/email-password"] = Response::json(200, kSignedInU1);
    }
    // Signed in, showing this dashboard.
    QObject *signInTo(const QByteArray &dashboardQml)
    {
        serve(dashboardQml);
        vm->logUserIn("e", "p");
        return QTest::qWaitFor([&] { return dashboard() || fallbackShown(); }, 15000) ? dashboard()
                                                                                      : nullptr;
    }
    bool startBroker()
    {
        broker = std::make_unique<MosquittoBroker>();
        if (!broker->start())
            return false;
        qputenv("CORVALEN_MQTT_HOST", broker->host().toUtf8());
        qputenv("CORVALEN_MQTT_PORT", QByteArray::number(broker->port()));
        return true;
    }
    // Signed in, showing the trap dashboard, which listens on its topic of a real broker.
    bool showTrapDashboard(QPointer<QObject> &trap)
    {
        trap = nullptr;
        if (!startBroker() || !signInTo(kTrapDashboardQml))
            return false;
        if (QTest::qWaitFor([&] { return broker->subscriptions(".+").contains(TrapTopic); }, 15000))
            trap = dashboard();
        return trap;
    }
    // The box the dashboard's act leaves open, and the texts it shows.
    QStringList openBox(OpenBox box)
    {
        const bool asks = box == OpenBox::AskedByDashboard;
        if (!broker->publish(TrapTopic, asks ? "ask" : "download"))
            return {};
        return asks ? QStringList{"Trap", "Trap", "Asked from a message handler"}
                    : QStringList{DownloadFailed, DownloadFailed, FtpRefused};
    }

public slots:
    void openUrl(const QUrl &url) { openedUrls.append(url); }

private slots:
    void initTestCase()
    {
        connect(&boxTimer, &QTimer::timeout, this, &TestUi::answerBox);
        boxTimer.start(10);
    }
    void init()
    {
        QTest::failOnWarning(QRegularExpression("qrc:/user_interface/"));
        boxesShown.clear();
        boxButtons.clear();
        boxRecorded = false;
        onFirstBox = nullptr;
        holdBoxesUntil = nullptr;
        backend = std::make_unique<LoopbackBackend>();
        QVERIFY(backend->start());
        startUi();
    }
    void cleanup()
    {
        holdBoxesUntil = nullptr;
        vm->unregisterCurrentResource();
        ui.reset();
        broker.reset();
        backend.reset();
    }

    void loginPageShowsCircularLogo()
    {
        QQuickItem *logo = item("logo");
        const QPoint centre = logo->mapRectToScene(logo->boundingRect()).center().toPoint();
        const auto drawn = [&](QPoint at) {
            return window->grabWindow().pixelColor(at) != QColor(Qt::black);
        };
        // A corner of the logo's square, just outside the disc, is erased whatever the image.
        QTRY_VERIFY_WITH_TIMEOUT(drawn(centre) && !drawn(centre + QPoint(71, -71)), 15000);
        saveScreenshot(window->grabWindow(), "login-page.png");
    }

    // The window's pictures come decoded at the size drawn, from the larger file when that is
    // needed, and never larger than a file; names that are not plain are refused.
    void uiImagesDecodedAtTheSizeAsked_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QSize>("asked");
        QTest::addColumn<QString>("file"); // empty: refused
        QTest::addColumn<QSize>("decoded");
        const QString one = ":/images/logo_round.png", two = ":/images/logo_round@2x.png";
        QTest::addRow("no size") << "logo_round" << QSize() << one << QSize(180, 180);
        QTest::addRow("drawn size") << "logo_round" << QSize(180, 180) << one << QSize(180, 180);
        QTest::addRow("smaller") << "logo_round" << QSize(90, 90) << one << QSize(90, 90);
        QTest::addRow("ratio 1.25") << "logo_round" << QSize(225, 225) << two << QSize(225, 225);
        QTest::addRow("ratio 2") << "logo_round" << QSize(360, 360) << two << QSize(360, 360);
        QTest::addRow("beyond @2x") << "logo_round" << QSize(720, 720) << two << QSize(360, 360);
        QTest::addRow("no @2x file")
            << "email" << QSize(256, 256) << ":/images/email.png" << QSize(128, 128);
        QTest::addRow("missing") << "nothing" << QSize() << QString() << QSize();
        QTest::addRow("path") << "../images/logo_round" << QSize() << QString() << QSize();
        QTest::addRow("suffix") << "logo_round.png" << QSize() << QString() << QSize();
    }
    void uiImagesDecodedAtTheSizeAsked()
    {
        QFETCH(QString, id);
        QFETCH(QSize, asked);
        QFETCH(QString, file);
        QFETCH(QSize, decoded);
        auto *provider = static_cast<QQuickImageProvider *>(ui->engine.imageProvider("ui"));
        QVERIFY(provider);
        QSize size;
        std::unique_ptr<QQuickTextureFactory> texture(provider->requestTexture(id, &size, asked));
        if (file.isEmpty())
            QVERIFY(!texture);
        else {
            QVERIFY(texture);
            QCOMPARE(size, decoded);
            QCOMPARE(texture->textureSize(), decoded);
            QImage expected(file);
            if (expected.size() != decoded)
                expected = expected.scaled(decoded, Qt::KeepAspectRatio, Qt::SmoothTransformation);
            QCOMPARE(texture->image(), expected);
        }
    }

    // Every text the client draws stays readable (WCAG AA) in the light and in a dark palette.
    void textsReadableInBothPalettes_data()
    {
        QTest::addColumn<bool>("dark");
        QTest::addColumn<QString>("view");
        QTest::addColumn<QStringList>("names");
        for (const bool dark : {false, true}) {
            const char *look = dark ? "dark" : "light";
            QTest::addRow("login %s", look) << dark << "login" << LoginControls;
            QTest::addRow("reset dialog %s", look)
                << dark << "reset" << QStringList{"resetEmailField"};
            QTest::addRow("fallback %s", look)
                << dark << "fallback"
                << QStringList{"fallbackText", "tryAgainButton", "fallbackSignOutButton"};
        }
    }
    void textsReadableInBothPalettes()
    {
        QFETCH(bool, dark);
        QFETCH(QString, view);
        QFETCH(QStringList, names);
        std::unique_ptr<QStyle> fusion(QStyleFactory::create("Fusion"));
        // As a platform theme hands it to the window, which its controls inherit it from.
        const QPalette palette = dark ? darkPalette() : fusion->standardPalette();
        auto *windowPalette = window->property("palette").value<QObject *>();
        QVERIFY(windowPalette);
        const QMetaEnum roles = QMetaEnum::fromType<QPalette::ColorRole>();
        for (int i = 0; i < roles.keyCount(); ++i) {
            QByteArray name = roles.key(i);
            name[0] = QChar::toLower(name[0]);
            if (windowPalette->metaObject()->indexOfProperty(name) >= 0)
                windowPalette->setProperty(name,
                                           palette.color(QPalette::ColorRole(roles.value(i))));
        }
        showView(view);
        if (view != "fallback") // typed text, not the placeholder
            item(names.first().toLatin1())->setProperty("text", "someone@example.com");
        QImage image;
        QTRY_VERIFY_WITH_TIMEOUT(!(image = window->grabWindow()).isNull(), 15000);
        saveScreenshot(image, QString("%1-%2.png").arg(view, dark ? "dark" : "light"));
        const qreal dpr = image.devicePixelRatio();
        for (const QString &name : names) {
            QQuickItem *target = item(name.toLatin1());
            QVERIFY2(target, qPrintable(name));
            // The text's own box, inside the paddings and away from borders and inner buttons.
            const auto pad = [&](const char *side) {
                return std::max(2.0, target->property(side).toDouble());
            };
            const QRectF inner(pad("leftPadding"), pad("topPadding"),
                               target->width() - pad("leftPadding") - pad("rightPadding"),
                               target->height() - pad("topPadding") - pad("bottomPadding"));
            const QRectF scene = target->mapRectToScene(inner);
            const QRect area(
                QPoint(std::ceil(scene.left() * dpr), std::ceil(scene.top() * dpr)),
                QPoint(std::floor(scene.right() * dpr) - 1, std::floor(scene.bottom() * dpr) - 1));
            const double ratio = textContrast(image, area);
            QVERIFY2(ratio >= 4.5, qPrintable(QString("%1: %2:1").arg(name).arg(ratio)));
        }
    }

    // Tab goes through every control in reading order and round again; Shift+Tab goes back.
    void tabReachesEveryControlInOrder_data()
    {
        QTest::addColumn<QString>("view");
        QTest::addColumn<QStringList>("order");
        QTest::newRow("login page") << "login" << LoginControls;
        QTest::newRow("reset dialog") << "reset" << QStringList{"resetEmailField", "OK", "Cancel"};
        QTest::newRow("fallback") << "fallback"
                                  << QStringList{"tryAgainButton", "fallbackSignOutButton"};
    }
    void tabReachesEveryControlInOrder()
    {
        QFETCH(QString, view);
        QFETCH(QStringList, order);
        showView(view);
        QTRY_COMPARE_WITH_TIMEOUT(focusedName(), order.first(), 15000);
        for (int i = 1; i <= order.size(); ++i) {
            QTest::keyClick(window, Qt::Key_Tab);
            QCOMPARE(focusedName(), order.at(i % order.size()));
        }
        for (int i = order.size() - 1; i >= 0; --i) {
            QTest::keyClick(window, Qt::Key_Backtab, Qt::ShiftModifier);
            QCOMPARE(focusedName(), order.at(i));
        }
    }

    // The focused control does from the keyboard what a click does, and nothing else: a key
    // on a button never also signs in.
    void keysWorkTheFocusedControl_data()
    {
        QTest::addColumn<QString>("view");
        QTest::addColumn<QString>("control");
        QTest::addColumn<int>("key"); // 0: a click
        QTest::addColumn<QString>("effect");
        const auto row = [](const QString &tag, const char *view, const char *control, int key,
                            const char *effect) {
            QTest::newRow(qPrintable(tag)) << view << control << key << effect;
        };
        row("Show, click", "login", "passwordToggle", 0, "shown");
        row("Sign Up, click", "login", "signUpButton", 0, "sign-up");
        const QList<QPair<QString, int>> keys = {
            {"Space", Qt::Key_Space}, {"Return", Qt::Key_Return}, {"Enter", Qt::Key_Enter}};
        for (const auto &[name, key] : keys) {
            row("Show, " + name, "login", "passwordToggle", key, "shown");
            row("Forgot password?, " + name, "login", "forgotPasswordLabel", key, "reset dialog");
            row("Sign Up, " + name, "login", "signUpButton", key, "sign-up");
            row("Login, " + name, "login", "loginButton", key, "sign-in");
        }
        row("reset e-mail, Return", "reset", "resetEmailField", Qt::Key_Return, "reset sent");
        row("reset e-mail, Enter", "reset", "resetEmailField", Qt::Key_Enter, "reset sent");
    }
    void keysWorkTheFocusedControl()
    {
        QFETCH(QString, view);
        QFETCH(QString, control);
        QFETCH(int, key);
        QFETCH(QString, effect);
        showView(view);
        backend->routes["/v1/user/password/reset"] = Response::json(200, "{}");
        if (view == "reset")
            item(control.toLatin1())->setProperty("text", "reset@example.com");
        item(control.toLatin1())->forceActiveFocus(Qt::TabFocusReason);
        const auto press = [&] {
            if (key)
                QTest::keyClick(window, Qt::Key(key));
            else
                click(item(control.toLatin1()));
        };
        openedUrls.clear();
        QDesktopServices::setUrlHandler("https", this, "openUrl");
        press();
        QDesktopServices::unsetUrlHandler("https");

        const auto requested = [this](const QString &path) {
            return backend->server.requestCount() == 1 &&
                   backend->server.lastRequest().path() == path;
        };
        // TextInput's echo modes have QLineEdit's values.
        const auto echo = [this] { return item("passwordField")->property("echoMode").toInt(); };
        if (effect == "shown") {
            QCOMPARE(echo(), int(QLineEdit::Normal));
            QCOMPARE(text("passwordToggle"), "Hide");
            press(); // and hidden again
            QCOMPARE(echo(), int(QLineEdit::Password));
            QCOMPARE(text("passwordToggle"), "Show");
        } else if (effect == "reset dialog")
            QTRY_VERIFY_WITH_TIMEOUT(
                item("resetEmailField") && item("resetEmailField")->hasActiveFocus(), 15000);
        else if (effect == "sign-up")
            QCOMPARE(openedUrls, QList<QUrl>{QUrl("https://www.corvalen.example/signup")});
        else if (effect == "sign-in")
            QTRY_VERIFY_WITH_TIMEOUT(requested("/v1/signin/email-password"), 15000);
        else if (effect == "reset sent")
            QTRY_VERIFY_WITH_TIMEOUT(requested("/v1/user/password/reset"), 15000);
        if (effect != "sign-in") {
            QVERIFY(!item("busyIndicator")->isVisible());
            QCOMPARE(backend->server.requests().size(), effect == "reset sent" ? 1 : 0);
        }
    }

    // A screen reader finds each control by its name and role.
    void controlsNamedForScreenReaders_data()
    {
        QTest::addColumn<QString>("view");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("login page")
            << "login"
            << QStringList{"EditableText E-mail",   "EditableText Password", "Button Show",
                           "Link Forgot password?", "Button Login",          "Button Sign Up"};
        QTest::newRow("reset dialog")
            << "reset" << QStringList{"EditableText E-mail", "Button OK", "Button Cancel"};
        QTest::newRow("fallback") << "fallback"
                                  << QStringList{"StaticText The dashboard could not be loaded.",
                                                 "Button Try again", "Button Sign out"};
    }
    void controlsNamedForScreenReaders()
    {
        QFETCH(QString, view);
        QFETCH(QStringList, expected);
        QAccessible::setActive(true);
        showView(view);
        const QMetaEnum roles = QMetaEnum::fromType<QAccessible::Role>();
        QStringList found;
        const std::function<void(QAccessibleInterface *)> walk = [&](QAccessibleInterface *node) {
            if (!node || node->state().invisible)
                return;
            // Qt never names a password field, lest the name give the password away; its
            // description says what it is.
            found << QString("%1 %2").arg(roles.valueToKey(node->role()),
                                          node->text(node->state().passwordEdit
                                                         ? QAccessible::Description
                                                         : QAccessible::Name));
            for (int i = 0; i < node->childCount(); ++i)
                walk(node->child(i));
        };
        walk(QAccessible::queryAccessibleInterface(window));
        for (const QString &control : expected)
            QVERIFY2(found.contains(control), qPrintable(found.join(" | ")));
        for (const QString &entry : found)
            QVERIFY2(!QRegularExpression("^(Button|EditableText|Link|CheckBox) $")
                          .match(entry)
                          .hasMatch(),
                     qPrintable("a control without a name among: " + found.join(" | ")));
    }

    // A sign-in the server never answers shows a turning indicator where the form was.
    void waitingForSignInShowsAnimation()
    {
        ScriptedHttpServer auth;
        auth.setHandler([](const auto &) { return Response::held(); });
        QVERIFY(auth.start());
        qputenv("CORVALEN_AUTH_BASE_URL", (auth.baseUrl() + "/v1").toUtf8());
        startUi();
        QQuickItem *indicator = item("busyIndicator");
        const qreal dpr = window->devicePixelRatio();
        const auto area = [&] {
            const QRectF scene = indicator->mapRectToScene(indicator->boundingRect());
            return window->grabWindow().copy(
                QRectF(scene.topLeft() * dpr, scene.size() * dpr).toRect());
        };
        const QImage idle = area();
        QTest::keyClick(window, Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(auth.requestCount(), 1, 15000);
        QVERIFY(indicator->isVisible());
        const QImage waiting = area();
        saveScreenshot(window->grabWindow(), "login-waiting.png");
        QVERIFY(waiting != idle);
        // Drawn, not merely different: a good part of its box is lit.
        int lit = 0;
        for (int y = 0; y < waiting.height(); ++y)
            for (int x = 0; x < waiting.width(); ++x)
                lit += qGray(waiting.pixel(x, y)) > 64;
        QVERIFY2(lit > 500, qPrintable(QString::number(lit)));
        QTRY_VERIFY_WITH_TIMEOUT(area() != waiting, 15000);
    }

    void responseTextShowsItsMessage_data()
    {
        QTest::addColumn<QString>("response");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("message");
        const auto row = [](const char *tag, const QString &response, const QString &title,
                            const QString &message) {
            QTest::newRow(tag) << response << title << message;
        };
        const QString oops = "Something went wrong, please try again later.";
        row("invalid-email-password", "invalid-email-password", "Inavlid email or password",
            "Please enter a valid e-mail and password.");
        row("EMAIL_NOT_FOUND", "EMAIL_NOT_FOUND", "User e-mail not found",
            "There is not a account with this e-mail,\nplease signup to continue");
        row("too many attempts",
            "TOO_MANY_ATTEMPTS_TRY_LATER : Access to this account has been temporarily disabled "
            "due to many failed login attempts. You can immediately restore it by resetting your "
            "password or you can try again later.",
            "Too many attempts",
            "Access to this account has been temporarily\ndisabled due to many failed login "
            "attempts");
        row("SESSION_EXPIRED", "SESSION_EXPIRED", "Session expired", "Please sign in again.");
        row("invalid response", "Invalid response from server", "Ops!", oops);
        row("empty", "", "Ops!", oops);
        row("other text, verbatim", "EMAIL_not_FOUND", "Ops!", "EMAIL_not_FOUND");
    }
    void responseTextShowsItsMessage()
    {
        QFETCH(QString, response);
        QFETCH(QString, title);
        QFETCH(QString, message);
        backend->routes["/v1/signin/email-password"] =
            Response::json(400, QJsonDocument(QJsonObject{{"error", response}}).toJson());
        if (response.isEmpty()) // the service never sends an empty text
            vm->GetSignInResponse(response);
        else
            click(item("loginButton"));

        QTRY_COMPARE_WITH_TIMEOUT(boxesShown, (QList<QStringList>{{title, title, message}}), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(loginFormIdle(), 15000);
        QCOMPARE(boxesShown.size(), 1);
    }

    void sessionFromSignInToSignOut_data()
    {
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<int>("key");
        QTest::addColumn<QByteArray>("dashboardQml");
        QTest::addColumn<bool>("viaFunction");
        QTest::addColumn<bool>("sessionExpires");
        QTest::newRow("Return in password, item root, dashboard function, signing out")
            << QByteArray("passwordField") << int(Qt::Key_Return)
            << QByteArray("import QtQuick\nRectangle { width: 10 }") << true << false;
        QTest::newRow("Enter in e-mail, QtObject root, direct download, session expiring")
            << QByteArray("emailField") << int(Qt::Key_Enter)
            << QByteArray("import QtQml\nQtObject {}") << false << true;
    }
    void sessionFromSignInToSignOut()
    {
        QFETCH(QByteArray, field);
        QFETCH(int, key);
        QFETCH(QByteArray, dashboardQml);
        QFETCH(bool, viaFunction);
        QFETCH(bool, sessionExpires);
        serve(dashboardQml);
        backend->routes["/v1/token"] = Response::json(
            200, R"({"accessToken":"b","refreshToken":"s","accessTokenExpiresIn":900})");
        // The first dashboard request is refused; it is retried once the token is refreshed.
        connect(vm, &ViewModel::authResponseChanged, this,
                [&] { backend->server.enqueue(Response::json(401, "{}")); });
        item("emailField")->setProperty("text", " U1@ex.com");
        item("passwordField")->setProperty("text", "p@ss word");
        item("loginPage")->setProperty("passwordVisible", true);
        item(field.constData())->forceActiveFocus();
        QTest::keyClick(window, Qt::Key(key));
        QCOMPARE(text("emailField") + text("passwordField"), QString());
        QVERIFY(!item("loginPage")->property("passwordVisible").toBool() &&
                item("busyIndicator")->isVisible() && !item("emailField")->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(dashboard() && item("mainPage")->isVisible(), 15000);
        QVERIFY(!item("loginPage")->isVisible());
        if (auto *root = qobject_cast<QQuickItem *>(dashboard())) // other roots have no anchors
            QCOMPARE(root->size(), item("mainPage")->size());
        QCOMPARE(QJsonDocument::fromJson(backend->server.requests().first().body).object(),
                 (QJsonObject{{"email", " U1@ex.com"}, {"password", "p@ss word"}}));
        QCOMPARE(backend->server.requestCount(), 4); // sign-in, dashboard, token, dashboard

        // Nothing starts a resolution now: nothing awaits a refresh, and an update is not fetched
        // while a transfer runs (without a token it would fail at once).
        QSignalSpy outcomes(vm, &ViewModel::externalResourceLoadFinished);
        Response stalled = LoopbackBackend::raw(QByteArray(64, 'x'));
        stalled.dribbleChunk = 1;
        stalled.dribbleDelayMs = 600000; // slower than any test runs
        backend->routes["/stall"] = stalled;
        const QUrl stall(backend->server.baseUrl() + "/stall");
        QVERIFY(viaFunction ? vm->requestDashboardFunction(stall, "b")
                            : vm->downloadAndRegisterExternalResource(stall.toString()));
        vm->auth().Settings().remove("token");
        emit vm->auth().AccessTokenRefreshed();
        emit vm->auth().RccUpdateAvailable();
        emit vm->messageRequested("Hello", "From the dashboard"); // shown on phones only

        // The page lets go of the dashboard before its bundle and cached copy go; the running
        // transfer is dropped without a message.
        const QStringList files = {":/external/dashboard.qml", vm->dashboardCacheFilePath("u1")};
        QList<bool> atSignOut;
        connect(vm, &ViewModel::signOutUser, this, [&] {
            atSignOut = {!dashboard(), QFile::exists(files[0]), QFile::exists(files[1])};
        });
        if (sessionExpires)
            emit vm->auth().SignOutUser();
        else
            vm->logUserOut();
        QCOMPARE(atSignOut, (QList<bool>{true, true, true}));
        QVERIFY(loginFormIdle() && vm->auth().Settings().allKeys().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(files[0]) && !QFile::exists(files[1]), 15000);
        QCOMPARE(outcomes.count(), 0);
        QCOMPARE(boxesShown, QList<QStringList>());
        // That box is for phones and browsers; on a desktop it is never even made.
        QVERIFY(!window->findChild<QObject *>("appMessageDialog"));
    }

    void resetDialogSendsOnlyNonEmptyEmail()
    {
        QVERIFY(!window->findChild<QObject *>("resetDialog")); // made at the first click
        backend->routes["/v1/user/password/reset"] = Response::json(200, "{}");
        const QList<QPair<QString, const char *>> answers = {
            {"", "accept"}, {"typo@example.com", "reject"}, {"reset@example.com", "accept"}};
        for (const auto &[email, answer] : answers) {
            click(item("forgotPasswordLabel"));
            QObject *dialog = window->findChild<QObject *>("resetDialog");
            QQuickItem *field = item("resetEmailField");
            QVERIFY(dialog && field);
            QTRY_VERIFY_WITH_TIMEOUT(dialog->property("opened").toBool() && field->hasActiveFocus(),
                                     15000);
            field->setProperty("text", email);
            saveScreenshot(window->grabWindow(), "reset-dialog.png"); // the last one stays
            QVERIFY(QMetaObject::invokeMethod(dialog, answer));
            QTRY_VERIFY_WITH_TIMEOUT(!dialog->property("visible").toBool(), 15000);
            QCOMPARE(field->property("text").toString(), QString());
        }
        QTRY_COMPARE_WITH_TIMEOUT(backend->server.requestCount(), 1, 15000);
        QCOMPARE(QJsonDocument::fromJson(backend->server.lastRequest().body)["email"].toString(),
                 "reset@example.com");
    }

    // One box at a time: a message that comes while one is open waits its turn in the same box,
    // and every caller waits for the answer to its own message, the forms without an answer too.
    void messagesShownOneAfterAnother()
    {
        int nestedAnswer = 0;
        bool nestedAsked = false;
        onFirstBox = [&] {
            // Asked while the first box is open, from the event loop as a dashboard would.
            QTimer::singleShot(0, this, [&] {
                nestedAsked = true;
                nestedAnswer = vm->ShowCustomMessage("C", "c");
            });
        };
        holdBoxesUntil = [&] { return nestedAsked; };
        vm->ShowCustomMessageNoBtns("A", "a");
        QCOMPARE(boxesShown.size(), 2); // its own box and the one asked while it was open
        const int answer =
            vm->ShowCustomMessage("B", "b", QMessageBox::Yes | QMessageBox::No, QMessageBox::No);

        QCOMPARE(answer, int(QMessageBox::No));
        QCOMPARE(boxesShown,
                 (QList<QStringList>{{"A", "A", "a"}, {"C", "C", "c"}, {"B", "B", "b"}}));
        QCOMPARE(boxButtons,
                 (QList<QMessageBox::StandardButtons>{QMessageBox::Ok, QMessageBox::Ok,
                                                      QMessageBox::Yes | QMessageBox::No}));
        QCOMPARE(nestedAnswer, int(QMessageBox::Ok));
        QCOMPARE(qobject_cast<QMessageBox *>(QApplication::activeModalWidget()), nullptr);
    }

    // A flood of boxes asked while one is open: identical ones share a box, and beyond a queue of
    // 20 the rest are dropped with one log line. Every caller returns, a dropped one at once.
    void messageFloodCoalescedAndCapped()
    {
        LogCapture logs;
        constexpr int identical = 50, distinct = 950;
        QList<int> answers;
        onFirstBox = [&] {
            for (int i = 0; i < identical + distinct; ++i) {
                // Each from a timer of its own: posted calls would wait for the first to return.
                QTimer::singleShot(1, Qt::PreciseTimer, this, [&, i] {
                    answers.append(vm->ShowCustomMessage(
                        "Flood", i < identical ? QString("same") : QString::number(i)));
                });
            }
        };
        holdBoxesUntil = [&] { return answers.size() >= distinct - 19; };
        QCOMPARE(vm->ShowCustomMessage("First", "first"), int(QMessageBox::Ok));
        QTRY_COMPARE_WITH_TIMEOUT(answers.size(), identical + distinct, 60000);

        QList<QStringList> expected = {{"First", "First", "first"}, {"Flood", "Flood", "same"}};
        for (int i = identical; i < identical + 19; ++i)
            expected.append({"Flood", "Flood", QString::number(i)});
        QCOMPARE(boxesShown, expected);
        QCOMPARE(answers.count(int(QMessageBox::Ok)), identical + 19);
        QCOMPARE(answers.count(-1), distinct - 19);
        QCOMPARE(logs.lines().filter("Dropped").size(), 1);
        QVERIFY(logs.contains("Dropped 931 message boxes: more than 20 were waiting to be shown"));
    }

    // A dashboard shows a message and then signs out: the sign-out waits until the box is closed,
    // also when the session ends under the open box and the dashboard is torn down meanwhile.
    void messageBlocksDashboardUntilClosed_data()
    {
        QTest::addColumn<bool>("sessionEndsUnderBox");
        QTest::newRow("user closes the box") << false;
        QTest::newRow("token refresh fails while it is open") << true;
    }
    void messageBlocksDashboardUntilClosed()
    {
        QFETCH(bool, sessionEndsUnderBox);
        LogCapture logs;
        QPointer<QObject> trap;
        QVERIFY2(showTrapDashboard(trap), qPrintable(broker->errorString()));
        bool signedInUnderBox = false;
        onFirstBox = [&] {
            signedInUnderBox = vm->currentUserId() == "u1" && item("mainPage")->isVisible();
            if (sessionEndsUnderBox)
                emit vm->auth().SignOutUser();
        };
        holdBoxesUntil = [&] { return !sessionEndsUnderBox || item("loginPage")->isVisible(); };
        QVERIFY(broker->publish(TrapTopic, "bye"));
        QTRY_VERIFY_WITH_TIMEOUT(!trap && !QApplication::activeModalWidget(), 15000);
        QCOMPARE(boxesShown.first(), (QStringList{"Bye", "Bye", "Signing you out"}));
        QVERIFY(signedInUnderBox);
        QVERIFY(loginFormIdle() && vm->currentUserId().isEmpty());
        QVERIFY(!QFile::exists(":/external/dashboard.qml"));
    }

    void dashboardFailuresShowTheirMessages()
    {
        // The view model never reports an empty failure; the page still has a text for it.
        emit vm->externalResourceLoadFinished(false, QString());
        QTRY_COMPARE_WITH_TIMEOUT(boxesShown.size(), 1, 15000);

        // A resolution that fails before sending reports its own failure, then the page adds
        // that the request could not be made.
        vm->auth().Settings().setValue("id", "u1");
        vm->auth().Settings().setValue("email", "e");
        vm->GetSignInResponse("USER_AUTENTICATED");
        QTRY_COMPARE_WITH_TIMEOUT(boxesShown.size(), 3, 15000);
        QCOMPARE(boxesShown,
                 (QList<QStringList>{{DownloadFailed, DownloadFailed,
                                      "Could not download/load external RCC from this app host."},
                                     {DownloadFailed, DownloadFailed,
                                      "Missing access token. Please sign in again and retry."},
                                     {DownloadFailed, DownloadFailed,
                                      "Could not request the dashboard RCC file."}}));
        QVERIFY(item("mainPage")->isVisible() && !dashboard());
    }

    // While a sign-in waits, neither Return, Enter nor the (hidden) button sends another.
    void signInIgnoredWhileWaiting()
    {
        ScriptedHttpServer auth;
        auth.setHandler([](const auto &) { return Response::held(); });
        QVERIFY(auth.start());
        qputenv("CORVALEN_AUTH_BASE_URL", (auth.baseUrl() + "/v1").toUtf8());
        startUi();
        item("emailField")->setProperty("text", "first@example.com");
        item("passwordField")->setProperty("text", "secret");
        item("passwordField")->forceActiveFocus();
        QTest::keyClick(window, Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(auth.requestCount(), 1, 15000);

        QTest::keyClick(window, Qt::Key_Return);
        QTest::keyClick(window, Qt::Key_Enter);
        click(item("loginButton"));
        QVERIFY(item("busyIndicator")->isVisible());
        auth.answerHeld(Response::json(400, R"({"error":"invalid-email-password"})"));
        QTRY_VERIFY_WITH_TIMEOUT(boxesShown.size() == 1 && loginFormIdle(), 15000);

        // A sign-in sent now goes out after any that the keys above had sent.
        item("emailField")->setProperty("text", "second@example.com");
        click(item("loginButton"));
        QTRY_VERIFY_WITH_TIMEOUT(auth.requestCount() >= 2, 15000);
        QStringList emails;
        for (const auto &request : auth.requests())
            emails << QJsonDocument::fromJson(request.body)["email"].toString();
        QCOMPARE(emails, (QStringList{"first@example.com", "second@example.com"}));
    }

    // A dashboard signs out, or is signed out, while a box is open; its handlers, or the signal
    // emission they belong to, are on the stack then. The program lives on, back on the login
    // page, and the user's bundle and cached copy are gone.
    void dashboardSignedOutUnderOpenBox_data()
    {
        QTest::addColumn<OpenBox>("box");
        QTest::addColumn<SignOutBy>("signOut");
        QTest::newRow("failed download box, dashboard signs out")
            << OpenBox::AfterFailedDownload << SignOutBy::DashboardMessage;
        QTest::newRow("failed download box, token refresh fails")
            << OpenBox::AfterFailedDownload << SignOutBy::TokenFailure;
        QTest::newRow("dashboard waits for its box, token refresh fails")
            << OpenBox::AskedByDashboard << SignOutBy::TokenFailure;
    }
    void dashboardSignedOutUnderOpenBox()
    {
        QFETCH(OpenBox, box);
        QFETCH(SignOutBy, signOut);
        LogCapture logs;
        QPointer<QObject> trap;
        QVERIFY2(showTrapDashboard(trap), qPrintable(broker->errorString()));
        const QStringList files = {":/external/dashboard.qml", vm->dashboardCacheFilePath("u1")};
        QVERIFY(QFile::exists(files[0]) && QFile::exists(files[1]));

        onFirstBox = [&] {
            if (signOut == SignOutBy::TokenFailure)
                emit vm->auth().SignOutUser();
            else
                QVERIFY(broker->publish(TrapTopic, "signout"));
        };
        // A box blocks the dashboard's message handler that led to it, and with it the delivery
        // of further messages: a sign-out sent by message comes once the box is closed.
        holdBoxesUntil = [&] {
            return signOut == SignOutBy::DashboardMessage || item("loginPage")->isVisible();
        };
        const QStringList first = openBox(box);
        // The sign-out itself starts a download that fails: its box comes second.
        QTRY_COMPARE_WITH_TIMEOUT(boxesShown.size(), 2, 15000);
        QCOMPARE(boxesShown,
                 (QList<QStringList>{first, {DownloadFailed, DownloadFailed, FtpRefused}}));

        QTRY_VERIFY_WITH_TIMEOUT(!QApplication::activeModalWidget() && !trap &&
                                     !QFile::exists(files[0]) && !QFile::exists(files[1]),
                                 15000);
        QVERIFY(loginFormIdle() && vm->currentUserId().isEmpty());
        if (box == OpenBox::AskedByDashboard)
            QVERIFY(
                logs.contains(QStringLiteral("Trap dashboard got answer %1").arg(QMessageBox::Ok)));
    }

    // A signed-out dashboard lives on while a box is open, its timers with it; they no longer
    // reach the broker.
    void releasedDashboardCannotReconnect_data()
    {
        QTest::addColumn<QString>("reconfigure");
        QTest::newRow("through the manager") << "manager.configureDashboardMqtt(%1, %2, [%3])";
        QTest::newRow("through the MQTT client") << "mqttClient.ConfigureAndConnect(%1, %2, [%3])";
    }
    void releasedDashboardCannotReconnect()
    {
        QFETCH(QString, reconfigure);
        LogCapture logs;
        QVERIFY2(startBroker(), qPrintable(broker->errorString()));
        const QString call = reconfigure.arg('"' + broker->host() + '"')
                                 .arg(broker->port())
                                 .arg("\"corvalen/tick\"");
        QSignalSpy connections(mqtt, &MqttClient::connectedChanged);
        QPointer<QObject> ticking = signInTo(QStringLiteral(R"(import QtQuick
Item {
    Timer {
        interval: 100; repeat: true; running: true
        onTriggered: { console.log("Dashboard reconfigures MQTT"); %1 }
    }
})")
                                                 .arg(call)
                                                 .toUtf8());
        QVERIFY(ticking);
        QTRY_VERIFY_WITH_TIMEOUT(connections.contains(QVariantList{true}), 15000);
        const auto ticks = [&] {
            return logs.lines().filter("Dashboard reconfigures MQTT").size();
        };
        qsizetype ticksAtSignOut = 0;
        onFirstBox = [&] {
            vm->logUserOut();
            ticksAtSignOut = ticks();
            connections.clear();
        };
        holdBoxesUntil = [&] { return ticks() >= ticksAtSignOut + 5; };
        vm->showMessage("Hold", "Signed out under this box");
        QVERIFY(ticks() >= ticksAtSignOut + 5);
        QVERIFY(!mqtt->isConnected());
        QVERIFY(!connections.contains(QVariantList{true}));
        QTRY_VERIFY_WITH_TIMEOUT(!ticking, 15000);
        QVERIFY(!mqtt->isConnected());
    }

    // The dashboard signs out from a click and then, in the same handler, waits for a box.
    void dashboardSignsOutThenWaitsForBox()
    {
        LogCapture logs;
        QPointer<QObject> trap;
        QVERIFY2(showTrapDashboard(trap), qPrintable(broker->errorString()));
        click(qobject_cast<QQuickItem *>(trap.data()));
        // The download started from inside the sign-out was queued first.
        QCOMPARE(boxesShown,
                 (QList<QStringList>{{DownloadFailed, DownloadFailed, FtpRefused},
                                     {"Trap", "Trap", "Asked from a message handler"}}));
        QVERIFY(logs.contains(QStringLiteral("Trap dashboard got answer %1").arg(QMessageBox::Ok)));
        QTRY_VERIFY_WITH_TIMEOUT(!trap && !QFile::exists(vm->dashboardCacheFilePath("u1")), 15000);
        QVERIFY(loginFormIdle());
    }

    // A newer bundle replaces the dashboard while a box is open.
    void dashboardReplacedUnderOpenBox_data()
    {
        QTest::addColumn<OpenBox>("box");
        QTest::newRow("failed download box") << OpenBox::AfterFailedDownload;
        QTest::newRow("dashboard waits for its box") << OpenBox::AskedByDashboard;
    }
    void dashboardReplacedUnderOpenBox()
    {
        QFETCH(OpenBox, box);
        QPointer<QObject> trap;
        QVERIFY2(showTrapDashboard(trap), qPrintable(broker->errorString()));
        onFirstBox = [&] { emit vm->auth().RccUpdateAvailable(); };
        holdBoxesUntil = [&] { return dashboard() && dashboard() != trap; };
        const QStringList first = openBox(box);
        QTRY_VERIFY_WITH_TIMEOUT(!QApplication::activeModalWidget() && !trap && dashboard(), 15000);
        QCOMPARE(boxesShown, QList<QStringList>{first});
        QVERIFY(item("mainPage")->isVisible());
        QCOMPARE(backend->server.requestCount(), 3); // sign-in and two dashboard requests
    }

    // A bundle whose dashboard cannot be made leaves the client's own view, not a black window;
    // the log line stays, and a screen reader reads the text shown.
    void brokenDashboardShowsFallback_data()
    {
        QTest::addColumn<QByteArray>("dashboardQml");
        QTest::addColumn<QString>("logged");
        QTest::addColumn<QString>("shown");
        QTest::newRow("component error") << QByteArray("import QtQuick\nItem { nonsense: 1 }")
                                         << "Failed to load external dashboard component:"
                                         << "The dashboard could not be loaded.";
        QTest::newRow("object not created")
            << QByteArray("import QtQuick\nItem { required property int unset }")
            << "Failed to create external dashboard object"
            << "The dashboard could not be created.";
    }
    void brokenDashboardShowsFallback()
    {
        QFETCH(QByteArray, dashboardQml);
        QFETCH(QString, logged);
        QFETCH(QString, shown);
        LogCapture logs;
        QVERIFY(!signInTo(dashboardQml));
        QTRY_VERIFY_WITH_TIMEOUT(fallbackShown(), 15000);
        QVERIFY(logs.contains(logged));
        QVERIFY(text("fallbackText").startsWith(shown));
        QVERIFY(item("tryAgainButton")->hasActiveFocus());
        QAccessibleInterface *accessible =
            QAccessible::queryAccessibleInterface(item("fallbackText"));
        QVERIFY(accessible);
        QCOMPARE(accessible->text(QAccessible::Name), text("fallbackText"));
    }

    // Try again fetches the bundle again, past the cache, and a good one replaces the fallback.
    void fallbackTryAgainFetchesAgain()
    {
        QVERIFY(!signInTo("import QtQuick\nItem { nonsense: 1 }"));
        QTRY_VERIFY_WITH_TIMEOUT(fallbackShown(), 15000);
        const int requests = backend->server.requestCount();
        backend->routes["/fn/get_dashboard_rcc"] =
            LoopbackBackend::raw(buildDashboardBundle("import QtQuick\nRectangle {}"));
        click(item("tryAgainButton"));
        QTRY_VERIFY_WITH_TIMEOUT(dashboard() && !fallbackShown(), 15000);
        QCOMPARE(backend->server.requestCount(), requests + 1);
    }

    // Every bundle provides the same URLs: one that takes another's place shows its own
    // dashboard, never what the engine compiled from the one before.
    void laterBundleShowsItsOwnDashboard_data()
    {
        QTest::addColumn<Replacement>("replacement");
        QTest::newRow("update announced") << Replacement::UpdateAnnounced;
        QTest::newRow("signed in again") << Replacement::SignedInAgain;
        QTest::newRow("bundle file") << Replacement::BundleFile;
    }
    void laterBundleShowsItsOwnDashboard()
    {
        QFETCH(Replacement, replacement);
        const auto named = [&](const char *name) {
            return QTest::qWaitFor([&] { return dashboard() && dashboard()->objectName() == name; },
                                   15000);
        };
        QVERIFY(signInTo("import QtQuick\nItem { objectName: \"first\" }"));
        QVERIFY(named("first"));
        const QByteArray second = "import QtQuick\nItem { objectName: \"second\" }";
        QTemporaryDir folder;
        switch (replacement) {
        case Replacement::UpdateAnnounced:
            serve(second);
            emit vm->auth().RccUpdateAvailable();
            break;
        case Replacement::SignedInAgain:
            vm->logUserOut();
            QVERIFY(loginFormIdle());
            QVERIFY(signInTo(second));
            break;
        case Replacement::BundleFile:
            QVERIFY(writeFile(folder.filePath("second.rcc"), buildDashboardBundle(second)));
            QVERIFY(vm->registerExternalResource(folder.filePath("second.rcc")));
            QVERIFY(QMetaObject::invokeMethod(item("mainPage"), "loadExternalDashboard"));
            break;
        }
        QVERIFY(named("second"));
    }

    // Signing out needs no help from the dashboard: from the fallback, or by Ctrl+Shift+Q
    // over a dashboard that has no sign-out control of its own.
    void signOutWithoutTheDashboard_data()
    {
        QTest::addColumn<QByteArray>("dashboardQml");
        QTest::addColumn<bool>("byShortcut");
        QTest::newRow("fallback's Sign out")
            << QByteArray("import QtQuick\nItem { nonsense: 1 }") << false;
        QTest::newRow("Ctrl+Shift+Q")
            << QByteArray("import QtQuick\nRectangle { color: \"red\" }") << true;
    }
    void signOutWithoutTheDashboard()
    {
        QFETCH(QByteArray, dashboardQml);
        QFETCH(bool, byShortcut);
        signInTo(dashboardQml);
        QTRY_VERIFY_WITH_TIMEOUT(dashboard() || fallbackShown(), 15000);
        if (byShortcut) {
            window->requestActivate();
            QVERIFY(QTest::qWaitForWindowActive(window));
            QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier | Qt::ShiftModifier);
        } else {
            click(item("fallbackSignOutButton"));
        }
        QTRY_VERIFY_WITH_TIMEOUT(loginFormIdle() && !dashboard(), 15000);
        QVERIFY(vm->currentUserId().isEmpty() && vm->auth().Settings().allKeys().isEmpty());
    }

    // A dashboard that never returns from its JavaScript is interrupted after the time limit
    // and closed; the client's fallback takes its place, the program answers again, and the
    // bundle counts as one whose load did not finish.
    void endlessDashboardStopped_data()
    {
        QTest::addColumn<QByteArray>("dashboardQml");
        QTest::newRow("while creating")
            << QByteArray("import QtQuick\nItem { Component.onCompleted: { while (true) {} } }");
        QTest::newRow("from a timer")
            << QByteArray("import QtQuick\nItem { Timer { interval: 50; running: true; "
                          "onTriggered: { while (true) {} } } }");
    }
    void endlessDashboardStopped()
    {
        QFETCH(QByteArray, dashboardQml);
        LogCapture logs;
        vm->setScriptTimeLimit(std::chrono::milliseconds(500));
        signInTo(dashboardQml);
        QTRY_VERIFY_WITH_TIMEOUT(fallbackShown(), 15000);
        QVERIFY(text("fallbackText").startsWith("The dashboard stopped responding"));
        QVERIFY(logs.contains("interrupted it"));
        // It counts as a load that did not finish (a second one in a row quarantines it).
        QVERIFY(logs.contains("Dashboard RCC did not finish loading"));
        QTRY_VERIFY_WITH_TIMEOUT(!dashboard() && item("dashboardHost")->childItems().isEmpty(),
                                 15000);
        // JavaScript runs again: the fallback's button signs out.
        click(item("fallbackSignOutButton"));
        QTRY_VERIFY_WITH_TIMEOUT(loginFormIdle(), 15000);
    }

    // Every request gives up after 30 s without a byte, each through its own failure path; a
    // body that takes 32 s to come, a byte every 8 s, is waited for. All run at once, so the
    // wait is paid once.
    void stalledServersFailThroughTheirNormalPaths()
    {
        ScriptedHttpServer stalled, dribbling;
        stalled.setHandler([](const auto &) { return Response::held(); });
        Response slowly = LoopbackBackend::raw("abcd");
        slowly.dribbleChunk = 1;
        slowly.dribbleDelayMs = 8000;
        dribbling.enqueue(slowly);
        QVERIFY(stalled.start() && dribbling.start());
        const QString base = stalled.baseUrl();
        qputenv("CORVALEN_AUTH_BASE_URL", (base + "/v1").toUtf8());
        qputenv("CORVALEN_RCC_DASHBOARD_FUNCTION_URL", (base + "/fn").toUtf8());
        qputenv("CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL", (base + "/clear").toUtf8());
        startUi();
        LogCapture logs;

        // A second client, signed in, with its session timers running.
        ViewModel session;
        session.auth().ParseResponse(QByteArray(kSignedInU1).replace("u1", "u2"));
        QCOMPARE(session.currentUserId(), "u2");
        QSignalSpy outcomes(&session, &ViewModel::externalResourceLoadFinished);
        QSignalSpy responses(&session.auth(), &AuthHandler::SignInResponse);
        QSignalSpy signOuts(&session.auth(), &AuthHandler::SignOutUser);

        QNetworkAccessManager network;
        const auto get = [&](const QString &url) {
            std::unique_ptr<QNetworkReply> reply(
                network.get(http::buildRequest(QUrl(url), http::Redirects::FollowNoLessSafe)));
            http::supervise(reply.get());
            return reply;
        };
        const auto reference = get(base + "/reference");
        const auto slow = get(dribbling.baseUrl() + "/slow");
        click(item("loginButton"));
        session.auth().CheckRccUpdate();
        session.auth().ClearRccUpdate();
        session.auth().GetNewAccessToken();
        QVERIFY(session.resolveAndDownloadExternalResourceForCurrentUser());
        QVERIFY(session.downloadAndRegisterExternalResource(base + "/dl"));
        QTRY_COMPARE_WITH_TIMEOUT(stalled.requestCount(), 7, 15000);

        QTRY_VERIFY_WITH_TIMEOUT(reference->isFinished(), 60000);
        QVERIFY(reference->error() != QNetworkReply::NoError);
        // Ended by our own time-out, which says so, rather than "Operation canceled".
        const QString stalledError = http::errorText(reference.get());
        QCOMPARE(stalledError, "The server did not answer in time.");
        // Sign-in: the generic error box, and the form back.
        QTRY_VERIFY_WITH_TIMEOUT(boxesShown.size() == 1 && loginFormIdle(), 15000);
        QCOMPARE(boxesShown.first(), (QStringList{"Ops!", "Ops!", stalledError}));
        // Dashboard function and direct download: their failure outcomes.
        QTRY_COMPARE_WITH_TIMEOUT(outcomes.size(), 2, 15000);
        const QSet<QString> failures = {outcomes.at(0).at(1).toString(),
                                        outcomes.at(1).at(1).toString()};
        QCOMPARE(failures,
                 (QSet<QString>{
                     "Dashboard RCC request failed: " + stalledError,
                     QString("Failed to download RCC from %1/dl: %2").arg(base, stalledError)}));
        QVERIFY(!outcomes.at(0).at(0).toBool() && !outcomes.at(1).at(0).toBool());
        // Update check and acknowledgement: their warnings.
        QTRY_VERIFY_WITH_TIMEOUT(
            logs.contains("RCC update check failed: HTTP 0 \"" + stalledError + "\"") &&
                logs.contains("clear_rcc_update failed: HTTP 0 \"" + stalledError + "\""),
            15000);
        // Token refresh: a counted failure (its text reported), no longer in flight, so asking
        // again sends a new one at once instead of the 30 s retry.
        QTRY_VERIFY_WITH_TIMEOUT(responses.contains(QVariantList{stalledError}), 15000);
        QCOMPARE(signOuts.size(), 0);
        session.auth().GetNewAccessToken();
        QTRY_COMPARE_WITH_TIMEOUT(stalled.requestCount(), 8, 15000);
        const auto requests = stalled.requests();
        QCOMPARE(std::count_if(requests.cbegin(), requests.cend(),
                               [](const auto &request) { return request.path() == "/v1/token"; }),
                 2);

        QTRY_VERIFY_WITH_TIMEOUT(slow->isFinished(), 60000);
        QCOMPARE(slow->error(), QNetworkReply::NoError);
        QCOMPARE(slow->readAll(), "abcd");
    }
};

QTEST_MAIN(TestUi)
#include "tst_ui.moc"
