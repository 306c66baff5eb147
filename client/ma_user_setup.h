// MA_UserSetup: the "用户设置" pages of the settings window: the server-side profile ("基本资料"),
// the custom photo ("头像设置") and security ("安全设置": passwords, password protection, the
// friend-verification mode, binding the account to this computer).
//
// The pages only hold and limit what the user types; the settings window checks the values and
// sends them. Fields that travel as string[N] take at most N GBK bytes (a Chinese character takes
// two), so what the user sees is what the server stores.
//
// Threads: main thread only.
#pragma once

#include <QByteArray>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QValidator>
#include <QWidget>
#include <cstddef>
#include <cstdint>

namespace kiv {

class TMe;

// Takes text whose GBK form is at most `bytes` bytes.
class TGbkLimitValidator : public QValidator {
 public:
  TGbkLimitValidator(std::size_t bytes, QObject* parent) : QValidator(parent), bytes_(bytes) {}
  State validate(QString& input, int& position) const override;

 private:
  std::size_t bytes_;
};

// The largest picture file the custom photo takes.
inline constexpr qint64 kMaxPhotoPictureSize = 200000;
inline constexpr int kPhotoPreviewSize = 120;

class TUserSetupFrame : public QWidget {
  Q_OBJECT

 public:
  enum Page { kProfile = 0, kPhoto = 1, kSecurity = 2 };

  explicit TUserSetupFrame(QWidget* parent = nullptr);

  void ShowPage(Page page) { pages_->setCurrentIndex(page); }
  int CurrentPage() const { return pages_->currentIndex(); }

  // The profile page and the verification and bind controls from `me`; the chosen face too.
  void LoadProfile(const TMe& me);
  std::uint8_t Face() const { return face_; }
  void SetFace(std::uint8_t face);

  // A picture file for the custom photo ("选择" after its dialog): refused with a message when it is
  // larger than 200000 bytes or cannot be read; otherwise kept and shown in the preview. True when
  // taken.
  bool ChoosePicture(const QString& path);
  // The chosen picture file's name and bytes; empty until one was chosen.
  const QString& PictureName() const { return picture_name_; }
  const QByteArray& PictureBytes() const { return picture_bytes_; }
  // The current own photo in the preview (or an empty preview).
  void ShowCurrentPhoto();

  // Clears the three password boxes of "修改密码".
  void ClearPasswords();

  // Profile page.
  QLabel* FaceLabel() const { return face_label_; }
  QPushButton* FaceButton() const { return choose_face_; }
  QLineEdit* NicknameBox() const { return nickname_; }
  QComboBox* SexBox() const { return sex_; }
  QLineEdit* AgeBox() const { return age_; }
  QLineEdit* EmailBox() const { return email_; }
  QComboBox* ProvinceBox() const { return province_; }
  QLineEdit* CityBox() const { return city_; }
  QLineEdit* TelephoneBox() const { return telephone_; }
  QLineEdit* AddressBox() const { return address_; }
  QComboBox* OccupationBox() const { return occupation_; }
  QPlainTextEdit* IntroductionBox() const { return introduction_; }
  QLabel* UserTypeLabel() const { return user_type_; }
  QPushButton* RefreshButton() const { return refresh_; }
  // Photo page.
  QCheckBox* CustomPhotoBox() const { return custom_photo_; }
  QLineEdit* PicturePathBox() const { return picture_path_; }
  QLabel* PreviewLabel() const { return preview_; }
  // Security page.
  QCheckBox* ChangePasswordBox() const { return change_password_; }
  QLineEdit* OldPasswordBox() const { return old_password_; }
  QLineEdit* NewPasswordBox() const { return new_password_; }
  QLineEdit* ConfirmPasswordBox() const { return confirm_password_; }
  QCheckBox* ProtectionBox() const { return protection_; }
  QLineEdit* QuestionBox() const { return question_; }
  QLineEdit* AnswerBox() const { return answer_; }
  QLineEdit* IdentityBox() const { return identity_; }
  QComboBox* VerifyBox() const { return verify_; }
  QCheckBox* BindBox() const { return bind_; }
  QCheckBox* ChangePayBox() const { return change_pay_; }
  QLineEdit* OldPayBox() const { return old_pay_; }
  QLineEdit* NewPayBox() const { return new_pay_; }
  QLineEdit* ConfirmPayBox() const { return confirm_pay_; }

 signals:
  // "刷新" was pressed.
  void RefreshRequested();

 private:
  QWidget* BuildProfilePage();
  QWidget* BuildPhotoPage();
  QWidget* BuildSecurityPage();
  void ChooseFace();
  void BrowsePicture();
  void ShowPicture(const QImage& picture, bool gif);
  void LimitIntroduction();

  QStackedWidget* pages_;
  std::uint8_t face_ = 0;
  QString picture_name_;
  QByteArray picture_bytes_;
  QString introduction_text_;  // the last text that fitted the field
  QLabel* face_label_ = nullptr;
  QPushButton* choose_face_ = nullptr;
  QLineEdit* nickname_ = nullptr;
  QComboBox* sex_ = nullptr;
  QLineEdit* age_ = nullptr;
  QLineEdit* email_ = nullptr;
  QComboBox* province_ = nullptr;
  QLineEdit* city_ = nullptr;
  QLineEdit* telephone_ = nullptr;
  QLineEdit* address_ = nullptr;
  QComboBox* occupation_ = nullptr;
  QPlainTextEdit* introduction_ = nullptr;
  QLabel* user_type_ = nullptr;
  QPushButton* refresh_ = nullptr;
  QCheckBox* custom_photo_ = nullptr;
  QLineEdit* picture_path_ = nullptr;
  QLabel* preview_ = nullptr;
  QCheckBox* change_password_ = nullptr;
  QLineEdit* old_password_ = nullptr;
  QLineEdit* new_password_ = nullptr;
  QLineEdit* confirm_password_ = nullptr;
  QCheckBox* protection_ = nullptr;
  QLineEdit* question_ = nullptr;
  QLineEdit* answer_ = nullptr;
  QLineEdit* identity_ = nullptr;
  QComboBox* verify_ = nullptr;
  QCheckBox* bind_ = nullptr;
  QCheckBox* change_pay_ = nullptr;
  QLineEdit* old_pay_ = nullptr;
  QLineEdit* new_pay_ = nullptr;
  QLineEdit* confirm_pay_ = nullptr;
};

}  // namespace kiv
