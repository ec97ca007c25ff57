#include "ui/settings_panel.h"

#include "l10n/localization.h"
#include "ui/colors.h"
#include "ui/fonts.h"
#include "ui/language_popup.h"
#include "ui/text_fit.h"
#include "ui/view_helpers.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using namespace Qt::StringLiterals;
using namespace ViewHelpers;

namespace {
constexpr int kRowFontSize = 12;
constexpr int kPushButtonFontSize = 13;
} // namespace

SettingsPanel::SettingsPanel(QWidget *parent)
    : LazyView(QRect(1, WindowGeometry::height, WindowGeometry::width - 2,
                     WindowGeometry::settingsHeight),
               parent)
{
    setBackgroundColor(Colors::settingsBackground);
    hide();
}

void SettingsPanel::build()
{
    auto *separator = new QFrame(this);
    separator->setGeometry(0, 0, WindowGeometry::width - 2, 1);
    separator->setFrameShape(QFrame::HLine);
    separator->setFrameShadow(QFrame::Plain);
    QPalette separatorPalette = separator->palette();
    separatorPalette.setColor(QPalette::WindowText, QColor(0, 0, 0, 26));
    separator->setPalette(separatorPalette);

    langLabel = addLabel(this, {}, QRect(24, 14, 200, 16), 12, Colors::text, false);
    langLabel->setObjectName(u"langLabel"_s);
    langPopup = new LanguagePopup(this);
    langPopup->setObjectName(u"langPopup"_s);
    langPopup->setGeometry(24, 34, 200, 26);
    langPopup->setFont(systemFont(13));
    for (const UIStrings &record : Localization::all())
        langPopup->addItem(record.langName);
    connect(langPopup, &QComboBox::activated, this, &SettingsPanel::languageChosen);
    langLabel->setBuddy(langPopup);

    pathLabel = addLabel(this, {}, QRect(24, 74, 200, 16), 12, Colors::text, false);
    pathLabel->setObjectName(u"pathLabel"_s);
    locationField = new QLineEdit(this);
    locationField->setObjectName(u"locationField"_s);
    locationField->setGeometry(24, 94, 492, 24);
    locationField->setFont(systemFont(13));
    pathLabel->setBuddy(locationField);

    browseButton = new QPushButton(this);
    browseButton->setObjectName(u"browseButton"_s);
    browseButton->setGeometry(524, 92, 90, 28);
    browseButton->setFont(systemFont(13));
    connect(browseButton, &QPushButton::clicked, this, &SettingsPanel::browseClicked);
    langPopup->setCurrentIndex(m_languageIndex);
    locationField->setText(m_folderText);
    apply();
}

void SettingsPanel::apply()
{
    for (QWidget *control : QWidgetList{locationField, browseButton, langPopup})
        control->setEnabled(!m_busy);
    if (!m_strings)
        return;
    langLabel->setText(m_strings->selectLanguage);
    fitFontToWidth(langLabel, kRowFontSize);
    pathLabel->setText(m_strings->installPath);
    fitFontToWidth(pathLabel, kRowFontSize);
    browseButton->setText(m_strings->browse);
    fitFontToWidth(browseButton, kPushButtonFontSize);
}

void SettingsPanel::relabel(const UIStrings &strings)
{
    m_strings = &strings;
    if (isBuilt())
        apply();
}

void SettingsPanel::setBusy(bool busy)
{
    m_busy = busy;
    if (isBuilt())
        apply();
}

QString SettingsPanel::folderText() const
{
    return isBuilt() ? locationField->text() : m_folderText;
}

void SettingsPanel::setFolderText(const QString &text)
{
    m_folderText = text;
    if (isBuilt())
        locationField->setText(text);
}

QList<QWidget *> SettingsPanel::keyboardOrder() const
{
    if (!isBuilt())
        return {};
    return {langPopup, locationField, browseButton};
}

void SettingsPanel::setLanguageIndex(int index)
{
    m_languageIndex = index;
    if (isBuilt())
        langPopup->setCurrentIndex(index);
}
