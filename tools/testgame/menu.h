#pragma once
// The game's online menu as far as the launcher can see it: "ui.json" read whole every tick. New
// message ids are shown (logged) once each, ids that go back and documents that do not parse are
// logged, and every document that changed beyond its "t" is recorded in "testgame-ui.jsonl".
// Values are looked up by dotted paths ("queue.state", "lobbies.list.0.code") for the script's
// `wait` steps and the `{PATH}` fields of its requests.

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <functional>

class MenuView {
public:
    using Say = std::function<void(const QString &line)>;
    // `uiPath` empty: no document is read. `recordPath`: the jsonl file, or empty.
    MenuView(const QString &uiPath, const QString &recordPath, Say say);
    // Reads the document when it changed on disk.
    void refresh();
    QJsonObject document() const { return m_doc; }
    bool hasDocument() const { return m_hasDoc; }

private:
    QString m_uiPath;
    QString m_recordPath;
    Say m_say;
    QByteArray m_lastBytes;
    QJsonObject m_doc;
    QJsonObject m_lastRecorded; // without "t"
    bool m_hasDoc = false;
    qint64 m_lastId = 0;
};

// The value at a dotted path: object keys, and decimal indices into arrays. Undefined when missing.
QJsonValue valueAtPath(const QJsonObject &doc, const QString &path);
// A value as the script compares and writes it: texts as they are, whole numbers without a point,
// true/false, null, and objects and arrays as compact JSON; "" when missing.
QString valueText(const QJsonValue &value);
// Whether `wait PATH[=VALUE]` holds: with a value, the value's text equals it; without, the path
// names something other than null, false or an empty text.
bool waitHolds(const QJsonObject &doc, const QString &condition);
// An ask text with every {PATH} replaced by its value in the document and every {@FILE} by the
// first line of that file (trimmed; "" when it cannot be read).
QString expandAsk(const QString &text, const QJsonObject &doc);
