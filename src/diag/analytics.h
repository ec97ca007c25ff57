#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>

// Anonymous usage events for the Measurement Protocol. Every event goes to the collection and
// to the validation endpoint; the answers only ever reach the diagnostic log.

struct AnalyticsSettings
{
    QString host; // host[:port] of the Measurement Protocol, reached over https
    QString measurementId;
    QString apiSecret; // empty: events are logged as skipped and nothing is sent
    QString caFile;    // trust anchors to use instead of the system's; empty: the system's
    std::chrono::milliseconds timeout{5000};
};

// Replaces the settings of later events: the program hands over its build-time values at start;
// tests point it at a loopback server.
void ITSetAnalyticsSettings(const AnalyticsSettings &settings);

// Sends one event, fire-and-forget: returns once both requests are queued. An empty reason
// means no reason.
void ITTrackEvent(const QString &name, const QString &reason = QString());

// Queues one POST of `body` to `url`; its outcome is logged under `label` and `eventName`.
// The validation endpoint's answer text is logged too.
void ITPost(const QString &url, const QByteArray &body, const QString &label,
            const QString &eventName, bool isValidation);

// Waits, at most `timeoutMs`, until no request is in flight, so that the events sent just
// before the process ends still arrive; returns at once when none is.
void ITAnalyticsFlush(int timeoutMs);

// The client id of this run: an upper-case random UUID, made on first use and never stored.
QString ITClientId();
