#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

// A flat pill-shaped push button with a hover colour and a white centred title. It fires
// `clicked` when the left button is released inside it while it is enabled, or on Space while
// it has the focus; there is no pressed look. Its enabled state is the widget's own: changing
// it redraws, and the pointer is followed (`hover`) also while it is disabled.
class RoundedButton : public QWidget
{
    Q_OBJECT

public:
    explicit RoundedButton(const QRect &frame, QWidget *parent = nullptr);

    QString title() const { return m_title; }
    void setTitle(const QString &title);

    bool hover() const { return m_hover; }
    void setHover(bool hover) { m_hover = hover; }
    double cornerRadius() const { return m_cornerRadius; } // 0 or less: half the height
    void setCornerRadius(double radius) { m_cornerRadius = radius; }
    QColor fillColor() const { return m_fillColor; }
    void setFillColor(const QColor &color) { m_fillColor = color; }
    QColor hoverColor() const { return m_hoverColor; }
    void setHoverColor(const QColor &color) { m_hoverColor = color; }
    QColor disabledColor() const { return m_disabledColor; }
    void setDisabledColor(const QColor &color) { m_disabledColor = color; }
    double fontSize() const { return m_fontSize; }
    void setFontSize(double size);

    QSize sizeHint() const override;

    // Fires `clicked` as a press would: only while enabled and shown.
    void click();

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    QFont titleFont() const;

    bool m_hover = false;
    QString m_title;
    double m_cornerRadius = 0;
    QColor m_fillColor{243, 86, 39};
    QColor m_hoverColor{217, 69, 32};
    QColor m_disabledColor{207, 207, 207};
    double m_fontSize = 15;
    bool m_pressed = false;
};
