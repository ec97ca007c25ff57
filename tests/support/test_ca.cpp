#include "test_ca.h"

#include <QProcess>
#include <QTemporaryDir>

#include <stdexcept>

using namespace Qt::StringLiterals;

const TestCa &TestCa::instance()
{
    static const TestCa ca = [] {
        static QTemporaryDir dir;
        const auto openssl = [](const QString &args) {
            QProcess p;
            p.setWorkingDirectory(dir.path());
            p.setProcessChannelMode(QProcess::MergedChannels);
            p.start(u"openssl"_s, QProcess::splitCommand(QString(u"req -x509 -days 2 "_s + args)));
            if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit ||
                p.exitCode() != 0)
                throw std::runtime_error("openssl failed: " + p.readAll().toStdString());
        };
        const QString newKey = u"-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "_s;
        const QString server = u" -subj /CN=127.0.0.1 -addext "
                               "subjectAltName=IP:127.0.0.1,DNS:localhost"_s;
        openssl(newKey + u"-keyout ca.key -out ca.crt -subj \"/CN=Quorvel Test CA\" -addext "
                         "basicConstraints=critical,CA:TRUE -addext keyUsage=keyCertSign"_s);
        openssl(newKey +
                u"-keyout server.key -out server.crt -CA ca.crt -CAkey ca.key -addext "
                "basicConstraints=CA:FALSE -addext extendedKeyUsage=serverAuth"_s +
                server);
        openssl(u"-key server.key -out untrusted.crt"_s + server); // self-signed
        const QString d = dir.path() + u'/';
        return TestCa{d + u"ca.crt"_s, d + u"server.crt"_s, d + u"server.key"_s,
                      d + u"untrusted.crt"_s};
    }();
    return ca;
}
