#include "ui/progress_bar.h"

#include <QAccessible>

using namespace Qt::StringLiterals;

ProgressBar::ProgressBar(const QRect &frame, int maxValue, QWidget *parent)
    : QProgressBar(parent), m_maxValue(maxValue)
{
    setGeometry(frame);
    setTextVisible(false);
    setRange(0, maxValue);
    setValue(0);
}

void ProgressBar::setIndeterminate(bool indeterminate)
{
    if (indeterminate == isIndeterminate())
        return;
    const QString before = percentText();
    // A range of 0 to 0 is how the bar animates without a value.
    setRange(0, indeterminate ? 0 : m_maxValue);
    if (!indeterminate)
        setValue(qRound(m_value));
    announcePercent(before);
}

void ProgressBar::setDoubleValue(double value)
{
    const QString before = percentText();
    m_value = qBound(0.0, value, double(m_maxValue));
    if (!isIndeterminate())
        setValue(qRound(m_value));
    announcePercent(before);
}

QString ProgressBar::percentText() const
{
    // Truncated, as the status line beside the bar counts.
    return isIndeterminate() ? QString()
                             : u"%1%"_s.arg(static_cast<qint64>(m_value * 100 / m_maxValue));
}

void ProgressBar::announcePercent(const QString &before)
{
    // Assistive tools read the percent as the bar's description.
    if (percentText() != before) {
        QAccessibleEvent event(this, QAccessible::DescriptionChanged);
        QAccessible::updateAccessibility(&event);
    }
}
