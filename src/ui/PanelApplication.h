#pragma once

class QApplication;

namespace tavex::ui {

// Readies the application for the panel's window before any widget exists: the dark look, the
// label tables of the current locale with Qt's own for their language, and the application icon.
void setUpWindowApplication(QApplication &app);

} // namespace tavex::ui
