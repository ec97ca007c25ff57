#include "ui/progress_bar.h"

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
    // A range of 0 to 0 is how the bar animates without a value.
    setRange(0, indeterminate ? 0 : m_maxValue);
    if (!indeterminate)
        setValue(qRound(m_value));
}

void ProgressBar::setDoubleValue(double value)
{
    m_value = qBound(0.0, value, double(m_maxValue));
    if (!isIndeterminate())
        setValue(qRound(m_value));
}
