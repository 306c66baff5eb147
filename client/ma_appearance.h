// The appearance window "更改外观": hue, saturation, glow and borders of the skin, and the gallery of
// the web site's skins, which downloads a skin package on click and applies it. Main thread only;
// package downloads run on the thread pool.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QScrollArea>
#include <QSlider>
#include <filesystem>
#include <string>

namespace kiv {

// Unpacks a skin package (a graphics archive of the skin's files) into `skins_folder`/`name`,
// replacing that folder. Entries whose names are not bare file names are refused: nothing is
// written for such a package. False on any failure (the old folder then stays).
bool InstallSkinPackage(const std::filesystem::path& package, const std::filesystem::path& skins_folder,
                        const std::string& name);

class TAppearanceForm : public QDialog {
  Q_OBJECT
 public:
  // `skin_url`: SKINIMGURL (the gallery and packages come from there).
  TAppearanceForm(std::string skin_url, QWidget* parent = nullptr);

  // Makes `name` the current skin, downloading its package first when it is not on disk.
  void ChooseSkin(const std::string& name);
  // Hue 0, saturation 0, both boxes on, the brand's default skin.
  void RestoreDefaults();
  QScrollArea* Gallery() const { return gallery_; }

 signals:
  // A chosen skin was applied (true) or could not be downloaded (false).
  void SkinChosen(const QString& name, bool applied);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void LoadValues();
  void ApplyValues();
  void BuildGallery();
  bool UseSkin(const std::string& name);
  std::filesystem::path SkinsFolder() const;

  std::string skin_url_;
  QSlider* hue_;
  QSlider* saturation_;
  QLabel* hue_value_;
  QLabel* saturation_value_;
  QCheckBox* borders_;
  QCheckBox* glow_;
  QScrollArea* gallery_;
};

}  // namespace kiv
