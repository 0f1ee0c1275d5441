// The main window: controls at their design positions, the four click
// handlers and the log output of a repair run.
#include "app/gui/gui_mdb.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFont>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QResizeEvent>
#include <QStyle>
#include <QUrl>
#include <cstdarg>
#include <cstdio>

#include "app/run/repair_run.h"
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

}  // namespace

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

    connect(SpeedButton_File_Open, &QToolButton::clicked, this,
            [this] { SpeedButton_File_OpenClick(SpeedButton_File_Open); });
    connect(BitBtn_Import, &QPushButton::clicked, this,
            [this] { BitBtn_ImportClick(BitBtn_Import); });
    connect(BitBtn_Close, &QPushButton::clicked, this, [this] { BitBtn_CloseClick(BitBtn_Close); });
}

void TForm_Mdb::SpeedButton_File_OpenClick(QObject*) {
    QFileDialog dialog(this, QString::fromUtf8("选择数据库文件"));
    dialog.setNameFilter(QString::fromUtf8("数据库文件 (*.mdb)"));
    if (dialog.exec() != QDialog::Accepted) return;
    QStringList files = dialog.selectedFiles();
    if (files.isEmpty()) return;
    Edit_File->setText(files.first());
    Edit_Target->setText(QString("%1.new").arg(Edit_File->text()));
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
    Repair_Mdb(source, password, target);
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
    if (Form_Mdb != nullptr) Form_Mdb->Memo_Print("%s", text);
    return 1;
}
