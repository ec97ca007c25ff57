#include "ui/focus_ring.h"

#include "ui/colors.h"
#include "ui/dots_view.h"
#include "ui/link_label.h"
#include "ui/rounded_button.h"

#include <QApplication>
#include <QPainter>

namespace {
constexpr double kWidth = 2;
constexpr int kMargin = 3; // the ring and a hairline of background between it and the control
} // namespace

FocusRing::FocusRing(QWidget *window) : QWidget(window), m_window(window)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    hide();
    connect(qApp, &QApplication::focusChanged, this, &FocusRing::follow);
    qApp->installEventFilter(this);
}

bool FocusRing::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        // Qt marks the window when Tab moves the focus, but keeps the mark after a click.
        if (watched->isWidgetType() && static_cast<QWidget *>(watched)->window() == m_window &&
            m_window->testAttribute(Qt::WA_KeyboardFocusChange)) {
            m_window->setAttribute(Qt::WA_KeyboardFocusChange, false);
            follow();
        }
        break;
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::Show:
    case QEvent::Hide:
        if (watched == m_control)
            follow();
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void FocusRing::follow()
{
    QWidget *focused = m_window->focusWidget();
    const auto *button = qobject_cast<RoundedButton *>(focused);
    const auto *link = qobject_cast<LinkLabel *>(focused);
    if (!focused || focused == m_window || !focused->hasFocus() || !focused->isVisible() ||
        !m_window->testAttribute(Qt::WA_KeyboardFocusChange)) {
        m_control = nullptr;
        hide();
        return;
    }
    m_control = focused;
    // Around the text of a link, which may be far narrower than its frame.
    const QRect frame = link ? link->textFrame() : focused->rect();
    m_radius = button ? (button->cornerRadius() > 0 ? button->cornerRadius() : frame.height() / 2.0)
               : qobject_cast<DotsView *>(focused) ? frame.height() / 2.0
                                                   : 4;
    m_radius += kMargin;
    setParent(focused->parentWidget());
    setGeometry(QRect(focused->mapToParent(frame.topLeft()), frame.size())
                    .adjusted(-kMargin, -kMargin, kMargin, kMargin));
    show();
    raise();
    update();
}

void FocusRing::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Colors::focusRing, kWidth));
    const double inset = kWidth / 2;
    const QRectF ring = QRectF(rect()).adjusted(inset, inset, -inset, -inset);
    const double radius = std::min(m_radius, ring.height() / 2) - inset;
    painter.drawRoundedRect(ring, radius, radius);
}
