#pragma once

#include <QProgressBar>

// A bar from 0 to `maxValue` that can also show an indeterminate, animated state while it
// keeps its value for when it becomes determinate again.
class ProgressBar : public QProgressBar
{
    Q_OBJECT

public:
    ProgressBar(const QRect &frame, int maxValue, QWidget *parent = nullptr);

    bool isIndeterminate() const { return maximum() == 0; }
    void setIndeterminate(bool indeterminate);
    double doubleValue() const { return m_value; }
    void setDoubleValue(double value);
    double maxValue() const { return m_maxValue; }
    // The whole percent filled, as the window writes it ("45%"); empty while indeterminate.
    QString percentText() const;

private:
    void announcePercent(const QString &before);

    int m_maxValue;
    double m_value = 0;
};
