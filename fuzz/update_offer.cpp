// The update offer: the input is the "update" value of a welcome or update message, as JSON. The
// launcher judges it (version, build, size, hash, address), and the update dialog builds every
// text, link and page it would show from it, in both its own states and for a required update.

#include "ui/updatedialogmodel.h"
#include "update/updater.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const QJsonDocument doc = QJsonDocument::fromJson(bytes);
    const QJsonValue value = doc.isObject() ? QJsonValue(doc.object()) : QJsonValue(doc.array());
    const QJsonObject accepted = Updater::acceptOffer(value);
    const QJsonObject offer = doc.object();
    Updater::Offer::fromJson(offer);
    Updater::isOtherBuild(offer);
    Updater::offerUrlAllowed(offer.value(QStringLiteral("url")).toString());
    Updater::compareVersions(offer.value(QStringLiteral("version")).toString(), QStringLiteral("0.1.8"));
    for (const bool required : {false, true}) {
        UpdateDialogModel model(accepted.isEmpty() ? offer : accepted, required,
                                required ? QString() : QStringLiteral("no write access"), !required,
                                QStringLiteral("dev"));
        model.windowTitle();
        model.heading();
        model.versionText();
        model.explanation();
        model.notes();
        model.linkHtml();
        model.page();
        model.primaryClicked();
        model.showProgress(offer.value(QStringLiteral("notes")).toString(), 50);
        model.secondClicked();
        model.closed();
    }
    return 0;
}
