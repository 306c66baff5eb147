#include "emote_manager.h"
#include "system/path_text.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QTextEdit>
#include <QThread>
#include <cassert>
#include <cstring>

#include "base/files.h"
#include "emote/emote_exports.h"
#include "manager/global_manager.h"

namespace kiv::emote {

namespace {

// File names in 0x70009 are short; a longer buffer is read up to this.
constexpr std::size_t kMaxFileNameBytes = 255;

// The list and the picker belong to the window thread; every entry point checks it in debug builds.
void AssertWindowThread() {
  assert(
      (!QCoreApplication::instance() || QThread::currentThread() == QCoreApplication::instance()->thread()) &&
      "the emoticon plug-in is used on the main thread only");
}

}  // namespace

TManager::~TManager() {
  // Widgets may only go while the application object lives.
  if (form_ && QCoreApplication::instance()) delete form_.data();
}

TEmoteModel& TManager::Model() {
  AssertWindowThread();
  const std::filesystem::path app_folder =
      GlobalManager ? std::filesystem::u8path(GlobalManager->AppPath) : ApplicationFolder();
  const std::uint32_t user = GlobalManager && GlobalManager->Me ? GlobalManager->Me->UserCode() : 0;
  if (model_.Sync(app_folder, user) && form_) form_->DrawAll();
  return model_;
}

void TManager::CreateForm() {
  AssertWindowThread();
  if (form_) return;
  form_ = new TKivEmoteForm(Model());
  if (GlobalManager) GlobalManager->UpdateFormSkin(form_);
}

void TManager::FreeForm() { delete form_.data(); }

void TManager::DealMessage(std::uint32_t code, void* data, std::uint32_t size) {
  switch (code) {
    case kMsgShowEmotePicker:
    case kMsgShowEmotePickerForText: {
      if (!data) return;
      auto* target = static_cast<QWidget*>(data);
      auto* rich_text = qobject_cast<QTextEdit*>(target);
      if (code == kMsgShowEmotePicker && !rich_text) return;  // nothing to insert a picture into
      Model();
      CreateForm();
      if (code == kMsgShowEmotePickerForText) {
        form_->ShowForText(target);
      } else {
        form_->ShowForRichText(rich_text, size == 0);
      }
      break;
    }
    case kMsgAddCustomEmote: {
      if (!data) return;
      const auto* text = static_cast<const char*>(data);
      const std::size_t limit = size > 0 ? std::min<std::size_t>(size, kMaxFileNameBytes) : kMaxFileNameBytes;
      const std::string file_name(text, ::strnlen(text, limit));
      const QString error = Model().AddStoredPicture(file_name);
      if (!error.isEmpty()) {
        if (GlobalManager) GlobalManager->ShowMessage(error, kMessageNotice);
        return;
      }
      if (form_) form_->DrawAll();
      break;
    }
    default:
      break;
  }
}

QStringList TManager::HotKeys() { return Model().HotKeys(); }

bool TManager::ImagePath(std::string_view hot_key, std::string& path, bool& custom) {
  TEmoteModel& model = Model();
  const TEmoteInfo* info = model.FindByHotKey(hot_key);
  if (!info) return false;
  path = Utf8OfPath(model.PicturePath(*info));
  custom = info->IsCustom();
  return true;
}

void TManager::RunEmoFile(const std::filesystem::path& file) {
  TEmoteModel& model = Model();
  const QString error = model.InstallPackage(file);
  if (error.isEmpty() && form_) form_->DrawAll();
  if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return;
  // A plain message box that does not hold up the caller.
  auto* box = new QMessageBox(error.isEmpty() ? QMessageBox::Information : QMessageBox::Warning,
                              QStringLiteral("提示"), error.isEmpty() ? text::kPackageInstalled : error);
  box->setObjectName(QStringLiteral("EmotePackageMessage"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->show();
}

TManager& Manager() {
  static TManager manager;
  return manager;
}

}  // namespace kiv::emote
