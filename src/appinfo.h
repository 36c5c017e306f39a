#pragma once

#include <QCoreApplication>
#include <QString>

// The program's identity. The organisation name and the application name fix
// where the settings store and the data folders live, so they never change.
namespace AppInfo {
inline QString name() { return QStringLiteral("Quillary"); }
inline QString version() { return QStringLiteral("3.10"); }
inline QString organisation() { return QStringLiteral("Quillary"); }
inline QString organisationDomain() { return organisation().toLower(); }

inline void apply()
{
    QCoreApplication::setApplicationName(name());
    QCoreApplication::setApplicationVersion(version());
    QCoreApplication::setOrganizationName(organisation());
    QCoreApplication::setOrganizationDomain(organisationDomain());
}
} // namespace AppInfo
