#pragma once

#include <QColor>
#include <QWidget>

#include <optional>

// A plain panel with an optional fill and an optional 1-point border. Its origin is the
// top-left corner, as in every widget.
class FlippedView : public QWidget
{
    Q_OBJECT

public:
    explicit FlippedView(const QRect &frame, QWidget *parent = nullptr);

    std::optional<QColor> backgroundColor() const { return m_backgroundColor; }
    void setBackgroundColor(std::optional<QColor> color);
    std::optional<QColor> borderColor() const { return m_borderColor; }
    void setBorderColor(std::optional<QColor> color);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    std::optional<QColor> m_backgroundColor;
    std::optional<QColor> m_borderColor;
};
