// The main window: controls at their design positions, the four click
// handlers and the log output of a repair run.
#include "app/gui/gui_mdb.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QResizeEvent>
#include <QStyle>
#include <QUrl>
#include <cstdarg>
#include <algorithm>
#include <cstdio>
#include <string_view>

#include "app/run/repair_run.h"
#include "jet/table/database.h"
#include "jet/base/progress.h"
#include "stdclass/thread_mgr.h"

TForm_Mdb* Form_Mdb = nullptr;

const char* const FORM_MDB_CAPTION = "www.zolvak.com  MDB数据库压缩修复工具 V1.0";
const char* const FORM_MDB_URL = "http://www.zolvak.com/soft_zolvak";

namespace {

bool Open_With_Desktop(const QUrl& url) { return QDesktopServices::openUrl(url); }

// COM has no counterpart here; the call keeps the order of the click visible.
void Com_Initialize() {}

// The window icon: a small database drum with a repair cross, drawn here.
QIcon Make_Window_Icon() {
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(20, 60, 120), 1.5));
    p.setBrush(QColor(90, 150, 220));
    p.drawRect(QRectF(5, 8, 18, 18));
    p.drawEllipse(QRectF(5, 22, 18, 6));
    p.setBrush(QColor(150, 200, 250));
    p.drawEllipse(QRectF(5, 5, 18, 6));
    p.setPen(QPen(QColor(200, 30, 30), 3));
    p.drawLine(QPointF(21, 19), QPointF(29, 27));
    p.drawLine(QPointF(29, 19), QPointF(21, 27));
    return QIcon(pm);
}

// Texts of one field: 0 when the UTF-8 text does not fit the field.
int Fill(char* field, int size, const QString& text) {
    QByteArray bytes = text.toUtf8();
    return Repair_Fill_Field(field, size, bytes.constData());
}

// The engine's row counts go to the window while a run goes on.
void Window_Rows(std::uint64_t rows) {
    if (Form_Mdb != nullptr) Form_Mdb->Run_Rows(rows);
}

// The local .mdb file a drop carries, or an empty text.
QString Dropped_Mdb(const QMimeData* data) {
    if (data == nullptr || !data->hasUrls() || data->urls().size() != 1) return {};
    const QUrl url = data->urls().first();
    if (!url.isLocalFile()) return {};
    const QString path = url.toLocalFile();
    return path.endsWith(".mdb", Qt::CaseInsensitive) ? path : QString();
}

// Restores the window after a run, by whatever way the run ends.
struct Busy_Scope {
    TForm_Mdb* form;
    explicit Busy_Scope(TForm_Mdb* f) : form(f) {
        form->BitBtn_Import->setEnabled(false);
        QApplication::setOverrideCursor(Qt::WaitCursor);
        jet::row_progress = Window_Rows;
    }
    ~Busy_Scope() {
        jet::row_progress = nullptr;
        QApplication::restoreOverrideCursor();
        form->BitBtn_Import->setEnabled(true);
        form->setWindowTitle(QString::fromUtf8(FORM_MDB_CAPTION));
    }
    Busy_Scope(const Busy_Scope&) = delete;
    Busy_Scope& operator=(const Busy_Scope&) = delete;
};

}  // namespace

QString Run_Title(int percent) { return QString::fromUtf8("正在修复 %1%").arg(percent); }

bool (*TForm_Mdb::Url_Opener)(const QUrl& url) = Open_With_Desktop;

TForm_Mdb::TForm_Mdb(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setWindowTitle(QString::fromUtf8(FORM_MDB_CAPTION));
    setWindowIcon(Make_Window_Icon());
    setFixedSize(kClientWidth, kClientHeight);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(238, 239, 239));
    setPalette(pal);
    setAutoFillBackground(true);
    QFont form_font("MS Sans Serif");
    form_font.setPixelSize(11);
    setFont(form_font);

    QFont arial("Arial");
    arial.setPixelSize(12);
    auto place = [&](QWidget* w, int left, int top, int width, int height,
                     QColor color = QColor()) {
        w->setGeometry(left, top, width, height);
        w->setFont(arial);
        if (color.isValid()) {
            QPalette p = w->palette();
            p.setColor(QPalette::WindowText, color);
            p.setColor(QPalette::Text, color);
            p.setColor(QPalette::ButtonText, color);
            w->setPalette(p);
        }
    };
    auto text = [](const char* utf8) { return QString::fromUtf8(utf8); };

    Label1 = new QLabel(text("选择要处理的文件"), this);
    Label3 = new QLabel(text("请注意提示信息里的警告和错误"), this);
    SpeedButton_File_Open = new QToolButton(this);
    Memo_Log = new QPlainTextEdit(this);
    Edit_File = new QLineEdit(this);
    BitBtn_Import = new QPushButton(text("修复"), this);
    BitBtn_Close = new QPushButton(text("关闭"), this);
    CheckBox_Is_Zolvak_Db = new QCheckBox(text("Zolvak软件数据库"), this);
    Memo_About = new QPlainTextEdit(this);
    Label2 = new QLabel(text("数据库密码"), this);
    Edit_Passwd = new QLineEdit(this);
    Label4 = new QLabel(text("保存数据库文件"), this);
    Edit_Target = new QLineEdit(this);
    Label_Url = new QLabel(text("www.zolvak.com 欢迎访问Zolvak软件网站"), this);

    const QColor blue(0, 0, 255);
    const QColor red(255, 0, 0);
    place(Label1, 7, 15, 96, 15, blue);
    place(Edit_File, 106, 11, 290, 23);
    Edit_File->setReadOnly(true);
    Edit_File->setToolTip(text("数据文件"));
    place(SpeedButton_File_Open, 402, 11, 23, 22);
    SpeedButton_File_Open->setAutoRaise(true);
    SpeedButton_File_Open->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    SpeedButton_File_Open->setIconSize(QSize(16, 16));
    SpeedButton_File_Open->setFocusPolicy(Qt::NoFocus);
    place(BitBtn_Import, 432, 8, 75, 25);
    BitBtn_Import->setIcon(style()->standardIcon(QStyle::SP_DialogApplyButton));
    place(Label2, 32, 41, 60, 15);
    place(Edit_Passwd, 106, 38, 121, 23);
    Edit_Passwd->setEchoMode(QLineEdit::Password);
    // Every character shows as "*", not as the platform's bullet.
    Edit_Passwd->setStyleSheet("QLineEdit { lineedit-password-character: 42; }");
    place(CheckBox_Is_Zolvak_Db, 264, 40, 129, 17);
    CheckBox_Is_Zolvak_Db->setChecked(true);
    place(BitBtn_Close, 432, 40, 75, 25);
    BitBtn_Close->setIcon(style()->standardIcon(QStyle::SP_DialogCloseButton));
    place(Label4, 8, 72, 84, 15);
    place(Edit_Target, 106, 67, 290, 23);
    Edit_Target->setToolTip(text("数据文件"));
    place(Label3, 8, 104, 168, 15, red);
    place(Label_Url, 228, 104, 238, 15, blue);
    QFont url_font = arial;
    url_font.setUnderline(true);
    Label_Url->setFont(url_font);
    Label_Url->setCursor(Qt::PointingHandCursor);
    Label_Url->installEventFilter(this);
    // The active-caption colour of the classic Windows scheme.
    place(Memo_About, 8, 126, 505, 59, QColor(10, 36, 106));
    Memo_About->setReadOnly(true);
    Memo_About->setFrameStyle(QFrame::Box | QFrame::Plain);
    Memo_About->setLineWidth(1);
    Memo_About->setTabChangesFocus(true);
    Memo_About->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo_About->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo_About->document()->setDocumentMargin(2);
    Memo_About->setPlainText(
        text("本程序用于压缩修复mdb文件,本程序生成一个新的数据库文件，不会修改原始的数据库文件\n"
             "\n"
             "如果文件较大，可能需要较长时间。"));
    place(Memo_Log, 7, 192, 506, 192);
    Memo_Log->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo_Log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo_Log->setTabChangesFocus(true);

    for (QLabel* l : {Label1, Label2, Label3, Label4, Label_Url}) l->setFocusPolicy(Qt::NoFocus);
    QWidget::setTabOrder(Memo_Log, Edit_File);
    QWidget::setTabOrder(Edit_File, BitBtn_Import);
    QWidget::setTabOrder(BitBtn_Import, BitBtn_Close);
    QWidget::setTabOrder(BitBtn_Close, CheckBox_Is_Zolvak_Db);
    QWidget::setTabOrder(CheckBox_Is_Zolvak_Db, Memo_About);
    QWidget::setTabOrder(Memo_About, Edit_Passwd);
    QWidget::setTabOrder(Edit_Passwd, Edit_Target);

    // Enter presses the button that has the focus, as Space does.
    BitBtn_Import->installEventFilter(this);
    BitBtn_Close->installEventFilter(this);
    setAcceptDrops(true);

    connect(SpeedButton_File_Open, &QToolButton::clicked, this,
            [this] { SpeedButton_File_OpenClick(SpeedButton_File_Open); });
    connect(BitBtn_Import, &QPushButton::clicked, this,
            [this] { BitBtn_ImportClick(BitBtn_Import); });
    connect(BitBtn_Close, &QPushButton::clicked, this, [this] { BitBtn_CloseClick(BitBtn_Close); });
}

void TForm_Mdb::SpeedButton_File_OpenClick(QObject*) {
    QFileDialog dialog(this, QString::fromUtf8("选择数据库文件"));
    dialog.setNameFilter(QString::fromUtf8("数据库文件 (*.mdb *.accdb)"));
    // A name typed into the dialog must name a file that is there.
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (dialog.exec() != QDialog::Accepted) return;
    QStringList files = dialog.selectedFiles();
    if (files.isEmpty()) return;
    Choose_Source(files.first());
}

void TForm_Mdb::Choose_Source(const QString& path) {
    Edit_File->setText(path);
    Edit_Target->setText(QString("%1.new").arg(Edit_File->text()));
}

void TForm_Mdb::Choose_From_Arguments(const QStringList& args) {
    if (args.size() >= 2 && !args.at(1).isEmpty())
        Choose_Source(QFileInfo(args.at(1)).absoluteFilePath());
}

void TForm_Mdb::dragEnterEvent(QDragEnterEvent* event) {
    if (!Dropped_Mdb(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void TForm_Mdb::dropEvent(QDropEvent* event) {
    const QString path = Dropped_Mdb(event->mimeData());
    if (path.isEmpty()) return;
    Choose_Source(path);
    event->acceptProposedAction();
}

int TForm_Mdb::Run_Percent() const {
    // Copying the rows is most of a run: it takes the first 90 %, the
    // indexes the rest.
    if (!run_on_) return 0;
    if (run_done_) return 100;
    double copy = run_total_rows_ == 0
                      ? (run_indexes_seen_ > 0 ? 1.0 : 0.0)
                      : static_cast<double>(std::min(run_rows_done_ + std::min(run_current_done_, run_current_total_),
                                                     run_total_rows_)) /
                            static_cast<double>(run_total_rows_);
    double index = run_total_indexes_ == 0
                       ? 0.0
                       : static_cast<double>(std::max(run_indexes_seen_ - 1, 0)) / run_total_indexes_;
    int p = static_cast<int>(copy * 90 + std::min(index, 1.0) * 10);
    return std::clamp(p, 0, 100);
}

void TForm_Mdb::Run_Line(const char* text) {
    if (!run_on_ || text == nullptr) return;
    static constexpr std::string_view kCopy = "正在复制对象 ";
    static constexpr std::string_view kLong =
        "，如果数据量大可能需要较多时间（1G约12分钟），请耐心等候";
    static constexpr std::string_view kIndex = "正在创建约束 ";
    std::string_view line = text;
    if (run_copying_) {
        run_rows_done_ += std::max(run_current_total_, run_current_done_);
        run_copying_ = false;
        run_current_done_ = run_current_total_ = 0;
    }
    if (line.starts_with(kCopy)) {
        line.remove_prefix(kCopy.size());
        if (line.ends_with(kLong)) line.remove_suffix(kLong.size());
        auto it = run_rows_.find(std::string(line));
        run_current_total_ = it != run_rows_.end() ? it->second : 0;
        run_copying_ = true;
    } else if (line.starts_with(kIndex)) {
        ++run_indexes_seen_;
    } else if (line == "修复完成") {
        run_done_ = true;
    }
    Show_Progress();
}

void TForm_Mdb::Run_Rows(unsigned long long rows) {
    if (!run_on_ || !run_copying_) return;
    run_current_done_ = rows;
    Show_Progress();
}

void TForm_Mdb::Show_Progress() {
    int p = Run_Percent();
    if (p == run_percent_shown_) return;
    run_percent_shown_ = p;
    setWindowTitle(Run_Title(p));
    QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void TForm_Mdb::BitBtn_ImportClick(QObject*) {
    char source[REPAIR_PATH_SIZE];
    char target[REPAIR_PATH_SIZE];
    char password[REPAIR_FIELD_SIZE];

    Get_Thread_Mgr();
    Memo_Log->clear();
    // A path longer than the system takes, or a password longer than 199
    // bytes, is refused, never cut.
    if (!Fill(source, sizeof source, Edit_File->text())) {
        Memo_Print("%s", REPAIR_MSG_SOURCE_TOO_LONG);
        return;
    }
    if (!Fill(target, sizeof target, Edit_Target->text())) {
        Memo_Print("%s", REPAIR_MSG_TARGET_TOO_LONG);
        return;
    }
    if (CheckBox_Is_Zolvak_Db->isChecked()) {
        Fill(password, sizeof password, QString::fromUtf8(ZOLVAK_DB_PASSWORD));
    } else if (!Fill(password, sizeof password, Edit_Passwd->text())) {
        Memo_Print("%s", REPAIR_MSG_PASSWORD_TOO_LONG);
        return;
    }
    Com_Initialize();
    Msg_Sink = Memo_Msg_Sink;

    // The title bar shows the share done; the button waits for the run.
    run_rows_.clear();
    run_total_rows_ = run_rows_done_ = run_current_total_ = run_current_done_ = 0;
    run_total_indexes_ = run_indexes_seen_ = 0;
    run_copying_ = false;
    run_done_ = false;
    try {
        auto db = jet::Database::open(source, password);
        for (const jet::TableInfo& t : db->tables()) {
            if (t.kind != jet::TableKind::kTable || !t.local()) continue;
            jet::TableDef def = db->table_def(*t.entry);
            run_rows_[t.name] = def.row_count;
            run_total_rows_ += def.row_count;
            run_total_indexes_ += static_cast<int>(def.indexes.size());
        }
    } catch (const std::exception&) {
        // The run says why the source cannot be read.
    }
    run_on_ = true;
    run_percent_shown_ = -1;
    Busy_Scope busy(this);
    Show_Progress();
    try {
        Repair_Mdb(source, password, target);
    } catch (...) {
        run_on_ = false;
        throw;  // the exception box shows it
    }
    run_on_ = false;
}

void TForm_Mdb::BitBtn_CloseClick(QObject*) { close(); }

void TForm_Mdb::Label_UrlClick(QObject*) {
    Url_Opener(QUrl(QString::fromUtf8(FORM_MDB_URL)));  // nothing is reported on failure
}

void TForm_Mdb::FormCanResize(QObject*, int, int, bool& resize) { resize = false; }

int TForm_Mdb::Memo_Print(const char* format, ...) {
    char buf[PRINT_MSG_BUF_SIZE];
    va_list ap;
    va_start(ap, format);
    Msg_Vformat(buf, format, ap);
    va_end(ap);
    Memo_Log->appendPlainText(QString::fromUtf8(buf));
    repaint();
    return 1;
}

bool TForm_Mdb::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == BitBtn_Import || watched == BitBtn_Close) && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        auto* button = static_cast<QPushButton*>(watched);
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && button->isEnabled()) {
            button->click();
            return true;
        }
    }
    if (watched == Label_Url && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        Label_UrlClick(Label_Url);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TForm_Mdb::resizeEvent(QResizeEvent* event) {
    // The size limits already pin the window; a window manager that ignores
    // them is asked through FormCanResize and put back.
    bool allow = true;
    if (event->size() != QSize(kClientWidth, kClientHeight)) {
        FormCanResize(this, event->size().width(), event->size().height(), allow);
        if (!allow) resize(kClientWidth, kClientHeight);
    }
    QWidget::resizeEvent(event);
}

int Memo_Msg_Sink(const char* text) {
    if (Form_Mdb != nullptr) {
        Form_Mdb->Memo_Print("%s", text);
        Form_Mdb->Run_Line(text);
    }
    return 1;
}
