#include "ma_appearance.h"

#include <QCoreApplication>
#include <QCursor>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QPointer>
#include <QPushButton>
#include <QThreadPool>
#include <QVBoxLayout>

#include "base/files.h"
#include "base/graphic_archive.h"
#include "base/ini.h"
#include "base/safe_name.h"
#include "controls/download.h"
#include "controls/frame_bar.h"
#include "declare/declare.h"
#include "ma_download.h"
#include "manager/global_manager.h"
#include "manager/skin_engine.h"

namespace kiv {

namespace fs = std::filesystem;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

constexpr int kTileWidth = 95;
constexpr int kTileHeight = 150;

}  // namespace

bool InstallSkinPackage(const fs::path& package, const fs::path& skins_folder, const std::string& name) {
  const GraphicArchiveReadResult read = ReadGraphicArchiveFile(package.string());
  if (!read.ok() || read.archive.empty()) return false;
  for (const GraphicEntry& entry : read.archive.entries())
    if (!IsBareFileName(entry.file_name)) return false;
  auto target = PathInFolder(skins_folder, name);
  auto staging = PathInFolder(skins_folder, name + ".unpacking");
  if (!target || !staging) return false;
  std::error_code ec;
  fs::remove_all(*staging, ec);
  if (!MakeDir(*staging)) return false;
  for (const GraphicEntry& entry : read.archive.entries()) {
    if (!WriteFileAtomic(*PathInFolder(*staging, entry.file_name), entry.data)) {
      fs::remove_all(*staging, ec);
      return false;
    }
  }
  fs::remove_all(*target, ec);
  fs::rename(*staging, *target, ec);
  return !ec;
}

TAppearanceForm::TAppearanceForm(std::string skin_url, QWidget* parent)
    : QDialog(parent), skin_url_(std::move(skin_url)) {
  setWindowTitle(QStringLiteral("更改外观"));
  auto* layout = new QVBoxLayout(this);
  auto* grid = new QGridLayout;
  hue_ = new QSlider(Qt::Horizontal, this);
  hue_->setRange(0, 360);
  saturation_ = new QSlider(Qt::Horizontal, this);
  saturation_->setRange(-100, 100);
  hue_value_ = new QLabel(this);
  saturation_value_ = new QLabel(this);
  grid->addWidget(new QLabel(QStringLiteral("色彩："), this), 0, 0);
  grid->addWidget(hue_, 0, 1);
  grid->addWidget(hue_value_, 0, 2);
  grid->addWidget(new QLabel(QStringLiteral("饱和度："), this), 1, 0);
  grid->addWidget(saturation_, 1, 1);
  grid->addWidget(saturation_value_, 1, 2);
  layout->addLayout(grid);
  auto* boxes = new QHBoxLayout;
  borders_ = new QCheckBox(QStringLiteral("阴影边框"), this);
  glow_ = new QCheckBox(QStringLiteral("动画特效"), this);
  boxes->addWidget(borders_);
  boxes->addWidget(glow_);
  boxes->addStretch();
  layout->addLayout(boxes);
  gallery_ = new QScrollArea(this);
  gallery_->setMinimumSize(kTileWidth * 4 + 24, kTileHeight + 10);
  gallery_->setWidget(new QWidget);
  layout->addWidget(gallery_, 1);
  auto* buttons = new QHBoxLayout;
  auto* defaults = new QPushButton(QStringLiteral("默认"), this);
  auto* close = new QPushButton(QStringLiteral("关闭"), this);
  buttons->addStretch();
  buttons->addWidget(defaults);
  buttons->addWidget(close);
  layout->addLayout(buttons);

  connect(hue_, &QSlider::valueChanged, hue_value_, [this](int v) { hue_value_->setNum(v); });
  connect(saturation_, &QSlider::valueChanged, saturation_value_,
          [this](int v) { saturation_value_->setNum(v); });
  connect(hue_, &QSlider::sliderReleased, this, &TAppearanceForm::ApplyValues);
  connect(saturation_, &QSlider::sliderReleased, this, &TAppearanceForm::ApplyValues);
  connect(borders_, &QCheckBox::clicked, this, &TAppearanceForm::ApplyValues);
  connect(glow_, &QCheckBox::clicked, this, &TAppearanceForm::ApplyValues);
  connect(defaults, &QPushButton::clicked, this, &TAppearanceForm::RestoreDefaults);
  connect(close, &QPushButton::clicked, this, &QDialog::close);
  resize(440, 420);
}

fs::path TAppearanceForm::SkinsFolder() const {
  return ResourceFolder(fs::path(GlobalManager->AppPath), "skins", "Skins");
}

void TAppearanceForm::showEvent(QShowEvent* event) {
  LoadValues();
  BuildGallery();
  QDialog::showEvent(event);
}

void TAppearanceForm::LoadValues() {
  const TSystemInfo& info = GlobalManager->SystemInfo;
  hue_->setValue(info.SkinHue);
  saturation_->setValue(info.SkinSaturation);
  hue_value_->setNum(hue_->value());
  saturation_value_->setNum(saturation_->value());
  borders_->setChecked(info.SkinBorders != 0);
  glow_->setChecked(info.SkinGlow != 0);
}

void TAppearanceForm::ApplyValues() {
  TSystemInfo& info = GlobalManager->SystemInfo;
  info.SkinHue = hue_->value();
  info.SkinSaturation = saturation_->value();
  info.SkinBorders = borders_->isChecked() ? 1 : 0;
  info.SkinGlow = glow_->isChecked() ? 1 : 0;
  GlobalManager->ApplySkin();  // one engine update with all four values
  GlobalManager->SaveSystemInfo();
}

void TAppearanceForm::RestoreDefaults() {
  hue_->setValue(0);
  saturation_->setValue(0);
  borders_->setChecked(true);
  glow_->setChecked(true);
  GlobalManager->SystemInfo.SkinName.SetText(SKINNAME);
  ApplyValues();
}

void TAppearanceForm::BuildGallery() {
  auto* tiles = new QWidget;
  const fs::path skins = SkinsFolder();
  const IniFile catalogue = IniFile::Load(skins / "SkinInfo.dat");
  const int columns = std::max(1, (gallery_->viewport()->width()) / kTileWidth);
  int index = 0;
  for (const std::string& section : catalogue.Sections()) {
    const std::string name = catalogue.Get(section, "Name");
    if (name.empty() || !IsBareFileName(name)) continue;
    const std::string image = catalogue.Get(section, "ImageName");
    const bool on_disk = fs::exists(skins / (name + ".asz"));
    const QString action = on_disk ? QStringLiteral("点击使用") : QStringLiteral("点击下载");
    auto* tile = new TWebImage(tiles);
    tile->setObjectName(Q(name));
    tile->DownloadFolder = skins.filename().string();
    tile->setGeometry((index % columns) * kTileWidth, (index / columns) * kTileHeight, kTileWidth,
                      kTileHeight);
    tile->setCursor(Qt::PointingHandCursor);
    tile->setToolTip(QStringLiteral("皮肤名称：") + Q(name) + QLatin1Char(' ') + action);
    if (IsBareFileName(image) && fs::exists(skins / image))
      tile->GetImageFromFile(Q((skins / image).string()));
    else if (IsBareFileName(image) && !skin_url_.empty())
      tile->GetImageFromURL(skin_url_ + image);
    auto* label = new QLabel(action + QStringLiteral("\n皮肤名称：") + Q(name), tile);
    label->setGeometry(5, 120, 100, 30);
    label->hide();
    tile->OnMouseEnter = [label] { label->show(); };
    tile->OnMouseLeave = [label] { label->hide(); };
    tile->setProperty("skinName", Q(name));
    ++index;
  }
  tiles->resize(columns * kTileWidth, ((index + columns - 1) / columns) * kTileHeight);
  gallery_->setWidget(tiles);  // frees the previous tiles
  for (TWebImage* tile : tiles->findChildren<TWebImage*>()) {
    const std::string name = tile->property("skinName").toString().toStdString();
    auto* click = new QPushButton(tile);  // a transparent button over the picture takes the click
    click->setFlat(true);
    click->setStyleSheet(QStringLiteral("background: transparent; border: none;"));
    click->setGeometry(0, 0, kTileWidth, kTileHeight);
    click->setCursor(Qt::PointingHandCursor);
    click->setObjectName(QStringLiteral("choose"));
    connect(click, &QPushButton::clicked, this, [this, name] { ChooseSkin(name); });
  }
}

bool TAppearanceForm::UseSkin(const std::string& name) {
  const fs::path skins = SkinsFolder();
  if (!fs::is_directory(skins / name) && !InstallSkinPackage(skins / (name + ".asz"), skins, name))
    return false;
  GlobalManager->SystemInfo.SkinName.SetText(name);
  GlobalManager->ApplySkin();
  GlobalManager->SkinManager->SetActive(true);
  GlobalManager->SaveSystemInfo();
  return GlobalManager->SkinManager->SkinName() == name;
}

void TAppearanceForm::ChooseSkin(const std::string& name) {
  const fs::path skins = SkinsFolder();
  if (!IsBareFileName(name)) return;
  if (fs::exists(skins / (name + ".asz"))) {
    emit SkinChosen(Q(name), UseSkin(name));
    return;
  }
  GlobalManager->ShowHintForm(QStringLiteral("正在下载皮肤") + Q(name) + QStringLiteral("，请稍侯..."));
  QPointer<TAppearanceForm> self(this);
  const std::string url = skin_url_ + name + ".rar";
  QThreadPool::globalInstance()->start([self, url, skins, name] {
    const bool fetched = !url.empty() &&
                         FetchToFile(url, skins / (name + ".asz"), kPackageLimit) == TFetchResult::kOk &&
                         InstallSkinPackage(skins / (name + ".asz"), skins, name);
    if (!fetched) {
      std::error_code ec;
      fs::remove(skins / (name + ".asz"), ec);  // a package that does not unpack is not kept
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self, name, fetched] {
          if (GlobalManager) GlobalManager->HideHintForm();
          if (!self) return;
          if (!fetched) {
            GlobalManager->ShowMessage(QStringLiteral("下载皮肤失败。"));
            emit self->SkinChosen(Q(name), false);
            return;
          }
          emit self->SkinChosen(Q(name), self->UseSkin(name));
        },
        Qt::QueuedConnection);
  });
}

}  // namespace kiv
