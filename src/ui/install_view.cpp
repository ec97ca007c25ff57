// The install view: the slideshow, the progress bar, the status line and Hide.
#include "flow/main_window_controller.h"
#include "l10n/slide_captions.h"
#include "ui/add_subview.h"
#include "ui/colors.h"
#include "ui/dots_view.h"
#include "ui/flipped_view.h"
#include "ui/fonts.h"
#include "ui/image_view.h"
#include "ui/progress_bar.h"
#include "ui/text_fit.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {
constexpr auto kSlideInterval = 3500ms;
constexpr int kSlideTitleSize = 16;
} // namespace

void MainWindowController::buildInstallView()
{
    installView = new FlippedView(QRect(1, 1, 638, 366), root);
    installView->setBackgroundColor(Colors::background);
    installView->hide();

    auto *slidePanel = new FlippedView(QRect(0, 0, 638, 295), installView);
    slidePanel->setBackgroundColor(Colors::slidePanel);
    slideTitle = addSubview(slidePanel,
                            label({}, QRect(0, 20, 638, 24), kSlideTitleSize, Colors::text, true));
    slideTitle->setAlignment(Qt::AlignCenter);
    slideImageView = new ImageView(QRect(179, 60, 280, 190), slidePanel);
    dots = new DotsView(QRect(289, 258, 60, 14), slidePanel);
    dots->setCount(int(SlideCaptions::kSlideCount));
    dots->onSelect = [controller = QPointer(this)](int index) {
        if (controller) {
            controller->setSlide(index);
            controller->restartSlideTimer();
        }
    };

    progress = new ProgressBar(QRect(16, 307, 606, 8), 1000, installView);
    instStatus =
        addSubview(installView, label({}, QRect(16, 325, 400, 16), 12, Colors::text, false));
    hideButton = new QPushButton(installView);
    hideButton->setGeometry(534, 320, 90, 28);
    hideButton->setFont(systemFont(13));
    connect(hideButton, &QPushButton::clicked, this, &MainWindowController::minimizeClicked);

    for (qsizetype n = 1; n <= SlideCaptions::kSlideCount; ++n)
        slideImages << image(u"slide%1"_s.arg(n));
}

void MainWindowController::showInstallView(bool show)
{
    if (!show) {
        slideTimer.reset();
        installView->hide();
        return;
    }
    if (settingsShown)
        settingsClicked();
    setSlide(0);
    installView->show();
    installView->raise();
    restartSlideTimer();
}

void MainWindowController::setSlide(qint64 index)
{
    // A slide without its picture or caption shows an empty view or an empty line.
    slideIndex = index;
    slideTitle->setText(L().slides.value(index));
    fitFontToWidth(slideTitle, kSlideTitleSize);
    slideImageView->setImage(slideImages.value(index));
    slideImageView->setAccessibleName(slideTitle->text());
    dots->setActiveIndex(int(index));
}

void MainWindowController::restartSlideTimer()
{
    slideTimer = std::make_unique<QTimer>();
    // A coarse timer may fire up to 5 % early; a slide is shown for its whole period.
    slideTimer->setTimerType(Qt::PreciseTimer);
    slideTimer->setInterval(kSlideInterval);
    connect(slideTimer.get(), &QTimer::timeout, this, &MainWindowController::advanceSlide);
    slideTimer->start();
}

void MainWindowController::advanceSlide()
{
    setSlide((slideIndex + 1) % SlideCaptions::kSlideCount);
}
