// The application object of the window: an exception that escapes an event
// handler is shown in the exception box and the program goes on.
#pragma once

#include <QApplication>

class TMdb_Application : public QApplication {
  public:
    TMdb_Application(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// Loads Qt's own Chinese texts (the dialogs' buttons, the open dialog) for
// the application; true when they were found (Debian: qt6-translations-l10n).
bool Install_Qt_Translations(QApplication& app);

// The exception box: a critical message box with the exception's message
// (an empty one for anything that is not a std::exception).
void Show_Exception_Box(const char* message);

// Routes the database connection's message box to a modal QMessageBox while
// the window runs (without a window the connection writes to standard error).
void Install_Message_Box_Hook();
