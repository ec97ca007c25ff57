// The finish view: the product and Start Now, where the main view had its Install button.
#include "flow/main_window_controller.h"
#include "ui/add_subview.h"
#include "ui/colors.h"
#include "ui/flipped_view.h"
#include "ui/rounded_button.h"

#include <QLabel>

using namespace Qt::StringLiterals;

void MainWindowController::buildFinishView()
{
    // Offset by one point from the main view, so the picture, the name and the button land
    // exactly where the main view has them.
    finishView = new FlippedView(QRect(1, 1, 638, 366), root);
    finishView->setBackgroundColor(Colors::background);
    finishView->hide();

    addBrandRow(finishView);
    addImageView(finishView, QRect(271, 57, 96, 96), u"product"_s);
    finishName = addSubview(finishView,
                            label(u"Quorvel"_s, QRect(0, 161, 638, 30), 21, Colors::text, false));
    finishName->setAlignment(Qt::AlignCenter);

    startButton = new RoundedButton(QRect(199, 207, 240, 48), finishView);
    startButton->setFillColor(Colors::teal);
    startButton->setHoverColor(Colors::tealHover);
    connect(startButton, &RoundedButton::clicked, this, &MainWindowController::startClicked);
}

void MainWindowController::showFinishView()
{
    finishView->show();
    finishView->raise();
}
