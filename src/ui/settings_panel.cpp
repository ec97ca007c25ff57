// The settings panel below the main view: language and install folder.
#include "flow/main_window_controller.h"
#include "l10n/localization.h"
#include "ui/add_subview.h"
#include "ui/colors.h"
#include "ui/flipped_view.h"
#include "ui/fonts.h"
#include "ui/installer_window.h"
#include "ui/language_popup.h"

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using namespace Qt::StringLiterals;

void MainWindowController::buildSettingsPanel()
{
    using namespace WindowGeometry;
    settingsPanel = new FlippedView(QRect(1, height, width - 2, settingsHeight), root);
    settingsPanel->setBackgroundColor(Colors::settingsBackground);
    settingsPanel->hide();

    auto *separator = new QFrame(settingsPanel);
    separator->setGeometry(0, 0, width - 2, 1);
    separator->setFrameShape(QFrame::HLine);
    separator->setFrameShadow(QFrame::Plain);
    QPalette separatorPalette = separator->palette();
    separatorPalette.setColor(QPalette::WindowText, QColor(0, 0, 0, 26));
    separator->setPalette(separatorPalette);

    langLabel =
        addSubview(settingsPanel, label({}, QRect(24, 14, 200, 16), 12, Colors::text, false));
    langPopup = new LanguagePopup(settingsPanel);
    langPopup->setGeometry(24, 34, 200, 26);
    langPopup->setFont(systemFont(13));
    for (const UIStrings &record : Localization::all())
        langPopup->addItem(record.langName);
    langPopup->setCurrentIndex(int(langIndex));
    connect(langPopup, &QComboBox::activated, this, &MainWindowController::languageChanged);
    langLabel->setBuddy(langPopup);

    pathLabel =
        addSubview(settingsPanel, label({}, QRect(24, 74, 200, 16), 12, Colors::text, false));
    locationField = new QLineEdit(u"/Applications"_s, settingsPanel);
    locationField->setGeometry(24, 94, 492, 24);
    locationField->setFont(systemFont(13));
    pathLabel->setBuddy(locationField);

    browseButton = new QPushButton(settingsPanel);
    browseButton->setGeometry(524, 92, 90, 28);
    browseButton->setFont(systemFont(13));
    connect(browseButton, &QPushButton::clicked, this, &MainWindowController::browseClicked);
}

void MainWindowController::settingsClicked()
{
    using namespace WindowGeometry;
    settingsShown = !settingsShown;
    // The window grows and shrinks at its bottom edge; its top edge and the main view's
    // controls stay where they are on the screen.
    const int newHeight = settingsShown ? height + settingsHeight : height;
    settingsPanel->setVisible(settingsShown);
    window->setFixedSize(window->width(), newHeight);
    root->setGeometry(0, 0, root->width(), newHeight);
    root->update();
}
