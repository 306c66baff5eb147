// The skin engine: the look of every window of the client.
//
// A skin is a folder "<skins folder>/<name>/" holding "skin.qss" (a Qt style sheet) and the pictures it
// names as "skin:<file>". Switching a skin on sets the sheet and a matching palette on the running
// application and maps the "skin" search prefix to the skin's folder. Four settings change the look:
// - hue offset (degrees, 0 .. 360) turns every colour of the sheet, the palette and the pictures
//   round the colour wheel; saturation (-100 .. 100) takes colour out or adds it (-100 is grey);
//   adjusted pictures are written once to "<skins folder>/.adjusted/", which the "skin" prefix then
//   names before the skin's own folder;
// - glow ("动画特效"): controls light up under the mouse; off drops the sheet's hover rules;
// - extended borders ("阴影边框"): windows that carry the dynamic property skinFrame=true get a
//   framed border with a shadow line on the right and bottom.
//
// Threads: main thread only (it changes application-wide state).
#pragma once

#include <QColor>
#include <QPalette>
#include <QString>
#include <QStringList>
#include <filesystem>
#include <string>

class QWidget;

namespace kiv {

// Controls drawn with one of the skin's named sections carry this dynamic property: "CHECKBOX"
// (frame-bar sections, room tiles), "PANEL" (a tile under the mouse or pressed), "TOOLBUTTON"
// (frame-bar buttons).
inline constexpr const char* kSkinSectionProperty = "skinSection";
inline constexpr const char* kSectionCheckBox = "CHECKBOX";
inline constexpr const char* kSectionPanel = "PANEL";
inline constexpr const char* kSectionToolButton = "TOOLBUTTON";

// Draws the widget with the named section (null: none) and restyles it at once.
void SetSkinSection(QWidget* widget, const char* section);

// The four settings of the system record that shape a skin.
struct TSkinSettings {
  int hue = 0;         // 0 .. 360; other values are taken modulo 360
  int saturation = 0;  // -100 .. 100; other values are clamped
  bool glow = true;
  bool extended_borders = true;
  bool operator==(const TSkinSettings&) const = default;
};

class TSkinEngine {
 public:
  // `skins_folder` holds one folder per skin.
  explicit TSkinEngine(std::filesystem::path skins_folder);
  ~TSkinEngine();
  TSkinEngine(const TSkinEngine&) = delete;
  TSkinEngine& operator=(const TSkinEngine&) = delete;

  const std::filesystem::path& SkinsFolder() const { return skins_folder_; }
  // The names of the skins present (folders holding a "skin.qss"), sorted.
  QStringList SkinNames() const;

  // Chooses the skin and its settings (UTF-8 name); when the engine is on, the look changes at once.
  // False when the named skin cannot be loaded: the previous look then stays.
  bool SetSkin(const std::string& name, const TSkinSettings& settings);
  const std::string& SkinName() const { return skin_name_; }
  const TSkinSettings& Settings() const { return settings_; }

  // Switches the engine on (applies the current skin) or off (the platform's plain look).
  bool SetActive(bool active);
  bool Active() const { return active_; }

  // The composed style sheet of the current skin and settings; empty when it cannot be loaded.
  QString StyleSheet() const { return sheet_; }
  // The palette that matches it.
  QPalette Palette() const { return palette_; }
  // The folders the "skin:" prefix names, first match wins.
  QStringList SearchPaths() const { return search_paths_; }

  // A colour with the hue offset and saturation applied.
  static QColor AdjustColor(const QColor& color, const TSkinSettings& settings);
  // Style sheet text with every colour turned, and with the glow and border rules applied.
  static QString ComposeStyleSheet(const QString& sheet, const TSkinSettings& settings);

 private:
  bool Load(const std::string& name, const TSkinSettings& settings);
  void ApplyToApplication() const;

  std::filesystem::path skins_folder_;
  std::string skin_name_;
  TSkinSettings settings_;
  bool active_ = false;
  QString sheet_;
  QPalette palette_;
  QStringList search_paths_;
};

}  // namespace kiv
