#include "engine/transfer_error.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstring>

namespace TransferError {

QString describeFileError(int osErrno)
{
    return QStringLiteral("The downloaded file could not be written: ") +
           QString::fromLocal8Bit(std::strerror(osErrno)) + u'.';
}

QString describe(const TransferResult &r)
{
    switch (r.code) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return QStringLiteral("A server with the specified hostname could not be found.");
    case CURLE_COULDNT_CONNECT:
        return QStringLiteral("Could not connect to the server.");
    case CURLE_OPERATION_TIMEDOUT:
        return QStringLiteral("The request timed out.");
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return QStringLiteral("The network connection was lost.");
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CACERT_BADFILE:
        return QStringLiteral(
            "An SSL error has occurred and a secure connection to the server cannot be made.");
    case CURLE_UNSUPPORTED_PROTOCOL:
        return r.redirected
                   ? QStringLiteral("The server redirected the download to an insecure address.")
                   : QStringLiteral("The URL is not supported.");
    case CURLE_URL_MALFORMAT:
        return QStringLiteral("The URL is not valid.");
    case CURLE_TOO_MANY_REDIRECTS:
        return QStringLiteral("Too many redirects occurred trying to open the URL.");
    case CURLE_WRITE_ERROR:
        return describeFileError(r.osErrno ? r.osErrno : EIO);
    case kResponseTooLarge:
        return QStringLiteral("The server's response was too large.");
    case kNoDiskSpace:
        return QStringLiteral("There is not enough disk space for the download.");
    case kBadSignature:
        return QStringLiteral("The downloaded file could not be verified.");
    case kNotDiskImage:
        return QStringLiteral("The downloaded file is not a disk image.");
    default:
        return r.detail.endsWith(u'.') ? r.detail : r.detail + u'.';
    }
}

bool isNoConnectivity(const TransferResult &r)
{
    if (r.code == CURLE_COULDNT_RESOLVE_HOST)
        return true;
    return r.code == CURLE_COULDNT_CONNECT &&
           (r.osErrno == ENETUNREACH || r.osErrno == EHOSTUNREACH || r.osErrno == ENETDOWN);
}

} // namespace TransferError
