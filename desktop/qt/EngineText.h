#pragma once
#include <QString>
#include <string>

namespace kronelqt {

// The engine's texts (status lines, messages, stored names and values) are Latin-1, as the
// Windows program's are: a GPS position's degree sign is the byte 0xB0.
inline QString fromEngine(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// What is typed goes to the engine as Latin-1 too; a character outside it becomes '?'.
inline std::string toEngine(const QString& text) {
    return text.toLatin1().toStdString();
}

}  // namespace kronelqt
