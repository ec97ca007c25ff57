// The road from Install to Start Now: download, install, finish.
#include "diag/analytics.h"
#include "diag/log.h"
#include "engine/dmg_installer.h"
#include "engine/downloader.h"
#include "flow/folder_text.h"
#include "flow/main_window_controller.h"
#include "l10n/product.h"
#include "ui/flipped_view.h"
#include "ui/installer_window.h"
#include "ui/link_label.h"
#include "ui/progress_bar.h"
#include "ui/rounded_button.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QScopeGuard>
#include <QTimer>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {
constexpr double kDownloadShare = 90.0; // percent of the bar the download fills
constexpr double kInstallStart = 900.0;
constexpr double kCreepStep = 2.0;
constexpr double kCreepCeiling = 990.0;
constexpr auto kCreepInterval = 500ms;
} // namespace

namespace {

// The absolute folder a text names, "~/" standing for the home folder; absent when it names
// none, or when the home folder's name cannot be carried as text.
std::optional<QString> absoluteFolder(const QString &text)
{
    if (text.startsWith(u"~/"_s)) {
        const QString home = QDir::homePath();
        if (home.contains(QChar::ReplacementCharacter) && !FolderText::namesExistingFolder(home))
            return std::nullopt;
        return home + text.mid(1);
    }
    if (text.startsWith(u'/'))
        return text;
    return std::nullopt;
}

} // namespace

std::optional<QString> MainWindowController::installFolder() const
{
    // Blanks around the text are not part of it, unless the text as it stands names a folder:
    // a folder chosen with a blank at the end of its name is that folder, not another.
    const QString text = locationField->text();
    if (const std::optional<QString> asWritten = absoluteFolder(text);
        asWritten && QFileInfo(*asWritten).isDir())
        return asWritten;
    return absoluteFolder(FolderText::trimmedBlanks(text));
}

void MainWindowController::installClicked()
{
    if (!installButton->isEnabled())
        return;
    if (done) {
        closeWindow();
        return;
    }
    if (installFolder()) {
        startDownload();
        return;
    }
    if (!settingsShown)
        settingsClicked();
    // A text that starts at the home folder names none only when that folder's name is unusable.
    if (FolderText::trimmedBlanks(locationField->text()).startsWith(u"~/"_s)) {
        ITLog("UI: home folder refused, its name cannot be carried exactly: %@", QDir::homePath());
        alert(L().unusableFolder, Dialogs::AlertStyle::Warning);
        return;
    }
    alert(L().chooseLocation, Dialogs::AlertStyle::Warning);
}

void MainWindowController::startDownload()
{
    ITLog("FLOW: Install clicked, dir=\"%@\"", locationField->text());
    ITTrackEvent(u"install_start"_s);
    retryCount = 0;
    dropResumeState();
    beginActivityHold();
    setBusy(true);
    statusLabel->setText(QString());
    detailLabel->setText(QString());
    offlineLink->hide();
    showInstallView(true);
    launchDownload();
}

void MainWindowController::launchDownload()
{
    progress->setIndeterminate(false);
    progress->setDoubleValue(0);
    setInstallStatus(L().installingWait, QString());
    const QString url = installerURL();
    ITLog("FLOW: architecture URL -> %@", url);
    if (destFile.isEmpty()) {
        // No private folder could be made: there is nowhere safe to put the image.
        QMetaObject::invokeMethod(
            this, [this] { downloadFailed(u"No private folder for the download."_s, 0, 0); },
            Qt::QueuedConnection);
        return;
    }
    downloader = std::make_shared<Downloader>(url, destFile, pendingResumeData);
    downloader->options.caFile = m_settings.caFile;
    if (m_settings.idleTimeout.count() > 0)
        downloader->options.idleTimeout = m_settings.idleTimeout;
    if (m_settings.downloadLimit > 0)
        downloader->options.sizeLimit = m_settings.downloadLimit;
    pendingResumeData.reset();
    downloader->onProgress = [self = QPointer(this)](qint64 written, qint64 expected) {
        if (self)
            self->downloadProgress(written, expected);
    };
    downloader->onComplete = [self = QPointer(this)](bool ok, const QString &error) {
        if (self)
            self->downloadComplete(ok, error);
    };
    downloader->start();
}

QString MainWindowController::installerURL() const
{
    return m_settings.downloadBaseUrl +
           (m_settings.platform.prefersArmImage() ? u"/quorvel.silicon.dmg"_s : u"/quorvel.dmg"_s);
}

void MainWindowController::downloadProgress(qint64 written, qint64 expected)
{
    if (expected <= 0) {
        progress->setIndeterminate(true);
        setInstallStatus(L().installingWait, QString());
        return;
    }
    // Truncated; a server that sends more than it announced cannot push it past 90 %.
    const qint64 percent =
        qBound<qint64>(0, static_cast<qint64>(double(written) / double(expected) * kDownloadShare),
                       qint64(kDownloadShare));
    progress->setDoubleValue(double(percent * 10));
    setInstallStatus(L().installingWait, u"%1%"_s.arg(percent));
}

void MainWindowController::downloadComplete(bool ok, const QString &error)
{
    const std::shared_ptr<Downloader> finished = std::move(downloader);
    downloader.reset();
    const qint64 status = finished ? finished->httpStatus : 0;
    const qint64 code = finished ? finished->errorCode : 0;
    pendingResumeData = finished ? finished->resumeData : std::nullopt;
    if (!ok) {
        downloadFailed(error, status, code);
        return;
    }
    ITLog("FLOW: download complete");
    if (closing) {
        // The cancel came too late to stop it; the user is leaving, so nothing is installed.
        ITLog("FLOW: leaving, the downloaded image is not installed");
        QFile::remove(destFile);
        closeWindow();
        return;
    }
    launchInstaller();
}

void MainWindowController::launchInstaller()
{
    const QString folder = installFolder().value_or(QString());
    ITLog("FLOW: installing %@ into %@", Product::bundleName, folder);
    installing = true;
    progress->setIndeterminate(false);
    progress->setDoubleValue(kInstallStart);
    setInstallStatus(L().installingWait, u"90%"_s);
    installTimer = std::make_unique<QTimer>();
    installTimer->setInterval(kCreepInterval);
    connect(installTimer.get(), &QTimer::timeout, this, &MainWindowController::creepInstall);
    installTimer->start();
    if (m_endRequested)
        waitForInstallation();

    installer =
        std::make_shared<DMGInstaller>(destFile, Product::bundleName, folder, m_settings.tools);
    installer->onStatus = [](const QString &stage) { ITLog("INST: stage %@", stage); };
    installer->onComplete = [self = QPointer(this)](bool success, const std::optional<QString> &app,
                                                    const std::optional<QString> &error) {
        if (self)
            self->installFinished(success, app.value_or(QString()), error.value_or(QString()));
    };
    installer->start();
}

void MainWindowController::creepInstall()
{
    if (progress->doubleValue() < kCreepCeiling)
        progress->setDoubleValue(progress->doubleValue() + kCreepStep);
    setInstallStatus(L().installingWait,
                     u"%1%"_s.arg(static_cast<qint64>(progress->doubleValue() / 10.0)));
}

void MainWindowController::installFinished(bool success, const QString &app, const QString &error)
{
    // Whatever the outcome, an end that waited for the installation goes ahead once it is shown.
    const auto endIfAsked = qScopeGuard([this] {
        if (m_endRequested)
            endNow();
    });
    installTimer.reset();
    installing = false;
    installer.reset();
    endActivityHold();
    QFile::remove(destFile);
    if (!success) {
        ITLog("FLOW: install FAILED: %@", error);
        ITTrackEvent(u"install_failed"_s, u"copy_error"_s);
        showFailure(error);
        return;
    }
    ITLog("FLOW: install SUCCESS, app=%@", app);
    ITTrackEvent(u"install_success"_s);
    installedApp = app;
    progress->setDoubleValue(progress->maxValue());
    setInstallStatus(L().installingWait, u"100%"_s);
    done = true;
    showInstallView(false);
    showFinishView();
}

void MainWindowController::startClicked()
{
    // Whether the application starts or not, the setup's work is done.
    if (installedApp) {
        ITLog("FLOW: Start Now, launching %@", *installedApp);
        if (!m_settings.platform.launchApplication(*installedApp))
            ITLog("FLOW: the application could not be started");
    }
    closeWindow();
}

void MainWindowController::closeWindow()
{
    window->close();
}
