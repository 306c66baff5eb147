// kiv_assets: draws the client's own pictures and sounds into an application folder.
//
//   kiv_assets <application folder>           write skins/, faces/, EmoteInfo/, Sounds/, web/ and
//                                             icons/ (the desktop's application icon) there
//   kiv_assets --sheets <folder>              also write contact sheets (PNG) for a visual check
//
// Everything is drawn or synthesised here; nothing is read from elsewhere. Runs on Qt's offscreen
// platform (QT_QPA_PLATFORM=offscreen).
#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "base/graphic_archive.h"
#include "emotes.h"
#include "faces.h"
#include "paint.h"
#include "pictures.h"
#include "skins.h"
#include "sounds.h"
#include "web.h"

namespace fs = std::filesystem;
using namespace kiv::assets;

namespace {

constexpr int kAppIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

kiv::Bytes PngBytes(const QImage& image) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return kiv::Bytes(bytes.begin(), bytes.end());
}

bool WriteArchive(const Brand& brand, const fs::path& skins) {
  kiv::GraphicArchive archive;
  for (const NamedPicture& picture : DrawArchivePictures(brand)) {
    if (!archive.Add(picture.name.toStdString() + ".png", PngBytes(picture.image))) {
      std::fprintf(stderr, "kiv_assets: picture name too long: %s\n", picture.name.toUtf8().constData());
      return false;
    }
  }
  fs::create_directories(skins);
  return kiv::WriteGraphicArchiveFile((skins / brand.archive.toStdString()).string(), archive);
}

bool WriteFaces(const fs::path& folder) {
  fs::create_directories(folder);
  std::map<QByteArray, int> seen;
  for (int i = 0; i < kFaceCount; ++i) {
    QImage face = DrawFace(i);
    QByteArray pixels(reinterpret_cast<const char*>(face.constBits()), face.sizeInBytes());
    if (auto [it, added] = seen.emplace(pixels, i); !added) {
      std::fprintf(stderr, "kiv_assets: face %d repeats face %d\n", i, it->second);
      return false;
    }
    char name[32];
    std::snprintf(name, sizeof name, "face%03d.bmp", i);
    if (!face.convertToFormat(QImage::Format_RGB888)
             .save(QString::fromStdString((folder / name).string()), "BMP")) {
      return false;
    }
  }
  return true;
}

// The application icon in the desktop's hicolor sizes: icons/hicolor/<n>x<n>/apps/kivora.png. The
// emblem is drawn afresh at each size (not scaled down), so the small sizes stay sharp.
bool WriteAppIcons(const fs::path& folder) {
  bool ok = true;
  for (int size : kAppIconSizes) {
    const std::string dimensions = std::to_string(size) + "x" + std::to_string(size);
    const fs::path apps = folder / "hicolor" / dimensions / "apps";
    fs::create_directories(apps);
    QImage icon = NewImage(size, size);
    QPainter p(&icon);
    Prepare(p);
    // A small margin keeps the outline and the bubble's tail inside the picture.
    const double margin = std::max(0.5, size / 32.0);
    DrawEmblem(p, KivoraBrand(), QRectF(margin, margin, size - 2 * margin, size - 2 * margin));
    p.end();
    ok &= icon.save(QString::fromStdString((apps / "kivora.png").string()), "PNG");
  }
  return ok;
}

// Contact sheets for a person to look at: every face enlarged, and every archive picture.
bool WriteSheets(const fs::path& folder) {
  fs::create_directories(folder);
  const int cell = 72;
  const int columns = 16;
  const int rows = (kFaceCount + columns - 1) / columns;
  QImage faces = NewImage(columns * cell, rows * cell, Qt::white);
  {
    QPainter p(&faces);
    for (int i = 0; i < kFaceCount; ++i) {
      QImage face = DrawFace(i);
      p.drawImage(QRect((i % columns) * cell + 4, (i / columns) * cell + 4, 64, 64), face);
    }
  }
  bool ok = faces.save(QString::fromStdString((folder / "faces.png").string()));
  {
    const int count = static_cast<int>(BuiltInEmotes().size());
    const int big = kEmoteSize * 3;
    QImage emotes = NewImage(kEmoteFrames * (big + 8) + 8, count * (big + 8) + 8, Qt::white);
    QPainter p(&emotes);
    for (int i = 0; i < count; ++i) {
      for (int f = 0; f < kEmoteFrames; ++f) {
        p.drawImage(QRect(8 + f * (big + 8), 8 + i * (big + 8), big, big), DrawEmoteFrame(i, f));
      }
    }
    p.end();
    ok &= emotes.save(QString::fromStdString((folder / "emotes.png").string()));
  }
  for (const Brand* brand : {&KivoraBrand(), &PeloBrand()}) {
    std::vector<NamedPicture> pictures = DrawArchivePictures(*brand);
    const int width = 1400;
    int x = 0, y = 0, row_height = 0;
    QImage sheet = NewImage(width, 1200, QColor(0xF4, 0xF6, 0xF8));
    QPainter p(&sheet);
    Prepare(p);
    for (const NamedPicture& pic : pictures) {
      int scale = pic.image.width() <= 32 ? 2 : 1;
      int w = std::max(pic.image.width() * scale, 90) + 10;
      int h = pic.image.height() * scale + 22;
      if (x + w > width) {
        x = 0;
        y += row_height;
        row_height = 0;
      }
      p.fillRect(QRect(x + 4, y + 4, pic.image.width() * scale, pic.image.height() * scale),
                 QColor(0xDD, 0xE2, 0xE8));
      p.drawImage(QRect(x + 4, y + 4, pic.image.width() * scale, pic.image.height() * scale), pic.image);
      p.setPen(Qt::black);
      p.setFont(TextFont(10));
      p.drawText(QPoint(x + 4, y + pic.image.height() * scale + 17), pic.name);
      x += w;
      row_height = std::max(row_height, h + 6);
    }
    p.end();
    ok &=
        sheet.copy(0, 0, width, std::min(1200, y + row_height))
            .save(QString::fromStdString((folder / (brand->name.toStdString() + "_pictures.png")).string()));
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc == 3 && std::string(argv[1]) == "--sheets") {
    return WriteSheets(argv[2]) ? 0 : 1;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: kiv_assets <application folder> | --sheets <folder>\n");
    return 2;
  }
  const fs::path root = argv[1];
  bool ok = true;
  auto step = [&ok](bool done, const char* what) {
    if (!done) std::fprintf(stderr, "kiv_assets: writing %s failed\n", what);
    ok = ok && done;
  };
  step(WriteArchive(KivoraBrand(), root / "skins"), "SkinImage.dat");
  step(WriteArchive(PeloBrand(), root / "skins"), "PeloSkinImage.dat");
  step(WriteSkins(root / "skins"), "the skins");
  step(WriteFaces(root / "faces"), "the faces");
  step(WriteEmotes(root / "EmoteInfo"), "the emoticons");
  step(WriteSounds(root / "Sounds"), "the sounds");
  step(WriteWebSite(root / "web", root / "skins"), "the web site's content");
  step(WriteAppIcons(root / "icons"), "the application icon");
  return ok ? 0 : 1;
}
