// A reply of the authentication service to a sign-in, as the session handler
// classifies it: arbitrary bytes where a JSON object is expected. The session
// store lives in a private temporary folder and is cleared after every input.
#include <QCoreApplication>
#include <QDir>

#include "auth/authhandler.h"

namespace {

AuthHandler *handler = nullptr;
int responses = 0;
int signOuts = 0;
bool signedIn = false;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // Settings go to a private folder, in memory where there is a RAM file system (the store is
    // written twice per input); nothing is sent anywhere.
    const QString shm = QStringLiteral("/dev/shm");
    const QString home =
        (QDir(shm).exists() ? shm : QDir::tempPath()) + QStringLiteral("/corvalen-fuzz-auth-reply");
    QDir().mkpath(home);
    qputenv("XDG_CONFIG_HOME", home.toUtf8());
    qputenv("CORVALEN_AUTH_BASE_URL", "http://127.0.0.1:9/v1");
    static QCoreApplication app(*argc, *argv);
    handler = new AuthHandler();
    QObject::connect(handler, &AuthHandler::SignInResponse, [](const QString &response) {
        ++responses;
        signedIn = response == QLatin1String("USER_AUTENTICATED");
    });
    QObject::connect(handler, &AuthHandler::SignOutUser, [] { ++signOuts; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    responses = 0;
    signOuts = 0;
    signedIn = false;
    handler->ParseResponse(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    // Without a refresh in flight a reply is answered at most once and never
    // signs anyone out; a reply announced as a sign-in has left an access token
    // in the store.
    if (responses > 1 || signOuts != 0 ||
        (signedIn && handler->Settings().value(QStringLiteral("token")).toString().isEmpty()))
        __builtin_trap();
    handler->ClearSession();
    return 0;
}
