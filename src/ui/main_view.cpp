// The window's content and its main view: brand row, product, Install, messages, agree row.
#include "flow/main_window_controller.h"
#include "ui/add_subview.h"
#include "ui/colors.h"
#include "ui/flipped_view.h"
#include "ui/fonts.h"
#include "ui/image_view.h"
#include "ui/installer_window.h"
#include "ui/link_label.h"
#include "ui/rounded_button.h"

#include <QCheckBox>
#include <QLabel>

using namespace Qt::StringLiterals;

void MainWindowController::buildUI()
{
    root =
        new FlippedView(QRect(0, 0, WindowGeometry::width, WindowGeometry::height), window.get());
    root->setBackgroundColor(Colors::background);
    buildMainView();
    buildSettingsPanel();
    buildInstallView();
    buildFinishView();
}

QLabel *MainWindowController::addBrandRow(QWidget *parent)
{
    addImageView(parent, QRect(28, 10, 24, 24), u"brand"_s);
    return addSubview(parent, label(u"Quorvel"_s, QRect(60, 11, 120, 22), 15, Colors::brand, true));
}

ImageView *MainWindowController::addImageView(QWidget *parent, const QRect &frame,
                                              const QString &name)
{
    auto *view = new ImageView(frame, parent);
    view->setImage(image(name));
    view->setAccessibleName(u"Quorvel"_s);
    return view;
}

void MainWindowController::buildMainView()
{
    brandLabel = addBrandRow(root);
    addImageView(root, QRect(272, 58, 96, 96), u"product"_s);
    productLabel =
        addSubview(root, label(u"Quorvel"_s, QRect(0, 162, 640, 30), 21, Colors::text, false));
    productLabel->setAlignment(Qt::AlignCenter);

    installButton = new RoundedButton(QRect(200, 208, 240, 48), root);
    installButton->setFillColor(Colors::teal);
    installButton->setHoverColor(Colors::tealHover);
    connect(installButton, &RoundedButton::clicked, this, &MainWindowController::installClicked);

    statusLabel = addSubview(root, label({}, QRect(0, 268, 640, 16), 12, Colors::text, false));
    statusLabel->setAlignment(Qt::AlignCenter);
    detailLabel = addSubview(root, label({}, QRect(0, 290, 640, 16), 11, Colors::detail, false));
    detailLabel->setAlignment(Qt::AlignCenter);

    offlineLink =
        addSubview(root, link({}, QRect(0, 320, 640, 18), &MainWindowController::offlineClicked));
    offlineLink->setAlignment(Qt::AlignCenter);
    offlineLink->hide();

    // The agree row: x positions and widths are provisional until applyLanguage lays it out.
    acceptCheck = new QCheckBox(root);
    acceptCheck->setGeometry(24, 328, 200, 20);
    acceptCheck->setFont(systemFont(12));
    acceptCheck->setChecked(true);
    connect(acceptCheck, &QCheckBox::clicked, this, &MainWindowController::acceptToggled);
    privacyLink =
        addSubview(root, link({}, QRect(164, 329, 90, 18), &MainWindowController::privacyClicked));
    andLabel = addSubview(root, label({}, QRect(250, 329, 30, 18), 12, Colors::text, false));
    licenseLink =
        addSubview(root, link({}, QRect(280, 329, 150, 18), &MainWindowController::licenseClicked));
    settingsLink = addSubview(
        root, link({}, QRect(520, 329, 104, 18), &MainWindowController::settingsClicked));
}
