// Every text the window draws is readable: each of its characters has a glyph
// in the font Qt really draws it with, after Qt's own font fallback. On a
// machine without a font with Chinese glyphs all Chinese texts come out as
// empty boxes; this test fails there, so that a missing font shows up in the
// suite instead of on a user's screen.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGlyphRun>
#include <QLabel>
#include <QMessageBox>
#include <QRawFont>
#include <QTextLayout>
#include <QTimer>
#include <QToolTip>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include "app/gui/gui_mdb.h"
#include "app/gui/mdb_app.h"
#include "app/run/repair_run.h"
#include "connect/msg_box.h"
#include "jet/write/sample.h"
#include "repair_support.h"

using namespace repair_test;

// fontconfig keeps its caches for the life of the process; LeakSanitizer
// reports them when Qt loads fonts. Nothing of ours is suppressed.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

TMdb_Application& App() {
    static int argc = 1;
    static char name[] = "window_glyphs_test";
    static char* argv[] = {name, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static TMdb_Application* app = new TMdb_Application(argc, argv);
    return *app;
}

// The characters of text that font draws as a box on device: no glyph in
// the font Qt picks for the character (the requested one or a fallback), each
// as "U+9009 选 (DejaVu Sans)". Each character is laid out alone, as Qt picks
// fonts character by character for these scripts.
std::vector<std::string> Missing_Glyphs(const QFont& font, const QString& text,
                                        const QPaintDevice* device) {
    std::vector<std::string> missing;
    std::set<char32_t> seen;
    for (char32_t c : text.toUcs4()) {
        if (QChar::isSpace(c) || QChar::category(c) == QChar::Other_Control) continue;
        if (!seen.insert(c).second) continue;
        QString one = QString::fromUcs4(&c, 1);
        QTextLayout layout(one, font, device);
        layout.beginLayout();
        layout.createLine();
        layout.endLayout();
        const QList<QGlyphRun> runs = layout.glyphRuns();
        bool drawn = !runs.isEmpty();
        QString used = QFontInfo(font).family();
        for (const QGlyphRun& run : runs) {
            const QRawFont raw = run.rawFont();
            used = raw.familyName();
            // Glyph 0 is the font's "missing" box.
            for (quint32 g : run.glyphIndexes()) drawn = drawn && g != 0;
            drawn = drawn && raw.isValid() && raw.supportsCharacter(c);
        }
        if (!drawn) {
            char code[16];
            std::snprintf(code, sizeof code, "U+%04X ", static_cast<unsigned>(c));
            missing.push_back(code + one.toStdString() + " (" + used.toStdString() + ")");
        }
    }
    return missing;
}

class WindowGlyphs : public ::testing::Test {
  protected:
    struct Text {
        std::string where;
        QFont font;
        QString text;
    };

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

    // The texts the window shows now, each with the font it is drawn in.
    void Take_Window_Texts() {
        TForm_Mdb& f = *Form_Mdb;
        const std::pair<const char*, QLabel*> labels[] = {
            {"Label1", f.Label1}, {"Label2", f.Label2},       {"Label3", f.Label3},
            {"Label4", f.Label4}, {"Label_Url", f.Label_Url},
        };
        for (const auto& [name, l] : labels) texts_.push_back({name, l->font(), l->text()});
        const std::pair<const char*, QAbstractButton*> buttons[] = {
            {"BitBtn_Import", f.BitBtn_Import},
            {"BitBtn_Close", f.BitBtn_Close},
            {"CheckBox_Is_Zolvak_Db", f.CheckBox_Is_Zolvak_Db},
        };
        for (const auto& [name, b] : buttons) texts_.push_back({name, b->font(), b->text()});
        texts_.push_back({"Memo_About", f.Memo_About->font(), f.Memo_About->toPlainText()});
        texts_.push_back({"Memo_Log", f.Memo_Log->font(), f.Memo_Log->toPlainText()});
        const std::pair<const char*, QLineEdit*> edits[] = {{"Edit_File", f.Edit_File},
                                                             {"Edit_Target", f.Edit_Target}};
        for (const auto& [name, e] : edits) {
            texts_.push_back({name, e->font(), e->text()});
            texts_.push_back({std::string(name) + " tool-tip", QToolTip::font(), e->toolTip()});
        }
    }

    // Presses "修复"; message boxes that come up are answered, their texts kept.
    void Press_Repair() {
        QTimer timer;
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) return;
            auto* label = box->findChild<QLabel*>("qt_msgbox_label");
            texts_.push_back({"message box", label ? label->font() : box->font(), box->text()});
            box->accept();
        });
        timer.start();
        Form_Mdb->BitBtn_Import->click();
        timer.stop();
        Take_Window_Texts();
    }

    std::vector<Text> texts_;
};

TEST_F(WindowGlyphs, TheCheckFindsACharacterNoFontHas) {
    // Without this the test below could pass because the check sees nothing.
    QChar unassigned[2] = {QChar::highSurrogate(0x10FFFD), QChar::lowSurrogate(0x10FFFD)};
    EXPECT_EQ(Missing_Glyphs(Form_Mdb->Label1->font(), QString(unassigned, 2), Form_Mdb).size(),
              1u);
    EXPECT_TRUE(Missing_Glyphs(Form_Mdb->Label1->font(), "Zolvak 1.0", Form_Mdb).empty());
}

TEST_F(WindowGlyphs, EveryTextOfTheWindowAndOfItsRunsHasItsGlyphs) {
    Scratch s;
    // A folder with a Chinese name, so the paths in the fields and the log
    // lines hold Chinese too.
    std::string dir = s.path("样例数据");
    std::filesystem::create_directory(dir);
    std::string source = dir + "/商店.mdb";
    jet::SampleOptions options;
    options.rows = 20;
    jet::write_sample_database(source, options);
    Take_Window_Texts();

    // A repair that goes through: the copy lines (a Chinese table among
    // them) and the completion lines.
    Form_Mdb->Edit_File->setText(QString::fromStdString(source));
    Form_Mdb->Edit_Target->setText(QString::fromStdString(source + ".new"));
    Form_Mdb->CheckBox_Is_Zolvak_Db->setChecked(false);
    Press_Repair();
    ASSERT_NE(Form_Mdb->Memo_Log->toPlainText().indexOf(QString::fromUtf8("修复完成")), -1)
        << Form_Mdb->Memo_Log->toPlainText().toStdString();
    // A source that cannot be opened: the connection's box and its line.
    Form_Mdb->Edit_File->setText(QString::fromStdString(dir + "/没有.mdb"));
    Press_Repair();
    // A path longer than the system takes.
    Form_Mdb->Edit_File->setText(QString(REPAIR_PATH_SIZE, QChar('p')));
    Press_Repair();
    EXPECT_EQ(Form_Mdb->Memo_Log->toPlainText().toStdString(), REPAIR_MSG_SOURCE_TOO_LONG);

    // Each character drawn as a box, with the first text that holds it.
    std::map<std::string, std::string> boxes;
    for (const Text& t : texts_) {
        for (const std::string& m : Missing_Glyphs(t.font, t.text, Form_Mdb))
            boxes.emplace(m, t.where + " \"" + t.text.section('\n', 0, 0).left(30).toStdString() +
                                 "\"");
    }
    std::string report;
    for (const auto& [glyph, where] : boxes) report += "\n  " + glyph + " in " + where;
    EXPECT_TRUE(boxes.empty()) << boxes.size()
                                << " characters (with the font Qt picked) are drawn as boxes (is a font with Chinese "
                                   "glyphs, fonts-wqy-microhei, installed?):"
                                << report;
}

}  // namespace
