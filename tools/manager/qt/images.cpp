#include "tools/manager/qt/images.h"

#include <QFile>

// Outside any namespace, as Q_INIT_RESOURCE requires: the resource lives in
// a static library, whose object nothing else would pull in.
static void InitManagerImages() { Q_INIT_RESOURCE(manager_images); }

namespace qn::manager {

QImage ToQImage(const Image32& image) {
  QImage out(image.width, image.height, QImage::Format_RGB32);
  for (int y = 0; y < image.height; ++y) {
    auto* line = reinterpret_cast<uint32_t*>(out.scanLine(y));
    for (int x = 0; x < image.width; ++x) line[x] = image.At(x, y);
  }
  return out;
}

QImage LoadBitmap(const QString& name) {
  static const bool initialised = (InitManagerImages(), true);
  (void)initialised;
  QFile file(":/manager/" + name + ".bmp");
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QByteArray bytes = file.readAll();
  const std::span<const uint8_t> span(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                      static_cast<size_t>(bytes.size()));
  const std::optional<PackedDib> dib = PackedDib::FromBmpFile(span);
  if (!dib) return {};
  return ToQImage(DecodeDIB(*dib, DibRect{0, 0, DIBWidth(*dib), DIBHeight(*dib)}));
}

QIcon ProgramIcon() {
  QIcon icon;
  for (const char* name : {"icon", "icon16"}) icon.addPixmap(QPixmap::fromImage(LoadBitmap(name)));
  return icon;
}

}  // namespace qn::manager
