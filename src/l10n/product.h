#pragma once

#include <QString>

// The product's names, the same in every language.
namespace Product {

// Window title, brand and product labels, alert titles, the exit question's argument.
inline const QString displayName = QStringLiteral("Quorvel");

// The application bundle handed to the installer.
inline const QString bundleName = QStringLiteral("Quorvel.app");

} // namespace Product
