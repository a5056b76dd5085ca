#pragma once

#include <QString>

// What the product calls itself, fixed at build time.
namespace product {

inline const QString NAME = QStringLiteral("Dialvane");
inline const QString VERSION = QStringLiteral("1.0.0");
inline const QString WEB_ADDRESS = QStringLiteral("https://dialvane.example.com/");

} // namespace product
