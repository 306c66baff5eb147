#include "manager/skin_engine.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QImage>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStyle>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

namespace kiv {
namespace {

constexpr const char* kSheetFile = "skin.qss";
constexpr const char* kSearchPrefix = "skin";
// Style sheets larger than this are not skins.
constexpr qint64 kMaxSheetSize = 1024 * 1024;

QString PathText(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

struct Rule {
  QString selectors;
  QString body;
};

QString StripComments(const QString& sheet) {
  static const QRegularExpression comment(QStringLiteral(R"(/\*.*?\*/)"),
                                          QRegularExpression::DotMatchesEverythingOption);
  QString out = sheet;
  out.remove(comment);
  return out;
}

// Style sheets have no nested blocks: a rule is "selectors { body }".
std::vector<Rule> ParseRules(const QString& sheet) {
  std::vector<Rule> rules;
  const QString text = StripComments(sheet);
  qsizetype pos = 0;
  while (pos < text.size()) {
    const qsizetype open = text.indexOf(QLatin1Char('{'), pos);
    if (open < 0) break;
    const qsizetype close = text.indexOf(QLatin1Char('}'), open + 1);
    if (close < 0) break;
    rules.push_back(
        Rule{text.mid(pos, open - pos).trimmed(), text.mid(open + 1, close - open - 1).trimmed()});
    pos = close + 1;
  }
  return rules;
}

QString JoinRules(const std::vector<Rule>& rules) {
  QString out;
  for (const Rule& rule : rules) {
    if (rule.selectors.isEmpty()) continue;
    out += rule.selectors + QStringLiteral(" {\n  ") + rule.body + QStringLiteral("\n}\n");
  }
  return out;
}

QString CssColor(const QColor& c) {
  if (c.alpha() == 255) return c.name(QColor::HexRgb);
  return QStringLiteral("rgba(%1, %2, %3, %4)").arg(c.red()).arg(c.green()).arg(c.blue()).arg(c.alpha());
}

const QRegularExpression& HexColor() {
  static const QRegularExpression re(QStringLiteral(R"(#(?:[0-9a-fA-F]{6}|[0-9a-fA-F]{3})\b)"));
  return re;
}
const QRegularExpression& RgbColor() {
  static const QRegularExpression re(
      QStringLiteral(R"(rgba?\(\s*(\d{1,3})\s*,\s*(\d{1,3})\s*,\s*(\d{1,3})\s*(?:,\s*([0-9.]+)\s*)?\))"));
  return re;
}

QColor ParseRgb(const QRegularExpressionMatch& m) {
  QColor c(std::min(m.captured(1).toInt(), 255), std::min(m.captured(2).toInt(), 255),
           std::min(m.captured(3).toInt(), 255));
  if (m.hasCaptured(4) && !m.captured(4).isEmpty()) {
    const double a = m.captured(4).toDouble();
    // Both 0..1 and 0..255 alpha forms appear in style sheets.
    c.setAlpha(a <= 1.0 ? static_cast<int>(a * 255 + 0.5) : std::min(static_cast<int>(a), 255));
  }
  return c;
}

// Replaces every colour of `text` through `map`.
QString MapColors(const QString& text, const std::function<QColor(const QColor&)>& map) {
  QString out;
  qsizetype pos = 0;
  while (pos < text.size()) {
    const QRegularExpressionMatch hex = HexColor().match(text, pos);
    const QRegularExpressionMatch rgb = RgbColor().match(text, pos);
    const QRegularExpressionMatch* next = nullptr;
    if (hex.hasMatch()) next = &hex;
    if (rgb.hasMatch() && (!next || rgb.capturedStart() < next->capturedStart())) next = &rgb;
    if (!next) break;
    out += text.mid(pos, next->capturedStart() - pos);
    const QColor color = next == &hex ? QColor(hex.captured()) : ParseRgb(rgb);
    out += CssColor(map(color));
    pos = next->capturedEnd();
  }
  out += text.mid(pos);
  return out;
}

// The first colour named in `value`; invalid when none.
QColor FirstColor(const QString& value) {
  const QRegularExpressionMatch hex = HexColor().match(value);
  const QRegularExpressionMatch rgb = RgbColor().match(value);
  if (hex.hasMatch() && (!rgb.hasMatch() || hex.capturedStart() < rgb.capturedStart()))
    return QColor(hex.captured());
  if (rgb.hasMatch()) return ParseRgb(rgb);
  return {};
}

// The value of `property` in the first rule whose selector list holds `selector`.
QString RuleValue(const std::vector<Rule>& rules, const QString& selector, const QString& property) {
  for (const Rule& rule : rules) {
    const QStringList selectors = rule.selectors.split(QLatin1Char(','), Qt::SkipEmptyParts);
    const bool holds = std::any_of(selectors.begin(), selectors.end(),
                                   [&](const QString& s) { return s.trimmed() == selector; });
    if (!holds) continue;
    for (const QString& declaration : rule.body.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
      const qsizetype colon = declaration.indexOf(QLatin1Char(':'));
      if (colon > 0 && declaration.left(colon).trimmed() == property)
        return declaration.mid(colon + 1).trimmed();
    }
  }
  return {};
}

QColor RuleColor(const std::vector<Rule>& rules, const char* selector, const char* property,
                 QColor fallback) {
  const QColor c = FirstColor(RuleValue(rules, QLatin1String(selector), QLatin1String(property)));
  return c.isValid() ? c : fallback;
}

QPalette PaletteOf(const QString& composed_sheet) {
  const std::vector<Rule> rules = ParseRules(composed_sheet);
  const QColor text = RuleColor(rules, "QWidget", "color", QColor(0x20, 0x20, 0x20));
  const QColor window = RuleColor(rules, "QDialog", "background-color", QColor(0xF0, 0xF0, 0xF0));
  const QColor base = RuleColor(rules, "QLineEdit", "background-color", Qt::white);
  const QColor highlight =
      RuleColor(rules, "QWidget", "selection-background-color", QColor(0x30, 0x8C, 0xC6));
  const QColor accent = RuleColor(rules, "QPushButton", "border", QColor(0x30, 0x60, 0x90));
  QPalette palette;
  palette.setColor(QPalette::Window, window);
  palette.setColor(QPalette::WindowText, text);
  palette.setColor(QPalette::Base, base);
  palette.setColor(QPalette::AlternateBase, window);
  palette.setColor(QPalette::Text, text);
  palette.setColor(QPalette::Button, window);
  palette.setColor(QPalette::ButtonText, text);
  palette.setColor(QPalette::Highlight, highlight);
  palette.setColor(QPalette::HighlightedText, text);
  palette.setColor(QPalette::ToolTipBase, base);
  palette.setColor(QPalette::ToolTipText, text);
  palette.setColor(QPalette::Link, accent);
  palette.setColor(QPalette::Disabled, QPalette::Text, window.darker(160));
  palette.setColor(QPalette::Disabled, QPalette::WindowText, window.darker(160));
  palette.setColor(QPalette::Disabled, QPalette::ButtonText, window.darker(160));
  return palette;
}

TSkinSettings Normalised(TSkinSettings s) {
  s.hue = ((s.hue % 360) + 360) % 360;
  s.saturation = std::clamp(s.saturation, -100, 100);
  return s;
}

bool ChangesColours(const TSkinSettings& s) { return s.hue != 0 || s.saturation != 0; }

// Writes the skin's pictures with the colour settings applied into a cache folder; returns it, or an
// empty text when it cannot be written.
QString AdjustedPictures(const QString& skins_folder, const QString& skin_folder, const QString& skin_name,
                         const TSkinSettings& s) {
  const QString cache = skins_folder + QStringLiteral("/.adjusted/") +
                        QStringLiteral("%1-h%2-s%3")
                            .arg(QString::fromLatin1(skin_name.toUtf8().toHex()))
                            .arg(s.hue)
                            .arg(s.saturation);
  if (!QDir().mkpath(cache)) return {};
  const QDir source(skin_folder);
  QHash<QRgb, QRgb> mapped;
  for (const QString& file : source.entryList({QStringLiteral("*.png")}, QDir::Files)) {
    const QString target = cache + QLatin1Char('/') + file;
    const QFileInfo source_info(source.filePath(file));
    const QFileInfo target_info(target);
    if (target_info.exists() && target_info.lastModified() >= source_info.lastModified()) continue;
    QImage image(source.filePath(file));
    if (image.isNull()) continue;
    image = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
      auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
      for (int x = 0; x < image.width(); ++x) {
        const QRgb pixel = line[x];
        auto it = mapped.constFind(pixel);
        if (it == mapped.constEnd()) {
          it = mapped.insert(pixel, TSkinEngine::AdjustColor(QColor::fromRgba(pixel), s).rgba());
        }
        line[x] = *it;
      }
    }
    // Several clients may share the cache: each picture appears whole or not at all.
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly) || !image.save(&out, "PNG") || !out.commit()) return {};
  }
  return cache;
}

}  // namespace

void SetSkinSection(QWidget* widget, const char* section) {
  if (!widget) return;
  const QVariant value = section ? QVariant(QString::fromLatin1(section)) : QVariant();
  if (widget->property(kSkinSectionProperty) == value) return;
  widget->setProperty(kSkinSectionProperty, value);
  // Style sheets match dynamic properties only when the widget is polished again.
  widget->style()->unpolish(widget);
  widget->style()->polish(widget);
  widget->update();
}

TSkinEngine::TSkinEngine(std::filesystem::path skins_folder) : skins_folder_(std::move(skins_folder)) {}

TSkinEngine::~TSkinEngine() {
  if (active_) SetActive(false);
}

QStringList TSkinEngine::SkinNames() const {
  QStringList names;
  const QDir dir(PathText(skins_folder_));
  for (const QString& name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
    if (QFileInfo::exists(dir.filePath(name) + QLatin1Char('/') + QLatin1String(kSheetFile))) names << name;
  }
  return names;
}

QColor TSkinEngine::AdjustColor(const QColor& color, const TSkinSettings& raw) {
  const TSkinSettings s = Normalised(raw);
  if (!ChangesColours(s)) return color;
  float h = 0, sat = 0, l = 0, a = 0;
  color.getHslF(&h, &sat, &l, &a);
  if (h >= 0) h = std::fmod(h + static_cast<float>(s.hue) / 360.0f, 1.0f);  // grey has no hue to turn
  sat = std::clamp(sat * static_cast<float>(100 + s.saturation) / 100.0f, 0.0f, 1.0f);
  return QColor::fromHslF(h < 0 ? 0 : h, sat, l, a).toRgb();
}

QString TSkinEngine::ComposeStyleSheet(const QString& sheet, const TSkinSettings& raw) {
  const TSkinSettings s = Normalised(raw);
  std::vector<Rule> rules = ParseRules(sheet);
  for (Rule& rule : rules) {
    rule.body = MapColors(rule.body, [&](const QColor& c) { return AdjustColor(c, s); });
    if (!s.glow) {
      QStringList kept;
      for (const QString& selector : rule.selectors.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        if (!selector.contains(QLatin1String(":hover"))) kept << selector.trimmed();
      }
      rule.selectors = kept.join(QStringLiteral(", "));
    }
  }
  const QColor border = RuleColor(rules, "QToolTip", "border", QColor(0x80, 0x80, 0x80));
  const QColor accent = RuleColor(rules, "QPushButton", "border", border);
  if (s.extended_borders) {
    rules.push_back(
        Rule{QStringLiteral("QWidget[skinFrame=\"true\"]"),
             QStringLiteral("border: 1px solid %1;\n  border-right: 3px solid rgba(0, 0, 0, 70);\n"
                            "  border-bottom: 3px solid rgba(0, 0, 0, 70);\n  border-radius: 2px;")
                 .arg(CssColor(accent))});
  } else {
    rules.push_back(Rule{QStringLiteral("QWidget[skinFrame=\"true\"]"),
                         QStringLiteral("border: 1px solid %1;").arg(CssColor(border))});
  }
  return JoinRules(rules);
}

bool TSkinEngine::Load(const std::string& name, const TSkinSettings& raw) {
  const TSkinSettings settings = Normalised(raw);
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return false;
  const QString folder = PathText(skins_folder_ / name);
  QFile file(folder + QLatin1Char('/') + QLatin1String(kSheetFile));
  if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxSheetSize) return false;
  const QString sheet = QString::fromUtf8(file.readAll());
  if (sheet.trimmed().isEmpty()) return false;

  QStringList paths;
  if (ChangesColours(settings)) {
    const QString cache =
        AdjustedPictures(PathText(skins_folder_), folder, QString::fromStdString(name), settings);
    if (!cache.isEmpty()) paths << cache;
  }
  paths << folder;

  skin_name_ = name;
  settings_ = settings;
  sheet_ = ComposeStyleSheet(sheet, settings);
  palette_ = PaletteOf(sheet_);
  search_paths_ = paths;
  return true;
}

bool TSkinEngine::SetSkin(const std::string& name, const TSkinSettings& settings) {
  if (name == skin_name_ && Normalised(settings) == settings_ && !sheet_.isEmpty()) return true;
  if (!Load(name, settings)) return false;
  if (active_) ApplyToApplication();
  return true;
}

bool TSkinEngine::SetActive(bool active) {
  active_ = active;
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (!active) {
    if (app) {
      app->setStyleSheet(QString());
      app->setPalette(app->style()->standardPalette());
    }
    QDir::setSearchPaths(QLatin1String(kSearchPrefix), {});
    return true;
  }
  if (sheet_.isEmpty()) return false;
  ApplyToApplication();
  return true;
}

void TSkinEngine::ApplyToApplication() const {
  QDir::setSearchPaths(QLatin1String(kSearchPrefix), search_paths_);
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (!app) return;
  app->setPalette(palette_);
  app->setStyleSheet(sheet_);
}

}  // namespace kiv
