#pragma once

#include <QByteArray>
#include <QString>

#include <concepts>
#include <initializer_list>
#include <variant>

// One argument of a log format: text for "%@", a number for the numeric conversions.
class LogArg
{
public:
    LogArg(const QString &s) : m_value(s) {}
    LogArg(const char *s) : m_value(QString::fromUtf8(s)) {}
    LogArg(const QByteArray &s) : m_value(QString::fromUtf8(s)) {}
    LogArg(bool b) : m_value(QString::fromLatin1(b ? "YES" : "NO")) {}
    template <std::signed_integral T> LogArg(T n) : m_value(static_cast<qint64>(n)) {}
    template <std::unsigned_integral T> LogArg(T n) : m_value(static_cast<quint64>(n)) {}
    LogArg(double d) : m_value(d) {}

    QString text() const;
    qint64 toSigned() const;
    quint64 toUnsigned() const;
    double toDouble() const;

private:
    std::variant<QString, qint64, quint64, double> m_value;
};

// Renders a printf-style format with "%@" for text: "%@", "%d", "%ld", "%lld", "%lu",
// "%.0f", "%%" and their relatives. Only the format is interpreted, so text from outside the
// program never acts as a format; control characters in text arguments are written escaped
// ("\n", "\r", "\t", "\x1b", "\u0085"), so an argument cannot break a line or forge the
// next one. A missing argument renders as nothing.
QString formatLogMessage(const char *format, std::initializer_list<LogArg> args);
