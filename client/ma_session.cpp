// The session's server messages, the plug-ins' requests to the main program and the web pages.
#include <QCoreApplication>
#include <QDateTime>
#include <QLocale>
#include <QUrl>
#include <cstring>

#include "base/machine_id.h"
#include "base/text_checks.h"
#include "declare/declare.h"
#include "ma_main.h"
#include "ma_manager.h"
#include "ma_records.h"
#include "ma_system_msg.h"
#include "manager/global_manager.h"
#include "plugin/plugin_manager.h"
#include "udp_interface.h"

namespace kiv {

namespace {

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

std::uint16_t Low16(std::int32_t handle) { return static_cast<std::uint16_t>(handle & 0xFFFF); }

bool IsSignedInUser(std::uint32_t code) {
  return GlobalManager->RunState == kRunSignedIn && code != 0 && code == GlobalManager->Me->UserCode();
}

THintInfo MakeNotice(std::uint8_t kind, std::string_view title, std::string_view text, std::string_view sound,
                     std::uint32_t tag, void (*click)(std::uint32_t)) {
  THintInfo notice;
  std::memset(&notice, 0, sizeof notice);
  notice.kind = kind;
  notice.title.SetText(title);
  notice.text.SetText(text);
  notice.sound.SetText(sound);
  notice.picture = nullptr;
  notice.tag = tag;
  notice.flag = 1;
  notice.click = click;
  return notice;
}

// The click action of server notices: the chat plug-in shows the stored system messages.
void ShowSystemMessages(std::uint32_t) {
  if (PluginManager) PluginManager->DealMessage("KivChat", 0x70007, nullptr, 0);
}

}  // namespace

bool TManager::FromServer(std::uint16_t remote) const {
  if (remote == 0) return false;
  return remote == Low16(GlobalManager->LoginServer) ||
         (GlobalManager->HomeServer != -1 && remote == Low16(GlobalManager->HomeServer));
}

void TManager::OnDataRecive(std::uint16_t remote, const void* data, std::uint32_t size) {
  try {
    const std::optional<std::uint32_t> code = ReadMessageCode(data, size);
    if (!code) return;
    if (*code == kMsgChat) {
      QCoreApplication::processEvents();  // the chat plug-in takes it next
      return;
    }
    if (DeclaredLength(*code) == 0 || !FromServer(remote)) return;
    switch (*code) {
      case kMsgServerParams: {
        const TReceivedRecord record(data, size, DeclaredLength(*code));
        const auto params = record->bytes(4, kServerParamSize - 4);
        std::memcpy(GlobalManager->ServerParam.data(), params.data(), params.size());
        break;
      }
      case kMsgLoginReply:
        DealLoginMsg(data, size);
        break;
      case kMsgKickOut:
        DealKickOut(data, size);
        break;
      case kMsgOwnProfile:
        DealOwnProfile(data, size);
        break;
      case kMsgProfileChangeResult:
        DealProfileChangeResult(data, size);
        break;
      case kMsgBroadcast:
        DealBroadcast(data, size);
        break;
      case kMsgBalance:
        DealBalance(data, size);
        break;
      case kMsgLevelUp:
        DealLevelUp(data, size);
        break;
      case kMsgTransferResult:
        DealTransferResult(data, size);
        break;
      case kMsgRecovery:
        if (find_password_form_ && remote == Low16(GlobalManager->LoginServer))
          find_password_form_->DealRecoveryResult(data, size);
        break;
      case kMsgClearUser:
        DealClearUserResult(remote, data, size);
        break;
      default:
        break;
    }
  } catch (...) {
  }
}

void TManager::OnDisConnect(std::uint16_t remote, std::uint8_t) {
  try {
    if (GlobalManager->HomeServer == -1 || remote != Low16(GlobalManager->HomeServer)) return;
    GlobalManager->HomeServer = -1;
    if (GlobalManager->RunState == kRunSignedIn)
      AsynFunction(kActionConnectHome, options_.reconnect_delay_ms);
  } catch (...) {
  }
}

void TManager::DealKickOut(const void* data, std::size_t size) {
  const TReceivedRecord record(data, size, DeclaredLength(kMsgKickOut));
  if (!IsSignedInUser(record->u32(5))) return;
  const std::uint8_t kind = record->u8(4);
  if (kind == 1) {
    Message(QStringLiteral("在别的地方有相同的号码登录，你已经自动注销。"));
  } else if (kind == 2) {
    Message(QStringLiteral("您因违反") + Q(APPNAME) +
            QStringLiteral("用户管理规定，已经被管理人员强制下线。"));
  }
  AsynFunction(kActionLogout, options_.kick_delay_ms);
}

void TManager::DealOwnProfile(const void* data, std::size_t size) {
  const TReceivedRecord record(data, size, DeclaredLength(kMsgOwnProfile));
  const RecordReader& r = *record;
  if (r.u8(12) != 1 || !IsSignedInUser(r.u32(8))) return;
  TMe& me = *GlobalManager->Me;
  me.nickname = r.text(13, 40);
  me.sex = r.u8(54);
  me.age = r.u8(55);
  me.face = r.u8(56);
  me.email = r.text(57, 40);
  me.telephone = r.text(98, 20);
  me.occupation = r.text(119, 20);
  me.address = r.text(140, 60);
  me.province = r.text(201, 20);
  me.city = r.text(222, 20);
  me.level_points = r.u32(263);
  me.current_exp = r.u32(267);
  me.next_level_exp = r.u32(271);
  me.introduction = IntroductionFromWire(r.text(275, 255));
  me.verify_mode = r.u8(531);
  me.bind_computer = r.u8(553);
  const std::uint8_t user_type = r.u8(550);
  if (user_type != me.user_type) PluginManager->DealMessage("KivFriend", 0x70003, nullptr, 0);
  me.user_type = user_type;
  me.profile_extra = r.u16(551);
  main_form_->ShowMyInfo();
  UpdateMoney(r.u32(554));
  if (setup_form_) setup_form_->DealOwnProfile();
}

void TManager::DealProfileChangeResult(const void* data, std::size_t size) {
  const TReceivedRecord record(data, size, DeclaredLength(kMsgProfileChangeResult));
  static constexpr const char* kFailures[] = {
      "处理用户数据出错。",       nullptr,           "用户密码不正确。", nullptr, nullptr, nullptr, nullptr,
      "用户昵称中包含非法字符。", "支付密码不正确。"};
  static constexpr const char* kSuccesses[] = {nullptr,
                                               "用户资料修改成功。",
                                               nullptr,
                                               "用户资料修改成功。但您的密码保护已经申请，无法更改。",
                                               "用户资料修改成功。您的密码保护已经成功申请，请牢记。",
                                               "用户资料修改成功。您的密码保护信息不正确，无法清空。",
                                               "用户资料修改成功。您的密码保护已经成功清空。"};
  const std::uint8_t result = record->u8(4);
  const bool applied = result < std::size(kSuccesses) && kSuccesses[result];
  // The answer belongs to the oldest request still unanswered; it applies what that one carried.
  std::optional<TSentProfile> sent;
  if (!sent_profiles_.empty()) {
    sent = std::move(sent_profiles_.front());
    sent_profiles_.pop_front();
  }
  if (applied && sent) ApplySentProfile(*sent, *GlobalManager->Me);
  if (setup_form_) setup_form_->DealChangeResult(applied, sent && sent->new_password.has_value());
  if (result < std::size(kFailures) && kFailures[result]) {
    Message(QString::fromUtf8(kFailures[result]));
  } else if (applied) {
    main_form_->ShowMyInfo();
    const std::string sound = GlobalManager->SetupInfo.Sounds[kSoundSystemMessage].Text();
    Notify(MakeNotice(2, "用户资料修改成功", kSuccesses[result], sound, 0, nullptr),
           QString::fromUtf8(kSuccesses[result]));
  }
}

void TManager::DealBroadcast(const void* data, std::size_t size) {
  const TReceivedRecord record(data, size, DeclaredLength(kMsgBroadcast));
  const std::uint8_t kind = record->u8(8);
  const std::string text = CheckStr2(record->text(9, 255));
  if (kind <= 1) {
    const std::string sound = GlobalManager->SetupInfo.Sounds[kSoundSystemMessage].Text();
    const THintInfo notice = MakeNotice(1, "来自服务器的消息", text, sound, 5, &ShowSystemMessages);
    if (GlobalManager->RunState != kRunSignedIn) {
      early_notices_.push_back(notice);
    } else if (!PluginManager->GetPluginWorking("KivChatRoom_Inside")) {
      THintInfo copy = notice;
      PluginManager->DealMessage("KivHint", 0x70001, &copy, sizeof copy);
    }
    StoreSystemMessage(text);
    return;
  }
  TWebPageNotice page;
  if (ParseWebPageNotice(text, page))
    OpenWebWindow(page.width, page.height, Q(page.caption), QUrl(Q(page.url)));
}

void TManager::StoreSystemMessage(const std::string& text) {
  const std::uint32_t code = GlobalManager->Me->UserCode();
  if (code == 0) return;  // no user folder before the server named the user
  const QString when = QLocale::system().toString(QDateTime::currentDateTime(), QLocale::ShortFormat);
  AppendSystemMessage(SystemMessagePath(GlobalManager->UserFolder()), text, when.toStdString());
}

void TManager::DealBalance(const void* data, std::size_t size) {
  const TReceivedRecord record(data, size, DeclaredLength(kMsgBalance));
  if (IsSignedInUser(record->u32(4))) UpdateMoney(record->u32(8));
}

void TManager::UpdateMoney(std::uint32_t balance) {
  try {
    TMe& me = *GlobalManager->Me;
    if (balance > me.GetMoney()) PlaySetupSound(kSoundMoneyIncrease);
    if (balance < me.GetMoney()) PlaySetupSound(kSoundMoneyDecrease);
    me.SetMoney(balance);
    main_form_->BalanceLabel()->setText(QString::number(balance));
    PluginManager->DealMessage("KivChatRoom", 0x70050, nullptr, 0);
  } catch (...) {
  }
}

void TManager::PlaySetupSound(TSetupSound slot) {
  const std::filesystem::path file = GlobalManager->SoundFile(slot);
  if (!file.empty()) options_.play_sound(file);
}

void TManager::DealLevelUp(const void* data, std::size_t size) {
  const TReceivedRecord record(data, size, DeclaredLength(kMsgLevelUp));
  if (!IsSignedInUser(record->u32(4))) return;
  options_.play_sound(std::filesystem::path(GlobalManager->AppPath) / "Sounds" / "LevelUp.wav");
  THintInfo notice = MakeNotice(1, "升级啦！", "恭喜您又升了一级。", "", 0, nullptr);
  PluginManager->DealMessage("KivHint", 0x70001, &notice, sizeof notice);
}

void TManager::DealTransferResult(const void* data, std::size_t size) {
  const TReceivedRecord record(data, size, DeclaredLength(kMsgTransferResult));
  if (bank_form_) bank_form_->DealTransferResult();
  const QString money = Q(MONEYNAME);
  switch (record->u8(8)) {
    case 0:
      Message(money + QStringLiteral("赠送成功。"));
      break;
    case 1:
      Message(QStringLiteral("赠送失败，没有查找到对方用户。"));
      break;
    case 2:
      Message(QStringLiteral("赠送失败，服务器处理数据出错。"));
      break;
    case 3:
      Message(QStringLiteral("赠送失败，用户") + money + QStringLiteral("余额不足。"));
      break;
    case 4:
      Message(QStringLiteral("赠送失败，无法对此用户赠送") + money + QStringLiteral("币。"));
      break;
    case 5:
      Message(QStringLiteral("赠送失败，用户支付密码错误。"));
      break;
    default:
      break;
  }
}

void TManager::ShowBank() {
  if (GlobalManager->RunState != kRunSignedIn) return;
  if (!GlobalManager->CheckPermit(GlobalManager->Me->user_type, TPermitType::Bank)) {
    Message(QStringLiteral("没有此操作权限。"));
    return;
  }
  if (!bank_form_)
    bank_form_ =
        new TBankForm([this](const Bytes& message) { SendToHome(message); }, options_.transfer_timeout_ms);
  bank_form_->show();
  bank_form_->raise();
  bank_form_->activateWindow();
}

void TManager::ShowFindPassWord() {
  if (!find_password_form_) {
    if (!ConnectLoginServer()) return;
    find_password_form_ = new TFindPassWordForm(
        [](const Bytes& message) {
          if (Low16(GlobalManager->LoginServer) == 0) return;
          UDPSendData(Low16(GlobalManager->LoginServer), message.data(),
                      static_cast<std::uint32_t>(message.size()), 0, 0, 0);
        },
        options_.recovery_timeout_ms);
    // The login server is needed only while the window is open.
    constexpr int kDropAfterRecoveryMs = 100;
    connect(find_password_form_, &QObject::destroyed, this,
            [this] { AsynFunction(kActionDropLoginServer, kDropAfterRecoveryMs); });
  }
  find_password_form_->show();
  find_password_form_->raise();
  find_password_form_->activateWindow();
}

void TManager::Notify(const THintInfo& notice, const QString& fallback_text) {
  THintInfo copy = notice;
  if (!PluginManager->DealMessage("KivHint", 0x70001, &copy, sizeof copy)) Message(fallback_text);
}

void TManager::SendToHome(const std::vector<std::uint8_t>& message) {
  if (GlobalManager->HomeServer == -1 || Low16(GlobalManager->HomeServer) == 0) return;
  UDPSendData(Low16(GlobalManager->HomeServer), message.data(), static_cast<std::uint32_t>(message.size()), 0,
              0, 0);
}

void TManager::RequestOwnProfile() {
  if (GlobalManager->RunState != kRunSignedIn) return;
  SendToHome(BuildOwnProfileRequest(GlobalManager->Me->UserCode()));
}

// --- Requests of the plug-ins ---------------------------------------------------------------------

void TManager::OnPluginMessage(std::uint32_t code, void* data, std::uint32_t size) {
  try {
    switch (code) {
      case kMsgOpenSetupPage0:
      case kMsgOpenSetupPage1:
        ShowSetup(code == kMsgOpenSetupPage1 ? 1 : 0);
        break;
      case kMsgFlashNoticeIcon:
        if (GlobalManager->HintCount > 0) main_form_->FlashNoticeIcon();
        break;
      case kMsgRedrawTrayIcon:
        main_form_->UpdateTrayIcon(-1);
        break;
      case kMsgOpenPayPage:
        ShowPayPage();
        break;
      case kMsgLowerMainWindow:
        main_form_->lower();
        break;
      case kMsgBalanceChanged:
        DealBalance(data, size);
        break;
      case kMsgOpenServicePage:
        ShowService();
        break;
      case kMsgOpenMallPage:
        ShowMall();
        break;
      case kMsgRequestOwnProfile:
        RequestOwnProfile();
        break;
      default:
        break;
    }
  } catch (...) {
  }
}

// --- Web pages ------------------------------------------------------------------------------------

void TManager::OpenWebWindow(int width, int height, const QString& caption, const QUrl& url) {
  web_windows_->OpenWebWindow(width, height, caption, url);
}

QUrl TManager::AccountPageUrl(const std::string& base) const {
  const TMe& me = *GlobalManager->Me;
  return QUrl(
      Q(base + "&usercode=" + std::to_string(me.UserCode()) + "&password=" + MD5(me.password.str(), 2)));
}

void TManager::ShowMoneyRecord() {
  OpenWebWindow(500, 486, QStringLiteral("交易记录"), AccountPageUrl(MOEYRECORDURL));
}

void TManager::ShowMall() {
  if (!GlobalManager->CheckPermit(GlobalManager->Me->user_type, TPermitType::Mall)) {
    Message(QStringLiteral("没有此操作权限。"));
    return;
  }
  OpenWebWindow(679, 611, QStringLiteral("道具商城"), AccountPageUrl(MALLURL));
}

void TManager::ShowPayPage() {
  OpenWebWindow(500, 486, QStringLiteral("账号充值"),
                QUrl(Q(PAYURL + "?code=" + std::to_string(GlobalManager->Me->UserCode()))));
}

void TManager::ShowService() {
  OpenWebWindow(679, 611, QStringLiteral("在线客服"), AccountPageUrl(QUESTIONURL));
}

}  // namespace kiv
