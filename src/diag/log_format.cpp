#include "diag/log_format.h"

#include <algorithm>
#include <cstring>
#include <vector>

QString LogArg::text() const
{
    struct Visitor
    {
        QString operator()(const QString &s) const { return s; }
        QString operator()(qint64 n) const { return QString::number(n); }
        QString operator()(quint64 n) const { return QString::number(n); }
        QString operator()(double d) const { return QString::number(d); }
    };
    return std::visit(Visitor{}, m_value);
}

qint64 LogArg::toSigned() const
{
    struct Visitor
    {
        qint64 operator()(const QString &s) const { return s.toLongLong(); }
        qint64 operator()(qint64 n) const { return n; }
        qint64 operator()(quint64 n) const { return static_cast<qint64>(n); }
        qint64 operator()(double d) const { return static_cast<qint64>(d); }
    };
    return std::visit(Visitor{}, m_value);
}

quint64 LogArg::toUnsigned() const
{
    return static_cast<quint64>(toSigned());
}

double LogArg::toDouble() const
{
    struct Visitor
    {
        double operator()(const QString &s) const { return s.toDouble(); }
        double operator()(qint64 n) const { return static_cast<double>(n); }
        double operator()(quint64 n) const { return static_cast<double>(n); }
        double operator()(double d) const { return d; }
    };
    return std::visit(Visitor{}, m_value);
}

namespace {

struct Conversion
{
    bool leftAlign = false;
    bool plus = false;
    bool zeroPad = false;
    int width = 0;
    int precision = -1;
    char conversion = 0;
};

QString pad(QString s, const Conversion &conv)
{
    if (s.size() >= conv.width)
        return s;
    const qsizetype fill = conv.width - s.size();
    if (conv.leftAlign)
        return s + QString(fill, QLatin1Char(' '));
    if (conv.zeroPad && conv.conversion != '@' && conv.conversion != 's') {
        const qsizetype signLen = (s.startsWith(u'-') || s.startsWith(u'+')) ? 1 : 0;
        return s.insert(signLen, QString(fill, QLatin1Char('0')));
    }
    return QString(fill, QLatin1Char(' ')) + s;
}

bool isControl(char16_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029 ||
           (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

// Text from outside the program (a typed folder, a tool's output) may not break a log line,
// forge the next one or steer the terminal that shows the log. C1 controls count too: some
// readers take U+0085 for a line break, and U+009B starts a terminal sequence. So do the
// line and paragraph separators, and the direction overrides that make a line read as
// another one.
QString escapeControls(QString s)
{
    if (std::none_of(s.cbegin(), s.cend(), [](QChar c) { return isControl(c.unicode()); }))
        return s;
    QString out;
    out.reserve(s.size() + 8);
    for (const QChar c : std::as_const(s)) {
        const char16_t u = c.unicode();
        if (!isControl(u))
            out += c;
        else if (u == u'\n')
            out += QLatin1String("\\n");
        else if (u == u'\r')
            out += QLatin1String("\\r");
        else if (u == u'\t')
            out += QLatin1String("\\t");
        else if (u < 0x80)
            out += QStringLiteral("\\x%1").arg(static_cast<uint>(u), 2, 16, QLatin1Char('0'));
        else
            out += QStringLiteral("\\u%1").arg(static_cast<uint>(u), 4, 16, QLatin1Char('0'));
    }
    return out;
}

QString render(const Conversion &conv, const LogArg *arg)
{
    if (!arg)
        return {};
    switch (conv.conversion) {
    case 'd':
    case 'i': {
        const qint64 n = arg->toSigned();
        return (conv.plus && n >= 0 ? QStringLiteral("+") : QString()) + QString::number(n);
    }
    case 'u':
        return QString::number(arg->toUnsigned());
    case 'x':
        return QString::number(arg->toUnsigned(), 16);
    case 'X':
        return QString::number(arg->toUnsigned(), 16).toUpper();
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G': {
        const double d = arg->toDouble();
        const int precision = conv.precision < 0 ? 6 : conv.precision;
        return (conv.plus && d >= 0 ? QStringLiteral("+") : QString()) +
               QString::number(d, conv.conversion, precision);
    }
    default: { // '@' and 's'
        QString s = arg->text();
        if (conv.precision >= 0)
            s.truncate(conv.precision);
        return escapeControls(std::move(s));
    }
    }
}

} // namespace

QString formatLogMessage(const char *format, std::initializer_list<LogArg> args)
{
    const std::vector<LogArg> list(args);
    size_t next = 0;
    QString out;
    const char *p = format ? format : "";
    const char *literal = p;
    auto flushLiteral = [&](const char *end) { out += QString::fromUtf8(literal, end - literal); };

    while (*p) {
        if (*p != '%') {
            ++p;
            continue;
        }
        flushLiteral(p);
        const char *start = p++;
        if (*p == '%') {
            out += u'%';
            literal = ++p;
            continue;
        }
        Conversion conv;
        for (; *p && std::strchr("-+ 0#", *p); ++p) {
            conv.leftAlign |= *p == '-';
            conv.plus |= *p == '+';
            conv.zeroPad |= *p == '0';
        }
        for (; *p >= '0' && *p <= '9'; ++p)
            conv.width = conv.width * 10 + (*p - '0');
        if (*p == '.') {
            conv.precision = 0;
            for (++p; *p >= '0' && *p <= '9'; ++p)
                conv.precision = conv.precision * 10 + (*p - '0');
        }
        while (*p && std::strchr("hlqzjtL", *p))
            ++p;
        if (*p && std::strchr("@sdiuxXfFeEgG", *p)) {
            conv.conversion = *p++;
            out += pad(render(conv, next < list.size() ? &list[next] : nullptr), conv);
            ++next;
        } else {
            // Not a conversion we know: keep the text as written.
            out += QString::fromUtf8(start, p - start);
        }
        literal = p;
    }
    flushLiteral(p);
    return out;
}
