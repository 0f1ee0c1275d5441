// Exception box and message box of the window.
#include "app/gui/mdb_app.h"

#include <QFontMetrics>
#include <QGridLayout>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QSpacerItem>
#include <QTranslator>
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

bool Install_Qt_Translations(QApplication& app) {
    // The window's own texts are Chinese whatever the locale: Qt's texts
    // follow them.
    static QTranslator* qt = nullptr;
    if (qt != nullptr) return true;
    auto* t = new QTranslator(&app);
    if (!t->load(QLocale(QLocale::Chinese, QLocale::China), "qtbase", "_",
                 QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete t;
        return false;
    }
    app.installTranslator(t);
    qt = t;
    return true;
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
        // A short text makes a narrow box whose title bar cuts the caption;
        // QMessageBox keeps no minimum width of its own, so a spacer in its
        // grid holds it open for the caption and the title bar's buttons.
        const int want = box.fontMetrics().horizontalAdvance(box.windowTitle()) + 160;
        if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
            grid->addItem(new QSpacerItem(want, 0, QSizePolicy::Minimum, QSizePolicy::Expanding),
                          grid->rowCount(), 0, 1, grid->columnCount());
        box.exec();
    });
}
