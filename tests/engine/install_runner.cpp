// install_runner IMAGE DESTDIR HDIUTIL: one installation with the stand-ins (HDIUTIL in place
// of the hdiutil one), for the tests that run the setup as an unprivileged user. Prints what
// the installer reported, and who ran it, as JSON.
#include "install_run.h"
#include "real_tools.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 4) {
        std::fputs("usage: install_runner IMAGE DESTDIR HDIUTIL\n", stderr);
        return 64;
    }
    SystemTools tools = standInTools();
    tools.hdiutil = args[3];
    const InstallRun r = collectInstall(args[1], args[2], tools);
    const QJsonObject out{{QStringLiteral("uid"), static_cast<int>(::geteuid())},
                          {QStringLiteral("completions"), r.completions},
                          {QStringLiteral("stages"), QJsonArray::fromStringList(r.stages)},
                          {QStringLiteral("success"), r.success},
                          {QStringLiteral("app"), r.app ? QJsonValue(*r.app) : QJsonValue()},
                          {QStringLiteral("error"), r.error ? QJsonValue(*r.error) : QJsonValue()},
                          {QStringLiteral("log"), QJsonArray::fromStringList(r.log)}};
    std::fputs(QJsonDocument(out).toJson().constData(), stdout);
    return 0;
}
