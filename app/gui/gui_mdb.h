// The main window of the repair tool (unit Gui_mdb): choose a source file,
// give its password or tick the Zolvak box, name the target, press "修复".
// Every line of the run lands in Memo_Log, which repaints after each line so
// that the log moves while the run keeps the GUI thread busy.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QToolButton>
#include <QWidget>
#include <map>
#include <string>

#if defined(__GNUC__)
#define MEMO_PRINT_CHECK __attribute__((format(printf, 2, 3)))
#else
#define MEMO_PRINT_CHECK
#endif

class QUrl;
class QDragEnterEvent;
class QDropEvent;

class TForm_Mdb : public QWidget {
  public:
    // Published components, in declaration order.
    QLabel* Label1;
    QLabel* Label3;
    QToolButton* SpeedButton_File_Open;
    QPlainTextEdit* Memo_Log;
    QLineEdit* Edit_File;
    QPushButton* BitBtn_Import;
    QPushButton* BitBtn_Close;
    QCheckBox* CheckBox_Is_Zolvak_Db;
    QPlainTextEdit* Memo_About;
    QLabel* Label2;
    QLineEdit* Edit_Passwd;
    QLabel* Label4;
    QLineEdit* Edit_Target;
    QLabel* Label_Url;

    explicit TForm_Mdb(QWidget* parent = nullptr);

    // Published event handlers, in declaration order. The sender is not used.
    void SpeedButton_File_OpenClick(QObject* sender);
    void BitBtn_ImportClick(QObject* sender);
    void BitBtn_CloseClick(QObject* sender);
    void Label_UrlClick(QObject* sender);
    void FormCanResize(QObject* sender, int new_width, int new_height, bool& resize);

    // One line into Memo_Log, formatted by the printf rules into a
    // PRINT_MSG_BUF_SIZE buffer; the window repaints at once. Returns 1.
    int Memo_Print(const char* format, ...) MEMO_PRINT_CHECK;

    // Sets the source as the open dialog does: Edit_File to path, Edit_Target
    // to path with ".new" appended. Used by the dialog, a dropped file and
    // the program's argument.
    void Choose_Source(const QString& path);

    // The program's arguments (Qt's own taken out): a FILE after the
    // program name is chosen as the source, relative to the current folder.
    void Choose_From_Arguments(const QStringList& args);

    // The share of the run under way, 0 to 100, as the title bar shows it.
    int Run_Percent() const;

    // How the link opens the web page; tests replace it.
    static bool (*Url_Opener)(const QUrl& url);

    // Design size of the client area; the window cannot be resized.
    static constexpr int kClientWidth = 520;
    static constexpr int kClientHeight = 389;

    // What the run has told so far, for the title bar's share: lines and
    // the engine's row counts.
    void Run_Line(const char* text);
    void Run_Rows(unsigned long long rows);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    void Show_Progress();
    // Rows of each user table and the indexes of the source, read when a
    // run starts; what is done of them.
    std::map<std::string, unsigned long long> run_rows_;
    unsigned long long run_total_rows_ = 0;
    unsigned long long run_rows_done_ = 0;
    unsigned long long run_current_total_ = 0;
    unsigned long long run_current_done_ = 0;
    int run_total_indexes_ = 0;
    int run_indexes_seen_ = 0;
    bool run_copying_ = false;
    bool run_done_ = false;
    bool run_on_ = false;
    int run_percent_shown_ = -1;
};

// The text of the title bar while a run goes on ("正在修复 45%").
QString Run_Title(int percent);

// The one instance, created by the program entry; the application's main
// window.
extern TForm_Mdb* Form_Mdb;

// The message sink of the run while the window is up: hands the text to
// Form_Mdb's Memo_Print unchanged (a per-cent sign stays a per-cent sign).
int Memo_Msg_Sink(const char* text);

// The window caption and the web page of the link.
extern const char* const FORM_MDB_CAPTION;
extern const char* const FORM_MDB_URL;
