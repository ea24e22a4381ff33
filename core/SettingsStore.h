#pragma once
// Per-user store of named text values: application → organisation,
// section → group, key → key. The registry on Windows, a settings file in
// the user's configuration folder elsewhere.
#include <QString>

// The stored value, or `defaultValue` when the application, section or key
// is absent, or when the store cannot be read. Reading never creates anything.
QString ReadSetting(const QString &application, const QString &section, const QString &key,
                    const QString &defaultValue = QString());

// Stores the value and makes sure it is on disk before returning. Throws
// QbError with the store's reason when it cannot be written.
void WriteSetting(const QString &application, const QString &section, const QString &key,
                  const QString &value);

// The program's addressing.
inline const QString kSettingsApplication = QStringLiteral("Kestrawin");
inline const QString kSettingsSection = QStringLiteral("Quillbarrow");
