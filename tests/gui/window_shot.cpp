// Draws the main window after a repair of a small sample database into a PNG
// (docs/window.png): window_shot OUTPUT.png [FOLDER], the sample written into
// FOLDER (default: a scratch folder). Run it under Xvfb to see the
// window as the X11 platform draws it, or with QT_QPA_PLATFORM=offscreen.
#include <QApplication>
#include <QPixmap>
#include <cstdio>
#include <string>

#include "app/gui/gui_mdb.h"
#include "app/gui/mdb_app.h"
#include "repair_support.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: window_shot OUTPUT.png\n");
        return 2;
    }
    std::string output = argv[1];
    TMdb_Application app(argc, argv);
    Install_Message_Box_Hook();
    repair_test::Scratch s;
    std::string source = argc > 2 ? std::string(argv[2]) + "/shop.mdb" : s.path("shop.mdb");
    std::remove(source.c_str());
    repair_test::Make_Awkward_Db(source, "");
    Form_Mdb = new TForm_Mdb();
    Form_Mdb->show();
    Form_Mdb->Edit_File->setText(QString::fromStdString(source));
    Form_Mdb->Edit_Target->setText(QString::fromStdString(source + ".new"));
    Form_Mdb->CheckBox_Is_Zolvak_Db->setChecked(false);
    Form_Mdb->BitBtn_Import->click();
    app.processEvents();
    bool ok = Form_Mdb->grab().save(QString::fromStdString(output), "PNG");
    delete Form_Mdb;
    Form_Mdb = nullptr;
    return ok ? 0 : 1;
}
