#include "ui/main_view.h"

#include "l10n/ui_strings.h"
#include "ui/accessibility.h"
#include "ui/colors.h"
#include "ui/fonts.h"
#include "ui/link_label.h"
#include "ui/rounded_button.h"
#include "ui/text_fit.h"
#include "ui/view_helpers.h"

#include <QCheckBox>
#include <QLabel>

using namespace Qt::StringLiterals;
using namespace ViewHelpers;

namespace {
constexpr int kGap = 6;          // between the parts of the agree row
constexpr int kRightMargin = 16; // right of the settings link
constexpr int kRowFontSize = 12;
constexpr int kRoundedButtonFontSize = 15;

void sizeToFit(QWidget *view)
{
    view->resize(view->sizeHint());
}

void place(QWidget *view, double x)
{
    view->move(qRound(x), view->y());
}
} // namespace

MainView::MainView(const QString &resourcesFolder, QWidget *parent)
    : FlippedView(QRect(0, 0, WindowGeometry::width, WindowGeometry::height), parent)
{
    setBackgroundColor(Colors::background);
    addBrandRow(this, resourcesFolder)->setObjectName(u"brandLabel"_s);
    addImageView(this, QRect(272, 58, 96, 96), resourcesFolder, u"product"_s);
    QLabel *productLabel =
        addLabel(this, u"Quorvel"_s, QRect(0, 162, 640, 30), 21, Colors::text, false);
    productLabel->setObjectName(u"productLabel"_s);
    productLabel->setAlignment(Qt::AlignCenter);

    installButton = new RoundedButton(QRect(200, 208, 240, 48), this);
    installButton->setObjectName(u"installButton"_s);
    installButton->setFillColor(Colors::teal);
    installButton->setHoverColor(Colors::tealHover);
    connect(installButton, &RoundedButton::clicked, this, &MainView::installClicked);

    statusLabel = addLabel(this, {}, QRect(0, 268, 640, 16), 12, Colors::text, false);
    statusLabel->setObjectName(u"statusLabel"_s);
    statusLabel->setAlignment(Qt::AlignCenter);
    detailLabel = addLabel(this, {}, QRect(0, 290, 640, 16), 11, Colors::detail, false);
    detailLabel->setObjectName(u"detailLabel"_s);
    detailLabel->setAlignment(Qt::AlignCenter);

    offlineLink = addLink(this, QRect(0, 320, 640, 18));
    offlineLink->setObjectName(u"offlineLink"_s);
    offlineLink->setAlignment(Qt::AlignCenter);
    connect(offlineLink, &LinkLabel::clicked, this, &MainView::offlineClicked);

    // The agree row: x positions and widths are provisional until relabel lays it out.
    acceptCheck = new QCheckBox(this);
    acceptCheck->setObjectName(u"acceptCheck"_s);
    acceptCheck->setGeometry(24, 328, 200, 20);
    acceptCheck->setFont(systemFont(12));
    acceptCheck->setChecked(true);
    connect(acceptCheck, &QCheckBox::clicked, this, &MainView::acceptToggled);
    privacyLink = addLink(this, QRect(164, 329, 90, 18));
    privacyLink->setObjectName(u"privacyLink"_s);
    connect(privacyLink, &LinkLabel::clicked, this, &MainView::privacyClicked);
    andLabel = addLabel(this, {}, QRect(250, 329, 30, 18), 12, Colors::text, false);
    andLabel->setObjectName(u"andLabel"_s);
    licenseLink = addLink(this, QRect(280, 329, 150, 18));
    licenseLink->setObjectName(u"licenseLink"_s);
    connect(licenseLink, &LinkLabel::clicked, this, &MainView::licenseClicked);
    settingsLink = addLink(this, QRect(520, 329, 104, 18));
    settingsLink->setObjectName(u"settingsLink"_s);
    connect(settingsLink, &LinkLabel::clicked, this, &MainView::settingsClicked);
    // Made before the views that lie over it.
    m_ownControls = findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    applyVisibility();
}

void MainView::relabel(const UIStrings &strings)
{
    m_strings = &strings;
    acceptCheck->setText(strings.readAgreed);
    privacyLink->setText(strings.privacy);
    andLabel->setText(strings.andWord);
    licenseLink->setText(strings.license);
    settingsLink->setText(strings.installSetting);
    offlineLink->setText(strings.offlineLink);
    styleLink(offlineLink, true);
    fitFontToWidth(offlineLink, kRowFontSize);
    relabelInstallButton();

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

void MainView::relabelInstallButton()
{
    if (!m_strings)
        return;
    installButton->setTitle(m_retryOffered ? m_strings->btnRetry : m_strings->btnInstall);
    fitFontToWidth(installButton, kRoundedButtonFontSize);
}

void MainView::setBusy(bool busy)
{
    m_busy = busy;
    // A box in the mixed state counts as not ticked.
    installButton->setEnabled(!busy && acceptCheck->checkState() == Qt::Checked);
    acceptCheck->setEnabled(!busy);
}

void MainView::acceptToggled()
{
    installButton->setEnabled(!m_busy && acceptCheck->checkState() == Qt::Checked);
}

void MainView::showMessages(const QString &status, const QString &detail)
{
    setAlertText(statusLabel, status);
    fitFontToWidth(statusLabel, 12);
    setAlertText(detailLabel, detail);
    fitFontToWidth(detailLabel, 11);
}

void MainView::setOfflineLinkVisible(bool visible)
{
    m_offlineLinkShown = visible;
    applyVisibility();
}

void MainView::setRetryOffered(bool offered, bool folderChangeable)
{
    m_retryOffered = offered;
    m_folderChangeable = folderChangeable;
    applyVisibility();
    relabelInstallButton();
}

void MainView::setCovered(bool covered)
{
    m_covered = covered;
    applyVisibility();
}

void MainView::applyVisibility()
{
    for (QWidget *control : m_ownControls)
        control->setVisible(!m_covered);
    for (QWidget *part : agreeRow())
        part->setVisible(!m_covered && !m_retryOffered);
    settingsLink->setVisible(!m_covered && (!m_retryOffered || m_folderChangeable));
    offlineLink->setVisible(!m_covered && m_offlineLinkShown);
}

QList<QWidget *> MainView::keyboardOrder(const QList<QWidget *> &settingsControls) const
{
    return QList<QWidget *>{acceptCheck, privacyLink, licenseLink, settingsLink} +
           settingsControls + QList<QWidget *>{installButton, offlineLink};
}

QList<QWidget *> MainView::agreeRow() const
{
    return {acceptCheck, privacyLink, andLabel, licenseLink, settingsLink};
}

void MainView::layoutAgreeRow()
{
    double x = acceptCheck->x() + acceptCheck->width() + kGap;
    place(privacyLink, x);
    x = privacyLink->x() + privacyLink->width() + kGap;
    place(andLabel, x);
    x = andLabel->x() + andLabel->width() + kGap;
    place(licenseLink, x);
    place(settingsLink, WindowGeometry::width - settingsLink->width() - kRightMargin);
}

bool MainView::agreeRowFits() const
{
    return licenseLink->x() + licenseLink->width() + kGap <= settingsLink->x();
}
