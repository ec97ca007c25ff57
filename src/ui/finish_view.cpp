#include "ui/finish_view.h"

#include "l10n/ui_strings.h"
#include "ui/colors.h"
#include "ui/rounded_button.h"
#include "ui/text_fit.h"
#include "ui/view_helpers.h"

#include <QLabel>

using namespace Qt::StringLiterals;
using namespace ViewHelpers;

// Offset by one point from the main view, so the picture, the name and the button land
// exactly where the main view has them.
FinishView::FinishView(const QString &resourcesFolder, QWidget *parent)
    : LazyView(QRect(1, 1, 638, 366), parent), m_resourcesFolder(resourcesFolder)
{
    setBackgroundColor(Colors::background);
    hide();
}

void FinishView::build()
{
    addBrandRow(this, m_resourcesFolder);
    addImageView(this, QRect(271, 57, 96, 96), m_resourcesFolder, u"product"_s);
    QLabel *finishName =
        addLabel(this, u"Quorvel"_s, QRect(0, 161, 638, 30), 21, Colors::text, false);
    finishName->setObjectName(u"finishName"_s);
    finishName->setAlignment(Qt::AlignCenter);

    startButton = new RoundedButton(QRect(199, 207, 240, 48), this);
    startButton->setObjectName(u"startButton"_s);
    startButton->setFillColor(Colors::teal);
    startButton->setHoverColor(Colors::tealHover);
    connect(startButton, &RoundedButton::clicked, this, &FinishView::startClicked);
    if (m_strings)
        relabel(*m_strings);
}

RoundedButton *FinishView::mainButton()
{
    ensureBuilt();
    return startButton;
}

void FinishView::relabel(const UIStrings &strings)
{
    m_strings = &strings;
    if (!isBuilt())
        return;
    startButton->setTitle(strings.btnStartNow);
    fitFontToWidth(startButton, 15);
}
