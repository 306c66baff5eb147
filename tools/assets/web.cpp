#include "web.h"

#include <QBuffer>
#include <QPainter>
#include <fstream>
#include <iterator>

#include "base/graphic_archive.h"
#include "base/ini.h"
#include "paint.h"
#include "skins.h"

namespace kiv::assets {
namespace {

namespace fs = std::filesystem;

struct Item {
  const char* id;
  const char* name;
  const char* image;
  int price;
  int type;
  QColor colour;
};

// Gifts, one page (Type 0..3) each a few.
const Item kGifts[] = {
    {"1", "玫瑰", "rose.png", 10, 0, QColor(0xE5, 0x39, 0x5B)},
    {"2", "爱心", "heart.png", 20, 0, QColor(0xF0, 0x4E, 0x98)},
    {"3", "星星", "star.png", 30, 1, QColor(0xF5, 0xB8, 0x1B)},
    {"4", "蛋糕", "cake.png", 50, 1, QColor(0xF2, 0x9E, 0x6B)},
    {"5", "钻石", "diamond.png", 200, 2, QColor(0x38, 0xB6, 0xE8)},
    {"6", "皇冠", "crown.png", 500, 3, QColor(0xE8, 0xA8, 0x1F)},
};

const Item kStamps[] = {
    {"1", "好人", "good.png", 5, 0, QColor(0x3C, 0xB3, 0x71)},
    {"2", "大侠", "hero.png", 10, 0, QColor(0x2F, 0x7F, 0xD8)},
    {"3", "开心", "happy.png", 5, 1, QColor(0xF5, 0xA6, 0x23)},
    {"4", "酷", "cool.png", 20, 1, QColor(0x6B, 0x4F, 0xC8)},
};

// The mall's cars: what a member parks in a room's parking spaces.
const Item kCars[] = {
    {"1", "小白车", "car1.png", 500, 0, QColor(0xF2, 0xF4, 0xF7)},
    {"2", "红色跑车", "car2.png", 2000, 0, QColor(0xE5, 0x39, 0x35)},
    {"3", "蓝色越野", "car3.png", 3500, 0, QColor(0x2F, 0x7F, 0xD8)},
    {"4", "金色豪车", "car4.png", 8800, 0, QColor(0xE8, 0xA8, 0x1F)},
};

// A side view of a car in the size of a parking space's picture.
QImage DrawCar(const Item& car, int width, int height) {
  QImage image = NewImage(width, height);
  QPainter p(&image);
  Prepare(p);
  const double w = width, h = height;
  QPainterPath body;
  body.moveTo(w * 0.05, h * 0.72);
  body.lineTo(w * 0.05, h * 0.5);
  body.quadTo(w * 0.08, h * 0.42, w * 0.22, h * 0.4);
  body.lineTo(w * 0.34, h * 0.16);
  body.quadTo(w * 0.38, h * 0.1, w * 0.46, h * 0.1);
  body.lineTo(w * 0.66, h * 0.1);
  body.quadTo(w * 0.72, h * 0.1, w * 0.76, h * 0.18);
  body.lineTo(w * 0.86, h * 0.4);
  body.quadTo(w * 0.96, h * 0.44, w * 0.96, h * 0.56);
  body.lineTo(w * 0.96, h * 0.72);
  body.closeSubpath();
  Glossy(p, body, car.colour, 1.2);
  // Windows.
  QPainterPath glass;
  glass.moveTo(w * 0.27, h * 0.4);
  glass.lineTo(w * 0.37, h * 0.19);
  glass.lineTo(w * 0.54, h * 0.19);
  glass.lineTo(w * 0.54, h * 0.4);
  glass.closeSubpath();
  glass.moveTo(w * 0.58, h * 0.4);
  glass.lineTo(w * 0.58, h * 0.19);
  glass.lineTo(w * 0.7, h * 0.19);
  glass.lineTo(w * 0.8, h * 0.4);
  glass.closeSubpath();
  p.setPen(Qt::NoPen);
  p.setBrush(Vertical(QRectF(0, h * 0.19, w, h * 0.21), QColor(0xDD, 0xF1, 0xFF), QColor(0x7F, 0xB7, 0xE6)));
  p.drawPath(glass);
  // Wheels with hubs.
  for (double x : {w * 0.26, w * 0.76}) {
    p.setBrush(QColor(0x2B, 0x2F, 0x36));
    p.drawEllipse(QPointF(x, h * 0.74), h * 0.17, h * 0.17);
    p.setBrush(QColor(0xC9, 0xCF, 0xD6));
    p.drawEllipse(QPointF(x, h * 0.74), h * 0.08, h * 0.08);
  }
  // Head and tail lights.
  p.setBrush(QColor(0xFF, 0xE0, 0x82));
  p.drawRoundedRect(QRectF(w * 0.9, h * 0.5, w * 0.05, h * 0.07), 1, 1);
  p.setBrush(QColor(0xE5, 0x39, 0x35));
  p.drawRoundedRect(QRectF(w * 0.05, h * 0.5, w * 0.03, h * 0.07), 1, 1);
  return image;
}

QImage DrawItem(const Item& item, int size, bool stamp) {
  QImage image = NewImage(size, size);
  QPainter p(&image);
  Prepare(p);
  QRectF r(2, 2, size - 4, size - 4);
  const QPointF c = r.center();
  if (stamp) {
    // A round seal with the stamp's name in it.
    p.setPen(QPen(item.colour.darker(130), 3));
    p.setBrush(Mix(item.colour, Qt::white, 0.75));
    p.drawEllipse(r.adjusted(2, 2, -2, -2));
    CentredText(p, r, QString::fromUtf8(item.name), TextFont(size * 0.3, true), item.colour.darker(140));
    return image;
  }
  QPainterPath path;
  const QString image_name = QString::fromUtf8(item.image);
  if (image_name.startsWith(QStringLiteral("heart")) || image_name.startsWith(QStringLiteral("rose")))
    path = HeartPath(c, size * 0.8);
  else if (image_name.startsWith(QStringLiteral("star")) || image_name.startsWith(QStringLiteral("crown")))
    path = StarPath(c, size * 0.45, size * 0.2, image_name.startsWith(QStringLiteral("crown")) ? 3 : 5);
  else if (image_name.startsWith(QStringLiteral("diamond"))) {
    path.moveTo(c.x(), r.bottom());
    path.lineTo(r.left(), c.y() - size * 0.1);
    path.lineTo(c.x() - size * 0.2, r.top() + size * 0.1);
    path.lineTo(c.x() + size * 0.2, r.top() + size * 0.1);
    path.lineTo(r.right(), c.y() - size * 0.1);
    path.closeSubpath();
  } else {
    path = RoundedRect(r.adjusted(size * 0.1, size * 0.3, -size * 0.1, -size * 0.05), size * 0.1);
  }
  Glossy(p, path, item.colour, 1.5);
  return image;
}

bool SavePng(const QImage& image, const fs::path& path) {
  return image.save(QString::fromStdString(path.string()), "PNG");
}

bool WriteCatalogue(const fs::path& folder, const char* file, const Item* items, std::size_t count,
                    bool stamps) {
  fs::create_directories(folder);
  IniFile ini;
  bool ok = true;
  for (std::size_t i = 0; i < count; ++i) {
    const Item& item = items[i];
    const std::string section = std::string(stamps ? "Stamp" : "Present") + item.id;
    ini.Set(section, "ID", item.id);
    ini.Set(section, "Name", item.name);
    ini.Set(section, "ImageName", item.image);
    ini.Set(section, "Price", std::to_string(item.price));
    ini.Set(section, "Type", std::to_string(item.type));
    if (stamps) {
      ini.Set(section, "Send", "1");
      ini.Set(section, "Time", "60");
    }
    ok &= SavePng(DrawItem(item, stamps ? 48 : 64, stamps), folder / item.image);
  }
  return ok && ini.Save(folder / file);
}

// The mall catalogue the mall page lists (the client does not download it) and the car pictures
// under mall/image/, where MALLIMGURL points.
bool WriteMall(const fs::path& folder) {
  fs::create_directories(folder / "image");
  IniFile ini;
  bool ok = true;
  for (const Item& car : kCars) {
    const std::string section = std::string("Car") + car.id;
    ini.Set(section, "ID", car.id);
    ini.Set(section, "Name", car.name);
    ini.Set(section, "ImageName", car.image);
    ini.Set(section, "Price", std::to_string(car.price));
    ok &= SavePng(DrawCar(car, 108, 64), folder / "image" / car.image);
  }
  return ok && ini.Save(folder / "MallInfo.txt");
}

// A skin package holds every file of skins/<name>/ under its bare name.
bool WriteSkinPackage(const fs::path& skin_folder, const fs::path& package) {
  GraphicArchive archive;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(skin_folder, ec)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!archive.Add(entry.path().filename().string(), std::move(data))) return false;
  }
  return !ec && !archive.empty() && WriteGraphicArchiveFile(package.string(), archive);
}

bool WriteSkinCatalogue(const fs::path& folder, const fs::path& skins_folder) {
  fs::create_directories(folder);
  IniFile ini;
  bool ok = true;
  int index = 0;
  for (const QString& name : SkinNames()) {
    const std::string skin = name.toStdString();
    const std::string section = "Skin" + std::to_string(++index);
    const std::string preview = "skin" + std::to_string(index) + ".png";
    ini.Set(section, "Name", skin);
    ini.Set(section, "ImageName", preview);
    std::error_code ec;
    fs::copy_file(skins_folder / skin / "preview.png", folder / preview, fs::copy_options::overwrite_existing,
                  ec);
    ok &= !ec;
    ok &= WriteSkinPackage(skins_folder / skin, folder / (skin + ".rar"));
  }
  return ok && ini.Save(folder / "SkinInfo.txt");
}

}  // namespace

bool WriteWebSite(const fs::path& web_root, const fs::path& skins_folder) {
  fs::create_directories(web_root / "Download");
  IniFile version;
  version.Set("VersionInfo", "PresentVersion", "1");
  version.Set("VersionInfo", "SkinVersion", "1");
  version.Set("VersionInfo", "StampVersion", "1");
  return version.Save(web_root / "Download" / "Version.txt") &&
         WriteCatalogue(web_root / "present", "PresentInfo.txt", kGifts, std::size(kGifts), false) &&
         WriteCatalogue(web_root / "stamp", "StampInfo.txt", kStamps, std::size(kStamps), true) &&
         WriteSkinCatalogue(web_root / "skins", skins_folder) && WriteMall(web_root / "mall");
}

}  // namespace kiv::assets
