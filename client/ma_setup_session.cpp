// The session manager's side of the settings window: opening it and saving the local settings.
#include "ma_main.h"
#include "ma_manager.h"
#include "manager/global_manager.h"
#include "plugin/plugin_manager.h"

namespace kiv {

void TManager::ShowSetup(int page) {
  if (!GlobalManager || GlobalManager->RunState != kRunSignedIn) return;
  if (!GlobalManager->CheckPermit(GlobalManager->Me->user_type, TPermitType::Modify)) {
    Message(QStringLiteral("没有此操作权限。"));
    return;
  }
  if (!setup_form_) {
    TSetupHooks hooks;
    hooks.save_setup = [this] { SaveSetup(); };
    hooks.send_change = [this](const Bytes& request, const TSentProfile& sent) {
      sent_profiles_.push_back(sent);
      SendToHome(request);
    };
    hooks.request_profile = [this] { RequestOwnProfile(); };
    hooks.login_form = [this] {
      const bool created = !login_form_;
      TLoginForm* form = EnsureLoginForm();
      if (created) LoadLoginInfo();
      return form;
    };
    hooks.play_sound = options_.play_sound;
    hooks.open_mall = [this] { ShowMall(); };
    hooks.timeout_ms = options_.setup_timeout_ms;
    setup_form_ = new TSetupForm(std::move(hooks));
  }
  setup_form_->OpenPage(page);
}

void TManager::SaveSetup() {
  if (setup_form_) {
    // 1. The login window's boxes and the local user list.
    TLoginForm* login = EnsureLoginForm();
    login->UserCodeBox()->setEditText(QString::number(GlobalManager->Me->UserCode()));
    login->RememberBox()->setChecked(setup_form_->RememberPassword());
    login->InvisibleBox()->setChecked(setup_form_->InvisibleLogin());
    SaveLoginInfo();
    // 2 to 4. The setup record and the custom photo.
    setup_form_->StoreLocalSettings();
    // 5. Everyone who shows or sends the settings.
    main_form_->ShowMyInfo();
    PluginManager->DealMessage("KivFriend", 0x70019, nullptr, 0);
    PluginManager->DealMessage("KivChat", 0x70019, nullptr, 0);
    ApplyOptions();
    emit SetupSaved();
  }
  GlobalManager->SaveSetupInfo();
}

}  // namespace kiv
