// Writing every language-dependent text of the window and laying out the agree row.
#include "flow/main_window_controller.h"
#include "ui/colors.h"
#include "ui/fonts.h"
#include "ui/link_label.h"
#include "ui/progress_bar.h"
#include "ui/rounded_button.h"
#include "ui/text_fit.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

namespace {
constexpr int kGap = 6;          // between the parts of the agree row
constexpr int kRightMargin = 16; // right of the settings link
constexpr int kRowFontSize = 12;
constexpr int kPushButtonFontSize = 13;
constexpr int kRoundedButtonFontSize = 15;

void sizeToFit(QWidget *view)
{
    view->resize(view->sizeHint());
}
} // namespace

void MainWindowController::applyLanguage()
{
    const UIStrings &r = L();
    acceptCheck->setText(r.readAgreed);
    privacyLink->setText(r.privacy);
    andLabel->setText(r.andWord);
    licenseLink->setText(r.license);
    settingsLink->setText(r.installSetting);
    offlineLink->setText(r.offlineLink);
    styleLink(offlineLink, true);
    fitFontToWidth(offlineLink, kRowFontSize);
    langLabel->setText(r.selectLanguage);
    fitFontToWidth(langLabel, kRowFontSize);
    pathLabel->setText(r.installPath);
    fitFontToWidth(pathLabel, kRowFontSize);
    browseButton->setText(r.browse);
    fitFontToWidth(browseButton, kPushButtonFontSize);
    hideButton->setText(r.btnHide);
    fitFontToWidth(hideButton, kPushButtonFontSize);
    if (!done) {
        installButton->setTitle(r.btnInstall);
        fitFontToWidth(installButton, kRoundedButtonFontSize);
    }
    startButton->setTitle(r.btnStartNow);
    fitFontToWidth(startButton, kRoundedButtonFontSize);
    progress->setAccessibleName(r.installingWait);

    // The row is sized to its texts; when its left part would run into the settings link,
    // the whole row steps down in size together so that it keeps one look.
    for (int size = kRowFontSize;; --size) {
        for (LinkLabel *link : {privacyLink, licenseLink, settingsLink})
            styleLink(link);
        for (QWidget *part : agreeRow()) {
            setFontPixelSize(part, size);
            sizeToFit(part);
        }
        layoutAgreeRow();
        if (agreeRowFits() || size == kMinimumFitPixelSize)
            break;
    }
}

void MainWindowController::layoutAgreeRow()
{
    double x = acceptCheck->x() + acceptCheck->width() + kGap;
    place(privacyLink, x);
    x = privacyLink->x() + privacyLink->width() + kGap;
    place(andLabel, x);
    x = andLabel->x() + andLabel->width() + kGap;
    place(licenseLink, x);
    place(settingsLink, WindowGeometry::width - settingsLink->width() - kRightMargin);
}

void MainWindowController::place(QWidget *view, double x) const
{
    view->move(qRound(x), view->y());
}

QList<QWidget *> MainWindowController::agreeRow() const
{
    return {acceptCheck, privacyLink, andLabel, licenseLink, settingsLink};
}

bool MainWindowController::agreeRowFits() const
{
    return licenseLink->x() + licenseLink->width() + kGap <= settingsLink->x();
}
