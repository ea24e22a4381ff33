#pragma once
// An error as handlers see it: a number, a source and a description.
#include <QString>
#include <stdexcept>

class QbError : public std::runtime_error {
public:
    QbError(qint32 number, QString source, QString description)
        : std::runtime_error(description.toStdString()), m_number(number), m_source(std::move(source)),
          m_description(std::move(description))
    {
    }

    qint32 number() const { return m_number; }
    const QString &source() const { return m_source; }
    const QString &description() const { return m_description; }

private:
    qint32 m_number;
    QString m_source;
    QString m_description;
};

// The generic "something failed" number, for errors that carry only a text
// (file system, settings store).
constexpr qint32 kQbGeneralError = 5;
