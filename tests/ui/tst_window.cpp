#include "flow/main_window_controller.h"
#include "l10n/localization.h"
#include "log_reader.h"
#include "ui/dialogs.h"
#include "ui/dots_view.h"
#include "ui/flipped_view.h"
#include "ui/image_view.h"
#include "ui/installer_window.h"
#include "ui/link_label.h"
#include "ui/progress_bar.h"
#include "ui/rounded_button.h"
#include "ui/text_fit.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include <chrono>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

// A coarse timer may end up to 5 % early, on a round fraction of the clock's second; one started
// a tenth of a second past a whole second would.
void waitForCoarseTimerPhase()
{
    using namespace std::chrono;
    const auto now = steady_clock::now().time_since_epoch();
    std::this_thread::sleep_until(steady_clock::time_point(ceil<seconds>(now) + 110ms));
}

// The colour at `at` of `w` as the window shows it.
QColor pixel(QWidget *w, QPoint at)
{
    QWidget *window = w->window();
    return window->grab(QRect(w->mapTo(window, at), QSize(1, 1))).toImage().pixelColor(0, 0);
}

bool anyPixel(QWidget *w, const QColor &colour)
{
    const QImage image = w->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const auto *first = reinterpret_cast<const QRgb *>(image.constBits());
    return std::count(first, first + image.width() * image.height(), colour.rgb()) > 0;
}

// Every visible text among the children of `container` fits its frame, and no two visible children
// overlap.
void checkFitsAndApart(QWidget *container)
{
    const QWidgetList kids = container->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    for (QWidget *w : kids) {
        auto *rounded = qobject_cast<RoundedButton *>(w);
        auto *button = qobject_cast<QAbstractButton *>(w);
        auto *label = qobject_cast<QLabel *>(w);
        const QString text = rounded  ? rounded->title()
                             : button ? button->text()
                             : label  ? label->text()
                                      : QString();
        if (!w->isVisible() || text.isEmpty())
            continue;
        const int ink = QFontMetrics(w->font()).tightBoundingRect(text).height();
        QVERIFY2(textFits(w) && ink <= w->height(), qPrintable(u"clipped: "_s + text));
        for (QWidget *other : kids)
            QVERIFY2(other == w || !other->isVisible() ||
                         !w->geometry().intersects(other->geometry()),
                     qPrintable(u"overlaps: "_s + text));
    }
}

QList<ImageView *> imageViews(QWidget *parent)
{
    return parent->findChildren<ImageView *>(Qt::FindDirectChildrenOnly);
}

} // namespace

// The window as the controller builds it, shown on the offscreen platform.
class TstWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindowController> m_c;

    MainWindowController &open(const QString &resources = {})
    {
        MainWindowController::Settings settings;
        if (!resources.isNull())
            settings.resourcesFolder = resources;
        m_c = std::make_unique<MainWindowController>(settings);
        m_c->window->show();
        if (!QTest::qWaitForWindowExposed(m_c->window.get()))
            qFatal("window not exposed");
        return *m_c;
    }
    void pickLanguage(int index)
    {
        m_c->langPopup->setCurrentIndex(index);
        emit m_c->langPopup->activated(index);
    }
    void fireSlideTimer()
    {
        QVERIFY(m_c->slideTimer && m_c->slideTimer->isActive());
        QMetaObject::invokeMethod(m_c->slideTimer.get(), "timeout");
    }

private slots:
    void init() { qputenv("LANGUAGE", "en"); }
    void cleanup() { m_c.reset(); }

    void buildsEveryViewAtItsFrame()
    {
        qputenv("LANGUAGE", "de");
        MainWindowController &c = open();
        const QList<ImageView *> mainArt = imageViews(c.root), finishArt = imageViews(c.finishView);
        // clang-format off
        const QList<std::pair<QWidget *, QRect>> frames = {
            {c.root, {0, 0, 640, 368}},              {mainArt.value(0), {28, 10, 24, 24}},
            {c.brandLabel, {60, 11, 120, 22}},       {mainArt.value(1), {272, 58, 96, 96}},
            {c.productLabel, {0, 162, 640, 30}},     {c.installButton, {200, 208, 240, 48}},
            {c.statusLabel, {0, 268, 640, 16}},      {c.detailLabel, {0, 290, 640, 16}},
            {c.offlineLink, {0, 320, 640, 18}},      {c.settingsPanel, {1, 368, 638, 148}},
            {c.langLabel, {24, 14, 200, 16}},        {c.langPopup, {24, 34, 200, 26}},
            {c.pathLabel, {24, 74, 200, 16}},        {c.locationField, {24, 94, 492, 24}},
            {c.browseButton, {524, 92, 90, 28}},     {c.installView, {1, 1, 638, 366}},
            {c.slideTitle, {0, 20, 638, 24}},        {c.slideTitle->parentWidget(), {0, 0, 638, 295}},
            {c.slideImageView, {179, 60, 280, 190}}, {c.dots, {289, 258, 60, 14}},
            {c.progress, {16, 307, 606, 8}},         {c.instStatus, {16, 325, 400, 16}},
            {c.hideButton, {534, 320, 90, 28}},      {c.finishView, {1, 1, 638, 366}},
            {c.finishName, {0, 161, 638, 30}},       {finishArt.value(0), {28, 10, 24, 24}},
            {c.startButton, {199, 207, 240, 48}},    {finishArt.value(1), {271, 57, 96, 96}}};
        // clang-format on
        for (const auto &[view, frame] : frames)
            QCOMPARE(view ? view->geometry() : QRect(), frame);
        const QObjectList stack = c.root->children();
        QVERIFY(stack.indexOf(c.settingsLink) < stack.indexOf(c.settingsPanel) &&
                stack.indexOf(c.settingsPanel) < stack.indexOf(c.installView));
        QCOMPARE(stack.last(), c.finishView);

        // Start state, in the language the system names.
        QVERIFY(c.acceptCheck->isChecked() && c.installButton->isEnabled());
        for (QWidget *w : QWidgetList{c.offlineLink, c.settingsPanel, c.installView, c.finishView})
            QVERIFY(!w->isVisible());
        QCOMPARE(c.locationField->text(), u"/Applications"_s);
        QCOMPARE(c.langPopup->currentIndex(), 1);
        QCOMPARE(c.window->windowTitle(), u"Quorvel"_s);
        QVERIFY(c.window->minimumSize() == QSize(640, 368) && c.window->maximumHeight() == 368);
        QCOMPARE(c.window->windowFlags() &
                     (Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint),
                 Qt::WindowCloseButtonHint);

        // The settings panel grows the window downwards and back; showing the install view
        // closes it first.
        const QRect before = c.window->geometry();
        c.settingsClicked();
        QVERIFY(c.settingsShown && c.settingsPanel->isVisible() &&
                c.window->maximumSize() == QSize(640, 516));
        QCOMPARE(c.window->geometry(), before.adjusted(0, 0, 0, 148));
        QCOMPARE(c.root->geometry(), QRect(0, 0, 640, 516));
        c.settingsClicked();
        QVERIFY(!c.settingsShown && !c.settingsPanel->isVisible());
        QCOMPARE(c.window->geometry(), before);
        QCOMPARE(c.root->geometry(), QRect(0, 0, 640, 368));
        c.settingsClicked();
        c.showInstallView(true);
        QVERIFY(!c.settingsShown && c.window->geometry() == before);
    }

    void relabelsAndFitsEveryLanguage_data()
    {
        QTest::addColumn<int>("lang");
        for (int i = 0; i < Localization::all().size(); ++i)
            QTest::addRow("%s", qPrintable(Localization::all()[i].code)) << i;
    }
    void relabelsAndFitsEveryLanguage()
    {
        QFETCH(int, lang);
        MainWindowController &c = open();
        const UIStrings &r = Localization::all()[lang];
        // The flow and the slideshow own these; a change of language leaves them alone.
        const QList<QLabel *> untouched = {c.statusLabel, c.detailLabel, c.instStatus,
                                           c.slideTitle};
        for (QLabel *l : untouched)
            l->setText(u"kept"_s);

        const qsizetype mark = LogReader::mark();
        pickLanguage(lang);
        QCOMPARE(LogReader::messagesSince(mark),
                 QStringList{u"UI: language changed to "_s + r.langName});
        // What each control shows and tells assistive tools, in the new language.
        using A = QAccessible;
        // clang-format off
        const QList<std::tuple<QWidget *, QAccessible::Role, QString>> rows = {
            {c.installButton, A::Button, r.btnInstall},     {c.startButton, A::Button, r.btnStartNow},
            {c.browseButton, A::Button, r.browse},          {c.hideButton, A::Button, r.btnHide},
            {c.privacyLink, A::Link, r.privacy},            {c.licenseLink, A::Link, r.license},
            {c.settingsLink, A::Link, r.installSetting},    {c.offlineLink, A::Link, r.offlineLink},
            {c.acceptCheck, A::CheckBox, r.readAgreed},     {c.andLabel, A::StaticText, r.andWord},
            {c.langLabel, A::StaticText, r.selectLanguage}, {c.pathLabel, A::StaticText, r.installPath},
            {c.langPopup, A::ComboBox, r.langName},         {c.locationField, A::EditableText, r.installPath},
            {c.progress, A::ProgressBar, r.installingWait}, {c.dots, A::PageTabList, u"1 / 4"_s},
            {imageViews(c.root)[1], A::Graphic, u"Quorvel"_s}};
        // clang-format on
        for (const auto &[control, role, name] : rows) {
            QAccessibleInterface *a = QAccessible::queryAccessibleInterface(control);
            QCOMPARE(a->role(), role);
            QCOMPARE(a->text(QAccessible::Name), name);
        }
        for (QLabel *l : untouched)
            QCOMPARE(l->text(), u"kept"_s);
        for (LinkLabel *link : {c.privacyLink, c.licenseLink, c.settingsLink, c.offlineLink})
            QVERIFY(link->font().underline() && anyPixel(link, QColor(62, 123, 250)));

        const auto right = [](QWidget *w) { return w->x() + w->width(); };
        const QWidgetList row = {c.acceptCheck, c.privacyLink, c.andLabel, c.licenseLink};
        for (qsizetype i = 1; i < row.size(); ++i)
            QCOMPARE(row[i]->x(), right(row[i - 1]) + 6);
        QVERIFY(right(c.licenseLink) + 6 <= c.settingsLink->x());

        checkFitsAndApart(c.root);
        c.settingsClicked();
        checkFitsAndApart(c.settingsPanel);
        c.showInstallView(true);
        for (const QString &status :
             QStringList{r.installingWait + u"  99%"_s, r.installInProgress, r.cancelling}) {
            c.instStatus->setText(status);
            checkFitsAndApart(c.installView);
        }
        for (qsizetype slide = 0; slide < 4; ++slide) {
            c.setSlide(slide);
            QCOMPARE(c.slideTitle->text(), r.slides.value(slide));
            checkFitsAndApart(c.slideTitle->parentWidget());
        }
        c.showFinishView();
        checkFitsAndApart(c.finishView);

        // Once installed, Install keeps its title through a change of language.
        c.done = true;
        pickLanguage((lang + 1) % 9);
        QCOMPARE(c.installButton->title(), r.btnInstall);
    }

    void slideshowRunsAndRestarts()
    {
        MainWindowController &c = open();
        const auto onSlide = [&c](qint64 i) {
            return c.slideIndex == i && c.dots->activeIndex() == i &&
                   c.slideTitle->text() == c.L().slides.value(i) &&
                   c.slideImageView->image().cacheKey() == c.slideImages.value(i).cacheKey() &&
                   c.slideImageView->accessibleName() == c.slideTitle->text();
        };
        QVERIFY(!c.slideTimer);
        for (const QIcon &picture : c.slideImages)
            QVERIFY(!picture.isNull());
        waitForCoarseTimerPhase();
        QElapsedTimer shown;
        shown.start();
        c.showInstallView(true);
        QVERIFY(c.installView->isVisible() && onSlide(0) && !c.slideTimer->isSingleShot());
        qint64 advanced = -1;
        connect(c.slideTimer.get(), &QTimer::timeout, [&] { advanced = shown.elapsed(); });
        QTRY_VERIFY_WITH_TIMEOUT(advanced >= 0, 5000);
        QVERIFY2(advanced >= 3500 && onSlide(1), qPrintable(QString::number(advanced)));
        for (qint64 expected : {2, 3, 0, 1}) {
            fireSlideTimer();
            QVERIFY(onSlide(expected));
        }

        // A click on the third dot shows slide 2 at once and starts the period anew.
        // (The timer may run up to 5 % early or late: a second apart tells them apart.)
        QTest::qWait(1000);
        QTest::mouseClick(c.dots, Qt::LeftButton, {}, QPoint(2 + 16 * 2 + 4, 7));
        QVERIFY(onSlide(2) && c.slideTimer->remainingTime() > 3000);
        // Only the primary button picks a dot.
        for (const Qt::MouseButton button : {Qt::RightButton, Qt::MiddleButton})
            QTest::mouseClick(c.dots, button, {}, QPoint(2 + 4, 7));
        QVERIFY(onSlide(2));
        const QImage dots = c.dots->grab().toImage();
        for (int i = 0; i < 4; ++i)
            QCOMPARE(dots.pixelColor(6 + 16 * i, 7),
                     i == 2 ? QColor(0, 175, 168) : QColor(208, 208, 208));
        fireSlideTimer();
        QVERIFY(onSlide(3));

        // Each 16-point step picks the next dot; a step left of the first dot still picks it.
        const QList<std::tuple<int, double, int>> picks = {
            {60, 10, 0},   {60, 22, 1},    {60, 0, 0},     {60, 58, 3},
            {640, 280, 0}, {640, 275, -1}, {640, 356, -1}, {640, 355.9, 3}};
        for (const auto &[width, x, dot] : picks) {
            c.dots->resize(width, 14);
            QCOMPARE(c.dots->dotAt(x), dot);
        }

        c.showInstallView(false);
        QVERIFY(!c.slideTimer && !c.installView->isVisible());
        c.showInstallView(true);
        QVERIFY(onSlide(0) && c.slideTimer);
    }

    // The controls drawn and driven here, and the window moved by its background only.
    void controlsDrawClickAndMove()
    {
        MainWindowController &c = open();
        // A wheel turned over the closed language list changes nothing.
        c.settingsClicked();
        const qsizetype mark = LogReader::mark();
        const QPointF inside(10, 10);
        QWheelEvent wheel(inside, c.langPopup->mapToGlobal(inside), {}, {0, -120}, Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(c.langPopup, &wheel);
        QVERIFY(c.langPopup->currentIndex() == 0 && c.L().code == u"en"_s &&
                LogReader::messagesSince(mark).isEmpty());
        c.settingsClicked();

        RoundedButton *b = c.installButton;
        QObject::disconnect(b, nullptr, &c, nullptr); // the control alone, not the road it starts
        QSignalSpy clicked(b, &RoundedButton::clicked);
        QCOMPARE(pixel(b, {120, 4}), QColor(0, 175, 168));
        // A pill: (3, 8) lies outside a 24-point corner, inside a 10-point one.
        QCOMPARE(pixel(b, {3, 8}), QColor(245, 245, 245));
        b->setCornerRadius(10);
        QCOMPARE(pixel(b, {3, 8}), QColor(0, 175, 168));
        // Only a release inside fires, once; outside, or on the right edge, nothing.
        for (const QPoint release : {QPoint(300, 20), QPoint(240, 20), QPoint(239, 47)}) {
            QTest::mousePress(b, Qt::LeftButton, {}, QPoint(100, 20));
            QTest::mouseRelease(b, Qt::LeftButton, {}, release);
        }
        QCOMPARE(clicked.size(), 1);

        const auto drag = [&c](QWidget *from, QPoint at) {
            const QPoint start = c.window->pos();
            QTest::mousePress(from, Qt::LeftButton, {}, at);
            QTest::mouseMove(from, at + QPoint(30, 20));
            QTest::mouseRelease(from, Qt::LeftButton, {}, at + QPoint(30, 20));
            return c.window->pos() - start;
        };
        QCOMPARE(drag(c.root, QPoint(600, 100)), QPoint(30, 20));
        QCOMPARE(drag(c.productLabel, QPoint(10, 10)), QPoint(30, 20));
        // A link takes its presses: a left click follows it; a drag, or a press and release of
        // different buttons, does not.
        QSignalSpy followed(c.privacyLink, &LinkLabel::clicked);
        QCOMPARE(drag(c.privacyLink, QPoint(5, 5)), QPoint());
        for (const auto &[press, release] : {std::pair(Qt::RightButton, Qt::LeftButton),
                                             std::pair(Qt::LeftButton, Qt::RightButton),
                                             std::pair(Qt::LeftButton, Qt::LeftButton)}) {
            QTest::mousePress(c.privacyLink, press, {}, QPoint(5, 5));
            QTest::mouseRelease(c.privacyLink, release, {}, QPoint(5, 5));
        }
        QCOMPARE(followed.size(), 1);

        // Disabled under the pointer: grey, clicks ignored and no handle to move the window by;
        // the pointer is still followed, so enabling it shows the hover colour at once.
        b->setEnabled(false);
        QCOMPARE(drag(b, QPoint(100, 20)), QPoint());
        QTest::mouseMove(b, QPoint(100, 20));
        QTRY_VERIFY(b->hover());
        QCOMPARE(pixel(b, {120, 4}), QColor(207, 207, 207));
        QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(100, 20));
        QAccessible::queryAccessibleInterface(b)->actionInterface()->doAction(
            QAccessibleActionInterface::pressAction());
        QCOMPARE(clicked.size(), 1);
        b->setEnabled(true);
        QCOMPARE(pixel(b, {120, 4}), QColor(0, 149, 143));

        // A panel's border lies on its outermost row of points, corners included.
        c.finishView->setBorderColor(QColor(200, 0, 0));
        c.showFinishView();
        for (const QPoint p : {QPoint(0, 0), QPoint(637, 365), QPoint(300, 0), QPoint(0, 200)})
            QCOMPARE(pixel(c.finishView, p), QColor(200, 0, 0));

        // A hidden link cannot be followed, by assistive tools either.
        QSignalSpy offline(c.offlineLink, &LinkLabel::clicked);
        QAccessible::queryAccessibleInterface(c.offlineLink)
            ->actionInterface()
            ->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(offline.size(), 0);
        // The bar's value survives a spell without one.
        c.progress->setIndeterminate(true);
        c.progress->setDoubleValue(450);
        c.progress->setIndeterminate(false);
        QAccessibleValueInterface *bar =
            QAccessible::queryAccessibleInterface(c.progress)->valueInterface();
        QVERIFY(bar->currentValue() == 450 && bar->maximumValue() == 1000);
    }

    // The exit question waits for an answer, unless it is closed without one.
    void exitQuestionClosesUnanswered()
    {
        QTimer::singleShot(0, [] { Dialogs::dismissQuestion(); });
        QTimer fallback; // should the question stay, it is answered after a while
        fallback.setSingleShot(true);
        connect(&fallback, &QTimer::timeout, [] { QApplication::activeModalWidget()->close(); });
        fallback.start(3000);
        QVERIFY(!Dialogs::confirm(nullptr, u"Quorvel"_s, u"Leave?"_s) && fallback.isActive());
    }

    void artworkMissingOrForTheScreenDensity()
    {
        QTemporaryDir art;
        QVERIFY(art.isValid());
        MainWindowController *c = &open(art.path());
        // Past the end of both lists: an empty picture and an empty caption.
        c->setSlide(4);
        QVERIFY(c->slideImageView->image().isNull() && c->slideTitle->text().isEmpty());

        // A product picture red at 1× and green at 2× tells which one is drawn; being twice as
        // wide as high, it is drawn across the middle of its square.
        for (const auto &[name, side, colour] : {std::tuple(u"product.png"_s, 96, Qt::red),
                                                 std::tuple(u"product@2x.png"_s, 192, Qt::green)}) {
            QImage image(side, side / 2, QImage::Format_RGB32);
            image.fill(colour);
            QVERIFY(image.save(art.filePath(name)));
        }
        c = &open(art.path());
        const qreal ratio = c->window->devicePixelRatioF();
        const QImage shown = imageViews(c->root)[1]->grab().toImage();
        QCOMPARE(shown.pixelColor(shown.width() / 2, shown.height() / 2),
                 QColor(ratio >= 2 ? Qt::green : Qt::red));
        QCOMPARE(pixel(imageViews(c->root)[1], {48, 2}), QColor(245, 245, 245));
    }
};

QTEST_MAIN(TstWindow)
#include "tst_window.moc"
