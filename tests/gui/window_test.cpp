// The main window on the offscreen platform: design, handlers, the log, the
// boxes.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLibraryInfo>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QTimer>
#include <QUrl>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/gui/gui_mdb.h"
#include "app/gui/mdb_app.h"
#include "app/run/repair_run.h"
#include "connect/msg_box.h"
#include "jet/table/database.h"
#include "repair_support.h"

using namespace repair_test;

// fontconfig keeps its caches for the life of the process; LeakSanitizer
// reports them when Qt loads fonts. Nothing of ours is suppressed.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

TMdb_Application& App() {
    static int argc = 1;
    static char name[] = "window_test";
    static char* argv[] = {name, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static TMdb_Application* app = new TMdb_Application(argc, argv);
    return *app;
}

class Window : public ::testing::Test {
  protected:
    void SetUp() override {
        App();
        Install_Message_Box_Hook();
        Form_Mdb = new TForm_Mdb();
        Form_Mdb->show();
    }
    void TearDown() override {
        delete Form_Mdb;
        Form_Mdb = nullptr;
        Msg_Sink = nullptr;
        Msg_Box_Set_Hook(nullptr);
    }

    std::vector<std::string> Log() const {
        std::vector<std::string> lines;
        QString text = Form_Mdb->Memo_Log->toPlainText();
        if (text.isEmpty()) return lines;
        for (const QString& l : text.split('\n')) lines.push_back(l.toStdString());
        return lines;
    }

    // Runs action while a timer answers every modal window with answer.
    static void With_Modals(const std::function<void(QWidget*)>& answer,
                            const std::function<void()>& action) {
        QTimer timer;
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            if (QWidget* w = QApplication::activeModalWidget()) answer(w);
        });
        timer.start();
        action();
        timer.stop();
    }

    // The message boxes a run shows, closed as they come.
    std::vector<std::string> Press_Repair() {
        std::vector<std::string> boxes;
        With_Modals(
            [&](QWidget* w) {
                if (auto* box = qobject_cast<QMessageBox*>(w)) {
                    boxes.push_back(box->windowTitle().toStdString() + ": " +
                                    box->text().toStdString());
                    // Wide enough that a title bar shows the whole caption.
                    EXPECT_GE(box->width(),
                              box->fontMetrics().horizontalAdvance(box->windowTitle()) + 100)
                        << box->width();
                    box->accept();
                }
            },
            [] { Form_Mdb->BitBtn_Import->click(); });
        return boxes;
    }

    static void Choose_File(const QString& path, bool accept) {
        With_Modals(
            [&](QWidget* w) {
                auto* dlg = qobject_cast<QFileDialog*>(w);
                if (dlg == nullptr) return;
                EXPECT_EQ(dlg->windowTitle().toStdString(), "选择数据库文件");
                EXPECT_EQ(dlg->nameFilters().join("|").toStdString(), "数据库文件 (*.mdb *.accdb)");
                EXPECT_EQ(dlg->fileMode(), QFileDialog::ExistingFile) << "only files that exist";
                if (accept) {
                    // Typed into the name field, as a user would: selectFile()
                    // depends on the dialog's file model, which fills in a
                    // thread of its own.
                    QFileInfo info(path);
                    dlg->setDirectory(info.absolutePath());
                    auto* edit = dlg->findChild<QLineEdit*>("fileNameEdit");
                    ASSERT_NE(edit, nullptr);
                    edit->setText(info.fileName());
                    static_cast<QDialog*>(dlg)->accept();
                } else {
                    dlg->reject();
                }
            },
            [] { Form_Mdb->SpeedButton_File_Open->click(); });
    }
};

TEST_F(Window, ControlsAtTheirDesignPlaces) {
    TForm_Mdb& f = *Form_Mdb;
    struct Place {
        QWidget* w;
        int left, top, width, height;
        const char* text;
    } places[] = {
        {f.Label1, 7, 15, 96, 15, "选择要处理的文件"},
        {f.Edit_File, 106, 11, 290, 23, ""},
        {f.SpeedButton_File_Open, 402, 11, 23, 22, ""},
        {f.BitBtn_Import, 432, 8, 75, 25, "修复"},
        {f.Label2, 32, 41, 60, 15, "数据库密码"},
        {f.Edit_Passwd, 106, 38, 121, 23, ""},
        {f.CheckBox_Is_Zolvak_Db, 264, 40, 129, 17, "Zolvak软件数据库"},
        {f.BitBtn_Close, 432, 40, 75, 25, "关闭"},
        {f.Label4, 8, 72, 84, 15, "保存数据库文件"},
        {f.Edit_Target, 106, 67, 290, 23, ""},
        {f.Label3, 8, 104, 168, 15, "请注意提示信息里的警告和错误"},
        {f.Label_Url, 228, 104, 238, 15, nullptr},
        {f.Memo_About, 8, 126, 505, 59, nullptr},
        {f.Memo_Log, 7, 192, 506, 192, ""},
    };
    for (const Place& p : places) {
        SCOPED_TRACE(p.w->metaObject()->className());
        EXPECT_EQ(p.w->geometry(), QRect(p.left, p.top, p.width, p.height));
        EXPECT_EQ(p.w->font().family().toStdString(), "Arial");
        EXPECT_EQ(p.w->font().pixelSize(), 12);
        if (p.text == nullptr) continue;
        QString text;
        if (auto* l = qobject_cast<QLabel*>(p.w)) text = l->text();
        if (auto* e = qobject_cast<QLineEdit*>(p.w)) text = e->text();
        if (auto* b = qobject_cast<QAbstractButton*>(p.w)) text = b->text();
        if (auto* m = qobject_cast<QPlainTextEdit*>(p.w)) text = m->toPlainText();
        EXPECT_EQ(text.toStdString(), p.text);
    }
    EXPECT_EQ(f.windowTitle().toStdString(), "www.zolvak.com  MDB数据库压缩修复工具 V1.0");
    EXPECT_EQ(f.Memo_About->toPlainText().toStdString(),
              "本程序用于压缩修复mdb文件,本程序生成一个新的数据库文件，不会修改原始的数据库文件\n\n"
              "如果文件较大，可能需要较长时间。");
    EXPECT_TRUE(f.Label_Url->text().startsWith("www.zolvak.com "));
    EXPECT_TRUE(f.Label_Url->font().underline());
    EXPECT_EQ(f.Label_Url->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_TRUE(f.Edit_File->isReadOnly());
    EXPECT_FALSE(f.Edit_Target->isReadOnly());
    EXPECT_EQ(f.Edit_File->toolTip().toStdString(), "数据文件");
    EXPECT_EQ(f.Edit_Target->toolTip().toStdString(), "数据文件");
    EXPECT_EQ(f.Edit_Passwd->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(f.CheckBox_Is_Zolvak_Db->isChecked());
    EXPECT_TRUE(f.Memo_About->isReadOnly());
    EXPECT_FALSE(f.Memo_Log->isReadOnly());
    EXPECT_EQ(f.Memo_Log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(f.Memo_Log->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_TRUE(f.SpeedButton_File_Open->autoRaise());
    EXPECT_FALSE(f.SpeedButton_File_Open->icon().isNull());
    EXPECT_FALSE(f.BitBtn_Import->icon().isNull());
    EXPECT_FALSE(f.BitBtn_Close->icon().isNull());
    EXPECT_FALSE(f.windowIcon().isNull());
    EXPECT_EQ(f.palette().color(QPalette::Window), QColor(238, 239, 239));
    EXPECT_EQ(f.Label1->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    EXPECT_EQ(f.Label3->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMinimizeButtonHint);
}

TEST_F(Window, TabOrder) {
    TForm_Mdb& f = *Form_Mdb;
    std::vector<QWidget*> want = {
        f.Memo_Log,   f.Edit_File,   f.BitBtn_Import, f.BitBtn_Close, f.CheckBox_Is_Zolvak_Db,
        f.Memo_About, f.Edit_Passwd, f.Edit_Target};
    std::vector<QWidget*> got;
    QWidget* w = f.Memo_Log;
    do {
        if (w->focusPolicy() & Qt::TabFocus) got.push_back(w);
        w = w->nextInFocusChain();
    } while (w != f.Memo_Log && got.size() < 20);
    EXPECT_EQ(got, want);
    for (QWidget* nf : std::initializer_list<QWidget*>{f.Label1, f.Label2, f.Label3, f.Label4,
                                                       f.Label_Url, f.SpeedButton_File_Open})
        EXPECT_EQ(nf->focusPolicy(), Qt::NoFocus);
}

TEST_F(Window, RefusesToResize) {
    TForm_Mdb& f = *Form_Mdb;
    QSize design(TForm_Mdb::kClientWidth, TForm_Mdb::kClientHeight);
    EXPECT_EQ(f.minimumSize(), design);
    EXPECT_EQ(f.maximumSize(), design);
    f.resize(800, 600);
    EXPECT_EQ(f.size(), design);
    bool resize = true;
    f.FormCanResize(&f, 800, 600, resize);
    EXPECT_FALSE(resize);
}

TEST_F(Window, DialogFillsBothFieldsAndCancelChangesNothing) {
    Scratch s;
    QString first = QString::fromStdString(s.path("b.mdb"));
    QString second = QString::fromStdString(s.path("c.mdb"));
    Write_File(s.path("b.mdb"), "x");
    Write_File(s.path("c.mdb"), "x");
    Choose_File(first, true);
    EXPECT_EQ(Form_Mdb->Edit_File->text(), first);
    EXPECT_EQ(Form_Mdb->Edit_Target->text(), first + ".new");
    Form_Mdb->Edit_Target->setText("/elsewhere/typed.mdb");
    Choose_File(second, false);
    EXPECT_EQ(Form_Mdb->Edit_File->text(), first);
    EXPECT_EQ(Form_Mdb->Edit_Target->text(), "/elsewhere/typed.mdb");
    Choose_File(second, true);
    EXPECT_EQ(Form_Mdb->Edit_File->text(), second);
    EXPECT_EQ(Form_Mdb->Edit_Target->text(), second + ".new");
}

TEST_F(Window, PressWithNothingChosenStillRunsAndASecondPressClearsTheLog) {
    EXPECT_TRUE(Press_Repair().empty());
    EXPECT_EQ(Log(), std::vector<std::string>{"创建目标数据库()出错了"});
    EXPECT_EQ(Msg_Sink, &Memo_Msg_Sink) << "the sink stays installed";
    Press_Repair();
    EXPECT_EQ(Log(), std::vector<std::string>{"创建目标数据库()出错了"});
}

TEST_F(Window, CheckBoxDecidesThePassword) {
    if (!Have_Fixtures()) GTEST_SKIP() << "fixture folder absent";
    Scratch s;
    std::string src = Copy_Fixture(s, "jet4-password.mdb");
    std::string target = s.path("out.mdb");
    Form_Mdb->Edit_File->setText(QString::fromStdString(src));
    Form_Mdb->Edit_Target->setText(QString::fromStdString(target));

    // Ticked: the fixed password, whatever is typed; the source refuses it.
    Form_Mdb->Edit_Passwd->setText("password");
    std::vector<std::string> boxes = Press_Repair();
    EXPECT_EQ(Log(), std::vector<std::string>{"无法连接到数据库" + src + "，请检查文件名及密码"});
    ASSERT_EQ(boxes.size(), 1u) << "the connection's box is a real modal box";
    EXPECT_EQ(boxes[0].rfind("连接数据库出错: ", 0), 0u) << boxes[0];
    EXPECT_NO_THROW(jet::Database::open(target, ZOLVAK_DB_PASSWORD));

    // Unticked: the typed password reaches the run.
    Form_Mdb->CheckBox_Is_Zolvak_Db->setChecked(false);
    EXPECT_TRUE(Press_Repair().empty());
    ASSERT_FALSE(Log().empty());
    EXPECT_EQ(Log()[0].rfind("正在复制对象", 0), 0u) << Log()[0];
    EXPECT_NO_THROW(jet::Database::open(target, "password"));

    // Unticked and empty: no password at all.
    Form_Mdb->Edit_Passwd->clear();
    Press_Repair();
    EXPECT_EQ(Log(), std::vector<std::string>{"无法连接到数据库" + src + "，请检查文件名及密码"});
    EXPECT_NO_THROW(jet::Database::open(target, ""));
}

TEST_F(Window, InputsLongerThanTheFieldsAreRefusedInTheLog) {
    Scratch s;
    std::string keep = s.path("keep.mdb");
    Write_File(keep, "x");
    // One byte more than the system takes.
    std::string beyond = s.path("");
    beyond += std::string(REPAIR_PATH_SIZE - beyond.size(), 's');
    Form_Mdb->Edit_File->setText(QString::fromStdString(beyond));
    Form_Mdb->Edit_Target->setText(QString::fromStdString(keep));
    Press_Repair();
    EXPECT_EQ(Log(), std::vector<std::string>{REPAIR_MSG_SOURCE_TOO_LONG});
    Form_Mdb->Edit_File->setText(QString::fromStdString(keep + "x"));
    // 1366 Chinese characters are 4098 bytes in UTF-8.
    Form_Mdb->Edit_Target->setText(QString(1366, QChar(0x8868)));
    Press_Repair();
    EXPECT_EQ(Log(), std::vector<std::string>{REPAIR_MSG_TARGET_TOO_LONG});
    Form_Mdb->Edit_Target->setText(QString::fromStdString(keep));
    Form_Mdb->CheckBox_Is_Zolvak_Db->setChecked(false);
    Form_Mdb->Edit_Passwd->setText(QString(200, 'p'));
    Press_Repair();
    EXPECT_EQ(Log(), std::vector<std::string>{REPAIR_MSG_PASSWORD_TOO_LONG});
    EXPECT_EQ(Read_File(keep), "x") << "nothing was deleted";
    // Ticked, the typed password is ignored, so its length does not matter.
    Form_Mdb->CheckBox_Is_Zolvak_Db->setChecked(true);
    Press_Repair();
    ASSERT_FALSE(Log().empty());
    EXPECT_NE(Log()[0], REPAIR_MSG_PASSWORD_TOO_LONG);
}

TEST_F(Window, ASourceUnderALongChinesePathRepairs) {
    Scratch s;
    std::string src = Long_Chinese_Path(s, 300);
    Make_Awkward_Db(src, "");
    Choose_File(QString::fromStdString(src), true);
    EXPECT_EQ(Form_Mdb->Edit_File->text().toStdString(), src);
    Form_Mdb->CheckBox_Is_Zolvak_Db->setChecked(false);
    EXPECT_TRUE(Press_Repair().empty());
    std::vector<std::string> log = Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(From_Completion(log, 3),
              (std::vector<std::string>{"修复完成", "原始数据库文件为 " + src,
                                        "新的数据库文件为 " + src + ".new"}));
    EXPECT_EQ(User_Tables(src + ".new"), User_Tables(src));
}

TEST_F(Window, PerCentSignsInLoggedLinesStay) {
    Msg_Sink = Memo_Msg_Sink;
    Print_Msg("正在复制对象 %s", "50%s off %d%%");
    Memo_Msg_Sink("raw %s %n");
    EXPECT_EQ(Log(), (std::vector<std::string>{"正在复制对象 50%s off %d%%", "raw %s %n"}));
}

TEST_F(Window, LinkOpensTheWebPage) {
    static std::vector<std::string> opened;
    opened.clear();
    auto* saved = TForm_Mdb::Url_Opener;
    TForm_Mdb::Url_Opener = [](const QUrl& url) {
        opened.push_back(url.toString().toStdString());
        return true;
    };
    QPointF at(5, 5);
    QMouseEvent release(QEvent::MouseButtonRelease, at, Form_Mdb->Label_Url->mapToGlobal(at),
                        Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(Form_Mdb->Label_Url, &release);
    TForm_Mdb::Url_Opener = saved;
    EXPECT_EQ(opened, std::vector<std::string>{"http://www.zolvak.com/soft_zolvak"});
}

TEST_F(Window, ExceptionFromAHandlerIsShownAndTheProgramGoesOn) {
    struct Thrower : QObject {
        bool event(QEvent* e) override {
            if (e->type() == QEvent::User) throw std::runtime_error("boom");
            return QObject::event(e);
        }
    } thrower;
    std::vector<std::string> shown;
    With_Modals(
        [&](QWidget* w) {
            if (auto* box = qobject_cast<QMessageBox*>(w)) {
                shown.push_back(box->text().toStdString());
                box->accept();
            }
        },
        [&] {
            QEvent e(QEvent::User);
            QApplication::sendEvent(&thrower, &e);
        });
    EXPECT_EQ(shown, std::vector<std::string>{"boom"});
    EXPECT_TRUE(Form_Mdb->isVisible());
}

TEST_F(Window, RepairOfAFixtureGivesTheSameLinesAsTheCommandLine) {
    if (!Have_Fixtures()) GTEST_SKIP() << "fixture folder absent";
    Scratch s;
    std::string src = Copy_Fixture(s, "jet4-nopassword.mdb");
    std::string target = s.path("same.mdb");
    Form_Mdb->Edit_File->setText(QString::fromStdString(src));
    Form_Mdb->Edit_Target->setText(QString::fromStdString(target));
    Form_Mdb->CheckBox_Is_Zolvak_Db->setChecked(false);
    Press_Repair();
    std::vector<std::string> window = Log();
    Command_Result cli = Run_Repair(s, {"--output", target, src});
    // The time taken is the one line two runs need not share.
    auto without_time = [](std::vector<std::string> lines) {
        std::erase_if(lines, [](const std::string& l) { return l.rfind("用时 ", 0) == 0; });
        return lines;
    };
    EXPECT_EQ(without_time(Split_Lines(cli.out)), without_time(window));
    EXPECT_EQ(window.back().rfind("用时 ", 0), 0u) << "the window shows the summary too";
    EXPECT_FALSE(window.empty());
}

// Enter presses the button that has the focus, as Space does.
TEST_F(Window, EnterPressesTheFocusedButton) {
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    Form_Mdb->BitBtn_Import->setFocus();
    QApplication::sendEvent(Form_Mdb->BitBtn_Import, &enter);
    EXPECT_EQ(Log(), std::vector<std::string>{"创建目标数据库()出错了"}) << "the repair ran";
    QKeyEvent keypad(QEvent::KeyPress, Qt::Key_Enter, Qt::KeypadModifier);
    Form_Mdb->BitBtn_Close->setFocus();
    QApplication::sendEvent(Form_Mdb->BitBtn_Close, &keypad);
    EXPECT_FALSE(Form_Mdb->isVisible()) << "the window closed";
}

// A .mdb file dropped on the window fills both fields as the dialog does;
// anything else is refused.
TEST_F(Window, DroppedMdbFillsTheFields) {
    struct Case {
        QList<QUrl> urls;
        bool taken;
    } cases[] = {
        {{QUrl::fromLocalFile("/data/shop.mdb")}, true},
        {{QUrl::fromLocalFile("/data/SHOP.MDB")}, true},
        {{QUrl::fromLocalFile("/data/notes.txt")}, false},
        {{QUrl("http://example.com/x.mdb")}, false},
        {{QUrl::fromLocalFile("/a.mdb"), QUrl::fromLocalFile("/b.mdb")}, false},
    };
    for (const Case& k : cases) {
        Form_Mdb->Edit_File->setText("before");
        Form_Mdb->Edit_Target->setText("before.new");
        QMimeData data;
        data.setUrls(k.urls);
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(Form_Mdb, &enter);
        EXPECT_EQ(enter.isAccepted(), k.taken) << k.urls.first().toString().toStdString();
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(Form_Mdb, &drop);
        const QString path = k.urls.first().toLocalFile();
        EXPECT_EQ(Form_Mdb->Edit_File->text(), k.taken ? path : QString("before"));
        EXPECT_EQ(Form_Mdb->Edit_Target->text(), k.taken ? path + ".new" : QString("before.new"));
    }
}

// While a run goes on the title bar shows its share, the repair button is
// disabled and the cursor busy; all comes back when it returns.
TEST_F(Window, TitleShowsProgressAndTheButtonWaitsDuringARun) {
    Scratch s;
    std::string src = s.path("shop.mdb");
    ASSERT_EQ(Run_Mdbrepair(s, {"--sample", src, "--rows", "3000"}).status, 0);
    Form_Mdb->Choose_Source(QString::fromStdString(src));
    Form_Mdb->CheckBox_Is_Zolvak_Db->setChecked(false);
    struct Seen {
        QString title;
        bool enabled;
        bool busy;
    };
    std::vector<Seen> seen;
    QObject::connect(Form_Mdb->Memo_Log, &QPlainTextEdit::textChanged, [&] {
        const QCursor* c = QApplication::overrideCursor();
        seen.push_back({Form_Mdb->windowTitle(), Form_Mdb->BitBtn_Import->isEnabled(),
                        c != nullptr && c->shape() == Qt::WaitCursor});
    });
    EXPECT_TRUE(Press_Repair().empty());
    ASSERT_GT(seen.size(), 3u);
    int last = -1;
    bool full = false;
    bool started = false;
    for (const Seen& x : seen) {
        // The log is cleared before the run starts.
        started |= x.title != QString::fromUtf8(FORM_MDB_CAPTION);
        if (!started) continue;
        ASSERT_TRUE(x.title.startsWith(QString::fromUtf8("正在修复 "))) << x.title.toStdString();
        int p = x.title.mid(5).chopped(1).toInt();
        EXPECT_GE(p, last) << x.title.toStdString();
        last = p;
        full |= p == 100;
        EXPECT_FALSE(x.enabled);
        EXPECT_TRUE(x.busy);
    }
    EXPECT_TRUE(full) << "the title reaches 100 %";
    EXPECT_EQ(Form_Mdb->windowTitle().toStdString(), FORM_MDB_CAPTION);
    EXPECT_TRUE(Form_Mdb->BitBtn_Import->isEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(Log()[Log().size() - 6], "新的数据库文件没有密码");
}

// mdbrepair-gui FILE starts with FILE chosen, as the dialog would.
TEST_F(Window, AFileOnTheCommandLineIsChosen) {
    Form_Mdb->Choose_From_Arguments({"mdbrepair-gui"});
    EXPECT_EQ(Form_Mdb->Edit_File->text(), "");
    Form_Mdb->Choose_From_Arguments({"mdbrepair-gui", "/data/shop.mdb"});
    EXPECT_EQ(Form_Mdb->Edit_File->text(), "/data/shop.mdb");
    EXPECT_EQ(Form_Mdb->Edit_Target->text(), "/data/shop.mdb.new");
    Form_Mdb->Choose_From_Arguments({"mdbrepair-gui", "shop.mdb"});
    EXPECT_EQ(Form_Mdb->Edit_File->text(), QDir::current().absoluteFilePath("shop.mdb"));
}

// Qt's own texts (dialog buttons, the open dialog) are Chinese.
TEST_F(Window, QtsOwnTextsAreChinese) {
    const QString dir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!QFileInfo::exists(dir + "/qtbase_zh_CN.qm"))
        GTEST_SKIP() << "Qt's translations are not installed (qt6-translations-l10n)";
    ASSERT_TRUE(Install_Qt_Translations(App()));
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "OK").toStdString(), "确定");
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel").toStdString(), "取消");
    QMessageBox box(QMessageBox::NoIcon, "t", "x", QMessageBox::Ok);
    EXPECT_EQ(box.button(QMessageBox::Ok)->text().toStdString(), "确定");
}

}  // namespace
