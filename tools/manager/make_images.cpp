// Build step: the server manager's bitmaps as 8-bit ".bmp" files and the Qt
// resource list that builds them into the program.
//   qn_make_manager_images <output dir>
// Writes <output dir>/<name>.bmp for every bitmap and
// <output dir>/manager_images.qrc, the list last, so that its time tells
// the resource compiler the pictures changed.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/manager/art/pictures.h"

namespace fs = std::filesystem;

namespace {

void Write(const fs::path& path, const std::string& bytes) {
  const fs::path temporary = path.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + temporary.string());
  }
  fs::rename(temporary, path);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qn_make_manager_images <output dir>\n");
    return 2;
  }
  try {
    const fs::path out = argv[1];
    fs::create_directories(out);
    std::ostringstream qrc;
    qrc << "<!DOCTYPE RCC>\n<RCC version=\"1.0\">\n<qresource prefix=\"/manager\">\n";
    for (const auto& [name, canvas] : qn::manager::art::AllBitmaps()) {
      const std::vector<uint8_t> bmp = canvas.Bmp();
      Write(out / name, std::string(bmp.begin(), bmp.end()));
      qrc << "  <file>" << name << "</file>\n";
    }
    qrc << "</qresource>\n</RCC>\n";
    Write(out / "manager_images.qrc", qrc.str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qn_make_manager_images: %s\n", e.what());
    return 1;
  }
  return 0;
}
