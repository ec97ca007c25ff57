#pragma once

#include "flow/platform.h"
#include "l10n/ui_strings.h"
#include "platform/paths.h"
#include "platform/system_tools.h"

#include <QByteArray>
#include <QIcon>
#include <QList>
#include <QObject>
#include <QRect>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

class DMGInstaller;
class Downloader;
class DotsView;
class FlippedView;
class ImageView;
class InstallerWindow;
class LinkLabel;
class ProgressBar;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class RoundedButton;

// The one controller of the setup: it owns the window, every view in it and the whole state
// of the setup. Its member functions are defined by concern: the views in ui/ (building,
// showing, relabelling, the slideshow), the road and its policies in flow/. Everything runs on
// the main thread.
class MainWindowController : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        QString downloadBaseUrl; // the disk images: base + "/quorvel.dmg"
        QString websiteBaseUrl;  // the web pages: base + "/privacy-policy/"
        QString caFile;          // trust only these anchors for downloads; empty: the system's
        std::chrono::milliseconds idleTimeout{}; // a silent download attempt ends; 0: the default
        qint64 downloadLimit = 0;                // bytes an image may not pass; 0: the default
        QString resourcesFolder = Paths::resourcesFolder();        // the artwork
        QString temporaryFolder = Paths::privateTemporaryFolder(); // for the downloaded image
        SystemTools tools = SystemTools::platformDefault();
        Platform platform = Platform::real();
        // Being told to end: how long the exit question may go unanswered before it counts as
        // OK, and how long a running installation is waited for.
        std::chrono::milliseconds unansweredExitWait = std::chrono::seconds(10);
        std::chrono::milliseconds installEndWait = std::chrono::seconds(60);
    };

    explicit MainWindowController(Settings settings);
    ~MainWindowController() override;

    // The window, owning every view below.
    std::unique_ptr<InstallerWindow> window;

    // Setup state.
    std::shared_ptr<Downloader> downloader;      // the transfer in flight
    std::shared_ptr<DMGInstaller> installer;     // the installation in flight
    QString destFile;                            // where the disk image is downloaded to
    std::optional<QString> installedApp;         // the installed bundle, once it is there
    qint64 langIndex = 0;                        // index into Localization::all()
    qint64 slideIndex = 0;                       // the slide on show, 0 to 3
    bool done = false;                           // the installation succeeded; never cleared
    bool closing = false;                        // the user chose to leave; never cleared
    bool installing = false;                     // the disk-image installation runs
    bool settingsShown = false;                  // the settings panel is open
    std::unique_ptr<QTimer> slideTimer;          // advances the slides while the install view shows
    std::unique_ptr<QTimer> installTimer;        // creeps the bar while installing
    std::unique_ptr<QTimer> retryTimer;          // the pending automatic retry
    qint64 retryCount = 0;                       // automatic retries since Install or Retry
    std::optional<QByteArray> pendingResumeData; // handed to the next download attempt
    std::shared_ptr<void> activityToken;         // the sleep hold while it is held
    QList<QIcon> slideImages;                    // slide1 to slide4; a missing one is null

    // Views and controls, owned by the window.
    FlippedView *root = nullptr;
    QLabel *brandLabel = nullptr;
    QLabel *productLabel = nullptr;
    RoundedButton *installButton = nullptr;
    QLabel *statusLabel = nullptr;
    QLabel *detailLabel = nullptr;
    LinkLabel *offlineLink = nullptr;
    QCheckBox *acceptCheck = nullptr;
    LinkLabel *privacyLink = nullptr;
    QLabel *andLabel = nullptr;
    LinkLabel *licenseLink = nullptr;
    LinkLabel *settingsLink = nullptr;
    FlippedView *settingsPanel = nullptr;
    QLabel *langLabel = nullptr;
    QComboBox *langPopup = nullptr;
    QLabel *pathLabel = nullptr;
    QLineEdit *locationField = nullptr;
    QPushButton *browseButton = nullptr;
    FlippedView *installView = nullptr;
    QLabel *slideTitle = nullptr;
    ImageView *slideImageView = nullptr;
    DotsView *dots = nullptr;
    ProgressBar *progress = nullptr;
    QLabel *instStatus = nullptr;
    QPushButton *hideButton = nullptr;
    FlippedView *finishView = nullptr;
    QLabel *finishName = nullptr;
    RoundedButton *startButton = nullptr;

    // View helpers.
    const UIStrings &L() const;
    QIcon image(const QString &name) const;
    std::unique_ptr<QLabel> label(const QString &text, const QRect &frame, double size,
                                  const QColor &color, bool bold) const;
    std::unique_ptr<LinkLabel> link(const QString &text, const QRect &frame,
                                    void (MainWindowController::*action)());
    void styleLink(QLabel *field) const;
    void styleLink(QLabel *field, bool centered) const;

    // Building the four views.
    void buildUI();
    void buildMainView();
    void buildSettingsPanel();
    void buildInstallView();
    void buildFinishView();

    // Showing views, the slideshow and relabelling.
    void settingsClicked();
    void showInstallView(bool show);
    void setSlide(qint64 index);
    void restartSlideTimer();
    void advanceSlide();
    void showFinishView();
    void applyLanguage();
    void layoutAgreeRow();
    void place(QWidget *view, double x) const;

    // The road from Install to Start Now.
    void installClicked();
    void startDownload();
    void launchDownload();
    QString installerURL() const;
    void downloadProgress(qint64 written, qint64 expected);
    void downloadComplete(bool ok, const QString &error);
    void launchInstaller();
    void creepInstall();
    void installFinished(bool success, const QString &app, const QString &error);
    void startClicked();

    // When a download fails.
    void retryTimerTick();

    // Busy state, failures and leaving.
    void setBusy(bool busy);
    void beginActivityHold();
    void endActivityHold();
    void hideAgreeRow();
    void showFailure(const QString &message);
    void setInstallStatus(const QString &status, const QString &pct);
    void alert(const QString &message, Dialogs::AlertStyle style);
    bool windowShouldClose();
    void windowWillClose();
    // The system asks the setup to end (SIGTERM and the like): at once when nothing would be
    // lost, once a running installation is over, and otherwise after the exit question, which
    // counts as OK when nobody answers it in time.
    void terminationRequested();

    // Actions of the smaller controls.
    void languageChanged();
    void minimizeClicked();
    void acceptToggled();
    void openURL(const QString &url);
    void privacyClicked();
    void licenseClicked();
    void offlineClicked();
    void browseClicked();

private:
    // The brand icon and word at the top left of `parent`; returns the word.
    QLabel *addBrandRow(QWidget *parent);
    // An image view showing the resource `name`.
    ImageView *addImageView(QWidget *parent, const QRect &frame, const QString &name);
    QList<QWidget *> agreeRow() const;
    bool agreeRowFits() const;
    // The install folder named by the location field, or nothing when it names none.
    std::optional<QString> installFolder() const;
    void downloadFailed(const QString &error, qint64 status, qint64 code);
    void giveUp(const QString &error, const QString &reason);
    // The main view again, with the failure, Retry, and no agree row.
    void showFailedState(const QString &detail);
    void dropResumeState();
    void closeWindow();
    // Ends without a question; an open exit question is closed, and counts as OK.
    void endNow();
    void dismissQuestion();
    void waitForInstallation();
    void endDespiteInstallation();

    const Settings m_settings;
    bool m_endRequested = false;      // the system asked to end; cleared when the user stays
    bool m_asking = false;            // the exit question is open
    bool m_questionDismissed = false; // the open question was closed without an answer
    std::unique_ptr<QTimer> m_questionDeadline; // when an unanswered question counts as OK
    std::unique_ptr<QTimer> m_installDeadline;  // when the installation is no longer waited for
};
