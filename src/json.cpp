#include "json.h"

#include <QVariantHash>
#include <QVariantList>
#include <QVariantMap>

#include <cmath>

namespace {

template <typename Pairs>
QByteArray serializePairs(const Pairs &pairs)
{
    QList<QByteArray> items;
    for (auto it = pairs.constBegin(); it != pairs.constEnd(); ++it) {
        const QByteArray value = jsonSerialize(it.value());
        if (value.isNull())
            return QByteArray();
        items.append(jsonEscapeString(it.key()).toUtf8() + " : " + value);
    }
    return "{ " + jsonJoin(items, ", ") + " }";
}

QByteArray serializeDouble(double value)
{
    // Neither JSON nor a script literal can hold these.
    if (!std::isfinite(value))
        return QByteArrayLiteral("null");
    QByteArray text = QByteArray::number(value, 'g', 20);
    if (!text.contains('.') && !text.contains('e'))
        text += ".0";
    return text;
}

class Reader
{
public:
    explicit Reader(const QString &text) : m_text(text) {}

    QVariant read(bool &success)
    {
        success = true;
        return readValue(0, success);
    }

private:
    // Deeper nesting than any real document is hostile and would exhaust the stack.
    static const int kMaxDepth = 512;

    void skipSpace()
    {
        while (m_pos < m_text.size()) {
            const QChar c = m_text.at(m_pos);
            if (c != QLatin1Char(' ') && c != QLatin1Char('\t') && c != QLatin1Char('\n') && c != QLatin1Char('\r'))
                break;
            ++m_pos;
        }
    }

    QChar peek()
    {
        skipSpace();
        return m_pos < m_text.size() ? m_text.at(m_pos) : QChar();
    }

    QVariant readValue(int depth, bool &success)
    {
        const QChar c = peek();
        if (c == QLatin1Char('{'))
            return readObject(depth + 1, success);
        if (c == QLatin1Char('['))
            return readArray(depth + 1, success);
        if (c == QLatin1Char('"')) {
            const QString text = readString(success);
            return success ? QVariant(text) : QVariant();
        }
        if (c.isDigit() || c == QLatin1Char('-') || c == QLatin1Char('+') || c == QLatin1Char('.')) {
            const QVariant number = readNumber(success);
            return success ? number : QVariant();
        }
        for (const char *word : { "true", "false", "null" }) {
            const QLatin1String w(word);
            if (m_text.midRef(m_pos, w.size()) == w) {
                m_pos += w.size();
                if (w == QLatin1String("null"))
                    return QVariant();
                return QVariant(w == QLatin1String("true"));
            }
        }
        success = false;
        return QVariant();
    }

    QVariant readObject(int depth, bool &success)
    {
        QVariantMap map;
        ++m_pos;
        if (depth > kMaxDepth) {
            success = false;
            return map;
        }
        for (;;) {
            const QChar c = peek();
            if (c == QLatin1Char('}')) {
                ++m_pos;
                return map;
            }
            if (c == QLatin1Char(',')) {
                ++m_pos;
                continue;
            }
            if (c != QLatin1Char('"')) {
                success = false;
                return QVariantMap();
            }
            const QString key = readString(success);
            if (!success || peek() != QLatin1Char(':')) {
                success = false;
                return QVariantMap();
            }
            ++m_pos;
            const QVariant value = readValue(depth, success);
            if (!success)
                return QVariantMap();
            map.insert(key, value);
        }
    }

    QVariant readArray(int depth, bool &success)
    {
        QVariantList list;
        ++m_pos;
        if (depth > kMaxDepth) {
            success = false;
            return list;
        }
        for (;;) {
            const QChar c = peek();
            if (c == QLatin1Char(']')) {
                ++m_pos;
                return list;
            }
            if (c == QLatin1Char(',')) {
                ++m_pos;
                continue;
            }
            if (c.isNull()) {
                success = false;
                return QVariantList();
            }
            const QVariant value = readValue(depth, success);
            if (!success)
                return QVariantList();
            list.append(value);
        }
    }

    QString readString(bool &success)
    {
        QString out;
        ++m_pos;   // the opening quote
        while (m_pos < m_text.size()) {
            const QChar c = m_text.at(m_pos++);
            if (c == QLatin1Char('"'))
                return out;
            if (c != QLatin1Char('\\')) {
                out += c;
                continue;
            }
            if (m_pos >= m_text.size())
                break;
            const QChar e = m_text.at(m_pos++);
            switch (e.unicode()) {
            case '"': out += QLatin1Char('"'); break;
            case '\\': out += QLatin1Char('\\'); break;
            case '/': out += QLatin1Char('/'); break;
            case 'b': out += QLatin1Char('\b'); break;
            case 'f': out += QLatin1Char('\f'); break;
            case 'n': out += QLatin1Char('\n'); break;
            case 'r': out += QLatin1Char('\r'); break;
            case 't': out += QLatin1Char('\t'); break;
            case 'u': {
                ushort code = 0;
                for (int i = 0; i < 4; ++i) {
                    const int digit = m_pos < m_text.size() && m_text.at(m_pos).unicode() < 128
                        ? QByteArray("0123456789abcdef").indexOf(char(m_text.at(m_pos).toLower().unicode()))
                        : -1;
                    if (digit < 0) {
                        success = false;
                        return QString();
                    }
                    code = ushort(code * 16 + digit);
                    ++m_pos;
                }
                out += QChar(code);
                break;
            }
            default:
                success = false;
                return QString();
            }
        }
        success = false;
        return QString();
    }

    QVariant readNumber(bool &success)
    {
        const int start = m_pos;
        while (m_pos < m_text.size()) {
            const QChar c = m_text.at(m_pos);
            if (!c.isDigit() && c != QLatin1Char('+') && c != QLatin1Char('-') && c != QLatin1Char('.')
                && c != QLatin1Char('e') && c != QLatin1Char('E'))
                break;
            ++m_pos;
        }
        const QStringRef number = m_text.midRef(start, m_pos - start);
        bool ok = false;
        QVariant value;
        // An exponent makes a double as a point does: "1e3" is no integer text.
        if (number.contains(QLatin1Char('.')) || number.contains(QLatin1Char('e'), Qt::CaseInsensitive))
            value = number.toDouble(&ok);
        else if (number.startsWith(QLatin1Char('-')))
            value = number.toLongLong(&ok);
        else
            value = number.toULongLong(&ok);
        if (!ok)
            success = false;
        return value;
    }

    const QString &m_text;
    int m_pos = 0;
};

} // namespace

QByteArray jsonSerialize(const QVariant &value)
{
    if (!value.isValid())
        return QByteArrayLiteral("null");

    const int type = value.userType();
    if (type == QMetaType::QVariantList || type == QMetaType::QStringList) {
        QList<QByteArray> items;
        for (const QVariant &item : value.toList()) {
            const QByteArray text = jsonSerialize(item);
            if (text.isNull())
                return QByteArray();
            items.append(text);
        }
        return "[ " + jsonJoin(items, ", ") + " ]";
    }
    if (type == QMetaType::QVariantHash)
        return serializePairs(value.toHash());
    if (type == QMetaType::QVariantMap)
        return serializePairs(value.toMap());
    if (type == QMetaType::QString || type == QMetaType::QByteArray)
        return jsonEscapeString(value.toString()).toUtf8();
    // A float is a double too: read as an integer it would lose its fraction.
    if (type == QMetaType::Double || type == QMetaType::Float)
        return serializeDouble(value.toDouble());
    if (type == QMetaType::Bool)
        return value.toBool() ? QByteArrayLiteral("true") : QByteArrayLiteral("false");
    if (type == QMetaType::ULongLong)
        return QByteArray::number(value.toULongLong());
    if (value.canConvert(QMetaType::LongLong))
        return QByteArray::number(value.toLongLong());
    if (value.canConvert(QMetaType::Long))
        return QByteArray::number(qlonglong(value.value<long>()));
    if (value.canConvert(QMetaType::QString))
        return jsonEscapeString(value.toString()).toUtf8();
    return QByteArray();
}

QString jsonEscapeString(const QString &text)
{
    QString out;
    out.reserve(text.size() + 2);
    out += QLatin1Char('"');
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '\\': out += QLatin1String("\\\\"); break;
        case '"': out += QLatin1String("\\\""); break;
        case '\b': out += QLatin1String("\\b"); break;
        case '\f': out += QLatin1String("\\f"); break;
        case '\n': out += QLatin1String("\\n"); break;
        case '\r': out += QLatin1String("\\r"); break;
        case '\t': out += QLatin1String("\\t"); break;
        default:
            // Other control characters are not allowed raw in JSON, and the
            // two separators end a line in older script engines.
            if (c.unicode() < 0x20 || c.unicode() == 0x2028 || c.unicode() == 0x2029)
                out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    out += QLatin1Char('"');
    return out;
}

QByteArray jsonJoin(const QList<QByteArray> &items, const QByteArray &separator)
{
    QByteArray out;
    for (int i = 0; i < items.size(); ++i) {
        if (i)
            out += separator;
        out += items.at(i);
    }
    return out;
}

QVariant jsonParse(const QString &json, bool &success)
{
    if (json.isNull()) {
        success = true;
        return QVariant();
    }
    return Reader(json).read(success);
}
