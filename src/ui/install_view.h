#pragma once

#include "ui/lazy_view.h"

#include <QIcon>
#include <QList>
#include <QString>

class DotsView;
class ImageView;
class ProgressBar;
class QLabel;
class QPushButton;
class QTimer;
struct UIStrings;

// What shows while the setup downloads and installs: a slideshow of four captioned pictures
// that advances on its own and by its dots, the progress bar, the status line and Hide. Its
// controls and pictures are made when it is first shown or touched.
class InstallView : public LazyView
{
    Q_OBJECT

public:
    InstallView(const QString &resourcesFolder, QWidget *parent);

    void relabel(const UIStrings &strings);
    // The first slide, and the slides' period anew; or no more advancing.
    void startSlideshow();
    void stopSlideshow();
    qint64 slideIndex() const;
    // The bar in per-mille; indeterminate, it animates and keeps its value.
    void setProgress(double value, bool indeterminate);
    void setStatus(const QString &text);
    // Hide, where the focus goes when the view shows.
    QWidget *mainButton();
    // The controls in reading order.
    QList<QWidget *> keyboardOrder();

signals:
    void hideClicked();

private:
    void build() override;
    void setSlide(qint64 index);
    void restartSlideTimer();
    void advanceSlide();

    const QString m_resourcesFolder;
    const UIStrings *m_strings = nullptr;
    qint64 m_slideIndex = 0;
    QList<QIcon> slideImages;     // slide1 to slide4; a missing one is null
    QTimer *slideTimer = nullptr; // runs while the slideshow does
    QLabel *slideTitle = nullptr;
    ImageView *slideImageView = nullptr;
    DotsView *dots = nullptr;
    ProgressBar *progress = nullptr;
    QLabel *instStatus = nullptr;
    QPushButton *hideButton = nullptr;
};
