#pragma once

#include "engine/http_transfer.h"

#include <QString>

// Codes of our own, beside curl's, for failures that happen outside a request.
namespace TransferError {
constexpr int kPartialFile = 18;       // same number as curl's short body
constexpr int kWriteError = 23;        // same number as curl's write error
constexpr int kTimedOut = 28;          // same number as curl's time-out
constexpr int kResponseTooLarge = 100; // same number as newer curl's "too large"
constexpr int kNoDiskSpace = 1000;     // above every curl code: past the size or space bound
constexpr int kBadSignature = 1001;    // the image's signature is missing or does not hold
constexpr int kNotDiskImage = 1002;    // what came is not a disk image

// The text a user sees for a failed transfer: plain words first, the technical detail
// only where plain words would hide what went wrong.
QString describe(const TransferResult &result);

// A failure to create, write or move the downloaded file.
QString describeFileError(int osErrno);

// Whether the failure means "no network yet" rather than a server that said no.
bool isNoConnectivity(const TransferResult &result);
} // namespace TransferError
