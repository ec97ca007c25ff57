// The road from Install to Start Now: download, install, finish.
#include "flow/setup_flow.h"

#include "diag/analytics.h"
#include "diag/log.h"
#include "engine/dmg_installer.h"
#include "engine/downloader.h"
#include "flow/folder_text.h"
#include "flow/progress.h"
#include "l10n/localization.h"
#include "l10n/product.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QScopeGuard>
#include <QTimer>

using namespace Qt::StringLiterals;

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

SetupFlow::SetupFlow(Settings settings)
    : m_settings(std::move(settings)), retryTimer(new QTimer(this))
{
    retryTimer->setSingleShot(true);
    // A coarse timer may fire up to 5 % early; a pause before a retry is never cut short.
    retryTimer->setTimerType(Qt::PreciseTimer);
    connect(retryTimer, &QTimer::timeout, this, &SetupFlow::retryTimerTick);
    m_langIndex = Localization::detectSystemLanguageIndex();
    // Without a private folder there is nowhere safe to download to: the download then fails.
    if (!m_settings.temporaryFolder.isEmpty())
        destFile = m_settings.temporaryFolder + QStringLiteral("/quorvel_setup.dmg");
    ITLog("UI: ready, language=%@, default dir=%@", L().langName, defaultFolder());
    ITTrackEvent(u"setup_run"_s);
}

SetupFlow::~SetupFlow()
{
    // Callbacks of engines still running find the flow gone and do nothing.
    if (downloader)
        downloader->cancel();
}

void SetupFlow::setPhase(Phase phase)
{
    m_phase = phase;
    emit phaseChanged();
}

std::optional<QString> SetupFlow::installFolder() const
{
    // Blanks around the text are not part of it, unless the text as it stands names a folder:
    // a folder chosen with a blank at the end of its name is that folder, not another.
    if (const std::optional<QString> asWritten = absoluteFolder(m_folderText);
        asWritten && QFileInfo(*asWritten).isDir())
        return asWritten;
    return absoluteFolder(FolderText::trimmedBlanks(m_folderText));
}

void SetupFlow::installClicked(const QString &folderText)
{
    if (busy())
        return;
    m_folderText = folderText;
    if (installFolder()) {
        startDownload();
        return;
    }
    emit settingsWanted();
    // A text that starts at the home folder names none only when that folder's name is unusable.
    if (FolderText::trimmedBlanks(m_folderText).startsWith(u"~/"_s)) {
        ITLog("UI: home folder refused, its name cannot be carried exactly: %@", QDir::homePath());
        emit alert(L().unusableFolder, AlertStyle::Warning);
        return;
    }
    emit alert(L().chooseLocation, AlertStyle::Warning);
}

void SetupFlow::startDownload()
{
    ITLog("FLOW: Install clicked, dir=\"%@\"", m_folderText);
    ITTrackEvent(u"install_start"_s);
    retryCount = 0;
    dropResumeState();
    beginActivityHold();
    m_failureKind.reset();
    m_failureDetail.clear();
    setPhase(Phase::Downloading);
    launchDownload();
}

void SetupFlow::launchDownload()
{
    setProgress(0);
    setInstallStatus(&UIStrings::installingWait, QString());
    if (m_phase != Phase::Downloading)
        setPhase(Phase::Downloading);
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
    downloader->options.diskImage = true;
    downloader->options.publicKey = m_settings.imagePublicKey;
    if (m_settings.idleTimeout.count() > 0)
        downloader->options.idleTimeout = m_settings.idleTimeout;
    if (m_settings.downloadLimit > 0)
        downloader->options.sizeLimit = m_settings.downloadLimit;
    if (m_settings.connectivityRetry.count() > 0)
        downloader->options.connectivityRetry = m_settings.connectivityRetry;
    pendingResumeData.reset();
    downloader->onProgress = [self = QPointer(this)](qint64 written, qint64 expected) {
        if (self)
            self->downloadProgress(written, expected);
    };
    downloader->onWaitingForNetwork = [self = QPointer(this)](bool waiting) {
        if (self)
            self->downloadWaiting(waiting);
    };
    downloader->onComplete = [self = QPointer(this)](bool ok, const QString &error) {
        if (self)
            self->downloadComplete(ok, error);
    };
    downloader->start();
}

QString SetupFlow::installerURL() const
{
    return m_settings.downloadBaseUrl +
           (m_settings.platform.prefersArmImage() ? u"/quorvel.silicon.dmg"_s : u"/quorvel.dmg"_s);
}

void SetupFlow::downloadProgress(qint64 written, qint64 expected)
{
    const std::optional<qint64> percent = Progress::downloadPercent(written, expected);
    if (!percent) {
        setProgress(m_progress, true);
        setInstallStatus(&UIStrings::installingWait, QString());
        return;
    }
    setProgress(double(*percent * 10));
    setInstallStatus(&UIStrings::installingWait, u"%1%"_s.arg(*percent));
}

// Whatever the bar said before a wait, it said before the attempt's first byte: nothing but the
// text. A cancel under way says more than the wait.
void SetupFlow::downloadWaiting(bool waiting)
{
    if (waiting && !m_closing)
        setInstallStatus(&UIStrings::waitingForNetwork, QString());
    else if (!waiting && m_status == &UIStrings::waitingForNetwork)
        setInstallStatus(&UIStrings::installingWait, QString());
}

void SetupFlow::downloadComplete(bool ok, const QString &error)
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
    if (m_closing) {
        // The cancel came too late to stop it; the user is leaving, so nothing is installed.
        ITLog("FLOW: leaving, the downloaded image is not installed");
        QFile::remove(destFile);
        emit closeWindow();
        return;
    }
    launchInstaller();
}

void SetupFlow::launchInstaller()
{
    const QString folder = installFolder().value_or(QString());
    ITLog("FLOW: installing %@ into %@", Product::bundleName, folder);
    installing = true;
    setProgress(Progress::kInstallStart);
    setInstallStatus(&UIStrings::installingWait, u"90%"_s);
    setPhase(Phase::Installing);
    installTimer = std::make_unique<QTimer>();
    installTimer->setInterval(m_settings.creepInterval);
    connect(installTimer.get(), &QTimer::timeout, this, &SetupFlow::creepInstall);
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

void SetupFlow::creepInstall()
{
    setProgress(Progress::crept(m_progress));
    setInstallStatus(&UIStrings::installingWait,
                     u"%1%"_s.arg(static_cast<qint64>(m_progress / 10.0)));
}

void SetupFlow::installFinished(bool success, const QString &app, const QString &error)
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
    m_installedApp = app;
    // The desktop's menu is a convenience: without it the application is installed all the same.
    if (m_settings.platform.registerApplication) {
        QString detail;
        if (m_settings.platform.registerApplication(app, &detail))
            ITLog("FLOW: desktop entry written: %@", detail);
        else
            ITLog("FLOW: desktop entry not written: %@", detail);
    }
    setProgress(Progress::kFull);
    setInstallStatus(&UIStrings::installingWait, u"100%"_s);
    done = true;
    setPhase(Phase::Finished);
}

void SetupFlow::startClicked()
{
    // Whether the application starts or not, the setup's work is done.
    if (m_installedApp) {
        ITLog("FLOW: Start Now, launching %@", *m_installedApp);
        if (!m_settings.platform.launchApplication(*m_installedApp))
            ITLog("FLOW: the application could not be started");
    }
    emit closeWindow();
}

void SetupFlow::setProgress(double value, bool indeterminate)
{
    m_progress = value;
    m_indeterminate = indeterminate;
}

void SetupFlow::setInstallStatus(QString UIStrings::*status, const QString &pct)
{
    m_status = status;
    m_pct = pct;
    emit progressChanged();
}
