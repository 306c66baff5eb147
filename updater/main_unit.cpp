#include "main_unit.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QProcess>
#include <QStringList>
#include <QUrl>
#include <QVBoxLayout>
#include <cstdio>
#include <thread>

#include "base/files.h"
#include "declare/declare.h"
#include "manager/skin_engine.h"
#include "system/window_helpers.h"
#include "update_installer.h"

namespace kiv::update {

namespace {

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

bool ParseInt(const QString& text, int low, int high, int& out) {
  bool ok = false;
  const int value = text.toInt(&ok);
  if (!ok || value < low || value > high) return false;
  out = value;
  return true;
}

// A label that reports clicks: the status line.
class TClickLabel : public QLabel {
 public:
  using QLabel::QLabel;
  std::function<void()> on_click;

 protected:
  void mousePressEvent(QMouseEvent*) override {
    if (on_click) on_click();
  }
};

}  // namespace

std::optional<TUpdaterArguments> ParseArguments(const QStringList& arguments) {
  if (arguments.size() < 5) return std::nullopt;
  TUpdaterArguments a;
  int port = 0;
  if (!ParseInt(arguments[2], 0, 65535, port) || !ParseInt(arguments[4], 0, 255, a.brand))
    return std::nullopt;
  a.port = static_cast<std::uint16_t>(port);
  a.version = arguments[0].left(20).toStdString();
  a.address = arguments[1].left(20).toStdString();
  a.restart = arguments[3] != QStringLiteral("1");
  return a;
}

TUpdaterHooks DesktopHooks(QWidget* parent) {
  TUpdaterHooks hooks;
  hooks.ask_yes_no = [parent](const QString& text) {
    return QMessageBox::question(parent, Q(APPNAME), text, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
  };
  hooks.ask_ok_cancel = [parent](const QString& text) {
    return QMessageBox::warning(parent, Q(APPNAME), text, QMessageBox::Ok | QMessageBox::Cancel) ==
           QMessageBox::Ok;
  };
  hooks.start_program = [](const std::filesystem::path& program) {
    QProcess::startDetached(Q(program.string()), {}, Q(program.parent_path().string()));
  };
  hooks.open_url = [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); };
  return hooks;
}

TForm1::TForm1(TUpdaterArguments arguments, std::filesystem::path program_folder,
               std::optional<TPublicKey> public_key, TUpdateTimings timings, TUpdaterHooks hooks)
    : arguments_(std::move(arguments)),
      program_folder_(std::move(program_folder)),
      public_key_(public_key),
      timings_(timings),
      hooks_(std::move(hooks)) {
  TUpdaterHooks desktop = DesktopHooks(this);
  if (!hooks_.ask_yes_no) hooks_.ask_yes_no = desktop.ask_yes_no;
  if (!hooks_.ask_ok_cancel) hooks_.ask_ok_cancel = desktop.ask_ok_cancel;
  if (!hooks_.start_program) hooks_.start_program = desktop.start_program;
  if (!hooks_.open_url) hooks_.open_url = desktop.open_url;

  // FormCreate
  setWindowTitle(QStringLiteral("自动更新系统 "));
  skins_ = std::make_unique<TSkinEngine>(program_folder_ / "skins");
  if (skins_->SetSkin(SKINNAME, {})) skins_->SetActive(true);

  content_label_ = new QLabel(QStringLiteral("更新内容:"), this);
  memo_ = new QTextEdit(this);
  memo_->setReadOnly(true);
  memo_->setPlainText(QStringLiteral("如果自动更新中出现故障，请打开") + Brand() + QStringLiteral("主页") +
                      Q(HOMEPAGE) + QStringLiteral("进行安装更新。"));
  progress_line_ = new QLabel(QStringLiteral("当前进度:"), this);
  progress_ = new QProgressBar(this);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  auto* status = new TClickLabel(QStringLiteral("正在连接服务器......"), this);
  status->setCursor(Qt::PointingHandCursor);
  status->on_click = [this] { Label2Click(); };
  status_ = status;
  close_button_ = new QPushButton(QStringLiteral("关闭"), this);
  connect(close_button_, &QPushButton::clicked, this, &QWidget::close);  // sButton1Click

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(content_label_);
  layout->addWidget(memo_, 1);
  layout->addWidget(progress_line_);
  layout->addWidget(progress_);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(status_, 1);
  bottom->addWidget(close_button_);
  layout->addLayout(bottom);
  resize(420, 300);

  timer1_.setInterval(timings_.progress_ms);
  connect(&timer1_, &QTimer::timeout, this, &TForm1::Timer1Timer);
  timer2_.setSingleShot(true);
  timer2_.setInterval(timings_.start_delay_ms);
  connect(&timer2_, &QTimer::timeout, this, &TForm1::Timer2Timer);
  timer3_.setSingleShot(true);
  timer3_.setInterval(timings_.close_delay_ms);
  connect(&timer3_, &QTimer::timeout, this, &TForm1::Timer3Timer);

  if (arguments_.restart) CloseClientWindows(nullptr);
  timer2_.start();
}

TForm1::~TForm1() = default;

QString TForm1::Brand() const { return Q(APPNAME); }

int TForm1::ProgressPercent() const {
  const int span = progress_->maximum() - progress_->minimum();
  return span <= 0 ? 0 : static_cast<int>(100LL * (progress_->value() - progress_->minimum()) / span);
}

void TForm1::CloseClientWindows(bool* any_open) {
  const TFormHandle login =
      FindForm(QStringLiteral("TLoginForm"), QStringLiteral("登录") + Brand() + QStringLiteral("娱乐"));
  const TFormHandle main = FindForm(QStringLiteral("TMainForm"), Q(MainFormCaption));
  if (login) SendMessageToForm(login, QStringLiteral("Close"));
  if (main) SendMessageToForm(main, QStringLiteral("Close"));
  if (any_open) *any_open = login || main;
}

void TForm1::Timer2Timer() {
  if (arguments_.restart) {
    while (true) {
      bool open = false;
      CloseClientWindows(&open);
      if (!open) break;
      QElapsedTimer waited;
      waited.start();
      while (waited.elapsed() < timings_.client_close_wait_ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      CloseClientWindows(&open);
      if (!open) break;
      if (!hooks_.ask_yes_no(QStringLiteral("发现要替换的文件正在使用中,请确定") + Brand() +
                             QStringLiteral("程序已经退出,是否重试？"))) {
        ending_ = true;
        close();
        return;
      }
    }
  }
  TReceiverOptions options;
  options.program_folder = program_folder_;
  options.requested = arguments_.version;
  options.public_key = public_key_;
  client_ = std::make_unique<TUpdateClient>(options, timings_);
  connect(client_.get(), &TUpdateClient::Announced, this, &TForm1::OnAnnounced);
  connect(client_.get(), &TUpdateClient::NothingToGive, this,
          [this] { status_->setText(QStringLiteral("自动更新失败，点击下载安装文件。")); });
  connect(client_.get(), &TUpdateClient::Staged, this, &TForm1::OnStaged);
  connect(client_.get(), &TUpdateClient::Failed, this, &TForm1::ShowError);
  connect(client_.get(), &TUpdateClient::ServerLost, this,
          [this] { ShowError(QStringLiteral("the update server went away")); });
  if (!client_->Start(arguments_.address, arguments_.port)) {
    client_->Stop();
    status_->setText(QStringLiteral("无法连接到自动更新服务端，点击下载安装文件。"));
  }
}

void TForm1::OnAnnounced() {
  const TUpdateReceiver& r = client_->Receiver();
  memo_->setPlainText(Q(r.Description()));
  update_started_ = true;
  updating_ = true;
  timer1_.start();
}

void TForm1::Timer1Timer() {
  if (!client_) return;
  const TUpdateReceiver& r = client_->Receiver();
  const std::uint64_t whole = r.CurrentWholeSize();
  const std::uint64_t written = r.CurrentReceived();
  // A file announced as 0 bytes still shows a sane bar.
  const std::uint64_t top = std::max<std::uint64_t>({whole, written, 1});
  progress_->setRange(0, 1000);
  progress_->setValue(static_cast<int>(1000 * std::min(written, top) / top));
  progress_line_->setText(QStringLiteral("当前进度:第%1/%2个文件   %3/%4KB")
                              .arg(std::min(r.Finished() + 1, std::max<std::uint32_t>(r.Announced(), 1)))
                              .arg(r.Announced())
                              .arg(written / 1024)
                              .arg(whole / 1024));
  QString text = QStringLiteral("正在下载文件") + Q(r.CurrentName());
  if (!public_key_) text += QStringLiteral("（更新未签名）");
  status_->setText(text);
}

void TForm1::OnStaged() {
  // Runs from the event loop, never inside the transport callback: the questions below are modal.
  const TUpdateReceiver& r = client_->Receiver();
  std::string error;
  while (!InstallStagedFiles(r.Staged(), &error)) {
    std::fprintf(stderr, "KivUpdate: %s\n", error.c_str());
    if (!hooks_.ask_ok_cancel(QStringLiteral("发现要替换的文件正在使用中,请确定") + Brand() +
                              QStringLiteral("程序已经退出。"))) {
      ShowError(Q(error));
      return;
    }
  }
  DeleteDir(r.StagingFolder());
  status_->setText(QStringLiteral("自动更新成功。"));
  updating_ = false;
  succeeded_ = true;
  timer1_.stop();
  progress_line_->hide();
  progress_->setRange(0, 100);
  progress_->setValue(100);
  if (!arguments_.restart) timer3_.start();
}

void TForm1::ShowError(const QString& why) {
  last_error_ = why;
  std::fprintf(stderr, "KivUpdate: %s\n", why.toStdString().c_str());
  updating_ = false;
  timer1_.stop();
  status_->setText(QStringLiteral("在自动更新过程中出现错误，请手动关闭") + Brand() +
                   QStringLiteral("重新进行自动更新。"));
}

void TForm1::Timer3Timer() { close(); }

void TForm1::Label2Click() {
  if (!SOFTURL.empty()) hooks_.open_url(Q(SOFTURL));
}

void TForm1::closeEvent(QCloseEvent* event) {
  // FormCloseQuery
  if (!ending_ && updating_ && !arguments_.restart &&
      !hooks_.ask_yes_no(QStringLiteral("确定中断自动更新？"))) {
    event->ignore();
    return;
  }
  // FormClose. The old client comes back too when an update began and did not succeed: its files
  // are untouched.
  timer1_.stop();
  timer2_.stop();
  timer3_.stop();
  if (client_) client_->Stop();
  if (!ending_ && arguments_.restart && (succeeded_ || update_started_) && !ExeName.empty())
    hooks_.start_program(program_folder_ / ExeName);
  event->accept();
  emit Finished();
}

}  // namespace kiv::update
