#include "ui/accessibility.h"

#include "ui/dots_view.h"
#include "ui/image_view.h"
#include "ui/link_label.h"
#include "ui/progress_bar.h"
#include "ui/rounded_button.h"

#include <QAccessibleWidget>
#include <QLabel>

namespace {

// A control that assistive tools can press, as they press a button or follow a link. Its name
// is what it shows unless the widget was given one.
template <typename Control> class PressableAccessible : public QAccessibleWidget
{
public:
    PressableAccessible(Control *control, QAccessible::Role role) : QAccessibleWidget(control, role)
    {}

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty())
            return shownText(control());
        return QAccessibleWidget::text(t);
    }

    QStringList actionNames() const override
    {
        return QStringList{pressAction()} + QAccessibleWidget::actionNames();
    }

    void doAction(const QString &actionName) override
    {
        // Only what a pointer could press: a hidden control is not there to be pressed.
        if (actionName == pressAction() && control()->isEnabled() && control()->isVisible())
            emit control()->clicked();
        else
            QAccessibleWidget::doAction(actionName);
    }

private:
    Control *control() const { return static_cast<Control *>(widget()); }
    static QString shownText(const RoundedButton *button) { return button->title(); }
    static QString shownText(const LinkLabel *link) { return link->text(); }
};

// The page dots read as "2 / 4".
class DotsAccessible : public QAccessibleWidget
{
public:
    explicit DotsAccessible(DotsView *dots) : QAccessibleWidget(dots, QAccessible::PageTabList) {}

    QString text(QAccessible::Text t) const override
    {
        const auto *dots = static_cast<const DotsView *>(widget());
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty())
            return QStringLiteral("%1 / %2").arg(dots->activeIndex() + 1).arg(dots->count());
        return QAccessibleWidget::text(t);
    }
};

// The bar only shows progress: no value that could be set, for the AT-SPI bridge offers
// Increase and Decrease on anything with one. The percent shown is its description.
class ProgressAccessible : public QAccessibleWidget
{
public:
    explicit ProgressAccessible(ProgressBar *bar) : QAccessibleWidget(bar, QAccessible::ProgressBar)
    {}

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Description && widget()->accessibleDescription().isEmpty())
            return static_cast<const ProgressBar *>(widget())->percentText();
        return QAccessibleWidget::text(t);
    }
};

// A line that reports a failure: a notification, which screen readers read out when it shows,
// as a browser's alert. Without a text there is nothing to show.
class AlertAccessible : public QAccessibleWidget
{
public:
    explicit AlertAccessible(QLabel *label) : QAccessibleWidget(label, QAccessible::Notification) {}

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty())
            return static_cast<const QLabel *>(widget())->text();
        return QAccessibleWidget::text(t);
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.invisible = s.invisible || text(QAccessible::Name).isEmpty();
        return s;
    }
};

// The main view's lines that report a failure, known by name: they are plain labels, and must
// have this interface from the first time a tool asks for one.
bool isAlertLine(const QString &objectName)
{
    return objectName == QLatin1StringView("statusLabel") ||
           objectName == QLatin1StringView("detailLabel");
}

QAccessibleInterface *factory(const QString &className, QObject *object)
{
    if (className == QLatin1StringView("RoundedButton"))
        return new PressableAccessible(static_cast<RoundedButton *>(object), QAccessible::Button);
    if (className == QLatin1StringView("LinkLabel"))
        return new PressableAccessible(static_cast<LinkLabel *>(object), QAccessible::Link);
    if (className == QLatin1StringView("DotsView"))
        return new DotsAccessible(static_cast<DotsView *>(object));
    if (className == QLatin1StringView("ImageView"))
        return new QAccessibleWidget(static_cast<ImageView *>(object), QAccessible::Graphic);
    if (className == QLatin1StringView("ProgressBar"))
        return new ProgressAccessible(static_cast<ProgressBar *>(object));
    if (className == QLatin1StringView("QLabel") && isAlertLine(object->objectName()))
        return new AlertAccessible(static_cast<QLabel *>(object));
    return nullptr;
}

} // namespace

void setAlertText(QLabel *label, const QString &text)
{
    if (text == label->text())
        return;
    label->setText(text);
    // A changed failure shows anew, so that it is read out as the first was.
    QAccessibleEvent event(label,
                           text.isEmpty() ? QAccessible::ObjectHide : QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&event);
}

void installAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(factory);
        return true;
    }();
    Q_UNUSED(installed);
}
