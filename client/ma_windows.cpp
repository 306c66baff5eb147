// TManager: the login window's helper windows (clear-user, network settings), the transport's
// diagnostics window, and the main window's platform pieces (run at system start, the show hot key,
// the signature).
#include <QCoreApplication>

#include "base/files.h"
#include "base/safe_name.h"
#include "base/wire.h"
#include "declare/declare.h"
#include "ma_main.h"
#include "ma_manager.h"
#include "ma_records.h"
#include "manager/global_manager.h"
#include "plugin/plugin_manager.h"
#include "system/auto_run.h"
#include "system/hot_key.h"
#include "system/window_helpers.h"
#include "udp_interface.h"

namespace kiv {

namespace {

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

std::uint16_t Low16(std::int32_t handle) { return static_cast<std::uint16_t>(handle & 0xFFFF); }

constexpr int kDropAfterClearUserMs = 100;
constexpr int kMaxSignatureLength = 255;

}  // namespace

void TManager::ShowNetSetup() {
  // A closed window waits for its deferred deletion: a new one is filled afresh from the record.
  if (net_setup_form_ && !net_setup_form_->isVisible()) delete net_setup_form_.data();
  if (!net_setup_form_) net_setup_form_ = new TNetSetupForm;
  net_setup_form_->show();
  BringToFont(net_setup_form_);
}

void TManager::ShowDiagnostics() { UDPViewInfo(); }

void TManager::ShowClearUser(std::uint32_t code) {
  if (code == 0) return;
  if (clear_user_form_ && !clear_user_form_->isVisible()) delete clear_user_form_.data();
  if (clear_user_form_) {
    if (clear_user_form_->UserCode() == code) {
      BringToFont(clear_user_form_);
      return;
    }
    clear_user_form_->close();
  }
  if (!ConnectLoginServer()) return;
  auto* form = new TClearUserForm(code);
  clear_user_form_ = form;
  connect(form, &TClearUserForm::Confirmed, this,
          [this, form](bool delete_all, const QString& password) { ClearUser(form, delete_all, password); });
  connect(form, &TClearUserForm::Closed, this,
          [this] { AsynFunction(kActionDropLoginServer, kDropAfterClearUserMs); });
  form->show();
  BringToFont(form);
}

void TManager::ClearUser(TClearUserForm* form, bool delete_all, const QString& password) {
  const std::uint32_t code = form->UserCode();
  if (!login_form_ || login_form_->UserCodeBox()->findText(QString::number(code)) < 0) {
    form->close();
    return;
  }
  if (!delete_all) {
    ForgetLocalUser(code);
    form->close();
    return;
  }
  if (Low16(GlobalManager->LoginServer) == 0 && !ConnectLoginServer()) return;
  form->Lock();
  const Bytes request = BuildClearUser(code, password.toStdString());
  UDPSendData(Low16(GlobalManager->LoginServer), request.data(), static_cast<std::uint32_t>(request.size()), 0,
              0, 0);
}

void TManager::ForgetLocalUser(std::uint32_t code) {
  if (!login_form_) return;
  login_form_->RemoveUser(code);
  SaveLoginInfo(code);
  // Saving reads the list back, which fills the boxes from its first user again.
  login_form_->ClearEntries();
}

void TManager::DealClearUserResult(std::uint16_t remote, const void* data, std::size_t size) {
  if (!clear_user_form_ || remote != Low16(GlobalManager->LoginServer)) return;
  const TReceivedRecord record(data, size, kClearUserSize);
  const std::uint8_t result = record->u8(4);
  const std::uint32_t code = record->u32(5);
  if (code != clear_user_form_->UserCode()) return;
  clear_user_form_->Unlock();
  switch (result) {
    case 1: {
      // The user's folder holds the user's settings, records and pictures.
      if (const auto folder = PathInFolder(GlobalManager->AppPath, std::to_string(code))) DeleteDir(*folder);
      Message(QStringLiteral("用户") + QString::number(code) + QStringLiteral("的信息删除成功。"));
      ForgetLocalUser(code);
      clear_user_form_->close();
      break;
    }
    case 2:
      Message(QStringLiteral("用户名密码不正确。"));
      break;
    default:
      Message(QStringLiteral("服务器处理数据出错。"));
      break;
  }
}

void TManager::ApplyOptions() {
  const TSetupInfo& setup = GlobalManager->SetupInfo;
  SetAutoRun(setup.AutoRun != 0);
  SetHotKey(setup.UseHotKey != 0 ? setup.HotKey : 0);
}

void TManager::SetAutoRun(bool on) {
  const std::filesystem::path folder = options_.autostart_folder.empty() ? AutostartFolder() : options_.autostart_folder;
  kiv::SetAutoRun(on, Q(APPNAME), QCoreApplication::applicationFilePath(), folder);
}

void TManager::SetHotKey(std::uint16_t shortcut) {
  if (!hot_key_) {
    hot_key_ = std::make_unique<THotKey>();
    connect(hot_key_.get(), &THotKey::Pressed, this, [this] { main_form_->ShowMainWindow(true); });
  }
  if (shortcut == hot_key_->Shortcut() && shortcut != 0) return;
  hot_key_->Register(shortcut);
}

void TManager::SaveSignature(const QString& text) {
  if (!main_form_->SignatureEditing()) return;
  GlobalManager->SetupInfo.Signature.SetText(text.left(kMaxSignatureLength).toStdString());
  SaveSetup();
  if (PluginManager) PluginManager->DealMessage("KivFriend", 0x70003, nullptr, 0);
  main_form_->ShowMyInfo();
  main_form_->UpdateTrayIcon(-1);
}

}  // namespace kiv
