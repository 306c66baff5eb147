#include "ma_setup.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QHBoxLayout>
#include <QStyle>
#include <QVBoxLayout>

#include "base/files.h"
#include "base/gbk.h"
#include "base/machine_id.h"
#include "base/text_checks.h"
#include "controls/frame_bar.h"
#include "ma_login.h"
#include "ma_records.h"
#include "manager/global_manager.h"
#include "user/user.h"

namespace kiv {
namespace {

// "Me.pho": u32 user code, the picture file's name as a short string in a 100-byte field, the picture.
constexpr std::size_t kPhotoNameChars = 99;
constexpr std::size_t kPhotoHeaderSize = 4 + kPhotoNameChars + 1;

constexpr std::size_t kMinNicknameBytes = 4;
constexpr std::size_t kMinProtectionBytes = 4;
constexpr std::size_t kMinIdentityBytes = 6;
constexpr std::size_t kMinPasswordBytes = 4;

constexpr int kBarWidth = 120;
constexpr int kBarRowHeight = 30;

constexpr int kGroupUser = 0;
constexpr int kGroupSystem = 1;

std::size_t GbkBytes(const QString& text) { return Utf8ToGbk(text.toStdString()).size(); }
bool Clean(const QString& text) { return CheckInputString(text.toStdString()); }
std::string Crlf(const QString& plain) {
  std::string out;
  for (char c : plain.toStdString()) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

}  // namespace

void ApplySentProfile(const TSentProfile& sent, TMe& me) {
  if (sent.new_password) me.password = *sent.new_password;
  me.face = sent.face;
  me.nickname = sent.nickname;
  me.sex = sent.sex;
  me.age = sent.age;
  me.email = sent.email;
  me.province = sent.province;
  me.city = sent.city;
  me.telephone = sent.telephone;
  me.address = sent.address;
  me.occupation = sent.occupation;
  me.introduction = sent.introduction;
  me.verify_mode = sent.verify_mode;
  me.bind_computer = sent.bind_computer;
}

TSetupForm::TSetupForm(TSetupHooks hooks)
    : hooks_(std::move(hooks)),
      bar_(new TKivFrameBar(this)),
      frames_(new QStackedWidget(this)),
      user_(new TUserSetupFrame(this)),
      sys_(new TSysSetupFrame(hooks_.play_sound, this)),
      status_(new QLabel(this)),
      ok_(new QPushButton(QStringLiteral("确定"), this)),
      close_(new QPushButton(QStringLiteral("关闭"), this)) {
  setObjectName(QStringLiteral("TSetupForm"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowFlag(Qt::Window);
  setWindowTitle(QStringLiteral("设置中心"));

  frames_->addWidget(user_);
  frames_->addWidget(sys_);
  bar_->setFixedWidth(kBarWidth);
  bar_->RowHeight = kBarRowHeight;
  struct Entry {
    int group;
    const char* caption;
    Page page;
    QStyle::StandardPixmap icon;
  } const entries[] = {
      {kGroupUser, "基本资料", kProfile, QStyle::SP_FileDialogDetailedView},
      {kGroupUser, "头像设置", kPhoto, QStyle::SP_DesktopIcon},
      {kGroupUser, "安全设置", kSecurity, QStyle::SP_DialogApplyButton},
      {kGroupSystem, "基本设置", kBasic, QStyle::SP_ComputerIcon},
      {kGroupSystem, "声音设置", kSound, QStyle::SP_MediaVolume},
      {kGroupSystem, "消息设置", kMessages, QStyle::SP_FileDialogContentsView},
  };
  bar_->AddItem(QStringLiteral("用户设置"), QPixmap(), kGroupUser);
  bar_->AddItem(QStringLiteral("系统设置"), QPixmap(), kGroupSystem);
  for (const Entry& e : entries) {
    const QPixmap picture = style()->standardIcon(e.icon).pixmap(kBarRowHeight - 8);
    TKivButton* button = bar_->GetItem(e.group)->AddButton(QString::fromUtf8(e.caption), &picture, 8,
                                                           static_cast<int>(e.page));
    button->Draggable = false;
    button->setCheckable(true);
    button->setAutoExclusive(false);
    const Page page = e.page;
    connect(button, &QToolButton::clicked, this, [this, page] { ShowPage(page); });
  }

  auto* layout = new QVBoxLayout(this);
  auto* body = new QHBoxLayout;
  body->addWidget(bar_);
  body->addWidget(frames_, 1);
  layout->addLayout(body, 1);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(status_, 1);
  bottom->addWidget(ok_);
  bottom->addWidget(close_);
  layout->addLayout(bottom);
  resize(600, 450);

  timeout_.setSingleShot(true);
  timeout_.setInterval(hooks_.timeout_ms);
  connect(&timeout_, &QTimer::timeout, this, &TSetupForm::TimedOut);
  connect(ok_, &QPushButton::clicked, this, &TSetupForm::Ok);
  connect(close_, &QPushButton::clicked, this, &QWidget::close);
  connect(user_, &TUserSetupFrame::RefreshRequested, this, [this] {
    status_->setText(QStringLiteral("正在获取用户资料。"));
    if (hooks_.request_profile) hooks_.request_profile();
  });
}

void TSetupForm::OpenPage(int page) {
  const Page shown = page == 1 ? kPhoto : page == 2 ? kBasic : kProfile;
  const int group = shown == kBasic ? kGroupSystem : kGroupUser;
  for (TKivFrameBarItem* item : bar_->Items()) item->SetExpanded(item->Tag() == group);
  if (!isVisible()) show();
  ShowPage(shown);
  raise();
  activateWindow();
}

void TSetupForm::ShowPage(Page page) {
  page_ = page;
  for (TKivFrameBarItem* item : bar_->Items()) {
    for (int tag = kProfile; tag <= kMessages; ++tag)
      if (TKivButton* button = item->GetItem(tag)) button->setChecked(tag == page);
    if (item->GetItem(page) && !item->Expanded()) item->SetExpanded(true);
  }
  if (page <= kSecurity) {
    // The first user page shown after the window opens asks for the profile; later moves keep what
    // was typed ("刷新" asks again).
    frames_->setCurrentWidget(user_);
    user_->ShowPage(static_cast<TUserSetupFrame::Page>(page));
    if (!refreshed_ && !locked_) {
      refreshed_ = true;
      user_->RefreshButton()->click();
    }
    if (page == kPhoto) user_->ShowCurrentPhoto();
  } else {
    frames_->setCurrentWidget(sys_);
    sys_->ShowPage(static_cast<TSysSetupFrame::Page>(page - kBasic));
  }
}

void TSetupForm::showEvent(QShowEvent* event) {
  if (!event->spontaneous()) LoadLocalSettings();
  QWidget::showEvent(event);
}

void TSetupForm::LoadLocalSettings() {
  refreshed_ = false;
  if (!GlobalManager) return;
  if (hooks_.login_form) {
    if (TLoginForm* login = hooks_.login_form()) {
      sys_->RememberBox()->setChecked(login->RememberPassword());
      sys_->InvisibleBox()->setChecked(login->Invisible());
    }
  }
  sys_->LoadFromSetup(GlobalManager->SetupInfo);
  user_->CustomPhotoBox()->setChecked(GlobalManager->SetupInfo.UseCustomPhoto != 0);
}

void TSetupForm::closeEvent(QCloseEvent* event) {
  if (locked_) {
    event->ignore();
    return;
  }
  QWidget::closeEvent(event);
}

void TSetupForm::StoreLocalSettings() {
  sys_->StoreToSetup();
  StorePhoto();
}

void TSetupForm::StorePhoto() {
  if (!GlobalManager) return;
  TSetupInfo& setup = GlobalManager->SetupInfo;
  if (!user_->CustomPhotoBox()->isChecked()) {
    setup.UseCustomPhoto = 0;
    return;
  }
  const std::filesystem::path file = GlobalManager->UserFolder() / "FriendFace" / "Me.pho";
  QByteArray stored;
  if (QFile photo(QString::fromStdString(file.string())); photo.open(QIODevice::ReadOnly))
    stored = photo.read(static_cast<qint64>(kPhotoHeaderSize) + kMaxPhotoPictureSize + 1);
  const QByteArray& picture = user_->PictureBytes();
  // A photo that is already there is taken again as it is; a new one only when its bytes differ.
  const bool have_photo = stored.size() > static_cast<qsizetype>(kPhotoHeaderSize);
  const bool changed = !picture.isEmpty() && (!have_photo || stored.mid(kPhotoHeaderSize) != picture);
  if (!changed && !have_photo) return;
  if (!GlobalManager->CheckPermit(GlobalManager->Me->user_type, TPermitType::CustomFace)) {
    if (changed &&
        GlobalManager->ShowMessage(QStringLiteral("自定义头像为VIP会员功能，是否升级为VIP会员？"),
                                   kMessageQuestion) == 1 &&
        hooks_.open_mall)
      hooks_.open_mall();
    return;
  }
  if (changed) {
    RecordWriter header(kPhotoHeaderSize);
    header.u32(0, GlobalManager->Me->UserCode()).text(4, kPhotoNameChars, user_->PictureName().toStdString());
    Bytes content(header.view().begin(), header.view().end());
    content.insert(content.end(), picture.begin(), picture.end());
    MakeDir(file.parent_path());
    if (!WriteFileAtomic(file, content)) return;
  }
  setup.UseCustomPhoto = 1;
}

void TSetupForm::DealOwnProfile() {
  // While a change waits for its answer the page shows what was sent; the answer decides.
  if (!GlobalManager || locked_) return;
  user_->LoadProfile(*GlobalManager->Me);
  profile_loaded_ = true;
  status_->clear();
}

void TSetupForm::DealChangeResult(bool applied, bool password_changed) {
  const bool waiting = locked_;
  Unlock();
  if (!applied) return;
  if (password_changed) user_->ClearPasswords();
  if (waiting) close();
}

bool TSetupForm::Refuse(const QString& text) {
  status_->setText(text);
  return false;
}

void TSetupForm::Ok() {
  if (locked_ || !GlobalManager) return;
  // 1. The local settings are saved in every case.
  if (hooks_.save_setup) hooks_.save_setup();
  TMe& me = *GlobalManager->Me;
  if (!GlobalManager->CheckPermit(me.user_type, TPermitType::Modify)) {
    GlobalManager->ShowMessage(QStringLiteral("没有此操作权限。"), kMessageInfo);
    return;
  }
  if (!profile_loaded_) {
    close();
    return;
  }
  if (user_->BindBox()->isChecked() && !GlobalManager->CheckPermit(me.user_type, TPermitType::LockPC)) {
    if (GlobalManager->ShowMessage(QStringLiteral("锁定本机登录为VIP会员功能，是否升级为VIP会员？"),
                                   kMessageQuestion) == 1 &&
        hooks_.open_mall)
      hooks_.open_mall();
    user_->BindBox()->setChecked(false);
  }
  if (!CheckProfile()) return;
  if (!ProfileChanged()) {
    close();
    return;
  }
  SendChange();
}

bool TSetupForm::CheckProfile() {
  const TUserSetupFrame& u = *user_;
  const QString nickname = u.NicknameBox()->text();
  if (nickname.isEmpty()) return Refuse(QStringLiteral("用户名不能为空。"));
  if (!Clean(nickname)) return Refuse(QStringLiteral("用户名不能含有非法字符。"));
  if (GbkBytes(nickname) < kMinNicknameBytes) return Refuse(QStringLiteral("用户名不能少于4个字符。"));
  if (u.AgeBox()->text().isEmpty()) return Refuse(QStringLiteral("年龄不能为空。"));
  const QString email = u.EmailBox()->text();
  if (email.isEmpty()) return Refuse(QStringLiteral("EMail不能为空。"));
  if (!email.contains(QLatin1Char('@')) || !email.contains(QLatin1Char('.')))
    return Refuse(QStringLiteral("EMail格式输入有误。"));
  if (!Clean(email)) return Refuse(QStringLiteral("EMail中含有非法字符。"));
  if (u.ProtectionBox()->isChecked()) {
    const QString question = u.QuestionBox()->text();
    const QString answer = u.AnswerBox()->text();
    const QString identity = u.IdentityBox()->text();
    if (GbkBytes(question) < kMinProtectionBytes) return Refuse(QStringLiteral("密码问题不能少于4个字符。"));
    if (!Clean(question)) return Refuse(QStringLiteral("密码问题中包含非法字符。"));
    if (GbkBytes(answer) < kMinProtectionBytes) return Refuse(QStringLiteral("问题答案不能少于4个字符。"));
    if (!Clean(answer)) return Refuse(QStringLiteral("问题答案中包含非法字符。"));
    if (identity.isEmpty()) return Refuse(QStringLiteral("请输入证件号码，以便找回密码时使用。"));
    if (GbkBytes(identity) < kMinIdentityBytes) return Refuse(QStringLiteral("证件号码长度不得少于6位。"));
  }
  if (u.ChangePasswordBox()->isChecked()) {
    for (const QString& password : {u.OldPasswordBox()->text(), u.NewPasswordBox()->text()}) {
      if (!Clean(password)) return Refuse(QStringLiteral("密码中不能含有非法字符。"));
      if (GbkBytes(password) < kMinPasswordBytes) return Refuse(QStringLiteral("密码不能少于4个字符。"));
    }
    if (u.NewPasswordBox()->text() != u.ConfirmPasswordBox()->text())
      return Refuse(QStringLiteral("密码确认不一致。"));
    if (u.NewPasswordBox()->text() == u.OldPasswordBox()->text())
      return Refuse(QStringLiteral("新密码和原密码不能一致。"));
  }
  if (u.ChangePayBox()->isChecked()) {
    if (!Clean(u.OldPayBox()->text()) || !Clean(u.NewPayBox()->text()))
      return Refuse(QStringLiteral("支付密码中不能含有非法字符。"));
    if (GbkBytes(u.NewPayBox()->text()) < kMinPasswordBytes)
      return Refuse(QStringLiteral("支付密码不能少于4个字符"));
    if (u.NewPayBox()->text() != u.ConfirmPayBox()->text())
      return Refuse(QStringLiteral("支付密码输入确认不一致。"));
  }
  return true;
}

bool TSetupForm::ProfileChanged() const {
  const TMe& me = *GlobalManager->Me;
  const TUserSetupFrame& u = *user_;
  auto differs = [](const QString& shown, const auto& stored) { return shown.toStdString() != stored.str(); };
  return u.Face() != me.face || u.AgeBox()->text().toInt() != me.age ||
         differs(u.NicknameBox()->text(), me.nickname) || differs(u.EmailBox()->text(), me.email) ||
         differs(u.ProvinceBox()->currentText(), me.province) || differs(u.CityBox()->text(), me.city) ||
         differs(u.TelephoneBox()->text(), me.telephone) ||
         differs(u.OccupationBox()->currentText(), me.occupation) ||
         differs(u.AddressBox()->text(), me.address) ||
         Crlf(u.IntroductionBox()->toPlainText()) != me.introduction.str() ||
         u.VerifyBox()->currentIndex() != me.verify_mode ||
         (u.SexBox()->currentIndex() == 0 ? 1 : 0) != me.sex || u.ProtectionBox()->isChecked() ||
         u.ChangePayBox()->isChecked() || u.ChangePasswordBox()->isChecked() ||
         u.BindBox()->isChecked() != (me.bind_computer == 1);
}

void TSetupForm::SendChange() {
  const TMe& me = *GlobalManager->Me;
  const TUserSetupFrame& u = *user_;
  TSentProfile sent;
  sent.nickname = u.NicknameBox()->text().toStdString();
  sent.sex = u.SexBox()->currentIndex() == 0 ? 1 : 0;
  sent.age = static_cast<std::uint8_t>(u.AgeBox()->text().toUInt());
  sent.face = u.Face();
  sent.email = u.EmailBox()->text().toStdString();
  sent.province = u.ProvinceBox()->currentText().toStdString();
  sent.city = u.CityBox()->text().toStdString();
  sent.telephone = u.TelephoneBox()->text().toStdString();
  sent.address = u.AddressBox()->text().toStdString();
  sent.occupation = u.OccupationBox()->currentText().toStdString();
  sent.introduction = Crlf(u.IntroductionBox()->toPlainText());
  sent.verify_mode = static_cast<std::uint8_t>(std::max(0, u.VerifyBox()->currentIndex()));
  sent.bind_computer = u.BindBox()->isChecked() ? 1 : 0;

  TProfileChange change;
  change.own_code = me.UserCode();
  change.nickname = sent.nickname;
  change.sex = sent.sex;
  change.age = sent.age;
  change.face = sent.face;
  change.email = sent.email;
  change.telephone = sent.telephone;
  change.occupation = sent.occupation;
  change.address = sent.address;
  change.province = sent.province;
  change.city = sent.city;
  change.introduction = sent.introduction;
  change.verify_mode = sent.verify_mode;
  change.bind_computer = sent.bind_computer;
  change.machine_digest = MD5(NBGetFirstMac(), 4);
  if (u.ChangePasswordBox()->isChecked()) {
    change.password_digest = MD5(u.OldPasswordBox()->text().toStdString(), 2);
    change.new_password_digest = MD5(u.NewPasswordBox()->text().toStdString(), 2);
    sent.new_password = u.NewPasswordBox()->text().toStdString();
  } else {
    change.password_digest = MD5(me.password.str(), 2);
  }
  if (u.ChangePayBox()->isChecked()) {
    // An empty pay password (none set yet) travels as an empty field.
    if (!u.OldPayBox()->text().isEmpty())
      change.pay_password_digest = MD5(u.OldPayBox()->text().toStdString(), 2);
    change.new_pay_password_digest = MD5(u.NewPayBox()->text().toStdString(), 2);
  }
  if (u.ProtectionBox()->isChecked()) {
    change.ask_protection = 1;
    change.question = u.QuestionBox()->text().toStdString();
    change.answer_digest = MD5(u.AnswerBox()->text().toStdString(), 2);
    change.identity_number = u.IdentityBox()->text().toStdString();
  }
  sent_by_ = ok_->text();
  Lock();
  if (hooks_.send_change) hooks_.send_change(BuildProfileChange(change), sent);
}

void TSetupForm::Lock() {
  locked_ = true;
  bar_->setEnabled(false);
  frames_->setEnabled(false);
  ok_->setEnabled(false);
  close_->setEnabled(false);
  status_->setText(QStringLiteral("正在连接服务器"));
  timeout_.start();
}

void TSetupForm::Unlock() {
  timeout_.stop();
  if (!locked_) return;
  locked_ = false;
  bar_->setEnabled(true);
  frames_->setEnabled(true);
  ok_->setEnabled(true);
  close_->setEnabled(true);
  status_->clear();
}

void TSetupForm::TimedOut() {
  Unlock();
  status_->setText(QStringLiteral("连接服务器超时。"));
}

}  // namespace kiv
