// What every desktop program sets up the same way: its name and version, its window icon (drawn,
// so that no image file has to travel with the program), and the about box.
#pragma once

#include <QColor>
#include <QIcon>
#include <QString>

class QApplication;
class QWidget;

namespace tarnhold {

inline constexpr const char* kProductVersion = "1.0";

// Sets the application's name, version and window icon; `accent` tells the programs apart.
void SetUpProgram(QApplication& app, const QString& program, const QColor& accent);

// The program icon: a shield in the accent colour, in the sizes a tray and a title bar use.
[[nodiscard]] QIcon ProgramIcon(const QColor& accent);

// The about box: the program name with its version, and an OK button.
void ShowAboutBox(QWidget* parent, const QString& program);

}  // namespace tarnhold
