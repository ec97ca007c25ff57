#include "test_ca.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <stdexcept>

namespace {

void openssl(const QString &dir, const QStringList &args)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("openssl"), args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        throw std::runtime_error("openssl failed: " + p.readAll().toStdString());
}

QStringList ecKey()
{
    return {QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
            QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
}

} // namespace

const TestCa &TestCa::instance()
{
    static const TestCa ca = [] {
        static QTemporaryDir dir;
        if (!dir.isValid())
            throw std::runtime_error("no temporary folder for the test CA");
        const QString d = dir.path();
        const auto s = [](const char *t) { return QString::fromLatin1(t); };

        openssl(d, QStringList{s("req"), s("-x509")} + ecKey() +
                       QStringList{s("-keyout"), s("ca.key"), s("-out"), s("ca.crt"), s("-days"),
                                   s("2"), s("-subj"), s("/CN=Quorvel Test CA"), s("-addext"),
                                   s("basicConstraints=critical,CA:TRUE"), s("-addext"),
                                   s("keyUsage=critical,keyCertSign,cRLSign")});
        openssl(d, QStringList{s("req")} + ecKey() +
                       QStringList{s("-keyout"), s("server.key"), s("-out"), s("server.csr"),
                                   s("-subj"), s("/CN=127.0.0.1")});
        QFile ext(d + s("/ext.cnf"));
        if (!ext.open(QIODevice::WriteOnly))
            throw std::runtime_error("cannot write ext.cnf");
        ext.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                  "extendedKeyUsage=serverAuth\n");
        ext.close();
        openssl(d, {s("x509"), s("-req"), s("-in"), s("server.csr"), s("-CA"), s("ca.crt"),
                    s("-CAkey"), s("ca.key"), s("-CAcreateserial"), s("-out"), s("server.crt"),
                    s("-days"), s("2"), s("-extfile"), s("ext.cnf")});
        openssl(d, QStringList{s("req"), s("-x509")} + ecKey() +
                       QStringList{s("-keyout"), s("untrusted.key"), s("-out"), s("untrusted.crt"),
                                   s("-days"), s("2"), s("-subj"), s("/CN=127.0.0.1"), s("-addext"),
                                   s("subjectAltName=IP:127.0.0.1,DNS:localhost")});
        TestCa c;
        c.caFile = d + s("/ca.crt");
        c.certFile = d + s("/server.crt");
        c.keyFile = d + s("/server.key");
        c.untrustedCertFile = d + s("/untrusted.crt");
        c.untrustedKeyFile = d + s("/untrusted.key");
        return c;
    }();
    return ca;
}
