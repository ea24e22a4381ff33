#include "core/ErrorTrap.h"
#include "core/QbError.h"

#include <exception>
#include <new>

ErrorTrap::ErrorTrap(QString location, Reporter reporter)
    : m_location(std::move(location)), m_reporter(std::move(reporter))
{
}

QString ErrorTrap::formLocation(const QString &procedure)
{
    return QStringLiteral("in Quillbarrow2021/08/31.Form1.") + procedure + QLatin1Char(' ');
}

QString ErrorTrap::describeCurrentException()
{
    try {
        throw;
    } catch (const QbError &e) {
        return e.description();
    } catch (const std::bad_alloc &) {
        return QStringLiteral("Out of memory");
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

void ErrorTrap::report()
{
    const QString description = describeCurrentException();
    ++m_reports;
    if (m_reporter)
        m_reporter(m_location, m_line, description);
}
