// Exception box and message box of the window.
#include "app/gui/mdb_app.h"

#include <QMessageBox>
#include <exception>

#include "app/gui/gui_mdb.h"
#include "connect/msg_box.h"

TMdb_Application::TMdb_Application(int& argc, char** argv) : QApplication(argc, argv) {}

bool TMdb_Application::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        Show_Exception_Box(e.what());
    } catch (...) {
        Show_Exception_Box("");
    }
    return false;
}

void Show_Exception_Box(const char* message) {
    QMessageBox::critical(Form_Mdb, QString::fromUtf8(FORM_MDB_CAPTION),
                          QString::fromUtf8(message));
}

void Install_Message_Box_Hook() {
    Msg_Box_Set_Hook([](const char* text, const char* caption) {
        // A plain modal box with an OK button, like the connection's own.
        QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(caption), QString::fromUtf8(text),
                        QMessageBox::Ok, Form_Mdb);
        box.exec();
    });
}
