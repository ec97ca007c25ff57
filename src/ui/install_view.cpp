#include "ui/install_view.h"

#include "l10n/slide_captions.h"
#include "l10n/ui_strings.h"
#include "ui/colors.h"
#include "ui/dots_view.h"
#include "ui/fonts.h"
#include "ui/image_view.h"
#include "ui/progress_bar.h"
#include "ui/text_fit.h"
#include "ui/view_helpers.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using namespace ViewHelpers;

namespace {
constexpr auto kSlideInterval = 3500ms;
constexpr int kSlideTitleSize = 16;
constexpr int kPushButtonFontSize = 13;
} // namespace

InstallView::InstallView(const QString &resourcesFolder, QWidget *parent)
    : LazyView(QRect(1, 1, 638, 366), parent), m_resourcesFolder(resourcesFolder)
{
    setBackgroundColor(Colors::background);
    hide();
}

void InstallView::build()
{
    auto *slidePanel = new FlippedView(QRect(0, 0, 638, 295), this);
    slidePanel->setObjectName(u"slidePanel"_s);
    slidePanel->setBackgroundColor(Colors::slidePanel);
    slideTitle =
        addLabel(slidePanel, {}, QRect(0, 20, 638, 24), kSlideTitleSize, Colors::text, true);
    slideTitle->setObjectName(u"slideTitle"_s);
    slideTitle->setAlignment(Qt::AlignCenter);
    slideImageView = new ImageView(QRect(179, 60, 280, 190), slidePanel);
    dots = new DotsView(QRect(289, 258, 60, 14), slidePanel);
    dots->setCount(int(SlideCaptions::kSlideCount));
    dots->onSelect = [view = QPointer(this)](int index) {
        if (view) {
            view->setSlide(index);
            view->restartSlideTimer();
        }
    };

    progress = new ProgressBar(QRect(16, 307, 606, 8), 1000, this);
    instStatus = addLabel(this, {}, QRect(16, 325, 400, 16), 12, Colors::text, false);
    instStatus->setObjectName(u"instStatus"_s);
    hideButton = new QPushButton(this);
    hideButton->setObjectName(u"hideButton"_s);
    hideButton->setGeometry(534, 320, 90, 28);
    hideButton->setFont(systemFont(13));
    connect(hideButton, &QPushButton::clicked, this, &InstallView::hideClicked);

    slideTimer = new QTimer(this);
    // A coarse timer may fire up to 5 % early; a slide is shown for its whole period.
    slideTimer->setTimerType(Qt::PreciseTimer);
    slideTimer->setInterval(kSlideInterval);
    connect(slideTimer, &QTimer::timeout, this, &InstallView::advanceSlide);
    for (qsizetype n = 1; n <= SlideCaptions::kSlideCount; ++n)
        slideImages << image(m_resourcesFolder, u"slide%1"_s.arg(n));
    if (m_strings)
        relabel(*m_strings);
}

void InstallView::relabel(const UIStrings &strings)
{
    m_strings = &strings;
    if (!isBuilt())
        return;
    hideButton->setText(strings.btnHide);
    fitFontToWidth(hideButton, kPushButtonFontSize);
    progress->setAccessibleName(strings.installingWait);
}

void InstallView::startSlideshow()
{
    ensureBuilt();
    setSlide(0);
    restartSlideTimer();
}

void InstallView::stopSlideshow()
{
    if (isBuilt())
        slideTimer->stop();
}

qint64 InstallView::slideIndex() const
{
    return m_slideIndex;
}

void InstallView::setProgress(double value, bool indeterminate)
{
    ensureBuilt();
    progress->setIndeterminate(indeterminate);
    progress->setDoubleValue(value);
}

void InstallView::setStatus(const QString &text)
{
    ensureBuilt();
    instStatus->setText(text);
    fitFontToWidth(instStatus, 12);
}

QWidget *InstallView::mainButton()
{
    ensureBuilt();
    return hideButton;
}

QList<QWidget *> InstallView::keyboardOrder()
{
    ensureBuilt();
    return {dots, hideButton};
}

void InstallView::setSlide(qint64 index)
{
    // A slide without its picture or caption shows an empty view or an empty line.
    m_slideIndex = index;
    slideTitle->setText(m_strings ? m_strings->slides.value(index) : QString());
    fitFontToWidth(slideTitle, kSlideTitleSize);
    slideImageView->setImage(slideImages.value(index));
    slideImageView->setAccessibleName(slideTitle->text());
    dots->setActiveIndex(int(index));
}

void InstallView::restartSlideTimer()
{
    slideTimer->start();
}

void InstallView::advanceSlide()
{
    setSlide((m_slideIndex + 1) % SlideCaptions::kSlideCount);
}
