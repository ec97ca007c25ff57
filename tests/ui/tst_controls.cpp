#include "ui/accessibility.h"
#include "ui/dots_view.h"
#include "ui/flipped_view.h"
#include "ui/link_label.h"
#include "ui/rounded_button.h"

#include <QAccessible>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

QColor pixel(QWidget *w, int x, int y)
{
    return w->grab().toImage().pixelColor(x, y);
}

// What shows where a control draws nothing: its window's background.
QColor backdrop(QWidget *w)
{
    return w->window()->palette().color(QPalette::Window);
}

} // namespace

// The custom controls on their own, each in a shown window of its own.
class TstControls : public QObject
{
    Q_OBJECT

    std::unique_ptr<QWidget> m_window;

    template <typename W, typename... Args> W *make(Args &&...args)
    {
        m_window = std::make_unique<QWidget>();
        m_window->resize(700, 100);
        auto *w = new W(std::forward<Args>(args)..., m_window.get());
        m_window->show();
        if (!QTest::qWaitForWindowExposed(m_window.get()))
            qFatal("window not exposed");
        return w;
    }

private slots:
    void initTestCase() { installAccessibility(); }
    void roundedButtonDrawsItsState();
    void roundedButtonFiresOnReleaseInside_data();
    void roundedButtonFiresOnReleaseInside();
    void roundedButtonHoverAndCursor();
    void dotsPickByTruncatedX_data();
    void dotsPickByTruncatedX();
    void dotsDrawActiveAndInactive();
    void flippedViewBorderLiesInside();
    void linkClicksAndRoles();
};

void TstControls::roundedButtonDrawsItsState()
{
    auto *b = make<RoundedButton>(QRect(10, 10, 240, 48));
    b->setTitle(u"Install"_s);
    QCOMPARE(pixel(b, 120, 4), QColor(243, 86, 39));
    // Pill: (3, 8) lies outside a 24-point corner but inside a 10-point one.
    QCOMPARE(pixel(b, 3, 8), backdrop(b));
    b->setCornerRadius(10);
    QCOMPARE(pixel(b, 3, 8), QColor(243, 86, 39));

    b->setHover(true);
    b->update();
    QCOMPARE(pixel(b, 120, 4), QColor(217, 69, 32));
    b->setEnabled(false);
    const QImage disabled = b->grab().toImage();
    QCOMPARE(disabled.pixelColor(120, 4), QColor(207, 207, 207));
    bool whiteTitle = false;
    for (int x = 80; x < 160 && !whiteTitle; ++x)
        for (int y = 14; y < 34 && !whiteTitle; ++y)
            whiteTitle = disabled.pixelColor(x, y) == QColor(Qt::white);
    QVERIFY(whiteTitle);
}

void TstControls::roundedButtonFiresOnReleaseInside_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QPoint>("release");
    QTest::addColumn<int>("fired");
    QTest::newRow("inside") << true << QPoint(239, 47) << 1;
    QTest::newRow("right edge") << true << QPoint(240, 20) << 0;
    QTest::newRow("outside") << true << QPoint(300, 20) << 0;
    QTest::newRow("disabled") << false << QPoint(100, 20) << 0;
}

void TstControls::roundedButtonFiresOnReleaseInside()
{
    QFETCH(bool, enabled);
    QFETCH(QPoint, release);
    QFETCH(int, fired);
    auto *b = make<RoundedButton>(QRect(10, 10, 240, 48));
    b->setEnabled(enabled);
    QSignalSpy clicked(b, &RoundedButton::clicked);
    QTest::mousePress(b, Qt::LeftButton, {}, QPoint(100, 20));
    QCOMPARE(clicked.size(), 0);
    QTest::mouseRelease(b, Qt::LeftButton, {}, release);
    QCOMPARE(clicked.size(), fired);

    // Assistive tools press it too, under the same rule.
    QAccessibleInterface *a = QAccessible::queryAccessibleInterface(b);
    QCOMPARE(a->role(), QAccessible::Button);
    a->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    QCOMPARE(clicked.size(), fired + (enabled ? 1 : 0));
}

void TstControls::roundedButtonHoverAndCursor()
{
    auto *b = make<RoundedButton>(QRect(10, 10, 240, 48));
    b->setEnabled(false);
    QTest::mouseMove(b, QPoint(100, 20));
    QTRY_VERIFY(b->hover());
    QCOMPARE(b->cursor().shape(), Qt::ArrowCursor);
    // Enabled under the pointer: the hover colour at once.
    b->setEnabled(true);
    QCOMPARE(pixel(b, 120, 4), b->hoverColor());
    QTest::mouseMove(m_window.get(), QPoint(500, 80));
    QTRY_VERIFY(!b->hover());
    QTest::mouseMove(b, QPoint(100, 20));
    QTRY_COMPARE(b->cursor().shape(), Qt::PointingHandCursor);
}

void TstControls::dotsPickByTruncatedX_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("dot");
    const struct
    {
        int width, x, dot;
    } rows[] = {{60, 10, 0},   {60, 22, 1},    {60, 0, 0},     {60, 58, 3},
                {640, 280, 0}, {640, 275, -1}, {640, 356, -1}, {640, 355, 3}};
    for (const auto &r : rows)
        QTest::addRow("%d wide, x %d", r.width, r.x) << r.width << r.x << r.dot;
}

void TstControls::dotsPickByTruncatedX()
{
    QFETCH(int, width);
    QFETCH(int, x);
    QFETCH(int, dot);
    auto *d = make<DotsView>(QRect(0, 0, width, 14));
    d->setCount(4);
    QList<int> picked;
    d->onSelect = [&picked](int i) { picked << i; };
    QTest::mouseClick(d, Qt::LeftButton, {}, QPoint(x, 13));
    QCOMPARE(picked, dot < 0 ? QList<int>() : QList<int>{dot});
    QCOMPARE(d->activeIndex(), 0); // the handler moves it, not the view
}

void TstControls::dotsDrawActiveAndInactive()
{
    auto *d = make<DotsView>(QRect(0, 0, 60, 14));
    d->setCount(4);
    d->setActiveIndex(2);
    const QImage image = d->grab().toImage();
    // Dot i's centre is at x = 2 + 16 i + 4, y = 3 + 4.
    for (int i = 0; i < 4; ++i)
        QCOMPARE(image.pixelColor(6 + 16 * i, 7),
                 i == 2 ? QColor(0, 175, 168) : QColor(208, 208, 208));
    QCOMPARE(image.pixelColor(14, 7), backdrop(d)); // the gap
}

void TstControls::flippedViewBorderLiesInside()
{
    auto *v = make<FlippedView>(QRect(0, 0, 20, 10));
    QCOMPARE(pixel(v, 0, 0), backdrop(v));
    v->setBorderColor(QColor(200, 0, 0));
    const QImage image = v->grab().toImage();
    for (const QPoint p : {QPoint(0, 0), QPoint(19, 9), QPoint(10, 0), QPoint(0, 5)})
        QCOMPARE(image.pixelColor(p), QColor(200, 0, 0));
    QCOMPARE(image.pixelColor(1, 1), backdrop(v));
}

void TstControls::linkClicksAndRoles()
{
    auto *link = make<LinkLabel>();
    link->setText(u"Privacy Policy"_s);
    link->setGeometry(0, 0, 100, 18);
    QSignalSpy clicked(link, &LinkLabel::clicked);
    QTest::mouseClick(link, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseClick(link, Qt::RightButton, {}, QPoint(5, 5));
    QCOMPARE(clicked.size(), 1);
    QCOMPARE(link->cursor().shape(), Qt::PointingHandCursor);
    QAccessibleInterface *a = QAccessible::queryAccessibleInterface(link);
    QCOMPARE(a->role(), QAccessible::Link);
    QCOMPARE(a->text(QAccessible::Name), u"Privacy Policy"_s);
}

QTEST_MAIN(TstControls)
#include "tst_controls.moc"
