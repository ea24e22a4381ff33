#include "core/SettingsStore.h"
#include "core/Platform.h"
#include "core/QbError.h"

#include <QDir>
#include <QFileInfo>
#include <memory>
#include <QSettings>

namespace {

QSettings *openStore(const QString &application) { return OpenSettingsStore(application); }

} // namespace

QString ReadSetting(const QString &application, const QString &section, const QString &key,
                    const QString &defaultValue)
{
    std::unique_ptr<QSettings> store(openStore(application));
    if (store->status() != QSettings::NoError)
        return defaultValue;
    store->beginGroup(section);
    const QVariant value = store->value(key);
    if (!value.isValid())
        return defaultValue;
    return value.toString();
}

void WriteSetting(const QString &application, const QString &section, const QString &key,
                  const QString &value)
{
    std::unique_ptr<QSettings> store(openStore(application));
    // A store that cannot be parsed would be overwritten by our write; refuse
    // instead, so the user's other settings are not lost behind their back.
    if (store->status() == QSettings::FormatError)
        throw QbError(
            kQbGeneralError, QStringLiteral("WriteSetting"),
            QStringLiteral("The settings file %1 is damaged and was not changed.").arg(store->fileName()));
    store->beginGroup(section);
    store->setValue(key, value);
    store->endGroup();
    store->sync();
    if (store->status() != QSettings::NoError) {
        const QFileInfo file(store->fileName());
        throw QbError(kQbGeneralError, QStringLiteral("WriteSetting"),
                      QStringLiteral("Could not save the setting \"%1\" to %2.")
                          .arg(key, QDir::toNativeSeparators(file.absoluteFilePath())));
    }
}
