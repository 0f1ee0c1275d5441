// Program entry of the window: the application, its one form, the message
// loop. `mdbrepair-gui FILE` starts with FILE chosen as the source (Qt's own
// options aside).
#include <QGuiApplication>
#include <QScreen>
#include <QStyle>
#include <exception>

#include "app/gui/gui_mdb.h"
#include "app/gui/mdb_app.h"
#include "app/run/repair_run.h"

int main(int argc, char** argv) {
    TMdb_Application app(argc, argv);
    try {
        Install_Message_Box_Hook();
        // A signal during a run removes the half-made file, as on the command line.
        Repair_Catch_Signals(1, -1);
        Install_Qt_Translations(app);
        Form_Mdb = new TForm_Mdb();
        Form_Mdb->Choose_From_Arguments(QCoreApplication::arguments());
        // Shown at the centre of the screen.
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            Form_Mdb->setGeometry(QStyle::alignedRect(
                Qt::LeftToRight, Qt::AlignCenter, Form_Mdb->size(), screen->availableGeometry()));
        }
        Form_Mdb->show();
        app.exec();
    } catch (const std::exception& e) {
        Show_Exception_Box(e.what());
    } catch (...) {
        Show_Exception_Box("");
    }
    delete Form_Mdb;
    Form_Mdb = nullptr;
    return 0;
}
