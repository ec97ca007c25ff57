#pragma once

#include "flow/platform.h"
#include "l10n/ui_strings.h"
#include "platform/paths.h"
#include "platform/system_tools.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class DMGInstaller;
class Downloader;
class QTimer;

// The setup's state and its road from Install to Start Now, with every policy on the way:
// retries, the busy state, failures, and how and when the setup may end. It knows no window:
// the user's intents come in as calls, and what a window should show comes out as state that
// can be read at any time and signals that say when it changed. Lives on the main thread.
class SetupFlow : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        QString downloadBaseUrl; // the disk images: base + "/quorvel.dmg"
        QString websiteBaseUrl;  // the web pages: base + "/privacy-policy/"
        QString caFile;          // trust only these anchors for downloads; empty: the system's
        // The vendor's key for the images' signatures, as `minisign -G` prints it; empty: the
        // images are not checked for a signature.
        QByteArray imagePublicKey;
        std::chrono::milliseconds idleTimeout{}; // a silent download attempt ends; 0: the default
        qint64 downloadLimit = 0;                // bytes an image may not pass; 0: the default
        // The pause between tries while no network is reached; 0: the default.
        std::chrono::milliseconds connectivityRetry{};
        QString temporaryFolder = Paths::privateTemporaryFolder(); // for the downloaded image
        SystemTools tools = SystemTools::platformDefault();
        Platform platform; // every part must be set before it is needed
        // The n-th automatic retry waits n times this; the bar creeps once each creepInterval
        // while the image is installed.
        std::chrono::milliseconds retryPause = std::chrono::seconds(1);
        std::chrono::milliseconds creepInterval = std::chrono::milliseconds(500);
        // Being told to end: how long the exit question may go unanswered before it counts as
        // OK, and how long a running installation is waited for.
        std::chrono::milliseconds unansweredExitWait = std::chrono::seconds(10);
        std::chrono::milliseconds installEndWait = std::chrono::seconds(60);
    };

    enum class Phase
    {
        Ready,          // nothing started yet: Install waits
        Downloading,    // an attempt to fetch the image runs
        WaitingToRetry, // an attempt failed; the next starts after a pause
        Installing,     // the image is being installed
        Finished,       // installed: Start Now waits
        Failed          // given up: Retry waits
    };
    enum class FailureKind
    {
        Download, // the image could not be fetched: the browser can fetch it instead
        Install   // the image could not be installed
    };
    enum class AlertStyle
    {
        Warning,
        Critical
    };

    explicit SetupFlow(Settings settings);
    ~SetupFlow() override;

    // What a window shows.
    Phase phase() const;
    // Controls that change the setup are locked: from Install until a failure, and for good
    // once installed.
    bool busy() const;
    const UIStrings &L() const; // the texts of the language chosen
    qint64 langIndex() const;   // index into Localization::all()
    // The folder the settings offer at first.
    QString defaultFolder() const;
    // The bar, in per-mille; while the download's size is unknown it is indeterminate and keeps
    // its value.
    double progressValue() const;
    bool progressIndeterminate() const;
    // The line under the bar, in the language chosen; while the download waits for the network,
    // that wait.
    QString installStatus() const;
    // The failure shown, from when it happens until the next Install.
    std::optional<FailureKind> failureKind() const;
    QString failureDetail() const;
    // A failure has been shown: Retry stands where Install stood, and the agree row is gone.
    bool hasFailed() const;
    // The user chose to leave, or the setup is ending: nothing starts any more.
    bool closing() const;
    // The installed application, once it is there.
    std::optional<QString> installedApp() const;

    // The user's intents.
    // Install, and Retry after a failure, with the folder text as the settings hold it.
    void installClicked(const QString &folderText);
    void startClicked();
    void languageChanged(qint64 index);
    void offlineClicked();
    void privacyClicked();
    void licenseClicked();
    // The folder chooser handed back `folder`: true when it is taken as the install folder.
    bool folderChosen(const QString &folder);

    // Leaving. The window is asked to close (its close button, the user logging out, or the
    // flow itself through closeWindow): whether it may close now. `ask` puts the exit question
    // and waits for the answer, true for OK; it is called only when a question is needed.
    bool windowShouldClose(const std::function<bool()> &ask);
    // The window closes: nothing is held or kept, and the application ends.
    void windowWillClose();
    // The system asks the setup to end (SIGTERM and the like): at once when nothing would be
    // lost, once a running installation is over, and otherwise after the exit question, which
    // counts as OK when nobody answers it in time.
    void terminationRequested();

signals:
    void phaseChanged();    // phase, busy, failure or hasFailed changed
    void progressChanged(); // the bar or the line under it changed
    void languageApplied(); // L() changed: every text is to be written again
    void alert(const QString &message, SetupFlow::AlertStyle style);
    void settingsWanted();  // the settings are to be opened, for the folder
    void closeWindow();     // the window is to close, as its close button closes it
    void hideWindow();      // the window is to go at once, without asking; the end follows
    void dismissQuestion(); // the exit question, if open, is to be closed without an answer

private:
    // The install folder named by the folder text, or nothing when it names none.
    std::optional<QString> installFolder() const;
    void setPhase(Phase phase);
    void startDownload();
    void launchDownload();
    QString installerURL() const;
    void downloadProgress(qint64 written, qint64 expected);
    void downloadWaiting(bool waiting);
    void downloadComplete(bool ok, const QString &error);
    void launchInstaller();
    void creepInstall();
    void installFinished(bool success, const QString &app, const QString &error);
    void setProgress(double value, bool indeterminate = false);
    void setInstallStatus(QString UIStrings::*status, const QString &pct);
    void downloadFailed(const QString &error, qint64 status, qint64 code);
    void retryTimerTick();
    void giveUp(const QString &error, const QString &reason);
    void showFailedState(FailureKind kind, const QString &detail);
    void showFailure(const QString &message);
    void openURL(const QString &url);
    void beginActivityHold();
    void endActivityHold();
    void dropResumeState();
    // Ends without a question; an open exit question is closed, and counts as OK.
    void endNow();
    void waitForInstallation();
    void endDespiteInstallation();
    void askDismissal();

    const Settings m_settings;
    Phase m_phase = Phase::Ready;
    qint64 m_langIndex = 0;
    QString m_folderText;                        // as it was when Install was pressed
    std::shared_ptr<Downloader> downloader;      // the transfer in flight
    std::shared_ptr<DMGInstaller> installer;     // the installation in flight
    QString destFile;                            // where the disk image is downloaded to
    std::optional<QString> m_installedApp;       // the installed bundle, once it is there
    bool done = false;                           // the installation succeeded; never cleared
    bool m_closing = false;                      // the user chose to leave; never cleared
    bool installing = false;                     // the disk-image installation runs
    std::unique_ptr<QTimer> installTimer;        // creeps the bar while installing
    QTimer *const retryTimer;                    // the pending automatic retry, while active
    qint64 retryCount = 0;                       // automatic retries since Install or Retry
    std::optional<QByteArray> pendingResumeData; // handed to the next download attempt
    std::shared_ptr<void> activityToken;         // the sleep hold while it is held
    double m_progress = 0;
    bool m_indeterminate = false;
    QString UIStrings::*m_status = &UIStrings::installingWait;
    QString m_pct;
    std::optional<FailureKind> m_failureKind;
    QString m_failureDetail;
    bool m_hasFailed = false;
    bool m_endRequested = false;      // the system asked to end; cleared when the user stays
    bool m_asking = false;            // the exit question is open
    bool m_questionDismissed = false; // the open question was closed without an answer
    std::unique_ptr<QTimer> m_questionDeadline; // when an unanswered question counts as OK
    std::unique_ptr<QTimer> m_installDeadline;  // when the installation is no longer waited for
};
