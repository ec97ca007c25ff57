#pragma once

#include <QString>

// A CA made with openssl on first use, and a server certificate it signed for 127.0.0.1.
struct TestCa
{
    static const TestCa &instance();

    QString caFile;            // PEM of the authority, for clients that must trust the server
    QString certFile;          // PEM of the server certificate
    QString keyFile;           // PEM of the server key
    QString untrustedCertFile; // self-signed with the same key, trusted by nobody
};
