#pragma once

#include <QString>

#include <ostream>

class QApplication;

namespace tavro::test {

// The process's QApplication, created on first use: offscreen platform unless
// QT_QPA_PLATFORM says otherwise, and a fixed font (DejaVu Sans, 12 px) so that
// text measurements and size hints do not depend on the machine. Tests without
// widgets link tavro_test_core_application instead, which gives them a
// QCoreApplication for the whole run.
QApplication& testApplication();

}  // namespace tavro::test

// Lets GoogleTest print QStrings as text rather than as bytes.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
