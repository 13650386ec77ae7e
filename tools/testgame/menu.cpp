#include "menu.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <cmath>

MenuView::MenuView(const QString &uiPath, const QString &recordPath, Say say)
    : m_uiPath(uiPath), m_recordPath(recordPath), m_say(std::move(say))
{
}

void MenuView::refresh()
{
    if (m_uiPath.isEmpty())
        return;
    QFile file(m_uiPath);
    if (!file.open(QIODevice::ReadOnly))
        return; // none yet
    const QByteArray bytes = file.readAll();
    if (bytes == m_lastBytes)
        return;
    m_lastBytes = bytes;
    QJsonParseError error;
    const QJsonDocument parsed = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !parsed.isObject()) {
        m_say(QStringLiteral("menu: ui.json does not parse (%1): %2")
                  .arg(error.error != QJsonParseError::NoError ? error.errorString()
                                                               : QStringLiteral("not an object"),
                       QString::fromUtf8(bytes.left(80))));
        return;
    }
    m_doc = parsed.object();
    m_hasDoc = true;

    QJsonObject withoutTime = m_doc;
    withoutTime.remove(QStringLiteral("t"));
    if (withoutTime != m_lastRecorded) {
        m_lastRecorded = withoutTime;
        QFile record(m_recordPath);
        if (!m_recordPath.isEmpty() && record.open(QIODevice::WriteOnly | QIODevice::Append))
            record.write(QJsonDocument(m_doc).toJson(QJsonDocument::Compact) + '\n');
    }

    const QJsonObject message = m_doc.value(QStringLiteral("message")).toObject();
    const qint64 id = message.value(QStringLiteral("id")).toInteger();
    if (id > m_lastId) {
        m_say(QStringLiteral("menu: message %1 %2 %3")
                  .arg(id)
                  .arg(message.value(QStringLiteral("kind")).toString(),
                       message.value(QStringLiteral("text")).toString()));
    } else if (id < m_lastId) {
        m_say(QStringLiteral("menu: message id went back from %1 to %2").arg(m_lastId).arg(id));
    }
    m_lastId = id;
}

QJsonValue valueAtPath(const QJsonObject &doc, const QString &path)
{
    QJsonValue at = doc;
    for (const QString &piece : path.split(QLatin1Char('.'))) {
        if (at.isObject()) {
            at = at.toObject().value(piece);
        } else if (at.isArray()) {
            bool ok = false;
            const int i = piece.toInt(&ok);
            const QJsonArray array = at.toArray();
            if (!ok || i < 0 || i >= array.size())
                return QJsonValue(QJsonValue::Undefined);
            at = array.at(i);
        } else {
            return QJsonValue(QJsonValue::Undefined);
        }
    }
    return at;
}

QString valueText(const QJsonValue &v)
{
    switch (v.type()) {
    case QJsonValue::String:
        return v.toString();
    case QJsonValue::Double: {
        const double d = v.toDouble();
        return d == std::floor(d) && std::abs(d) < 9e15 ? QString::number(qint64(d)) : QString::number(d);
    }
    case QJsonValue::Bool:
        return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Object:
        return QString::fromUtf8(QJsonDocument(v.toObject()).toJson(QJsonDocument::Compact));
    case QJsonValue::Array:
        return QString::fromUtf8(QJsonDocument(v.toArray()).toJson(QJsonDocument::Compact));
    case QJsonValue::Undefined:
        break;
    }
    return QString();
}

bool waitHolds(const QJsonObject &doc, const QString &condition)
{
    const qsizetype eq = condition.indexOf(QLatin1Char('='));
    const QJsonValue v = valueAtPath(doc, eq < 0 ? condition : condition.left(eq));
    if (eq >= 0)
        return !v.isUndefined() && valueText(v) == condition.mid(eq + 1);
    return !v.isUndefined() && !v.isNull() && v != QJsonValue(false) && v != QJsonValue(QString());
}

QString expandAsk(const QString &text, const QJsonObject &doc)
{
    static const QRegularExpression field(QStringLiteral("\\{(@?)([^{}]+)\\}"));
    QString out;
    qsizetype from = 0;
    auto it = field.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        out += text.mid(from, m.capturedStart() - from);
        if (m.captured(1).isEmpty()) {
            out += valueText(valueAtPath(doc, m.captured(2)));
        } else {
            QFile file(m.captured(2));
            if (file.open(QIODevice::ReadOnly)) {
                const QByteArray bytes = file.readAll();
                const qsizetype lf = bytes.indexOf('\n');
                out += QString::fromUtf8(lf < 0 ? bytes : bytes.left(lf)).trimmed();
            }
        }
        from = m.capturedEnd();
    }
    return out + text.mid(from);
}
