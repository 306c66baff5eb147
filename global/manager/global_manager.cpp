#include "manager/global_manager.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QImageReader>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QThread>
#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>
#include <fstream>

#include "base/files.h"
#include "base/gbk.h"
#include "base/graphic_archive.h"
#include "base/log.h"
#include "emote/graphic.h"
#include "manager/message_forms.h"
#include "system/window_helpers.h"

namespace kiv {

TGlobalManager* GlobalManager = nullptr;

namespace {

// Photo files: u32 user code, the source picture's file name as string[99], then the picture.
constexpr std::size_t kPhotoNameField = 100;
constexpr std::size_t kPhotoHeaderSize = 4 + kPhotoNameField;
// Photos are small pictures; a larger file is not one.
constexpr std::uintmax_t kMaxPhotoFileSize = 8u * 1024 * 1024;
constexpr int kFriendPhotoSize = 60;
constexpr int kMinLabelPointSize = 9;

const QString& SkinFontName() {
  static const QString name = QStringLiteral("宋体");
  return name;
}

std::filesystem::path U8Path(const std::string& utf8) { return std::filesystem::path(utf8); }

// Reads a whole file of at most `max_size` bytes; nothing when it is missing, larger or unreadable.
std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::filesystem::path& path,
                                                       std::uintmax_t max_size) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error || size > max_size) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  if (!in ||
      (size > 0 && !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size)))) {
    return std::nullopt;
  }
  return bytes;
}

// A record's bytes as they are stored.
template <typename Record>
std::span<const std::uint8_t> AsBytes(const Record& record) {
  return {reinterpret_cast<const std::uint8_t*>(&record), sizeof record};
}

QImage MakeGray(const QImage& picture) {
  QImage grey = picture.convertToFormat(QImage::Format_RGB32);
  for (int y = 0; y < grey.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(grey.scanLine(y));
    for (int x = 0; x < grey.width(); ++x) {
      const int v = (qBlue(line[x]) * 28 + qGreen(line[x]) * 151 + qRed(line[x]) * 77) >> 8;
      line[x] = qRgb(v, v, v);
    }
  }
  return grey;
}

bool IsApplication() { return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr; }

// Windows belong to the thread of the application object.
void AssertWindowThread() {
  assert(
      (!QCoreApplication::instance() || QThread::currentThread() == QCoreApplication::instance()->thread()) &&
      "windows are used on the main thread only");
}

}  // namespace

QString ReplaceBrandNames(QString text) {
  text.replace(QLatin1String("$MONEY"), QString::fromStdString(MONEYNAME));
  text.replace(QLatin1String("$APP"), QString::fromStdString(APPNAME));
  return text;
}

QImage FitPictureSize(const QImage& picture, int width, int height, bool framed) {
  QImage fitted = picture;
  FitImageSize(fitted, width, height, framed);
  return fitted;
}

TGlobalManager::TGlobalManager() { Create(ApplicationFolder()); }

TGlobalManager::TGlobalManager(const std::filesystem::path& app_folder) { Create(app_folder); }

void TGlobalManager::Create(const std::filesystem::path& app_folder) {
  InitPermit();
  AppPath = app_folder.string();
  if (AppPath.empty() || AppPath.back() != '/') AppPath += '/';
  if (!GbkConversionAvailable()) {
    LogError("the system has no GBK converter: texts outside ASCII cannot be stored or shown", app_folder);
  }
  SkinManager = std::make_unique<TSkinEngine>(U8Path(AppPath + "skins"));
  Me = std::make_unique<TMe>();
  LoadSystemInfo();
  SkinManager->SetActive(true);
}

TGlobalManager::~TGlobalManager() {
  SaveSystemInfo();
  if (hint_form_) delete hint_form_.data();
  FaceList32.clear();
  FaceList16.clear();
  FriendGroupList.clear();
  WaitShowFormList.clear();
  Me.reset();
  GraphicList.clear();
  SkinManager.reset();
}

void TGlobalManager::InitPermit() { PermitArray = DefaultPermitArray(); }

bool TGlobalManager::CheckPermit(std::uint8_t user_type, TPermitType permit) const {
  return CheckPermitIn(PermitArray, user_type, permit);
}

std::filesystem::path TGlobalManager::UserFolder() const {
  return U8Path(AppPath + std::to_string(Me ? Me->UserCode() : 0));
}

std::filesystem::path TGlobalManager::SoundFile(TSetupSound sound) const {
  return ResolveSetupPath(U8Path(AppPath), SetupInfo.Sounds[sound].Text());
}

std::filesystem::path TGlobalManager::ReceiveFolder() const {
  return ResolveSetupPath(U8Path(AppPath), SetupInfo.ReceiveFolder.Text());
}

bool TGlobalManager::SetSoundFile(TSetupSound sound, const std::filesystem::path& file) {
  const std::optional<std::string> stored = StoreSetupPath(U8Path(AppPath), file);
  if (stored) SetupInfo.Sounds[sound].SetText(*stored);
  return stored.has_value();
}

bool TGlobalManager::SetReceiveFolder(const std::filesystem::path& folder) {
  const std::optional<std::string> stored = StoreSetupPath(U8Path(AppPath), folder);
  if (stored) SetupInfo.ReceiveFolder.SetText(*stored);
  return stored.has_value();
}

std::filesystem::path TGlobalManager::SetupInfoPath() const { return UserFolder() / "SetupInfo.dat"; }

std::filesystem::path TGlobalManager::SystemInfoPath() const {
  return U8Path(AppPath + "Datas/SystemInfo.dat");
}

bool TGlobalManager::LoadSetupInfo() {
  const std::uint32_t code = Me ? Me->UserCode() : 0;
  if (code == 0) return false;
  const std::filesystem::path path = SetupInfoPath();
  std::error_code error;
  bool defaults = false;
  if (!std::filesystem::exists(UserFolder(), error) || !std::filesystem::exists(path, error)) {
    defaults = true;
  } else if (auto bytes = ReadWholeFile(path, kSetupInfoSize); bytes && bytes->size() == kSetupInfoSize) {
    std::memcpy(&SetupInfo, bytes->data(), kSetupInfoSize);
  } else {
    defaults = true;
  }
  if (defaults) {
    SetSetupDefaults(SetupInfo, code);
    MakeDir(ReceiveFolder());
    return SaveSetupInfo();
  }
  return true;
}

bool TGlobalManager::SaveSetupInfo() {
  if (!Me || Me->UserCode() == 0) return false;
  if (!MakeDir(UserFolder())) return false;
  return WriteFileAtomic(SetupInfoPath(), AsBytes(SetupInfo));
}

void TGlobalManager::LoadSystemInfo() {
  const auto bytes = ReadWholeFile(SystemInfoPath(), kSystemInfoSize);
  if (bytes && bytes->size() == kSystemInfoSize) {
    std::memcpy(&SystemInfo, bytes->data(), kSystemInfoSize);
  } else {
    SetSystemDefaults(SystemInfo);
    SaveSystemInfo();
  }
  SystemInfo.ClientVersion = CURRENTVERSION;
  SystemInfo.LoginServerPort = LOGINSERVERPORT;
  ApplySkin();
}

bool TGlobalManager::SaveSystemInfo() {
  if (!MakeDir(U8Path(AppPath + "Datas"))) return false;
  return WriteFileAtomic(SystemInfoPath(), AsBytes(SystemInfo));
}

void TGlobalManager::ApplySkin() {
  if (!SkinManager) return;
  const TSkinSettings settings{SystemInfo.SkinHue, SystemInfo.SkinSaturation, SystemInfo.SkinGlow != 0,
                               SystemInfo.SkinBorders != 0};
  if (!SkinManager->SetSkin(SystemInfo.SkinName.Text(), settings) && !SKINNAME.empty()) {
    SkinManager->SetSkin(SKINNAME, settings);
  }
}

std::string TGlobalManager::SkinImagePath() const { return AppPath + "skins/" + SKINIMAGENAME; }

bool TGlobalManager::LoadGraphics() {
  const GraphicArchiveReadResult result = ReadGraphicArchiveFile(SkinImagePath());
  if (result.status == GraphicArchiveStatus::kFileError ||
      result.status == GraphicArchiveStatus::kFileTooLarge) {
    return false;
  }
  GraphicList.clear();
  for (const GraphicEntry& entry : result.archive.entries()) {
    QImage picture;
    if (!picture.loadFromData(entry.data.data(), static_cast<int>(entry.data.size()), "PNG")) continue;
    auto record = std::make_unique<TGraphicRecord>();
    record->name = entry.name;
    record->picture = std::move(picture);
    GraphicList.push_back(std::move(record));
  }
  return true;
}

const QImage* TGlobalManager::GetGraphic(const QString& name) const {
  const std::string wanted = name.toStdString();
  for (const auto& record : GraphicList) {
    if (GraphicNameEquals(record->name.str(), wanted)) return &record->picture;
  }
  return nullptr;
}

void TGlobalManager::SetGraphic(const QString& name, QImage& bitmap) const {
  if (const QImage* picture = GetGraphic(name)) bitmap = picture->copy();
}

std::filesystem::path TGlobalManager::PhotoPath(std::uint32_t user_code) const {
  const std::uint32_t own = Me ? Me->UserCode() : 0;
  return UserFolder() / "FriendFace" /
         (user_code == own ? std::string("Me.pho") : std::to_string(user_code) + ".pho");
}

std::int64_t TGlobalManager::GetPhotoSize(std::uint32_t user_code) const {
  if (Me && user_code == Me->UserCode() && SetupInfo.UseCustomPhoto == 0) return 0;
  std::error_code error;
  const std::filesystem::path path = PhotoPath(user_code);
  if (!std::filesystem::is_regular_file(path, error)) return 0;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  return error ? 0 : static_cast<std::int64_t>(size);
}

QImage TGlobalManager::GetPhoto(std::uint32_t user_code, int width, bool stretch, int height) const {
  if (Me && user_code == Me->UserCode() && SetupInfo.UseCustomPhoto == 0) return {};
  const auto bytes = ReadWholeFile(PhotoPath(user_code), kMaxPhotoFileSize);
  if (!bytes || bytes->size() <= kPhotoHeaderSize) return {};
  // The picture is read from memory; the stored file name only hints at its format.
  QByteArray data(reinterpret_cast<const char*>(bytes->data() + kPhotoHeaderSize),
                  static_cast<qsizetype>(bytes->size() - kPhotoHeaderSize));
  QBuffer buffer(&data);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer);
  reader.setDecideFormatFromContent(true);
  const bool gif = reader.format() == "gif";
  QImage picture = reader.read();
  if (picture.isNull()) return {};
  if (gif) return picture;
  return FitPictureSize(picture, width, height, stretch);
}

QImage TGlobalManager::GetFriendPhoto(const TFriend& person) const {
  if (SetupInfo.ShowCustomPhotos != 0 && GetPhotoSize(person.UserCode()) > 0) {
    QImage photo = GetPhoto(person.UserCode(), kFriendPhotoSize, false, kFriendPhotoSize);
    if (!photo.isNull()) {
      if (photo.size() != QSize(kFriendPhotoSize, kFriendPhotoSize)) {
        photo =
            photo.scaled(kFriendPhotoSize, kFriendPhotoSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
      }
      return photo;
    }
  }
  if (person.face >= FaceList32.size()) return {};
  const QImage& face = FaceList32[person.face];
  return person.state == kStateOnline ? face.copy() : MakeGray(face);
}

TFriend* TGlobalManager::GetFriendInfo(std::uint32_t user_code) const {
  for (const auto& group : FriendGroupList) {
    for (const auto& member : group->members) {
      if (member->UserCode() == user_code) return member.get();
    }
  }
  return nullptr;
}

TFriend* TGlobalManager::GetFriendInfoByAddress(std::uint32_t remote) const {
  if ((remote & 0xFFFF) == 0) return nullptr;  // handle 0 names no connection
  for (const auto& group : FriendGroupList) {
    for (const auto& member : group->members) {
      if (member->remote == remote) return member.get();
    }
  }
  return nullptr;
}

TWaitShowForm* TGlobalManager::AddWaitShowForm(std::uint8_t kind, std::uint32_t user_code, QWidget* window) {
  auto entry = std::make_unique<TWaitShowForm>();
  entry->kind = kind;
  entry->user_code = user_code;
  entry->window = window;
  WaitShowFormList.push_back(std::move(entry));
  return WaitShowFormList.back().get();
}

void TGlobalManager::RemoveWaitShowForm(const TWaitShowForm* entry) {
  std::erase_if(WaitShowFormList, [entry](const auto& e) { return e.get() == entry; });
}

TWaitShowForm* TGlobalManager::GetWaitShowForm(const QWidget* window) const {
  for (auto it = WaitShowFormList.rbegin(); it != WaitShowFormList.rend(); ++it) {
    if ((*it)->window == window) return it->get();
  }
  return nullptr;
}

void TGlobalManager::PlaySound(const std::filesystem::path& file) {
  if (SetupInfo.SoundOn == 0) return;
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) return;
  sound_player_.Play(file);
}

int TGlobalManager::ShowMessage(const QString& text, std::uint8_t mode) {
  AssertWindowThread();
  if (!IsApplication()) return 0;  // no windows in a program without a window system
  if (mode == kMessageQuestion || mode == kMessageInfo) {
    QMessageBox box(mode == kMessageQuestion ? QMessageBox::Question : QMessageBox::Information,
                    QStringLiteral("提示"), text, QMessageBox::NoButton);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    if (mode == kMessageQuestion) {
      box.addButton(QStringLiteral("是"), QMessageBox::YesRole)->setObjectName(QStringLiteral("YesButton"));
      box.setDefaultButton(box.addButton(QStringLiteral("否"), QMessageBox::NoRole));
      box.defaultButton()->setObjectName(QStringLiteral("NoButton"));
    } else {
      box.setDefaultButton(box.addButton(QStringLiteral("确定"), QMessageBox::AcceptRole));
      box.defaultButton()->setObjectName(QStringLiteral("OkButton"));
    }
    UpdateFormSkin(&box);
    box.exec();
    if (mode == kMessageInfo) return 1;
    return box.buttonRole(box.clickedButton()) == QMessageBox::YesRole ? 1 : 0;
  }
  if (SetupInfo.SoundOn != 0) PlaySound(U8Path(AppPath + "Sounds/Warning.wav"));
  const QImage* picture = GetGraphic(QStringLiteral("MessageIcon"));
  auto* form = new TMessageForm(text, picture ? *picture : QImage());
  UpdateFormSkin(form);
  form->show();
  return 0;
}

void TGlobalManager::ShowHintForm(const QString& text) {
  AssertWindowThread();
  if (!IsApplication()) return;
  if (!hint_form_) {
    const QImage* logo = GetGraphic(QStringLiteral("Logo2"));
    hint_form_ = new THintForm(logo ? *logo : QImage());
    UpdateFormSkin(hint_form_);
  }
  hint_form_->SetText(text);
  hint_form_->show();
  hint_form_->raise();
}

void TGlobalManager::HideHintForm() {
  if (hint_form_) hint_form_->close();
}

THintForm* TGlobalManager::HintForm() const { return hint_form_.data(); }

void TGlobalManager::UpdateFormSkin(QWidget* window) const {
  AssertWindowThread();
  if (!window) return;
  window->setFont(QFont(SkinFontName(), 9));
  // Every top-level window takes texts such as "Close" from other programs.
  if (window->isWindow() && !window->findChild<TFormMailbox*>(QString(), Qt::FindDirectChildrenOnly)) {
    new TFormMailbox(window);
  }

  if (window->isWindow()) {
    const Qt::WindowFlags flags = window->windowFlags();
    const Qt::WindowType type = window->windowType();
    if ((type == Qt::Window || type == Qt::Dialog) && !(flags & Qt::FramelessWindowHint)) {
      Qt::WindowFlags wanted = flags & ~Qt::MSWindowsFixedSizeDialogHint;
      if (flags & Qt::CustomizeWindowHint) wanted |= Qt::WindowMinimizeButtonHint;
      if (wanted != flags) {
        const bool visible = window->isVisible();
        window->setWindowFlags(wanted);
        if (visible) window->show();
      }
    }
  }

  window->setWindowTitle(ReplaceBrandNames(window->windowTitle()));
  for (QAbstractButton* button : window->findChildren<QAbstractButton*>()) {
    button->setText(ReplaceBrandNames(button->text()));
    button->setToolTip(ReplaceBrandNames(button->toolTip()));
  }
  for (QLabel* label : window->findChildren<QLabel*>()) {
    label->setText(ReplaceBrandNames(label->text()));
    label->setToolTip(ReplaceBrandNames(label->toolTip()));
    QFont font = label->font();
    font.setFamily(SkinFontName());
    if (font.pointSize() < kMinLabelPointSize) font.setPointSize(kMinLabelPointSize);
    label->setFont(font);
  }
  QList<QAction*> actions = window->findChildren<QAction*>();
  actions += window->actions();
  for (QAction* action : actions) {
    action->setText(ReplaceBrandNames(action->text()));
    action->setToolTip(ReplaceBrandNames(action->toolTip()));
  }
  window->updateGeometry();
  window->update();
}

}  // namespace kiv
