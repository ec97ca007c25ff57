#pragma once

#include <QString>

// A certificate authority made for this test process with the openssl tool, and a server
// certificate it signed for 127.0.0.1 and localhost. Made once, on first use.
class TestCa
{
public:
    static const TestCa &instance();

    QString caFile;            // PEM of the authority, for clients that must trust the server
    QString certFile;          // PEM of the server certificate
    QString keyFile;           // PEM of the server key
    QString untrustedCertFile; // self-signed, trusted by nobody
    QString untrustedKeyFile;
};
