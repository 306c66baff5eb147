#include "friend_info.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>
#include <algorithm>

#include "friend_manager.h"
#include "manager/global_manager.h"

namespace kiv::friends {

namespace {
constexpr int kLevelIconSize = 18;
constexpr int kLevelIconsPerLine = 15;
constexpr int kFacePicture = 64;

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }
}  // namespace

TLevelIcons TLevelIcons::For(std::uint32_t level) {
  TLevelIcons icons;
  icons.suns = level / 25;
  icons.moons = (level % 25) / 5;
  icons.stars = (level % 25) % 5;
  icons.suns = std::min(icons.suns, kMaxLevelIcons - icons.moons - icons.stars);
  return icons;
}

TUserInfoForm::TUserInfoForm(std::uint32_t code) : code_(code) {
  setObjectName(QStringLiteral("UserInfoForm"));
  setProperty("userCode", code);
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowFlag(Qt::Window);
  setWindowTitle(QStringLiteral("用户资料"));

  pages_ = new QTabWidget(this);
  auto* page = new QWidget(pages_);
  pages_->addTab(page, QStringLiteral("基本资料"));
  auto* page_layout = new QVBoxLayout(page);

  auto* head = new QHBoxLayout;
  face_ = new QLabel(page);
  face_->setObjectName(QStringLiteral("FacePicture"));
  face_->setFixedSize(kFacePicture, kFacePicture);
  face_->setAlignment(Qt::AlignCenter);
  face_->setFrameShape(QFrame::StyledPanel);
  head->addWidget(face_, 0, Qt::AlignTop);
  auto* level_box = new QHBoxLayout;
  auto* level_label = new QLabel(QStringLiteral("等级："), page);
  level_box->addWidget(level_label, 0, Qt::AlignTop);
  level_row_ = new QWidget(page);
  level_row_->setObjectName(QStringLiteral("LevelRow"));
  level_layout_ = new QGridLayout(level_row_);
  level_layout_->setContentsMargins(0, 0, 0, 0);
  level_layout_->setSpacing(0);
  level_layout_->setSizeConstraint(QLayout::SetFixedSize);  // the icons packed from the left
  level_box->addWidget(level_row_, 0, Qt::AlignTop | Qt::AlignLeft);
  level_box->addStretch(1);
  head->addLayout(level_box, 1);
  page_layout->addLayout(head);

  auto* fields = new QFormLayout;
  auto field = [&](const char* label, const char* name) {
    auto* e = new QLineEdit(page);
    e->setObjectName(QLatin1String(name));
    e->setReadOnly(true);
    fields->addRow(QString::fromUtf8(label), e);
    return e;
  };
  nickname_ = field("昵称：", "NicknameField");
  sex_ = field("性别：", "SexField");
  age_ = field("年龄：", "AgeField");
  email_ = field("EMail：", "EmailField");
  province_ = field("省份：", "ProvinceField");
  city_ = field("城市：", "CityField");
  phone_ = field("电话：", "PhoneField");
  address_ = field("地址：", "AddressField");
  occupation_ = field("职业：", "OccupationField");
  introduction_ = new QPlainTextEdit(page);
  introduction_->setObjectName(QStringLiteral("IntroductionField"));
  introduction_->setReadOnly(true);
  introduction_->setFixedHeight(72);
  fields->addRow(QStringLiteral("个人说明："), introduction_);
  page_layout->addLayout(fields);

  refresh_ = new QPushButton(QStringLiteral("刷新"), this);
  refresh_->setObjectName(QStringLiteral("RefreshButton"));
  close_ = new QPushButton(QStringLiteral("关闭"), this);
  close_->setObjectName(QStringLiteral("CloseButton"));
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(refresh_);
  buttons->addWidget(close_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(pages_, 1);
  layout->addLayout(buttons);

  connect(refresh_, &QPushButton::clicked, this, [this] {
    if (!Manager) return;
    refresh_->setEnabled(false);  // until the answer is shown
    Manager->RefreshUserInfo(code_);
  });
  connect(close_, &QPushButton::clicked, this, &QWidget::close);
  GlobalManager->UpdateFormSkin(this);
}

void TUserInfoForm::Fill(const TUser& u) {
  refresh_->setEnabled(true);
  setWindowTitle(Q(u.nickname.str()) + QStringLiteral("[%1]的用户资料").arg(code_));
  pages_->setTabText(0, QStringLiteral("基本资料"));
  for (QLineEdit* e : {nickname_, sex_, age_, email_, province_, city_, phone_, address_, occupation_}) e->clear();
  introduction_->clear();
  sex_->setText(u.sex == 1 ? QStringLiteral("男") : QStringLiteral("女"));
  QPixmap face;
  if (u.face < GlobalManager->FaceList32.size()) face = QPixmap::fromImage(GlobalManager->FaceList32[u.face]);
  face_->setPixmap(face);
  age_->setText(QString::number(u.age));
  nickname_->setText(Q(u.nickname.str()));
  email_->setText(Q(u.email.str()));
  province_->setText(Q(u.province.str()));
  city_->setText(Q(u.city.str()));
  phone_->setText(Q(u.telephone.str()));
  address_->setText(Q(u.address.str()));
  occupation_->setText(Q(u.occupation.str()));
  QString intro = Q(u.introduction.str());
  intro.replace(QStringLiteral("#13#10"), QStringLiteral("\n"));
  intro.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  introduction_->setPlainText(intro);
  for (QLineEdit* e : {nickname_, email_, province_, city_, phone_, address_, occupation_}) {
    e->setCursorPosition(0);
    e->setToolTip(e->text());
  }
  ShowLevel(u);
}

void TUserInfoForm::ShowLevel(const TUser& u) {
  while (QLayoutItem* item = level_layout_->takeAt(0)) {
    delete item->widget();
    delete item;
  }
  const std::uint32_t level = u.level_points;
  QString hint = QStringLiteral("等级：%1").arg(level);
  if (GlobalManager->Me && code_ == GlobalManager->Me->UserCode()) {
    hint += QStringLiteral(" 当前经验：%1 升级经验：%2")
                .arg(GlobalManager->Me->current_exp)
                .arg(GlobalManager->Me->next_level_exp);
  }
  const TLevelIcons icons = TLevelIcons::For(level);
  int at = 0;
  auto add = [&](const char* graphic, std::uint32_t count) {
    const QImage* picture = GlobalManager->GetGraphic(QLatin1String(graphic));
    for (std::uint32_t i = 0; i < count; ++i, ++at) {
      auto* icon = new QLabel(level_row_);
      icon->setObjectName(QStringLiteral("LevelIcon"));
      icon->setProperty("graphic", QLatin1String(graphic));
      icon->setFixedSize(kLevelIconSize, kLevelIconSize);
      icon->setAttribute(Qt::WA_TranslucentBackground);
      if (picture)
        icon->setPixmap(QPixmap::fromImage(picture->scaled(kLevelIconSize, kLevelIconSize, Qt::KeepAspectRatio,
                                                           Qt::SmoothTransformation)));
      icon->setToolTip(hint);
      level_layout_->addWidget(icon, at / kLevelIconsPerLine, at % kLevelIconsPerLine);
    }
  };
  add("sun", icons.suns);
  add("moon", icons.moons);
  add("star", icons.stars);
  level_row_->setToolTip(hint);
}

}  // namespace kiv::friends
