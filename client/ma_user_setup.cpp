#include "ma_user_setup.h"

#include <QBuffer>
#include <QCursor>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QImageReader>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "base/gbk.h"
#include "ma_login.h"
#include "ma_records.h"
#include "ma_select_photo.h"
#include "manager/global_manager.h"
#include "user/user.h"

namespace kiv {
namespace {

// Field widths: characters the user may type, and GBK bytes of the fields that travel as string[N].
constexpr int kNicknameChars = 20;
constexpr int kEmailChars = 20;
constexpr int kAgeDigits = 2;
constexpr std::size_t kShortFieldBytes = 20;  // city, telephone, occupation, question
constexpr std::size_t kAddressBytes = 60;
constexpr std::size_t kIntroductionBytes = 255;
constexpr int kAnswerChars = 40;
constexpr int kIdentityChars = 20;
constexpr int kFaceSize = 32;

const char* const kProvinces[] = {"北京", "安徽", "重庆",   "福建", "甘肃", "广东", "广西",   "贵州",
                                  "海南", "河北", "黑龙江", "河南", "湖北", "湖南", "内蒙古", "江苏",
                                  "江西", "吉林", "辽宁",   "宁夏", "青海", "山西", "陕西",   "山东",
                                  "上海", "四川", "天津",   "西藏", "新疆", "云南", "浙江",   "其他"};
const char* const kOccupations[] = {"服务行业", "工程师",         "计算机业", "兼职",     "教育业",
                                    "金融业",   "老板",           "全职",     "商业",     "失业",
                                    "退休",     "销售/广告/市场", "学生",     "政府部门", "制造业"};
const char* const kVerifyModes[] = {"允许任何人把我加为好友", "需要身份验证才能把我加为好友",
                                    "不允许任何人把我加为好友"};

QLineEdit* Limited(QWidget* parent, int chars) {
  auto* box = new QLineEdit(parent);
  box->setMaxLength(chars);
  return box;
}

QLineEdit* GbkLimited(QWidget* parent, std::size_t bytes) {
  auto* box = new QLineEdit(parent);
  box->setValidator(new TGbkLimitValidator(bytes, box));
  return box;
}

QLineEdit* Secret(QWidget* parent) {
  auto* box = Limited(parent, kMaxPasswordLength);
  box->setEchoMode(QLineEdit::Password);
  return box;
}

QString EditorText(const std::string& crlf) {
  return QString::fromStdString(crlf).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

}  // namespace

QValidator::State TGbkLimitValidator::validate(QString& input, int&) const {
  return Utf8ToGbk(input.toStdString()).size() <= bytes_ ? Acceptable : Invalid;
}

TUserSetupFrame::TUserSetupFrame(QWidget* parent) : QWidget(parent), pages_(new QStackedWidget(this)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(pages_);
  pages_->addWidget(BuildProfilePage());
  pages_->addWidget(BuildPhotoPage());
  pages_->addWidget(BuildSecurityPage());
}

QWidget* TUserSetupFrame::BuildProfilePage() {
  auto* page = new QWidget(this);
  auto* layout = new QVBoxLayout(page);
  auto* top = new QHBoxLayout;
  face_label_ = new QLabel(page);
  face_label_->setFixedSize(kFaceSize + 4, kFaceSize + 4);
  face_label_->setFrameShape(QFrame::Box);
  face_label_->setAlignment(Qt::AlignCenter);
  choose_face_ = new QPushButton(QStringLiteral("选择"), page);
  user_type_ = new QLabel(page);
  refresh_ = new QPushButton(QStringLiteral("刷新"), page);
  top->addWidget(face_label_);
  top->addWidget(choose_face_);
  top->addStretch();
  top->addWidget(user_type_);
  top->addWidget(refresh_);
  layout->addLayout(top);

  auto* grid = new QGridLayout;
  nickname_ = Limited(page, kNicknameChars);
  sex_ = new QComboBox(page);
  sex_->addItems({QStringLiteral("男"), QStringLiteral("女")});
  age_ = Limited(page, kAgeDigits);
  age_->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), age_));
  email_ = Limited(page, kEmailChars);
  province_ = new QComboBox(page);
  for (const char* name : kProvinces) province_->addItem(QString::fromUtf8(name));
  city_ = GbkLimited(page, kShortFieldBytes);
  telephone_ = GbkLimited(page, kShortFieldBytes);
  address_ = GbkLimited(page, kAddressBytes);
  occupation_ = new QComboBox(page);
  occupation_->setEditable(true);
  occupation_->setInsertPolicy(QComboBox::NoInsert);
  for (const char* name : kOccupations) occupation_->addItem(QString::fromUtf8(name));
  occupation_->lineEdit()->setValidator(new TGbkLimitValidator(kShortFieldBytes, occupation_));
  introduction_ = new QPlainTextEdit(page);
  introduction_->setTabChangesFocus(true);
  int row = 0;
  auto add = [&](const char* left_label, QWidget* left, const char* right_label, QWidget* right) {
    grid->addWidget(new QLabel(QString::fromUtf8(left_label), page), row, 0);
    grid->addWidget(left, row, 1);
    if (right) {
      grid->addWidget(new QLabel(QString::fromUtf8(right_label), page), row, 2);
      grid->addWidget(right, row, 3);
    }
    ++row;
  };
  add("昵称：", nickname_, "性别：", sex_);
  add("年龄：", age_, "EMail：", email_);
  add("省份：", province_, "城市：", city_);
  add("电话：", telephone_, "职业：", occupation_);
  grid->addWidget(new QLabel(QStringLiteral("地址："), page), row, 0);
  grid->addWidget(address_, row++, 1, 1, 3);
  grid->addWidget(new QLabel(QStringLiteral("个人说明："), page), row, 0, Qt::AlignTop);
  grid->addWidget(introduction_, row++, 1, 1, 3);
  grid->setColumnStretch(1, 1);
  grid->setColumnStretch(3, 1);
  layout->addLayout(grid, 1);

  connect(choose_face_, &QPushButton::clicked, this, &TUserSetupFrame::ChooseFace);
  connect(refresh_, &QPushButton::clicked, this, &TUserSetupFrame::RefreshRequested);
  connect(introduction_, &QPlainTextEdit::textChanged, this, &TUserSetupFrame::LimitIntroduction);
  return page;
}

QWidget* TUserSetupFrame::BuildPhotoPage() {
  auto* page = new QWidget(this);
  auto* layout = new QVBoxLayout(page);
  auto* top = new QHBoxLayout;
  custom_photo_ = new QCheckBox(QStringLiteral("使用自定义头像"), page);
  top->addWidget(custom_photo_);
  top->addWidget(new QLabel(QStringLiteral("(会员功能)"), page));
  top->addStretch();
  layout->addLayout(top);
  auto* path_row = new QHBoxLayout;
  picture_path_ = new QLineEdit(page);
  picture_path_->setReadOnly(true);
  auto* choose = new QPushButton(QStringLiteral("选择"), page);
  path_row->addWidget(new QLabel(QStringLiteral("图片文件路径："), page));
  path_row->addWidget(picture_path_, 1);
  path_row->addWidget(choose);
  layout->addLayout(path_row);
  preview_ = new QLabel(page);
  preview_->setFixedSize(kPhotoPreviewSize, kPhotoPreviewSize);
  preview_->setFrameShape(QFrame::Box);
  preview_->setAlignment(Qt::AlignCenter);
  layout->addWidget(preview_, 0, Qt::AlignLeft);
  layout->addStretch();
  connect(choose, &QPushButton::clicked, this, &TUserSetupFrame::BrowsePicture);
  return page;
}

QWidget* TUserSetupFrame::BuildSecurityPage() {
  auto* page = new QWidget(this);
  auto* layout = new QVBoxLayout(page);

  auto* password = new QGroupBox(page);
  auto* password_layout = new QGridLayout(password);
  change_password_ = new QCheckBox(QStringLiteral("修改密码"), password);
  old_password_ = Secret(password);
  new_password_ = Secret(password);
  confirm_password_ = Secret(password);
  password_layout->addWidget(change_password_, 0, 0, 1, 6);
  password_layout->addWidget(new QLabel(QStringLiteral("原密码："), password), 1, 0);
  password_layout->addWidget(old_password_, 1, 1);
  password_layout->addWidget(new QLabel(QStringLiteral("新密码："), password), 1, 2);
  password_layout->addWidget(new_password_, 1, 3);
  password_layout->addWidget(new QLabel(QStringLiteral("确认："), password), 1, 4);
  password_layout->addWidget(confirm_password_, 1, 5);
  layout->addWidget(password);

  auto* protection = new QGroupBox(page);
  auto* protection_layout = new QGridLayout(protection);
  protection_ = new QCheckBox(QStringLiteral("申请密码保护"), protection);
  question_ = GbkLimited(protection, kShortFieldBytes);
  answer_ = Limited(protection, kAnswerChars);
  identity_ = Limited(protection, kIdentityChars);
  protection_layout->addWidget(protection_, 0, 0, 1, 4);
  protection_layout->addWidget(new QLabel(QStringLiteral("密码问题："), protection), 1, 0);
  protection_layout->addWidget(question_, 1, 1);
  protection_layout->addWidget(new QLabel(QStringLiteral("问题答案："), protection), 1, 2);
  protection_layout->addWidget(answer_, 1, 3);
  protection_layout->addWidget(new QLabel(QStringLiteral("证件号码："), protection), 2, 0);
  protection_layout->addWidget(identity_, 2, 1);
  layout->addWidget(protection);

  auto* friends = new QHBoxLayout;
  verify_ = new QComboBox(page);
  for (const char* mode : kVerifyModes) verify_->addItem(QString::fromUtf8(mode));
  friends->addWidget(new QLabel(QStringLiteral("身份验证："), page));
  friends->addWidget(verify_, 1);
  layout->addLayout(friends);
  bind_ = new QCheckBox(QStringLiteral("限制只能在本机登陆"), page);
  layout->addWidget(bind_);

  auto* pay = new QGroupBox(page);
  auto* pay_layout = new QGridLayout(pay);
  change_pay_ = new QCheckBox(QStringLiteral("修改支付密码"), pay);
  old_pay_ = Secret(pay);
  new_pay_ = Secret(pay);
  confirm_pay_ = Secret(pay);
  pay_layout->addWidget(change_pay_, 0, 0, 1, 2);
  pay_layout->addWidget(new QLabel(QStringLiteral("(会员功能)"), pay), 0, 2, 1, 2);
  pay_layout->addWidget(new QLabel(QStringLiteral("原支付密码："), pay), 1, 0);
  pay_layout->addWidget(old_pay_, 1, 1);
  pay_layout->addWidget(new QLabel(QStringLiteral("新支付密码："), pay), 1, 2);
  pay_layout->addWidget(new_pay_, 1, 3);
  pay_layout->addWidget(new QLabel(QStringLiteral("确认："), pay), 1, 4);
  pay_layout->addWidget(confirm_pay_, 1, 5);
  layout->addWidget(pay);
  layout->addStretch();

  auto enable = [](QCheckBox* box, std::initializer_list<QLineEdit*> fields) {
    for (QLineEdit* field : fields) field->setEnabled(false);
    connect(box, &QCheckBox::toggled, box, [fields = std::vector<QLineEdit*>(fields)](bool on) {
      for (QLineEdit* field : fields) field->setEnabled(on);
    });
  };
  enable(change_password_, {old_password_, new_password_, confirm_password_});
  enable(protection_, {question_, answer_, identity_});
  enable(change_pay_, {old_pay_, new_pay_, confirm_pay_});
  connect(bind_, &QCheckBox::clicked, this, [](bool checked) {
    if (checked && GlobalManager)
      GlobalManager->ShowMessage(
          QStringLiteral("此功能限制此账号只能在本机使用，必须在本机登录才能取消此功能，请谨慎选择。"));
  });
  return page;
}

void TUserSetupFrame::LoadProfile(const TMe& me) {
  sex_->setCurrentIndex(me.sex == 1 ? 0 : 1);
  SetFace(me.face);
  age_->setText(QString::number(me.age));
  nickname_->setText(QString::fromStdString(me.nickname.str()));
  email_->setText(QString::fromStdString(me.email.str()));
  province_->setCurrentIndex(province_->findText(QString::fromStdString(me.province.str())));
  city_->setText(QString::fromStdString(me.city.str()));
  telephone_->setText(QString::fromStdString(me.telephone.str()));
  occupation_->setEditText(QString::fromStdString(me.occupation.str()));
  address_->setText(QString::fromStdString(me.address.str()));
  introduction_->setPlainText(EditorText(me.introduction.str()));
  verify_->setCurrentIndex(me.verify_mode <= kVerifyNobody ? me.verify_mode : kVerifyAnyone);
  bind_->setChecked(me.bind_computer == 1);
  std::string type;
  me.GetUserType(type);
  user_type_->setText(QString::fromStdString(type));
}

void TUserSetupFrame::SetFace(std::uint8_t face) {
  face_ = face;
  if (GlobalManager && face < GlobalManager->FaceList32.size())
    face_label_->setPixmap(QPixmap::fromImage(GlobalManager->FaceList32[face]));
  else
    face_label_->clear();
}

void TUserSetupFrame::ChooseFace() {
  auto* picker = new TSelectPhotoForm(this);
  connect(picker, &TSelectPhotoForm::FaceChosen, this, &TUserSetupFrame::SetFace);
  picker->ShowAt(QCursor::pos());
}

void TUserSetupFrame::LimitIntroduction() {
  const QString text = introduction_->toPlainText();
  std::string crlf = text.toStdString();
  std::string wire;
  for (char c : crlf) wire += c == '\n' ? std::string("\r\n") : std::string(1, c);
  if (Utf8ToGbk(IntroductionToWire(wire)).size() <= kIntroductionBytes) {
    introduction_text_ = text;
    return;
  }
  // Too long for the field: the last text that fitted comes back, the cursor at its end.
  const QSignalBlocker block(introduction_);
  introduction_->setPlainText(introduction_text_);
  introduction_->moveCursor(QTextCursor::End);
}

bool TUserSetupFrame::ChoosePicture(const QString& path) {
  const QFileInfo info(path);
  if (info.size() > kMaxPhotoPictureSize) {
    if (GlobalManager) GlobalManager->ShowMessage(QStringLiteral("图片文件尺寸超出系统允许大小。"));
    return false;
  }
  QFile file(path);
  QByteArray bytes;
  if (file.open(QIODevice::ReadOnly)) bytes = file.read(kMaxPhotoPictureSize + 1);
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer);
  reader.setDecideFormatFromContent(true);
  const bool gif = reader.format() == "gif";
  const QImage picture = reader.read();
  if (bytes.isEmpty() || bytes.size() > kMaxPhotoPictureSize || picture.isNull()) {
    if (GlobalManager) GlobalManager->ShowMessage(QStringLiteral("图片文件读取出错。"));
    return false;
  }
  picture_name_ = info.fileName();
  picture_bytes_ = bytes;
  picture_path_->setText(path);
  ShowPicture(picture, gif);
  return true;
}

void TUserSetupFrame::BrowsePicture() {
  const QString file =
      QFileDialog::getOpenFileName(this, QStringLiteral("选择图片"), picture_path_->text(),
                                   QStringLiteral("图片文件 (*.png *.gif *.jpg *.jpeg *.bmp);;PNG "
                                                  "(*.png);;GIF (*.gif);;JPEG (*.jpg *.jpeg);;BMP (*.bmp)"));
  if (!file.isEmpty()) ChoosePicture(file);
}

void TUserSetupFrame::ShowPicture(const QImage& picture, bool gif) {
  const QImage shown = gif ? picture.scaled(kPhotoPreviewSize, kPhotoPreviewSize, Qt::IgnoreAspectRatio,
                                            Qt::SmoothTransformation)
                           : FitPictureSize(picture, kPhotoPreviewSize, kPhotoPreviewSize);
  preview_->setPixmap(QPixmap::fromImage(shown));
}

void TUserSetupFrame::ShowCurrentPhoto() {
  preview_->clear();
  if (!GlobalManager) return;
  const QImage photo =
      GlobalManager->GetPhoto(GlobalManager->Me->UserCode(), kPhotoPreviewSize, false, kPhotoPreviewSize);
  if (photo.isNull()) return;
  // GetPhoto fits every picture but a GIF into the box; a GIF comes as it is and is stretched.
  if (photo.size() == QSize(kPhotoPreviewSize, kPhotoPreviewSize))
    preview_->setPixmap(QPixmap::fromImage(photo));
  else
    ShowPicture(photo, true);
}

void TUserSetupFrame::ClearPasswords() {
  old_password_->clear();
  new_password_->clear();
  confirm_password_->clear();
}

}  // namespace kiv
